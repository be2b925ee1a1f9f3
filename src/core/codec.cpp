#include "core/codec.h"

#include <array>

namespace dtu {

namespace {
constexpr char kDigits[] = "0123456789ABCDEF";

// Only hex digits and blanks ever reach the decoders; anything else reads as 0.
int digitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}
} // namespace

std::int32_t HexToInt(QByteArrayView text) {
    std::uint32_t v = 0; // unsigned so the shift drops high digits without overflow
    for (char c : text) v = v * 16u + static_cast<std::uint32_t>(digitValue(c));
    return static_cast<std::int32_t>(v);
}

QByteArray ByteToHex(std::uint8_t b) {
    QByteArray out(2, Qt::Uninitialized);
    out[0] = kDigits[b >> 4];
    out[1] = kDigits[b & 0x0F];
    return out;
}

QByteArray BytesToHex(QByteArrayView bytes) { return bytes.toByteArray().toHex().toUpper(); }

QByteArray BytesToHexSpaced(QByteArrayView bytes) {
    QByteArray out;
    out.reserve(bytes.size() * 3);
    for (char c : bytes) {
        out += ByteToHex(static_cast<std::uint8_t>(c));
        out += ' ';
    }
    return out;
}

// Decoding runs for every received packet: a table instead of a call per digit.
const std::array<std::uint8_t, 256>& digitTable() {
    static const auto table = [] {
        std::array<std::uint8_t, 256> t{};
        for (int c = 0; c < 256; ++c) t[static_cast<size_t>(c)] = static_cast<std::uint8_t>(digitValue(static_cast<char>(c)));
        return t;
    }();
    return table;
}

QByteArray HexToBytes(QByteArrayView text) {
    const auto& table = digitTable();
    const qsizetype n = text.size() / 2;
    QByteArray out(n, Qt::Uninitialized);
    const auto* in = reinterpret_cast<const std::uint8_t*>(text.data());
    char* o = out.data();
    for (qsizetype i = 0; i < n; ++i) o[i] = static_cast<char>((table[in[2 * i]] << 4) | table[in[2 * i + 1]]);
    return out;
}

QString HexText(QByteArrayView bytes) {
    QString out(bytes.size() * 2, Qt::Uninitialized);
    QChar* o = out.data();
    for (char c : bytes) {
        const auto b = static_cast<std::uint8_t>(c);
        *o++ = QLatin1Char(kDigits[b >> 4]);
        *o++ = QLatin1Char(kDigits[b & 0x0F]);
    }
    return out;
}

QByteArray HexToBytes(QStringView text) {
    const auto& table = digitTable();
    const qsizetype n = text.size() / 2;
    QByteArray out(n, Qt::Uninitialized);
    const char16_t* in = text.utf16();
    char* o = out.data();
    auto value = [&table](char16_t c) { return c < 256 ? table[c] : 0; };
    for (qsizetype i = 0; i < n; ++i) o[i] = static_cast<char>((value(in[2 * i]) << 4) | value(in[2 * i + 1]));
    return out;
}

QByteArray WordToBytes(std::uint16_t w) {
    QByteArray out(2, Qt::Uninitialized);
    out[0] = static_cast<char>(w >> 8);
    out[1] = static_cast<char>(w & 0xFF);
    return out;
}

HexInput ParseHexInput(QStringView text) {
    HexInput r;
    r.bytes.reserve(text.size() / 2);
    int high = -1;
    qsizetype digits = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == QLatin1Char(' ') || c == QLatin1Char('\t') || c == QLatin1Char('\r') || c == QLatin1Char('\n') ||
            c == QChar::ParagraphSeparator || c == QChar::LineSeparator || c == QChar::Nbsp)
            continue;
        const char16_t u = c.unicode();
        const int v = u >= '0' && u <= '9' ? u - '0' : u >= 'A' && u <= 'F' ? u - 'A' + 10 : u >= 'a' && u <= 'f' ? u - 'a' + 10 : -1;
        if (v < 0) {
            const QString shown = c.isPrint() ? QString(c) : QStringLiteral("\\x%1").arg(c.unicode(), 2, 16, QLatin1Char('0'));
            r.error = QStringLiteral("HEX数据中有非法字符“%1”(第%2个字符)，未发送").arg(shown).arg(i + 1);
            r.bytes.clear();
            return r;
        }
        ++digits;
        if (high < 0) {
            high = v;
        } else {
            r.bytes.append(static_cast<char>((high << 4) | v));
            high = -1;
        }
    }
    if (high >= 0) {
        r.error = QStringLiteral("HEX数据的数字个数为奇数(%1个)，未发送").arg(digits);
        r.bytes.clear();
    }
    return r;
}

QString CsvField(const QString& s) {
    // A cell a spreadsheet would take for a formula (field bytes may be anything) gets a
    // leading apostrophe, so it is shown as text and never run.
    static const QString kFormulaStarts = QStringLiteral("=+-@\t\r");
    const bool formula = !s.isEmpty() && kFormulaStarts.contains(s.front());
    if (!formula && !s.contains(QLatin1Char(',')) && !s.contains(QLatin1Char('"')) && !s.contains(QLatin1Char('\n')) &&
        !s.contains(QLatin1Char('\r')))
        return s;
    QString q = formula ? QLatin1Char('\'') + s : s;
    q.replace(QLatin1Char('"'), QLatin1String("\"\""));
    return QLatin1Char('"') + q + QLatin1Char('"');
}

} // namespace dtu
