#include "console/service/silence.h"

#include "console/context.h"
#include "engines/link/linkengine.h"

#include <algorithm>

namespace dtu {

SilenceWatch::SilenceWatch(ConsoleContext& ctx, QObject* parent) : QObject(parent), ctx_(ctx) {}

void SilenceWatch::check() {
    const qint64 limitMs = static_cast<qint64>(ctx_.config.silentSeconds) * 1000;
    if (limitMs <= 0) return;
    const qint64 now = ctx_.clock.now().toMSecsSinceEpoch();
    const bool running = ctx_.serviceRunning();
    for (int row = 0; row < ctx_.devices.rowCount(); ++row) {
        const QString id = ctx_.devices.caption(row);
        State& s = state_[id];
        const bool online = ctx_.engine.IsOnline(id);
        bool silentNow = s.silent;
        QString line;
        if (online) {
            s.offlineSinceMs = 0;
            // Data is what the field sends on its data topic; heartbeats keep a DTU online, not
            // talking. The console's own record of both: asking the engine costs text formatting.
            const ConsoleContext::Traffic t = ctx_.traffic.value(id);
            qint64 last = std::max(t.lastDataMs, t.loginMs);
            if (last == 0) {
                if (s.watchedSinceMs == 0) s.watchedSinceMs = now;
                last = s.watchedSinceMs;
            }
            silentNow = now - last >= limitMs;
            if (silentNow && !s.silent) line = QStringLiteral(" 已超过%1没有数据").arg(ctx_.config.silentText);
        } else if (running) {
            if (s.offlineSinceMs == 0) s.offlineSinceMs = now;
            silentNow = now - s.offlineSinceMs >= limitMs;
            if (silentNow && !s.silent) line = QStringLiteral(" 已离线超过%1").arg(ctx_.config.silentText);
        } else {
            s.offlineSinceMs = 0; // stopped on purpose: offline says nothing
        }
        if (silentNow == s.silent) continue;
        if (!silentNow) line = QStringLiteral(" 已恢复");
        s.silent = silentNow;
        const QString full = ctx_.stamp() + QLatin1Char(' ') + id + line;
        ctx_.logQueue.PostLog(full);
        ctx_.devices.setSilent(row, silentNow);
        ctx_.history.record(id, silentNow ? QStringLiteral("silent") : QStringLiteral("recovered"), line.trimmed());
        emit silenceChanged(id, silentNow, full);
    }
}

} // namespace dtu
