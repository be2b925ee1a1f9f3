#pragma once
#include <QDateTime>
#include <QString>
#include <functional>

namespace dtu {

// Fixed formats instead of the locale's, so logs read the same on every machine.
QString TimeStamp(const QDateTime& when);

// Injected wherever "now" matters, so tests can pin it.
struct Clock {
    std::function<QDateTime()> now = [] { return QDateTime::currentDateTime(); };
    QString stamp() const { return TimeStamp(now()); }
};

} // namespace dtu
