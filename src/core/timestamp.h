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
    explicit Clock(std::function<QDateTime()> source) : now(std::move(source)) {}
    std::function<QDateTime()> now = [] { return QDateTime::currentDateTime(); };
    // Every displayed packet takes a stamp; formatting once per second is enough.
    QString stamp() const {
        const QDateTime t = now();
        const qint64 second = t.toSecsSinceEpoch();
        if (second != cachedSecond_ || t.time().msec() == 0) {
            cached_ = TimeStamp(t);
            cachedSecond_ = t.time().msec() == 0 ? -1 : second; // exact midnight must not be reused
        }
        return cached_;
    }

private:
    mutable qint64 cachedSecond_ = -1;
    mutable QString cached_;
};

} // namespace dtu
