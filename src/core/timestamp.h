#pragma once
#include <QDateTime>
#include <QString>
#include <functional>

namespace dtu {

// Fixed formats instead of the locale's, so logs read the same on every machine.
QString TimeStamp(const QDateTime& when);

// Injected wherever "now" matters, so tests can pin it.
struct Clock {
    Clock() = default;
    explicit Clock(std::function<QDateTime()> source) : now(std::move(source)), system_(false) {}
    std::function<QDateTime()> now = [] { return QDateTime::currentDateTime(); };
    // Milliseconds since the epoch, cheap enough for every packet.
    qint64 msecs() const { return system_ ? QDateTime::currentMSecsSinceEpoch() : now().toMSecsSinceEpoch(); }
    // Every displayed packet takes a stamp; formatting once per second is enough, and
    // the system clock is asked in its cheap form until the second changes.
    QString stamp() const {
        if (system_) {
            const qint64 ms = QDateTime::currentMSecsSinceEpoch();
            if (ms / 1000 == cachedSecond_ && ms % 1000 != 0) return cached_;
        }
        const QDateTime t = now();
        const qint64 second = t.toSecsSinceEpoch();
        if (second != cachedSecond_ || t.time().msec() == 0) {
            cached_ = TimeStamp(t);
            cachedSecond_ = t.time().msec() == 0 ? -1 : second; // exact midnight must not be reused
        }
        return cached_;
    }

private:
    bool system_ = true;
    mutable qint64 cachedSecond_ = -1;
    mutable QString cached_;
};

} // namespace dtu
