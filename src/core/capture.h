#pragma once
// One line of a capture file per byte string that crossed the link:
//   2026-12-10T03:14:15.123456+08:00 0000000000000001 > port 0A1B2C
// time (local, microseconds, UTC offset), DTU ID, direction ('<' field to console, '>'
// console to field), source, the bytes in hex.
#include <QByteArray>
#include <QString>

namespace dtu {

struct CaptureRecord {
    qint64 usecs = 0;        // since the epoch
    int offsetSeconds = 0;   // the local offset the line was written with
    QString id;
    bool toField = false;    // '>' when true
    QByteArray source;       // data, beat, reply (from the field); port, manual, command (to it)
    QByteArray bytes;
};

qint64 NowMicroseconds();
QByteArray FormatCaptureLine(const CaptureRecord& r); // with the line break
// False with a reason for anything that is not such a line; never throws.
bool ParseCaptureLine(const QByteArray& line, CaptureRecord* out, QString* why);
QString CaptureTime(qint64 usecs, int offsetSeconds); // the first field

} // namespace dtu
