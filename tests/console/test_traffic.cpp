// Sending, the engine's events, inbound dispatch and manual send.
#include "support/consolefixture.h"
#include "core/capturefile.h"
#include "console/status/statuspage.h"
#include <QDir>
#include <QThread>
#include <cerrno>
#include <cstring>
#include <sys/mount.h>
#include <unistd.h>
#include <QFileInfo>
#include <QCoreApplication>

using namespace dtu;
using namespace dtu::test;
using M = DeviceListModel;

namespace {
const QString A = "0000000000000001", B = "0000000000000002", C = "0000000000000003";
const QString T = "2016-03-05 08:09:10";
QByteArray bytes(std::initializer_list<int> v) {
    QByteArray b;
    for (int x : v) b.append(static_cast<char>(x));
    return b;
}
} // namespace

class Traffic : public ConsoleFixture {};

TEST_F(Traffic, SendToDtuResultsLinesAndCounts) {
    start({{A, "a", ""}});
    struct Case { bool online; int result; QString cellBefore; QString cellAfter; QString line; };
    const Case cases[] = {
        {true, 0, "41", "42", ""},
        {true, 7, "", "1", ""},
        {true, -1, "5", "5", "发送失败," + A + " TCP响应超时"},
        {true, -2, "", "0", "发送失败," + A + "不在线"},
        {true, -3, "3", "3", "发送失败," + A + "不在DTU列表中"},
        {true, -5, "3", "3", ""},
        {false, 0, "7", "7", ""},
    };
    for (const auto& c : cases) {
        engine.online.clear();
        if (c.online) engine.online.insert(A);
        engine.sendResult[A] = c.result;
        engine.sent.clear();
        ctx().logQueue.clear();
        ctx().devices.setSubItem(0, M::SubSent, c.cellBefore);
        SendToDtu(ctx(), 0, A, "x");
        EXPECT_EQ(ctx().devices.subItem(0, M::SubSent), c.cellAfter) << c.result;
        EXPECT_EQ(ctx().logQueue.lines(), c.line.isEmpty() ? QStringList{} : QStringList{c.line}) << c.result;
        EXPECT_EQ(engine.sent.size(), c.online ? 1 : 0);
    }
}

TEST_F(Traffic, SendToDtuIsBinarySafeAndRowOptional) {
    start({{A, "a", ""}});
    engine.online.insert(A);
    const QByteArray frame = bytes({0xAA, 0x55, 0x00, 0x04, 0xE0, 0x0E, 0x00, 0xF2});
    SendToDtu(ctx(), -1, A, frame);
    SendToDtu(ctx(), -1, A, "GETDEST");
    SendToDtu(ctx(), -1, A, QByteArray());
    ASSERT_EQ(engine.sent.size(), 3);
    EXPECT_EQ(engine.sent[0].second, frame);
    EXPECT_EQ(engine.sent[1].second, "GETDEST");
    EXPECT_EQ(engine.sent[2].second.size(), 0);
    EXPECT_EQ(ctx().devices.subItem(0, M::SubSent), "0"); // no row given: the engine's count stands
}

TEST_F(Traffic, BracketedSendRestoresModeEvenWhenTheSendFails) {
    start({{A, "a", ""}});
    engine.online.insert(A);
    engine.failOn = "SendData";
    EXPECT_THROW(SendBracketed(ctx(), -1, A, "x"), Failure);
    EXPECT_EQ(engine.calls.last(), "SetSendMode(2)");
}

TEST_F(Traffic, LoginAndBeatReplies) {
    start({{A, "a", ""}, {B, "b", ""}});
    select(0);
    struct Case { bool login; QString id; int result; QString line; bool marked; };
    const Case cases[] = {
        {true, A, 0, T + " " + A + "登录成功", true},
        {true, A.toLower(), 0, T + " " + A.toLower() + "登录成功", true}, // row found ignoring case
        {true, A, -1, "", true},
        {true, B, 0, "", true},                    // row not selected
        {true, C, 0, "", true},                    // no row
        {true, "", 0, "", false},
        {false, B, 100, T + " " + B + "心跳成功", true}, // any row, selected or not
        {false, A, 99, "", true},
        {false, C, 100, "", true},
        {false, "", 100, "", false},
    };
    for (const auto& c : cases) {
        ctx().messageDisplay.clear();
        ctx().refreshQueue.clear();
        if (c.login) console->events.onLoginReply(c.id, c.result);
        else console->events.onBeatReply(c.id, c.result);
        EXPECT_EQ(memo(), c.line.isEmpty() ? QStringList{} : QStringList{c.line}) << c.id.toStdString() << c.result;
        EXPECT_EQ(ctx().refreshQueue.count(), c.marked ? 1 : 0) << c.id.toStdString();
    }
    console->events.onDisconnect(A);
    console->events.onDisconnect("");
    EXPECT_EQ(ctx().refreshQueue.count(), 1);
}

