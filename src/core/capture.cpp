#include "core/capture.h"

#include <QDateTime>
#include <QList>
#include <QTimeZone>
#include <cstdlib>
#include <ctime>

namespace dtu {

qint64 NowMicroseconds() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<qint64>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

QString CaptureTime(qint64 usecs, int offsetSeconds) {
    const qint64 secs = usecs >= 0 ? usecs / 1000000 : (usecs - 999999) / 1000000;
    const int micro = static_cast<int>(usecs - secs * 1000000);
    const QDateTime t = QDateTime::fromSecsSinceEpoch(secs, QTimeZone(offsetSeconds));
    const int off = std::abs(offsetSeconds);
    return t.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")) + QStringLiteral(".%1").arg(micro, 6, 10, QLatin1Char('0')) +
           (offsetSeconds < 0 ? QLatin1Char('-') : QLatin1Char('+')) +
           QStringLiteral("%1:%2").arg(off / 3600, 2, 10, QLatin1Char('0')).arg(off / 60 % 60, 2, 10, QLatin1Char('0'));
}

QByteArray FormatCaptureLine(const CaptureRecord& r) {
    QByteArray line = CaptureTime(r.usecs, r.offsetSeconds).toLatin1();
    line += ' ';
    line += r.id.toUtf8();
    line += r.toField ? " > " : " < ";
    line += r.source;
    line += ' ';
    line += r.bytes.toHex().toUpper();
    line += '\n';
    return line;
}

bool ParseCaptureLine(const QByteArray& raw, CaptureRecord* out, QString* why) {
    const QByteArray line = raw.trimmed();
    const QList<QByteArray> f = line.split(' ');
    if (f.size() != 5 && !(f.size() == 4 && !line.isEmpty())) {
        *why = QStringLiteral("expected 'TIME ID >|< SOURCE HEX', found %1 field(s)").arg(f.size());
        return false;
    }
    // TIME: yyyy-MM-ddTHH:mm:ss.uuuuuu+hh:mm
    const QByteArray& time = f[0];
    if (time.size() != 32 || time[19] != '.' || (time[26] != '+' && time[26] != '-') || time[29] != ':') {
        *why = QStringLiteral("time '%1' is not yyyy-MM-ddTHH:mm:ss.uuuuuu+hh:mm").arg(QString::fromLatin1(time.left(40)));
        return false;
    }
    bool ok1 = false, ok2 = false, ok3 = false;
    const int micro = time.mid(20, 6).toInt(&ok1);
    const int oh = time.mid(27, 2).toInt(&ok2), om = time.mid(30, 2).toInt(&ok3);
    const QDate day = QDate::fromString(QString::fromLatin1(time.left(10)), QStringLiteral("yyyy-MM-dd"));
    const QTime clock = QTime::fromString(QString::fromLatin1(time.mid(11, 8)), QStringLiteral("HH:mm:ss"));
    const int offset = (time[26] == '-' ? -1 : 1) * (oh * 3600 + om * 60);
    // Offsets run from -14:00 to +14:00; past that no zone exists to write the line back with.
    // The date and time are read in the line's own offset, so a local DST gap cannot shift them.
    const QDateTime at(day, clock, QTimeZone(offset));
    if (!ok1 || !ok2 || !ok3 || micro < 0 || om > 59 || std::abs(offset) > 14 * 3600 || !at.isValid()) {
        *why = QStringLiteral("time '%1' is not a valid time").arg(QString::fromLatin1(time));
        return false;
    }
    CaptureRecord r;
    r.usecs = at.toSecsSinceEpoch() * 1000000 + micro;
    r.offsetSeconds = offset;
    r.id = QString::fromUtf8(f[1]);
    if (r.id.isEmpty()) {
        *why = QStringLiteral("no DTU ID");
        return false;
    }
    if (f[2] != "<" && f[2] != ">") {
        *why = QStringLiteral("direction '%1' is neither '<' nor '>'").arg(QString::fromUtf8(f[2].left(20)));
        return false;
    }
    r.toField = f[2] == ">";
    r.source = f[3];
    static const QList<QByteArray> fromField{"data", "beat", "reply"}, toField{"port", "manual", "command"};
    if (!(r.toField ? toField : fromField).contains(r.source)) {
        *why = QStringLiteral("source '%1' cannot go %2").arg(QString::fromUtf8(r.source.left(20)),
                                                             r.toField ? QStringLiteral("to the field") : QStringLiteral("from the field"));
        return false;
    }
    const QByteArray hex = f.size() == 5 ? f[4] : QByteArray();
    if (hex.size() % 2 != 0) {
        *why = QStringLiteral("odd number of hex digits (%1)").arg(hex.size());
        return false;
    }
    for (char c : hex)
        if (!std::isxdigit(static_cast<unsigned char>(c))) {
            *why = QStringLiteral("'%1' is not a hex digit").arg(QLatin1Char(c));
            return false;
        }
    r.bytes = QByteArray::fromHex(hex);
    *out = std::move(r);
    return true;
}

} // namespace dtu
