#include "core/capture.h"
#include "core/capturefile.h"

#include <gtest/gtest.h>

using namespace dtu;

TEST(CaptureLine, RoundTripsEveryByteAndTheOffset) {
    CaptureRecord r;
    r.usecs = 1796876055123456LL; // a time with all six digits
    r.offsetSeconds = 8 * 3600;
    r.id = "0000000000000001";
    r.toField = true;
    r.source = "port";
    for (int i = 0; i < 256; ++i) r.bytes.append(static_cast<char>(i));
    const QByteArray line = FormatCaptureLine(r);
    EXPECT_TRUE(line.startsWith(CaptureTime(r.usecs, r.offsetSeconds).toLatin1() + " 0000000000000001 > port 000102"));
    EXPECT_TRUE(line.contains("+08:00 ")) << line.left(40).constData();
    EXPECT_TRUE(line.endsWith("FEFF\n"));
    CaptureRecord back;
    QString why;
    ASSERT_TRUE(ParseCaptureLine(line, &back, &why)) << why.toStdString();
    EXPECT_EQ(back.usecs, r.usecs);
    EXPECT_EQ(back.offsetSeconds, r.offsetSeconds);
    EXPECT_EQ(back.bytes, r.bytes);
    EXPECT_TRUE(back.toField);

    r.offsetSeconds = -(3 * 3600 + 30 * 60);
    r.toField = false;
    r.source = "beat";
    r.bytes.clear(); // an empty packet still makes a line
    ASSERT_TRUE(ParseCaptureLine(FormatCaptureLine(r), &back, &why)) << why.toStdString();
    EXPECT_EQ(back.usecs, r.usecs);
    EXPECT_EQ(back.offsetSeconds, r.offsetSeconds);
    EXPECT_TRUE(back.bytes.isEmpty());
}

TEST(CaptureLine, BrokenLinesSayWhy) {
    const QByteArray t = "2026-12-10T03:14:15.123456+08:00";
    struct Case { QByteArray line; const char* why; };
    for (const Case& c : {Case{t + " 0000000000000001 < data", ""},  // no payload: allowed
                          Case{t + " 0000000000000001 < data 414", "odd number"},
                          Case{t + " 0000000000000001 < data 4X", "not a hex digit"},
                          Case{t + " 0000000000000001 = data 41", "direction"},
                          Case{t + " 0000000000000001 < port 41", "cannot go from the field"},
                          Case{t + " 0000000000000001 > reply 41", "cannot go to the field"},
                          Case{"2026-12-10 03:14:15 0000000000000001 < data 41", "field(s)"},
                          Case{"2026-13-10T03:14:15.123456+08:00 0000000000000001 < data 41", "not a valid time"},
                          Case{"2026-12-10T03:14:15.123456Z 0000000000000001 < data 41", "is not yyyy"},
                          Case{"2026-12-10T03:14:15.000001-14:30 0000000000000001 < beat", "not a valid time"},
                          Case{"2026-12-10T03:14:15.000001+14:00 0000000000000001 < beat", ""},
                          Case{"garbage", "field(s)"}}) {
        CaptureRecord r;
        QString why;
        const bool ok = ParseCaptureLine(c.line, &r, &why);
        EXPECT_EQ(ok, QByteArray(c.why).isEmpty()) << c.line.constData();
        EXPECT_TRUE(why.contains(QString::fromUtf8(c.why))) << c.line.constData() << " -> " << why.toStdString();
    }
    // A torn line (a full disk) costs that line only; strict, the whole file is refused.
    const QByteArray text = t + " 0000000000000001 < data 41\n\n" + t + " 0000000000000001 < data 4\n" + t + " 0000000000000001 < data 42\n";
    const CaptureFile lenient = ParseCapture(text, "x.cap");
    EXPECT_TRUE(lenient.error.isEmpty());
    ASSERT_EQ(lenient.records.size(), 2u);
    EXPECT_EQ(lenient.records[1].bytes, "B");
    ASSERT_EQ(lenient.skipped.size(), 1);
    EXPECT_TRUE(lenient.skipped[0].startsWith("x.cap:3: odd number")) << lenient.skipped[0].toStdString();
    const CaptureFile strict = ParseCapture(text, "x.cap", true);
    EXPECT_TRUE(strict.records.empty());
    EXPECT_TRUE(strict.error.startsWith("x.cap:3: odd number")) << strict.error.toStdString();
    // A device has no end: refused, not read for ever.
    EXPECT_TRUE(ReadCaptureFile("/dev/zero").error.contains("not a regular file"));
}