TEST_F(Traffic, HeartbeatPacketsAndTrimming) {
    start({{A, "a", ""}});
    console->events.onCenterBeat(A, 4, "4EAA4BEA");
    EXPECT_TRUE(memo().isEmpty()); // option off
    console->toggleHeartbeats();
    console->events.onCenterBeat(A, 4, "4eaa4bea");
    EXPECT_TRUE(memo().isEmpty());
    console->events.onCenterBeat(A, 4, "4EAA4BEA");
    EXPECT_EQ(memo(), QStringList{T + " 收到" + A + "心跳"});
    EXPECT_TRUE(ctx().refreshQueue.ids().isEmpty());

    ctx().messageDisplay.clear();
    fillMemo(53);
    console->events.onCenterBeat(A, 2, "0102");
    EXPECT_EQ(ctx().messageDisplay.lineCount(), 50);
    ctx().messageDisplay.clear();
    fillMemo(53);
    console->events.onCenterBeat(A, 4, "4EAA4BEA");
    EXPECT_EQ(ctx().messageDisplay.lineCount(), 51);
}

TEST_F(Traffic, TrimmingAcrossWriters) {
    start({{A, "a", ""}});
    engine.online.insert(A);
    setOnline(A);
    select(0);
    fillMemo(50);
    ctx().sendBox.setPlainText("x");
    console->sendManually();                  // adds, no trim
    EXPECT_EQ(ctx().messageDisplay.lineCount(), 51);
    console->events.onBeatReply(A, 100);     // adds, trims once
    EXPECT_EQ(ctx().messageDisplay.lineCount(), 51);
    console->events.onCenterData(A, 1, "41"); // adds, trims three times
    EXPECT_EQ(ctx().messageDisplay.lineCount(), 50);
    EXPECT_EQ(memo().last(), T + " 收到" + A + "数据:A");
}

TEST_F(Traffic, DataGoesToThePortAndTheDisplay) {
    const QString lettered = "00000000000000AB";
    start({{A, "a", "COM5"}, {B, "b", "COM5"}, {C, "c", ""}, {lettered, "d", ""}});
    // A holds the open COM5; B only carries the name.
    ASSERT_EQ(ports.made.size(), 2); // busPort and A's port
    FakePort* com5 = ports.made[1];
    EXPECT_EQ(ctx().roster.at(1).portState, "串口已经存在");

    console->events.onCenterData(A, 6, "444154413D31");
    EXPECT_EQ(com5->written, "DATA=1");
    EXPECT_EQ(memo().last(), T + " 收到" + A + "数据:DATA=1");
    EXPECT_EQ(ctx().refreshQueue.ids(), QStringList{A});

    com5->written.clear();
    console->events.onCenterData(B, 2, "0042"); // through the first record's port
    EXPECT_EQ(com5->written, bytes({0x00, 0x42}));

    com5->written.clear();
    console->events.onCenterData(C, 1, "41"); // no port name: nothing written, still shown
    EXPECT_TRUE(com5->written.isEmpty());
    EXPECT_EQ(memo().last(), T + " 收到" + C + "数据:A");
    console->events.onCenterBytes(lettered.toLower(), "B"); // the row is found ignoring case
    EXPECT_EQ(memo().last(), T + " 收到00000000000000ab数据:B");

    ctx().messageDisplay.clear();
    console->events.onCenterData("FFFFFFFFFFFFFFFF", 1, "41"); // no row, text mode: not shown
    EXPECT_TRUE(memo().isEmpty());
    EXPECT_TRUE(ctx().refreshQueue.ids().contains("FFFFFFFFFFFFFFFF"));

    console->toggleHexDisplay();
    console->events.onCenterData("FFFFFFFFFFFFFFFF", 3, "414"); // hex mode: shown as received
    EXPECT_EQ(memo().last(), T + " 收到FFFFFFFFFFFFFFFF数据:414");

    const int before = memo().size();
    for (const QString& buf : {QString(), QString("4")}) console->events.onCenterData(A, 0, buf);
    console->events.onCenterData("", 1, "41");
    EXPECT_EQ(memo().size(), before);
}

// Binary packets in text mode: their lines are counted from the bytes and made only when
// shown; what is shown is what the text itself splits into.
TEST_F(Traffic, BinaryPacketsBecomeTheirLinesWhenShown) {
    start({{A, "a", ""}});
    const QString H = T + " 收到" + A + "数据:";
    const struct {
        QByteArray bytes;
        QStringList lines;
    } cases[] = {
        {QByteArray("a\r\nb", 4), {H + "a", "b"}},
        {QByteArray("a\rb\nc\n", 6), {H + "a", "b", "c", ""}},
        {QByteArray("\0x\0", 3), {H + QString(QChar(0xFFFD)) + "x" + QChar(0xFFFD)}},
        {QByteArray("p\xE2\x80\xA9q"), {H + "p", "q"}},          // U+2029 in UTF-8
        {QByteArray("\r\r\n\n", 4), {H, "", "", ""}},
        {QByteArray("\xFF\n\xFE", 3), {H + QChar(0xFFFD), QString(QChar(0xFFFD))}}, // not UTF-8: no extra break
    };
    for (const auto& c : cases) {
        ctx().messageDisplay.clear();
        console->events.onCenterBytes(A, c.bytes);
        EXPECT_EQ(ctx().messageDisplay.lineCount(), c.lines.size()) << c.bytes.toHex().toStdString();
        EXPECT_EQ(memo(), c.lines) << c.bytes.toHex().toStdString();
    }
    // A flood of them: lines pushed out before the display is drawn are never made.
    ctx().messageDisplay.clear();
    int made = 0;
    for (int i = 0; i < 3000; ++i)
        ctx().messageDisplay.appendLazyLines(3, [&made] { ++made; return QString("x\ny\nz"); });
    EXPECT_EQ(ctx().messageDisplay.lineCount(), MessageDisplay::kHardLimit);
    EXPECT_EQ(memo().size(), MessageDisplay::kHardLimit);
    EXPECT_LE(made, MessageDisplay::kHardLimit / 3 + 1);
    // A text that splits otherwise than counted is fitted to the count.
    ctx().messageDisplay.clear();
    ctx().messageDisplay.appendLazyLines(2, [] { return QString("a\nb\nc"); });
    ctx().messageDisplay.appendLazyLines(3, [] { return QString("d"); });
    EXPECT_EQ(memo(), (QStringList{"a", "b c", "d", "", ""}));
}

