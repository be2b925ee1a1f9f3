#include "console/service/silence.h"

#include "console/context.h"
#include "engines/link/linkengine.h"

#include <algorithm>
#include <limits>

namespace dtu {

SilenceWatch::SilenceWatch(ConsoleContext& ctx, QObject* parent) : QObject(parent), ctx_(ctx) {}

void SilenceWatch::check() {
    const qint64 limitMs = static_cast<qint64>(ctx_.config.silentSeconds) * 1000;
    if (limitMs <= 0) return;
    const qint64 now = ctx_.clock.now().toMSecsSinceEpoch();
    const bool running = ctx_.serviceRunning();
    // With thousands of DTUs a look at every row each second was a good part of an idle
    // console's work; nothing can change between deadlines but what an event marks.
    if (!ctx_.silenceRecheck && now < nextDueMs_) {
        const QSet<QString> silent = silent_;
        for (const QString& id : silent) {
            const int row = ctx_.devices.findExact(id);
            if (row >= 0) checkRow(row, id, now, limitMs, running);
        }
        return;
    }
    ctx_.silenceRecheck = false;
    nextDueMs_ = std::numeric_limits<qint64>::max();
    for (int row = 0; row < ctx_.devices.rowCount(); ++row) checkRow(row, ctx_.devices.caption(row), now, limitMs, running);
}

void SilenceWatch::checkRow(int row, const QString& id, qint64 now, qint64 limitMs, bool running) {
    State& s = state_[id];
    const bool online = ctx_.engine.IsOnline(id);
    bool silentNow = s.silent;
    QString line;
    qint64 due = std::numeric_limits<qint64>::max();
    if (online) {
        s.offlineSinceMs = 0;
        // Data is what the field sends on its data topic; heartbeats keep a DTU online, not
        // talking. The console's own record of both: asking the engine costs text formatting.
        const auto t = ctx_.traffic.constFind(id);
        qint64 last = t == ctx_.traffic.constEnd() ? 0 : std::max(t->lastDataMs, t->loginMs);
        if (last == 0) {
            if (s.watchedSinceMs == 0) s.watchedSinceMs = now;
            last = s.watchedSinceMs;
        }
        silentNow = now - last >= limitMs;
        due = last + limitMs;
        if (silentNow && !s.silent) line = QStringLiteral(" 已超过%1没有数据").arg(ctx_.config.silentText);
    } else if (running) {
        if (s.offlineSinceMs == 0) s.offlineSinceMs = now;
        silentNow = now - s.offlineSinceMs >= limitMs;
        due = s.offlineSinceMs + limitMs;
        if (silentNow && !s.silent) line = QStringLiteral(" 已离线超过%1").arg(ctx_.config.silentText);
    } else {
        s.offlineSinceMs = 0; // stopped on purpose: offline says nothing
    }
    if (!silentNow) nextDueMs_ = std::min(nextDueMs_, due);
    if (silentNow == s.silent) return;
    if (!silentNow) line = QStringLiteral(" 已恢复");
    s.silent = silentNow;
    if (silentNow) silent_.insert(id);
    else silent_.remove(id);
    const QString full = ctx_.stamp() + QLatin1Char(' ') + id + line;
    ctx_.logQueue.PostLog(full);
    ctx_.devices.setSilent(row, silentNow);
    ctx_.history.record(id, silentNow ? QStringLiteral("silent") : QStringLiteral("recovered"), line.trimmed());
    emit silenceChanged(id, silentNow, full);
}

} // namespace dtu
