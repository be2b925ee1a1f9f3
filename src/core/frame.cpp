#include "core/frame.h"

#include "core/codec.h"

namespace dtu {

namespace {
std::uint16_t sum16(const QByteArray& b, qsizetype from, qsizetype count) {
    std::uint32_t s = 0;
    for (qsizetype i = from; i < from + count; ++i) s += static_cast<std::uint8_t>(b[i]);
    return static_cast<std::uint16_t>(s & 0xFFFF);
}
std::uint8_t u8(const QByteArray& b, qsizetype i) { return static_cast<std::uint8_t>(b[i]); }
} // namespace

std::uint16_t CommandWord(const char* hex) {
    const QByteArrayView v(hex);
    return static_cast<std::uint16_t>(HexToInt(v.first(2)) * 256 + HexToInt(v.sliced(2, 2)));
}

QByteArray BuildCommandFrame(std::uint16_t command, const QByteArray& payload) {
    const int len = static_cast<int>(payload.size()) + 4;
    QByteArray f;
    f.reserve(payload.size() + 8);
    f.append(char(0xAA)).append(char(0x55));
    f.append(static_cast<char>((len / 256) & 0xFF)).append(static_cast<char>(len % 256));
    f.append(WordToBytes(command));
    f.append(payload);
    f.append(WordToBytes(sum16(f, 2, f.size() - 2)));
    return f;
}

QByteArray ClockPayload(const QDateTime& when) {
    const QDate d = when.date();
    const QTime t = when.time();
    return QString::asprintf("%.4d-%.2d-%.2d %.2d:%.2d:%.2d", d.year(), d.month(), d.day(), t.hour(), t.minute(),
                             t.second())
        .toLatin1();
}

bool LooksLikeSignalReply(const QByteArray& bytes) {
    return bytes.startsWith("\xAA\x55") && bytes.indexOf(QByteArray("\xE0\x23", 2)) == 4;
}

std::optional<int> SignalValue(const QByteArray& b) {
    if (b.size() < 6 || u8(b, 0) != 0xAA || u8(b, 1) != 0x55 || u8(b, 4) != 0xE0 || u8(b, 5) != 0x23) return {};
    const int len = u8(b, 2) * 256 + u8(b, 3);
    if (b.size() < len + 4) return {};
    const int stored = u8(b, len + 2) * 256 + u8(b, len + 3);
    if (sum16(b, 2, len) != stored) return {};
    if (b.size() != 9) return {};
    return u8(b, 6);
}

} // namespace dtu
