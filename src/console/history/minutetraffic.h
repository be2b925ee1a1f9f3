#pragma once
// Packets and bytes each way per DTU and minute, for the last 24 hours. A DTU that never
// carried data costs nothing; one that did holds one fixed ring (kMinutes x 16 bytes).
#include <QHash>
#include <QString>
#include <array>
#include <memory>
#include <vector>

namespace dtu {

struct MinuteCounts {
    quint32 packetsIn = 0, packetsOut = 0, bytesIn = 0, bytesOut = 0; // saturate, never wrap
};

class MinuteRing {
public:
    static constexpr int kMinutes = 24 * 60;
    void add(qint64 minute, bool inbound, qint64 bytes);
    // kMinutes entries, the oldest first, the last one being nowMinute.
    std::vector<MinuteCounts> series(qint64 nowMinute) const;

private:
    void advanceTo(qint64 minute);
    std::array<MinuteCounts, kMinutes> ring_{};
    qint64 last_ = -1; // newest minute written; slots after it in ring order are stale
};

class TrafficHistory {
public:
    void countIn(const QString& id, qint64 bytes, qint64 nowMs) { count(id, true, bytes, nowMs); }
    void countOut(const QString& id, qint64 bytes, qint64 nowMs) { count(id, false, bytes, nowMs); }
    std::vector<MinuteCounts> series(const QString& id, qint64 nowMs) const;
    static qint64 minuteOf(qint64 ms) { return ms / 60000; }
    static constexpr std::size_t bytesPerDtu() { return sizeof(MinuteRing); }
    int trackedDtus() const { return static_cast<int>(rings_.size()); }

private:
    void count(const QString& id, bool inbound, qint64 bytes, qint64 nowMs);
    QHash<QString, std::shared_ptr<MinuteRing>> rings_;
};

} // namespace dtu
