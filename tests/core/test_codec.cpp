#include "core/codec.h"

#include <gtest/gtest.h>

using namespace dtu;

namespace {
QByteArray bytes(std::initializer_list<int> v) {
    QByteArray b;
    for (int x : v) b.append(static_cast<char>(x));
    return b;
}
} // namespace

TEST(Codec, HexToIntCases) {
    struct Case { QByteArray in; std::int32_t out; };
    const Case cases[] = {
        {"", 0}, {"ff", 255}, {"FF", 255}, {"E023", 57379}, {"1 ", 16}, {" 5", 5},
        {"FFFFFFFF", -1}, {"123456789", 0x23456789}, // only the last eight digits count
    };
    for (const auto& c : cases) EXPECT_EQ(HexToInt(c.in), c.out) << c.in.constData();
}

TEST(Codec, ByteAndWordConversions) {
    EXPECT_EQ(ByteToHex(10), "0A");
    EXPECT_EQ(ByteToHex(0xFF), "FF");
    EXPECT_EQ(ByteToHex(0), "00");
    EXPECT_EQ(WordToBytes(0xE023), bytes({0xE0, 0x23}));
    EXPECT_EQ(WordToBytes(0x0007), bytes({0x00, 0x07}));
}

TEST(Codec, BytesToHexIsBinarySafe) {
    EXPECT_EQ(BytesToHex("12345678"), "3132333435363738");
    EXPECT_EQ(BytesToHex(bytes({0x00, 0x80, 0xFF, 0x7F})), "0080FF7F");
    EXPECT_EQ(BytesToHex(QByteArray()), "");
    EXPECT_EQ(BytesToHexSpaced(bytes({0xAA, 0x55})), "AA 55 ");
    EXPECT_EQ(BytesToHexSpaced(QByteArray()), "");
}

TEST(Codec, HexToBytesCases) {
    struct Case { QByteArray in; QByteArray out; };
    const Case cases[] = {
        {"AA55", bytes({0xAA, 0x55})},
        {"AA5", bytes({0xAA})},          // odd last digit dropped
        {"AA 55", bytes({0xAA, 0x05})},  // pieces by position: "AA", " 5"
        {"", {}},
        {"0", {}},
        {"00ff80", bytes({0x00, 0xFF, 0x80})},
    };
    for (const auto& c : cases) EXPECT_EQ(HexToBytes(c.in), c.out) << c.in.constData();
}

TEST(Codec, EveryByteRoundTrips) {
    QByteArray all;
    for (int i = 0; i < 256; ++i) all.append(static_cast<char>(i));
    EXPECT_EQ(HexToBytes(BytesToHex(all)), all);
}

TEST(Codec, OperatorHexInput) {
    struct Case { QString in; QByteArray out; QString error; };
    const Case cases[] = {
        {"AA 55 00 04 E0 0E 00 F2", QByteArray::fromHex("AA550004E00E00F2"), ""}, // the console's own [HEX:...] form
        {"aa55\r\n0d0a\t", QByteArray::fromHex("AA550D0A"), ""},
        {QString("A") + QChar::ParagraphSeparator + "A", bytes({0xAA}), ""}, // a digit pair split by a break
        {"", {}, ""},
        {"  \n", {}, ""},
        {"AA5", {}, "HEX数据的数字个数为奇数(3个)，未发送"},
        {"AA,55", {}, "HEX数据中有非法字符“,”(第3个字符)，未发送"},
        {"AA\x01", {}, "HEX数据中有非法字符“\\x01”(第3个字符)，未发送"},
        {"ＡＡ", {}, "HEX数据中有非法字符“Ａ”(第1个字符)，未发送"}, // full-width digits are not hex
    };
    for (const auto& c : cases) {
        const HexInput r = ParseHexInput(c.in);
        EXPECT_EQ(r.bytes, c.out) << c.in.toStdString();
        EXPECT_EQ(r.error, c.error) << c.in.toStdString();
    }
}

// Spreadsheet-safe CSV: quoting where needed, and a cell a spreadsheet would run as a
// formula is turned into text.
TEST(Codec, CsvFieldQuotesAndDisarmsFormulas) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"plain", "plain"},
        {"", ""},
        {"a,b", "\"a,b\""},
        {"say \"hi\"", "\"say \"\"hi\"\"\""},
        {"two\nlines", "\"two\nlines\""},
        {"=cmd|'/C calc'!A0", "\"'=cmd|'/C calc'!A0\""},
        {"+1", "\"'+1\""},
        {"-2", "\"'-2\""},
        {"@SUM(A1)", "\"'@SUM(A1)\""},
        {"\tx", "\"'\tx\""},
        {"\rx", "\"'\rx\""},
        {"=a,\"b\"", "\"'=a,\"\"b\"\"\""},
        {"a=b", "a=b"},
    };
    for (const auto& c : cases) EXPECT_EQ(CsvField(QString::fromUtf8(c.in)), QString::fromUtf8(c.out)) << c.in;
}
