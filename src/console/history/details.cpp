#include "console/history/details.h"

#include "core/codec.h"
#include "core/errors.h"

#include <QDateTime>
#include <QDir>
#include <QSaveFile>
#include <algorithm>

namespace dtu {

namespace {

bool startsPeriod(const QString& event) { return event == QLatin1String("login"); }
bool endsPeriod(const QString& event) {
    return event == QLatin1String("disconnect") || event == QLatin1String("close");
}

QString csvTime(qint64 ms) {
    return QDateTime::fromMSecsSinceEpoch(ms).toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
}

} // namespace

DtuDetails DtuDetails::build(const QString& id, const std::vector<DtuEvent>& events, std::vector<MinuteCounts> minutes,
                             qint64 nowMs, bool onlineNow) {
    DtuDetails d;
    d.id = id;
    d.nowMs = nowMs;
    d.minutes = std::move(minutes);
    const qint64 nowMinute = nowMs / 60000;
    d.firstMinuteMs = (nowMinute - static_cast<qint64>(d.minutes.size()) + 1) * 60000;

    const qint64 windowStart = nowMs - kWindowMs;
    bool online = false, seenAny = false;
    qint64 since = 0;
    for (const DtuEvent& e : events) {
        const qint64 at = e.at.toMSecsSinceEpoch();
        // The first word on the state is an end: the DTU was online since before what we have.
        if (!seenAny && endsPeriod(e.event)) online = true, since = windowStart;
        if (startsPeriod(e.event) || endsPeriod(e.event)) seenAny = true;
        if (startsPeriod(e.event) && !online) {
            online = true;
            since = at;
        } else if (endsPeriod(e.event) && online) {
            online = false;
            if (at > windowStart) d.periods.push_back({std::max(since, windowStart), std::min(at, nowMs)});
        }
    }
    // Online now without a login on record (before the history began): the whole day so far.
    if (!online && onlineNow) {
        online = true;
        since = events.empty() ? windowStart : std::max(windowStart, events.back().at.toMSecsSinceEpoch());
    }
    if (online && onlineNow) d.periods.push_back({std::max(since, windowStart), nowMs});

    const std::size_t n = std::min<std::size_t>(events.size(), kShownEvents);
    d.lastEvents.assign(events.rbegin(), events.rbegin() + static_cast<std::ptrdiff_t>(n));
    return d;
}

qint64 DtuDetails::onlineMs() const {
    qint64 sum = 0;
    for (const OnlinePeriod& p : periods) sum += p.toMs - p.fromMs;
    return sum;
}

QString DtuDetails::eventsCsv() const {
    QString out = QStringLiteral("DTUID,event,at,detail\n");
    for (auto it = lastEvents.rbegin(); it != lastEvents.rend(); ++it)
        out += CsvField(it->dtuid) + QLatin1Char(',') + CsvField(it->event) + QLatin1Char(',') +
               it->at.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")) + QLatin1Char(',') + CsvField(it->detail) +
               QLatin1Char('\n');
    return out;
}

QString DtuDetails::minutesCsv() const {
    QString out = QStringLiteral("DTUID,minute,packets_in,packets_out,bytes_in,bytes_out\n");
    for (std::size_t i = 0; i < minutes.size(); ++i) {
        const MinuteCounts& c = minutes[i];
        out += CsvField(id) + QLatin1Char(',') + csvTime(firstMinuteMs + static_cast<qint64>(i) * 60000) +
               QStringLiteral(",%1,%2,%3,%4\n").arg(c.packetsIn).arg(c.packetsOut).arg(c.bytesIn).arg(c.bytesOut);
    }
    return out;
}

QStringList DtuDetails::exportCsv(const QString& folder) const {
    const QString stamp = QDateTime::fromMSecsSinceEpoch(nowMs).toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QStringList written;
    const std::pair<const char*, QString> files[] = {{"events", eventsCsv()}, {"minutes", minutesCsv()}};
    for (const auto& [kind, text] : files) {
        const QString path = QDir(folder).filePath(QStringLiteral("%1-%2-%3.csv").arg(id, QLatin1String(kind), stamp));
        QSaveFile f(path);
        if (!f.open(QIODevice::WriteOnly))
            throw Failure(QStringLiteral("无法写入 %1: %2").arg(path, f.errorString()));
        f.write("\xEF\xBB\xBF");
        f.write(text.toUtf8());
        if (!f.commit()) throw Failure(QStringLiteral("无法写入 %1: %2").arg(path, f.errorString()));
        written << path;
    }
    return written;
}

std::vector<DtuEvent> MergeEvents(const std::vector<DtuEvent>& stored, const std::vector<DtuEvent>& recent) {
    std::vector<DtuEvent> out = stored;
    auto same = [](const DtuEvent& a, const DtuEvent& b) {
        // The database keeps milliseconds, as the clock gives them.
        return a.event == b.event && a.at.toMSecsSinceEpoch() == b.at.toMSecsSinceEpoch() && a.dtuid == b.dtuid;
    };
    for (const DtuEvent& e : recent)
        if (std::none_of(stored.begin(), stored.end(), [&](const DtuEvent& s) { return same(s, e); })) out.push_back(e);
    std::stable_sort(out.begin(), out.end(), [](const DtuEvent& a, const DtuEvent& b) { return a.at < b.at; });
    return out;
}

} // namespace dtu