// A service that does not print data lines has nobody watching the display: its flushes
// make nothing, and the lines come out right when asked for later.
TEST(MessageDisplayUnwatched, MakesLinesOnlyWhenAsked) {
    MessageDisplay display;
    int made = 0;
    display.append("plain");
    display.appendLazy([&made] { ++made; return QString("lazy"); });
    display.appendLazyLines(2, [&made] { ++made; return QString("a\r\nb"); });
    display.flush();
    display.appendLazy([&made] { ++made; return QString("later"); });
    display.flush();
    EXPECT_EQ(made, 0);
    EXPECT_EQ(display.lines(), (QStringList{"plain", "lazy", "a", "b", "later"}));
    EXPECT_EQ(made, 3);
    EXPECT_EQ(display.lines(), (QStringList{"plain", "lazy", "a", "b", "later"}));
    EXPECT_EQ(made, 3);
}

TEST_F(Traffic, AHugePacketReachesThePortWholeAndIsShownCut) {
    start({{A, "a", "COM5"}});
    FakePort* com5 = ports.made[1];
    QByteArray big(2 << 20, 'x');
    big[5] = '\n'; // breaks in the shown part still make lines
    const QString hex = QString::fromLatin1(big.toHex().toUpper());
    const QString tail = "...[共2097152字节]";
    console->events.onCenterData(A, static_cast<int>(big.size()), hex);
    EXPECT_EQ(com5->written, big);
    QStringList lines = memo();
    ASSERT_EQ(lines.size(), 2);
    EXPECT_EQ(lines[0], T + " 收到" + A + "数据:xxxxx");
    EXPECT_EQ(lines[1], QString(1024 - 6, 'x') + tail);

    ctx().messageDisplay.clear();
    console->toggleHexDisplay();
    console->events.onCenterData(A, static_cast<int>(big.size()), hex);
    lines = memo();
    ASSERT_EQ(lines.size(), 1);
    EXPECT_EQ(lines[0], T + " 收到" + A + "数据:" + hex.left(2048) + tail);
    ctx().messageDisplay.clear(); // handed over as bytes, the line reads the same
    console->events.onCenterBytes(A, big);
    EXPECT_EQ(memo(), lines);

    for (bool asBytes : {false, true}) {
        ctx().messageDisplay.clear(); // exactly the limit: shown whole, no note
        if (asBytes) console->events.onCenterBytes(A, big.left(1024));
        else console->events.onCenterData(A, 1024, hex.left(2048));
        EXPECT_EQ(memo().first(), T + " 收到" + A + "数据:" + hex.left(2048)) << asBytes;
    }
}

TEST_F(Traffic, CountsPastTwoToTheThirtyOne) {
    start({{A, "a", ""}});
    engine.online.insert(A);
    ctx().devices.setSubItem(0, M::SubSent, "4294967296");
    SendToDtu(ctx(), 0, A, "x");
    EXPECT_EQ(ctx().devices.subItem(0, M::SubSent), "4294967297");
}

TEST_F(Traffic, FailingPortWriteIsSwallowed) {
    start({{A, "a", "COM5"}});
    ports.made[1]->failWrite = true;
    console->events.onCenterData(A, 1, "41");
    EXPECT_EQ(memo().size(), 1);
    EXPECT_TRUE(memo()[0].endsWith("数据:A"));
}

