#include "console/history/minutetraffic.h"

#include <limits>

namespace dtu {

namespace {
void addSaturating(quint32& to, qint64 n) {
    const qint64 sum = static_cast<qint64>(to) + n;
    to = sum > std::numeric_limits<quint32>::max() ? std::numeric_limits<quint32>::max() : static_cast<quint32>(sum);
}
int slotOf(qint64 minute) { return static_cast<int>(minute % MinuteRing::kMinutes); }
} // namespace

void MinuteRing::advanceTo(qint64 minute) {
    if (minute <= last_) return;
    // Minutes nobody counted in since the last packet read as zero.
    const qint64 from = last_ < 0 || minute - last_ > kMinutes ? minute - kMinutes + 1 : last_ + 1;
    for (qint64 m = from; m <= minute; ++m) ring_[slotOf(m)] = {};
    last_ = minute;
}

void MinuteRing::add(qint64 minute, bool inbound, qint64 bytes) {
    if (minute < 0) return;
    advanceTo(minute);
    if (minute <= last_ - kMinutes) return; // older than the ring (a clock stepped back far)
    MinuteCounts& c = ring_[slotOf(minute)];
    if (inbound) {
        addSaturating(c.packetsIn, 1);
        addSaturating(c.bytesIn, bytes);
    } else {
        addSaturating(c.packetsOut, 1);
        addSaturating(c.bytesOut, bytes);
    }
}

std::vector<MinuteCounts> MinuteRing::series(qint64 nowMinute) const {
    std::vector<MinuteCounts> out(kMinutes);
    for (int i = 0; i < kMinutes; ++i) {
        const qint64 m = nowMinute - kMinutes + 1 + i;
        if (m < 0 || m > last_ || m <= last_ - kMinutes) continue;
        out[static_cast<std::size_t>(i)] = ring_[slotOf(m)];
    }
    return out;
}

void TrafficHistory::count(const QString& id, bool inbound, qint64 bytes, qint64 nowMs) {
    std::shared_ptr<MinuteRing>& ring = rings_[id];
    if (!ring) ring = std::make_shared<MinuteRing>();
    ring->add(minuteOf(nowMs), inbound, bytes);
}

std::vector<MinuteCounts> TrafficHistory::series(const QString& id, qint64 nowMs) const {
    const auto it = rings_.constFind(id);
    if (it == rings_.constEnd()) return std::vector<MinuteCounts>(MinuteRing::kMinutes);
    return (*it)->series(minuteOf(nowMs));
}

} // namespace dtu
