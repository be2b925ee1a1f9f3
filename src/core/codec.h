#pragma once
// Byte strings travel as QByteArray (binary-safe); hex text is plain ASCII.
#include <QByteArray>
#include <QString>
#include <cstdint>

namespace dtu {

std::int32_t HexToInt(QByteArrayView text);
QByteArray ByteToHex(std::uint8_t b);
QByteArray BytesToHex(QByteArrayView bytes);
QByteArray BytesToHexSpaced(QByteArrayView bytes);
QByteArray HexToBytes(QByteArrayView text);
QByteArray WordToBytes(std::uint16_t w);

// The same conversions straight between bytes and wide hex text, as the link engine's
// data events carry it; they run for every packet.
QString HexText(QByteArrayView bytes);
QByteArray HexToBytes(QStringView text);

// Hex text typed or pasted by an operator: blanks and line breaks between digits are
// skipped; anything else, or an odd number of digits, is an error that names it.
struct HexInput {
    QByteArray bytes;
    QString error; // empty when the text is good
};
HexInput ParseHexInput(QStringView text);

// One CSV field: quoted (quotes doubled) when it holds a comma, a quote or a line break.
QString CsvField(const QString& s);

} // namespace dtu