TEST_F(Traffic, ReplyRecognizersConsumeOrPassOn) {
    start({{A, "a", "COM5"}});
    FakePort* com5 = ports.made[1];
    console->events.onCenterData(A, 13, QString::fromLatin1(QByteArray("SETDSTLIST OK").toHex().toUpper()));
    EXPECT_TRUE(com5->written.isEmpty());
    EXPECT_TRUE(memo().isEmpty());
    EXPECT_TRUE(ctx().refreshQueue.ids().isEmpty());
    EXPECT_EQ(ctx().statusPanel(3), A + ":设置P2P目标地址列表成功");

    console->events.onCenterData(A, 9, QString::fromLatin1(QByteArray("XDSTLIST=").toHex().toUpper()));
    EXPECT_EQ(com5->written, "XDSTLIST="); // prefix only counts at the first byte

    com5->written.clear();
    console->events.onCenterData(A, 9, "AA550005E02317011F"); // signal: shown, then the data path
    EXPECT_EQ(com5->written, bytes({0xAA, 0x55, 0x00, 0x05, 0xE0, 0x23, 0x17, 0x01, 0x1F}));
    ASSERT_GE(memo().size(), 2);
    EXPECT_EQ(memo()[memo().size() - 2], A + "信号=23");
}

TEST_F(Traffic, ManualSendTextAndHex) {
    start({{A, "a", ""}, {B, "b", ""}, {C, "c", ""}});
    for (const QString& id : {A, C}) setOnline(id);
    select(0);
    select(1); // offline: skipped
    select(2);
    ctx().sendBox.setPlainText("hello");
    console->sendManually();
    EXPECT_EQ(memo(), (QStringList{T + " 发送数据到" + A + "的COM1,数据内容:hello[1次]",
                                   T + " 发送数据到" + C + "的COM1,数据内容:hello[1次]"}));
    ASSERT_EQ(engine.sent.size(), 2);
    EXPECT_EQ(engine.sent[0], qMakePair(A, QByteArray("hello")));
    EXPECT_EQ(engine.callsStartingWith("SetSendMode"), (QStringList{"SetSendMode(0)", "SetSendMode(2)", "SetSendMode(0)", "SetSendMode(2)"}));
    EXPECT_EQ(ctx().devices.subItem(0, M::SubSent), "1");

    ctx().messageDisplay.clear();
    engine.sent.clear();
    console->toggleDataTips();
    console->toggleHexDisplay();
    ctx().sendBox.setPlainText("313233");
    console->sendManually();
    EXPECT_EQ(memo().first(), " [HEX:31 32 33 ]123[1次]");
    EXPECT_EQ(engine.sent[0].second, "123");

    // Pasted text passes no key filter: blanks and breaks between digits are skipped,
    // anything else is named and nothing goes out.
    engine.sent.clear();
    ctx().sendBox.setPlainText("AA 55 00 04\nE0 0E 00 F2");
    console->sendManually();
    ASSERT_EQ(engine.sent.size(), 2);
    EXPECT_EQ(engine.sent[0].second, QByteArray::fromHex("AA550004E00E00F2"));
    struct Bad { const char* text; const char* message; };
    for (const Bad& b : {Bad{"31323", "HEX数据的数字个数为奇数(5个)，未发送"}, Bad{"3", "HEX数据的数字个数为奇数(1个)，未发送"},
                         Bad{"AA 5G", "HEX数据中有非法字符“G”(第5个字符)，未发送"},
                         Bad{"0x12", "HEX数据中有非法字符“x”(第2个字符)，未发送"}}) {
        engine.sent.clear();
        ctx().messageDisplay.clear();
        prompts.messages.clear();
        ctx().sendBox.setPlainText(QString::fromUtf8(b.text));
        console->sendManually();
        EXPECT_TRUE(engine.sent.isEmpty()) << b.text;
        EXPECT_TRUE(memo().isEmpty()) << b.text;
        EXPECT_EQ(prompts.messages, QStringList{QString::fromUtf8(b.message)}) << b.text;
    }
}

TEST_F(Traffic, ManualSendDisplayLimit) {
    start({{A, "a", ""}});
    setOnline(A);
    select(0);
    console->toggleDataTips();
    for (int n : {1024, 1025}) {
        ctx().messageDisplay.clear();
        engine.sent.clear();
        ctx().sendBox.setPlainText(QString(n, 'x'));
        console->sendManually();
        EXPECT_EQ(engine.sent[0].second.size(), n);
        const QString expected = QString(1024, 'x') + (n > 1024 ? "...[1次]" : "[1次]");
        EXPECT_EQ(memo().first(), expected);
    }
}

TEST_F(Traffic, ManualSendNothingSelectedOrEmpty) {
    start({{A, "a", ""}});
    setOnline(A);
    ctx().sendBox.setPlainText("x");
    console->sendManually();
    select(0);
    ctx().sendBox.clear();
    console->sendManually();
    EXPECT_TRUE(engine.sent.isEmpty());
    EXPECT_TRUE(memo().isEmpty());
    EXPECT_TRUE(prompts.messages.isEmpty());
}

TEST_F(Traffic, LastingFailuresCannotGrowTheDisplayWithoutEnd) {
    start({{A, "a", ""}});
    engine.failOn = "GetDtuInfo";
    ctx().refreshQueue.MarkForRefresh(A);
    for (int tick = 0; tick < MessageDisplay::kHardLimit + 100; ++tick) ctx().guard([&] { refreshTick(ctx()); });
    EXPECT_EQ(ctx().messageDisplay.lineCount(), MessageDisplay::kHardLimit);
    EXPECT_EQ(ctx().refreshQueue.ids(), QStringList{A}); // still retried on every tick
}

