#include "core/timestamp.h"

namespace dtu {

QString TimeStamp(const QDateTime& when) {
    const QString date = when.date().toString(QStringLiteral("yyyy-MM-dd"));
    const QTime t = when.time();
    if (t == QTime(0, 0)) return date;
    return date + QLatin1Char(' ') + t.toString(QStringLiteral("HH:mm:ss"));
}

} // namespace dtu
