#include "core/config.h"
#include "core/timestamp.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <unistd.h>

using namespace dtu;

namespace {
struct Dirs {
    QTemporaryDir local, system;
    ConfigPaths paths() const { return {local.path(), system.path()}; }
    static void write(const QTemporaryDir& d, const QByteArray& text) {
        QFile f(d.filePath("center.ini"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
    }
};
} // namespace

TEST(CenterConfig, DefaultsWithoutFiles) {
    Dirs d;
    const CenterConfig c = ReadCenterConfig(d.paths());
    EXPECT_EQ(c.servicePort, 65000);
    EXPECT_EQ(c.natExPort, 65000);
    EXPECT_EQ(c.dataDispMode, "ASIIC");
    EXPECT_EQ(c.workMode, "MASTER");
    EXPECT_FALSE(c.hexDisplay());
    EXPECT_EQ(c.link.host, "127.0.0.1");
    EXPECT_EQ(c.link.port, 1883);
    EXPECT_EQ(c.link.topicPrefix, "dtu");
    EXPECT_EQ(c.listenerPort, 502);
    EXPECT_FALSE(c.portDir.isEmpty());
    EXPECT_TRUE(c.portDirIsDefault);
}

TEST(CenterConfig, SilentAlarmDurations) {
    struct Case { const char* text; bool ok; int seconds; const char* shown; };
    const Case cases[] = {
        {"30m", true, 1800, "30分钟"}, {"45s", true, 45, "45秒"}, {"2h", true, 7200, "2小时"}, {"90", true, 90, "90秒"},
        {" 5 M ", true, 300, "5分钟"}, {"0", true, 0, "0秒"}, {"31d", false, 0, ""}, {"-5m", false, 0, ""},
        {"1.5h", false, 0, ""}, {"", false, 0, ""}, {"9999h", false, 0, ""},
    };
    for (const auto& c : cases) {
        int seconds = -1;
        QString shown;
        EXPECT_EQ(ParseDuration(c.text, &seconds, &shown), c.ok) << c.text;
        if (!c.ok) continue;
        EXPECT_EQ(seconds, c.seconds) << c.text;
        EXPECT_EQ(shown, QString::fromUtf8(c.shown)) << c.text;
    }
    // Looking back through history (dtudb events --since) may reach past a month.
    int seconds = 0;
    QString shown;
    EXPECT_TRUE(ParseDuration("800h", &seconds, &shown, 3650LL * 24 * 3600));
    EXPECT_EQ(seconds, 800 * 3600);
    Dirs d;
    Dirs::write(d.local, "[ALARM]\nSilent=2h\n");
    EXPECT_EQ(ReadCenterConfig(d.paths()).silentSeconds, 7200);
    Dirs::write(d.local, "[ALARM]\nSilent=soon\n");
    EXPECT_EQ(ReadCenterConfig(d.paths()).silentSeconds, 1800); // unreadable: the default
    Dirs::write(d.local, "[ALARM]\nSilent=0\n");
    EXPECT_EQ(ReadCenterConfig(d.paths()).silentSeconds, 0);
}

TEST(CenterConfig, PortFolderFallsBackToOneOfOurOwn) {
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    qunsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(defaultPortDir(), QString("/tmp/dtuconsole-%1/ports").arg(::getuid()));
    QTemporaryDir rt;
    qputenv("XDG_RUNTIME_DIR", rt.path().toUtf8());
    EXPECT_EQ(defaultPortDir(), rt.path() + "/dtuconsole/ports");
    if (runtime.isNull()) qunsetenv("XDG_RUNTIME_DIR");
    else qputenv("XDG_RUNTIME_DIR", runtime);
}

TEST(CenterConfig, LocalFileWinsOverSystemFile) {
    Dirs d;
    Dirs::write(d.system, "[COMMON]\nServicePort=4000\nDataDispMode=HEX\n");
    EXPECT_EQ(ReadCenterConfig(d.paths()).servicePort, 4000);
    EXPECT_TRUE(ReadCenterConfig(d.paths()).hexDisplay());
    Dirs::write(d.local, "[COMMON]\nServicePort=5000\n");
    const CenterConfig c = ReadCenterConfig(d.paths());
    EXPECT_EQ(c.servicePort, 5000);
    EXPECT_FALSE(c.hexDisplay()); // the system file is not consulted for missing keys
}

TEST(CenterConfig, ValuesAndFallbacks) {
    struct Case { QByteArray ini; bool hex; int servicePort; int linkPort; };
    const Case cases[] = {
        {"[COMMON]\nDataDispMode=HEX\n", true, 65000, 1883},
        {"[COMMON]\nDataDispMode=hex\n", false, 65000, 1883},     // letter case counts
        {"[COMMON]\nServicePort=abc\n", false, 65000, 1883},      // not an integer: default
        {"[COMMON]\nServicePort= 7000 \n[LINK]\nPort=99999\n", false, 7000, 1883},
        {"[LINK]\nPort=18830\n", false, 65000, 18830},
        {QByteArray("\x00\xff\xfe[COMMON\x01\n=\n\x80\x81", 12), false, 65000, 1883}, // binary junk
    };
    for (const auto& c : cases) {
        Dirs d;
        Dirs::write(d.local, c.ini);
        const CenterConfig cfg = ReadCenterConfig(d.paths());
        EXPECT_EQ(cfg.hexDisplay(), c.hex) << c.ini.constData();
        EXPECT_EQ(cfg.servicePort, c.servicePort) << c.ini.constData();
        EXPECT_EQ(cfg.link.port, c.linkPort) << c.ini.constData();
    }
}

TEST(CenterConfig, OurSections) {
    Dirs d;
    Dirs::write(d.local, "[LINK]\nHost=10.0.0.5\nTopicPrefix=plant\nClientPrefix=c-\nBeatInterval=5\n"
                         "[VPORT]\nDir=/tmp/x/ports\n[LISTENER]\nPort=0\n[DISPLAY]\nEncoding=GBK\n");
    const CenterConfig c = ReadCenterConfig(d.paths());
    EXPECT_EQ(c.link.host, "10.0.0.5");
    EXPECT_EQ(c.link.topicPrefix, "plant");
    EXPECT_EQ(c.link.clientPrefix, "c-");
    EXPECT_EQ(c.link.beatInterval, 5);
    EXPECT_EQ(c.portDir, "/tmp/x/ports");
    EXPECT_FALSE(c.portDirIsDefault); // named by the operator: the shared-folder rule holds
    EXPECT_EQ(c.listenerPort, 0);
    EXPECT_EQ(c.encoding, "GBK");

    struct History { QByteArray ini; int keepDays, maxHeld; };
    for (const History& h : {History{"", 90, 100000}, History{"[HISTORY]\nKeepDays=7\nMaxHeld=500\n", 7, 500},
                             History{"[HISTORY]\nKeepDays=0\n", 0, 100000},
                             History{"[HISTORY]\nKeepDays=-3\nMaxHeld=0\n", 90, 100000}}) {
        Dirs::write(d.local, h.ini);
        const CenterConfig hc = ReadCenterConfig(d.paths());
        EXPECT_EQ(hc.historyKeepDays, h.keepDays) << h.ini.constData();
        EXPECT_EQ(hc.historyMaxHeld, h.maxHeld) << h.ini.constData();
    }
}

TEST(TimeStamp, FixedFormatAndMidnight) {
    const QDate day(2026, 3, 5);
    EXPECT_EQ(TimeStamp(QDateTime(day, QTime(0, 0, 0))), "2026-03-05");
    EXPECT_EQ(TimeStamp(QDateTime(day, QTime(0, 0, 1))), "2026-03-05 00:00:01");
    EXPECT_EQ(TimeStamp(QDateTime(day, QTime(23, 59, 59))), "2026-03-05 23:59:59");
    Clock fixed{[] { return QDateTime(QDate(2016, 3, 5), QTime(8, 9, 10)); }};
    EXPECT_EQ(fixed.stamp(), "2016-03-05 08:09:10");
}