TEST(SendKeys, HexFilter) {
    for (QChar c : QString("0123456789ABCDEFabcdef")) EXPECT_TRUE(Console::acceptSendKey(true, c));
    for (QChar c : {QChar('g'), QChar(' '), QChar(13), QChar(10), QChar(1), QChar('-')})
        EXPECT_FALSE(Console::acceptSendKey(true, c)) << int(c.unicode());
    EXPECT_TRUE(Console::acceptSendKey(true, QChar(8)));
    for (QChar c : {QChar('g'), QChar(' '), QChar(13)}) EXPECT_TRUE(Console::acceptSendKey(false, c));
}

TEST_F(Traffic, SilentDtuAlarmFiresOnceAndRecoversOnce) {
    config.silentSeconds = 60;
    config.silentText = "1分钟";
    start({{A, "a", ""}, {B, "b", ""}});
    QDateTime now = kNow;
    ctx().clock = Clock{[&now] { return now; }};
    QList<QPair<QString, bool>> changes;
    QObject::connect(&console->silence, &SilenceWatch::silenceChanged, [&](const QString& id, bool silent, const QString&) {
        changes << qMakePair(id, silent);
    });
    auto at = [&](int seconds) {
        now = kNow.addSecs(seconds);
        console->silence.check();
    };
    auto alarmLines = [&] {
        QStringList out;
        for (const QString& l : ctx().logQueue.lines())
            if (l.contains("超过") || l.contains("已恢复")) out.prepend(l); // oldest first
        return out;
    };
    engine.online.insert(A);
    console->events.onLoginReply(A, 0); // B stays offline while the service runs
    at(0);
    now = kNow.addSecs(30);
    console->events.onCenterBeat(A, 4, "4EAA4BEA"); // a heartbeat is no data
    engine.info[A].updateMs = now.toMSecsSinceEpoch();
    at(59);
    EXPECT_TRUE(alarmLines().isEmpty());
    at(60);
    at(61);
    at(3600); // no repeats, however long it lasts
    const QString T60 = TimeStamp(kNow.addSecs(60));
    EXPECT_EQ(alarmLines(), (QStringList{T60 + " " + A + " 已超过1分钟没有数据", T60 + " " + B + " 已离线超过1分钟"}));
    EXPECT_TRUE(ctx().devices.isSilent(0));
    EXPECT_TRUE(ctx().devices.data(ctx().devices.index(0, 3), DeviceListModel::SilentRole).toBool());

    now = kNow.addSecs(3700);
    console->events.onCenterData(A, 1, "41");                         // data again
    engine.online.insert(B);                                          // B logs in again
    console->events.onLoginReply(B, 0);
    at(3700);
    at(3701);
    const QString T3700 = TimeStamp(kNow.addSecs(3700));
    EXPECT_EQ(alarmLines().mid(2), (QStringList{T3700 + " " + A + " 已恢复", T3700 + " " + B + " 已恢复"}));
    EXPECT_FALSE(ctx().devices.isSilent(0));
    EXPECT_EQ(changes.size(), 4);
    QStringList kinds; // the history has each change once, beside the logins
    for (const DtuEvent& e : ctx().history.recent(A, QDateTime())) kinds << e.event;
    EXPECT_EQ(kinds, (QStringList{"login", "silent", "recovered"}));

    // Offline while the service is stopped says nothing; 0 switches the alarm off.
    console->serviceStop();
    engine.online.clear();
    at(9000);
    at(9999);
    EXPECT_EQ(changes.size(), 4);
    ctx().config.silentSeconds = 0;
    console->serviceStart();
    at(20000);
    at(30000);
    EXPECT_EQ(changes.size(), 4);
}

// Every login, loss and close goes to the table, and the minutes count both ways.
TEST_F(Traffic, HistoryAndMinutesFollowTheLink) {
    start({{A, "a", ""}, {B, "b", ""}});
    engine.online.insert(A);
    console->events.onLoginReply(A, 0);
    console->events.onLoginReply(B, -4); // refused: no period begins
    console->events.onCenterData(A, 3, "414243");
    SendToDtu(ctx(), 0, A, "hello");
    console->events.onDisconnect(A);
    select(1);
    console->rosterCommands.closeSelected();
    console->serviceStop();

    const auto minutes = ctx().minutes.series(A, kNow.toMSecsSinceEpoch());
    EXPECT_EQ(minutes.back().packetsIn, 1u);
    EXPECT_EQ(minutes.back().bytesIn, 3u);
    EXPECT_EQ(minutes.back().packetsOut, 1u);
    EXPECT_EQ(minutes.back().bytesOut, 5u);

    ctx().history.stop(); // writes what is queued
    DtuStore reader(paths(), "reader");
    reader.connectTo("Provider=SQLite;Data Source=" + dbPath());
    QStringList rows;
    for (const DtuEvent& e : reader.events(QString(), QDateTime())) rows << e.dtuid + " " + e.event + " " + e.detail;
    rows.sort(); // one millisecond for all of them: the table cannot order them
    EXPECT_EQ(rows, (QStringList{A + " close 停止服务", A + " disconnect ", A + " login ", B + " close 停止服务",
                                 B + " close 操作员关闭"}));

    const DtuDetails d = console->detailsOf(A);
    EXPECT_EQ(d.lastEvents.size(), 3u);
    EXPECT_TRUE(d.note.isEmpty()) << d.note.toStdString();
    EXPECT_EQ(d.minutes.back().packetsIn, 1u);
}


// A recording that cannot be written is one log line; the relay and the rest go on.
TEST_F(Traffic, CaptureFolderThatCannotBeWrittenIsOneLineAndTheRelayGoesOn) {
    start({{A, "a", "COM5"}});
    QFile blocker(dir.filePath("not-a-folder"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    ctx().capture.configure(dir.filePath("not-a-folder/captures"), 1024 * 1024);
    ctx().capture.start(A);
    EXPECT_TRUE(ctx().devices.isRecording(0));
    EXPECT_TRUE(ctx().devices.data(ctx().devices.index(0, 0), Qt::ToolTipRole).toString().contains("记录中"));
    ASSERT_EQ(ports.made.size(), 2); // busPort and A's port
    FakePort* port = ports.made[1];
    for (int i = 0; i < 3; ++i) {
        console->events.onCenterData(A, 2, "4142");
        ctx().capture.flush();
    }
    EXPECT_EQ(port->written, QByteArray("ABABAB"));
    QCoreApplication::processEvents(); // the line may come from the writer thread
    int lines = 0;
    for (const QString& l : ctx().logQueue.lines()) lines += l.contains("无法创建记录文件夹") ? 1 : 0;
    EXPECT_EQ(lines, 1);
    EXPECT_EQ(ctx().capture.failedRecords(), 3);
    EXPECT_EQ(ctx().capture.droppedBytes(), 0);

    ctx().capture.stop(A);
    EXPECT_FALSE(ctx().devices.isRecording(0));
}

// Past MaxMB a new file begins; together the files hold every record in order.
TEST_F(Traffic, CaptureFilesRotateBySizeAndKeepEveryRecord) {
    start({{A, "a", "COM5"}});
    ctx().capture.configure(dir.filePath("captures"), 300);
    ctx().capture.start(A);
    for (int i = 0; i < 12; ++i) {
        console->events.onCenterData(A, 4, QString("%1").arg(i, 8, 16, QLatin1Char('0')).toUpper());
        ctx().capture.flush();
    }
    const QStringList files = QDir(dir.filePath("captures")).entryList({"*.cap"}, QDir::Files, QDir::Name);
    ASSERT_GE(files.size(), 3) << files.join(' ').toStdString();
    const QString day = QDate::currentDate().toString("yyyyMMdd");
    EXPECT_TRUE(files.contains(A + "-" + day + ".cap"));
    EXPECT_TRUE(files.contains(A + "-" + day + ".1.cap"));
    QList<int> seen;
    for (int part = 0; part < files.size(); ++part) {
        const QString name = part == 0 ? A + "-" + day + ".cap" : A + "-" + day + QString(".%1.cap").arg(part);
        EXPECT_LE(QFileInfo(dir.filePath("captures/" + name)).size(), 300) << name.toStdString();
        const CaptureFile f = ReadCaptureFile(dir.filePath("captures/" + name));
        ASSERT_TRUE(f.error.isEmpty()) << f.error.toStdString();
        for (const CaptureRecord& r : f.records) seen << r.bytes.toHex().toInt(nullptr, 16);
    }
    QList<int> expected;
    for (int i = 0; i < 12; ++i) expected << i;
    EXPECT_EQ(seen, expected);
}

// The alarm looks at every row only when something changed or a deadline is due; a DTU that
// drops off between deadlines is still timed from its drop, not from the next deadline.
TEST_F(Traffic, SilentAlarmTimesAnOfflineDtuFromItsDropBetweenDeadlines) {
    config.silentSeconds = 60;
    config.silentText = "1分钟";
    start({{A, "a", ""}});
    QDateTime now = kNow;
    ctx().clock = Clock{[&now] { return now; }};
    QStringList lines;
    QObject::connect(&console->silence, &SilenceWatch::silenceChanged,
                     [&](const QString&, bool, const QString& line) { lines << line; });
    auto at = [&](int seconds) {
        now = kNow.addSecs(seconds);
        console->silence.check();
    };
    engine.online.insert(A);
    console->events.onLoginReply(A, 0); // its data deadline: 60 s
    for (int s = 0; s <= 28; ++s) at(s);
    engine.online.remove(A);
    console->events.onDisconnect(A); // at 28 s, seen at the next look
    for (int s = 29; s <= 88; ++s) at(s);
    EXPECT_TRUE(lines.isEmpty()) << lines.join('\n').toStdString();
    at(89);
    ASSERT_EQ(lines.size(), 1);
    EXPECT_EQ(lines[0], TimeStamp(kNow.addSecs(89)) + " " + A + " 已离线超过1分钟");
}

// More than a hundred events in the day: the list shows the newest hundred, the timeline all.
TEST_F(Traffic, DetailsReadTheWholeDayWhenTheHundredDoNotReachBack) {
    start({{A, "a", ""}});
    std::vector<DtuEvent> events;
    for (int i = 0; i < 150; ++i) // login, disconnect, ... one a minute
        events.push_back({A, i % 2 ? "disconnect" : "login", kNow.addSecs(-60 * (151 - i)), ""});
    {
        DtuStore writer(paths(), "writer");
        writer.connectTo("Provider=SQLite;Data Source=" + dbPath());
        writer.createEventTable();
        writer.appendEvents(events);
    }
    engine.online.insert(A);
    const DtuDetails d = console->detailsOf(A);
    EXPECT_EQ(d.lastEvents.size(), 100u);
    // 75 closed periods and the one going on now; the newest hundred alone would give 51.
    EXPECT_EQ(d.periods.size(), 76);
}

// The metrics page: one sample per DTU ID (a scraper refuses a page with two), and the
// last data time moves with data only, not with the center's heartbeats.
TEST_F(Traffic, MetricsHaveOneSamplePerIdAndDataTimesFromDataOnly) {
    start({{A, "a", ""}, {A, "again", ""}, {B, "b", ""}});
    DtuInfo beating;
    beating.updateMs = kNow.toMSecsSinceEpoch(); // the engine's time moves with heartbeats
    engine.info[A] = beating;
    console->events.onCenterBytes(B, "data");
    const QList<QByteArray> lines = MetricsText(ctx(), "test").split('\n');
    auto samples = [&](const QByteArray& family, const QString& id) {
        QList<QByteArray> out;
        for (const QByteArray& l : lines)
            if (l.startsWith(family + "{id=\"" + id.toUtf8() + "\"")) out << l.mid(l.lastIndexOf(' ') + 1);
        return out;
    };
    EXPECT_EQ(samples("dtu_online", A).size(), 1);
    EXPECT_EQ(samples("dtu_send_failures_total", A).size(), 4); // one per reason
    EXPECT_EQ(samples("dtu_last_data_timestamp_seconds", A), QList<QByteArray>{"0"});
    EXPECT_EQ(samples("dtu_last_data_timestamp_seconds", B), QList<QByteArray>{QByteArray::number(kNow.toMSecsSinceEpoch() / 1000)});
}

namespace {
int openDescriptors() { return QDir("/proc/self/fd").entryList(QDir::Files | QDir::System).size(); }
int logLinesWith(ConsoleContext& c, const QString& text) { return c.logQueue.lines().filter(text).size(); }
} // namespace

// Folders and files others could have planted are refused with a line saying what is
// wrong; nothing is appended through them. An ID is a file name as it stands.
TEST_F(Traffic, CaptureRefusesFoldersAndFilesOthersControl) {
    start({{A, "a", "COM5"}});
    QFile secret(dir.filePath("secret"));
    ASSERT_TRUE(secret.open(QIODevice::WriteOnly));
    secret.write("keep\n");
    secret.close();
    const QString day = QDate::currentDate().toString("yyyyMMdd");
    const struct {
        const char* name;
        std::function<void(const QString&)> plant;
        const char* says;
    } cases[] = {
        {"a link for a file", [&](const QString& d) { QDir().mkpath(d); QFile::link(dir.filePath("secret"), d + "/" + A + "-" + day + ".cap"); }, "是链接"},
        {"a link for the folder", [&](const QString& d) { QDir().mkpath(dir.filePath("real")); QFile::link(dir.filePath("real"), d); }, "是链接或文件"},
        {"a folder anyone may write", [&](const QString& d) { QDir().mkpath(d); QFile::setPermissions(d, QFileDevice::Permissions(0x7777)); }, "组或其他用户可写"},
    };
    int n = 0;
    for (const auto& c : cases) {
        const QString d = dir.filePath(QString("caps%1").arg(n++));
        c.plant(d);
        ctx().capture.configure(d, 1024 * 1024);
        ctx().capture.start(A);
        const qint64 failedBefore = ctx().capture.failedRecords();
        console->events.onCenterData(A, 2, "4142");
        ctx().capture.flush();
        QCoreApplication::processEvents();
        EXPECT_EQ(ctx().capture.failedRecords(), failedBefore + 1) << c.name;
        EXPECT_EQ(logLinesWith(ctx(), QString::fromUtf8(c.says)), 1) << c.name << ": " << ctx().logQueue.lines().join('|').toStdString();
        ctx().capture.stop(A);
        // Writing works again in a sound folder: one line says so, and the next problem is told again.
        ctx().capture.configure(dir.filePath("sound"), 1024 * 1024);
        ctx().capture.start(A);
        console->events.onCenterData(A, 2, "4142");
        ctx().capture.flush();
        QCoreApplication::processEvents();
        ctx().capture.stop(A);
    }
    EXPECT_EQ(logLinesWith(ctx(), "记录文件恢复写入"), 3);
    EXPECT_EQ(secret.size(), 5); // nothing appended through the link

    // Names: an ID with a placeholder or a slash stays one file in the folder.
    const QString odd = "id%1/x";
    ctx().capture.configure(dir.filePath("odd"), 120);
    ctx().capture.start(odd);
    for (int i = 0; i < 3; ++i) {
        ctx().capture.fromField(odd, "data", QByteArray(20, 'z'));
        ctx().capture.flush();
    }
    const QStringList names = QDir(dir.filePath("odd")).entryList({"*.cap"}, QDir::Files, QDir::Name);
    EXPECT_TRUE(names.contains("id%1_x-" + day + ".cap")) << names.join(' ').toStdString();
    EXPECT_TRUE(names.contains("id%1_x-" + day + ".1.cap")) << names.join(' ').toStdString();
}

// Large records over many hand-overs leave no descriptor open; retention removes files
// past KeepDays and, past the total bound, the oldest, but never the one being written.
TEST_F(Traffic, CaptureKeepsNoDescriptorsAndRemovesOldFiles) {
    start({{A, "a", "COM5"}});
    const QString d = dir.filePath("captures");
    ctx().capture.configure(d, 4 * 1024 * 1024);
    ctx().capture.start(A);
    const QString big = QByteArray(12 * 1024, 'A').toHex().toUpper();
    console->events.onCenterData(A, 1, big);
    ctx().capture.flush();
    QThread::msleep(500); // the writer thread's own descriptors are made by now
    const int before = openDescriptors();
    for (int i = 1; i < 50; ++i) {
        console->events.onCenterData(A, 1, big);
        ctx().capture.flush();
    }
    EXPECT_EQ(openDescriptors(), before);
    EXPECT_EQ(ReadCaptureFile(ctx().capture.fileFor(A)).records.size(), 50u);

    auto plant = [&](const QString& name, int daysOld, int bytes) {
        QFile f(d + "/" + name);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(bytes, 'x'));
        f.flush();
        f.setFileTime(QDateTime::currentDateTime().addDays(-daysOld), QFileDevice::FileModificationTime);
    };
    plant("old-20200101.cap", 40, 10);
    plant("mid-20200102.cap", 5, 300 * 1024);
    plant("new-20200103.cap", 1, 300 * 1024);
    // 1.2 MiB being written and 0.6 MiB planted, against 1.6 MiB.
    ctx().capture.configure(d, 4 * 1024 * 1024, 30, 1638 * 1024);
    EXPECT_EQ(ctx().capture.sweep(), 2); // the 40-day one, then the oldest past the bound
    const QStringList left = QDir(d).entryList({"*.cap"}, QDir::Files);
    EXPECT_FALSE(left.contains("old-20200101.cap"));
    EXPECT_FALSE(left.contains("mid-20200102.cap"));
    EXPECT_TRUE(left.contains("new-20200103.cap"));
    EXPECT_TRUE(QFile::exists(ctx().capture.fileFor(A))); // being written: kept
    QCoreApplication::processEvents();
    EXPECT_EQ(logLinesWith(ctx(), "记录文件清理: 删除2个旧文件"), 1);
}

// A disk that fills: one line naming the cause, the records that did not fit counted (on
// the metrics page too), no torn line left behind, and one line when writing works again.
TEST_F(Traffic, CaptureOnAFullDiskLosesOnlyWhatDidNotFit) {
    if (::geteuid() != 0) GTEST_SKIP() << "mounting a small tmpfs needs root";
    start({{A, "a", "COM5"}});
    const QString d = dir.filePath("small");
    ASSERT_TRUE(QDir().mkpath(d));
    ASSERT_EQ(::mount("tmpfs", QFile::encodeName(d).constData(), "tmpfs", 0, "size=64k,mode=0700"), 0) << std::strerror(errno);
    struct Unmount {
        QByteArray path;
        ~Unmount() { ::umount2(path.constData(), MNT_DETACH); }
    } unmount{QFile::encodeName(d)};
    ctx().capture.configure(d, 100 * 1024 * 1024);
    ctx().capture.start(A);
    const QString packet = QByteArray(3000, 'P').toHex().toUpper(); // a 6 KB line
    for (int i = 0; i < 20; ++i) {
        console->events.onCenterData(A, 1, packet);
        ctx().capture.flush();
    }
    QCoreApplication::processEvents();
    const qint64 failed = ctx().capture.failedRecords();
    EXPECT_GT(failed, 0);
    EXPECT_EQ(logLinesWith(ctx(), "No space left on device"), 1) << ctx().logQueue.lines().join('|').toStdString();
    const CaptureFile kept = ReadCaptureFile(ctx().capture.fileFor(A), true);
    EXPECT_TRUE(kept.error.isEmpty()) << kept.error.toStdString();
    EXPECT_EQ(static_cast<qint64>(kept.records.size()) + failed, 20);
    EXPECT_TRUE(MetricsText(ctx(), "test").contains("dtuconsole_capture_failed_records_total " + QByteArray::number(failed)));

    QFile::remove(ctx().capture.fileFor(A)); // the operator makes room
    console->events.onCenterData(A, 1, packet);
    ctx().capture.flush();
    QCoreApplication::processEvents();
    EXPECT_EQ(logLinesWith(ctx(), "记录文件恢复写入"), 1);
    EXPECT_EQ(ReadCaptureFile(ctx().capture.fileFor(A), true).records.size(), 1u);
}
