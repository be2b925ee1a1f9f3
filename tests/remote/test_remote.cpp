#include "core/frame.h"
#include "sim/fielddtu.h"
#include "support/consolefixture.h"

using namespace dtu;
using namespace dtu::test;

namespace {
const QString A = "0000000000000001", B = "00000000000000AB";
QByteArray hex(const char* h) { return QByteArray::fromHex(h); }
QString hexText(const QByteArray& b) { return QString::fromLatin1(b.toHex().toUpper()); }
} // namespace

TEST(Frame, CommandFrames) {
    struct Case { const char* cmd; QByteArray payload; QByteArray frame; };
    const Case cases[] = {
        {kCmdReadClock, {}, hex("AA550004E00E00F2")},
        {kCmdReadSignal, {}, hex("AA550004E0230107")},
        {kCmdSetClock, "2016-03-05 08:09:10",
         hex("AA550017E00D323031362D30332D30352030383A30393A313004B5")},
    };
    for (const auto& c : cases) EXPECT_EQ(BuildCommandFrame(CommandWord(c.cmd), c.payload), c.frame) << c.cmd;
    EXPECT_EQ(ClockPayload(kNow), "2016-03-05 08:09:10");
    // The checksum drops carries out of 16 bits.
    const QByteArray big(300, char(0xFF));
    const QByteArray f = BuildCommandFrame(0xFFFF, big);
    EXPECT_EQ(f.size(), 308);
    EXPECT_EQ(f.mid(2, 2), hex("0130"));
}

TEST(Frame, SignalReplyParsing) {
    struct Case { QByteArray bytes; bool looks; std::optional<int> value; };
    const Case cases[] = {
        {hex("AA550005E02317011F"), true, 23},
        {hex("AA550005E02317011E"), true, std::nullopt},        // wrong checksum
        {hex("AA550006E0231700012001"), true, std::nullopt},    // 10 bytes, correct sum: shows nothing
        {hex("AA550009E023170120"), true, std::nullopt},        // length points past the end
        {hex("AA55E023"), false, std::nullopt},                 // E0 23 at the third byte
        {hex("AB550005E02317011F"), false, std::nullopt},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(LooksLikeSignalReply(c.bytes), c.looks) << c.bytes.toHex().constData();
        EXPECT_EQ(SignalValue(c.bytes), c.value) << c.bytes.toHex().constData();
    }
    // A 10-byte reply with command word E0 23 and a correct checksum.
    QByteArray ten = BuildCommandFrame(0xE023, hex("1700"));
    EXPECT_EQ(ten.size(), 10);
    EXPECT_FALSE(SignalValue(ten));
}

TEST(FieldDtu, AnswersLikeADtu) {
    FieldDtu d;
    const QDateTime now = kNow;
    EXPECT_EQ(d.answer(BuildCommandFrame(0xE023, {}), now), hex("AA550005E02317011F"));
    EXPECT_EQ(d.answer(BuildCommandFrame(0xE00E, {}), now), BuildCommandFrame(0xE00E, "2016-03-05 08:09:10"));
    d.answer(BuildCommandFrame(0xE00D, "2020-01-01 00:00:00"), now);
    EXPECT_EQ(d.answer(BuildCommandFrame(0xE00E, {}), now), BuildCommandFrame(0xE00E, "2020-01-01 00:00:00"));
    EXPECT_EQ(d.answer("SETDEST:" + hex("00000000000000010000000000000002"), now), "SETDSTLIST OK");
    EXPECT_EQ(d.answer("GETDEST", now), "DSTLIST=" + hex("00000000000000010000000000000002"));
    EXPECT_EQ(d.answer("SETWXIDS:a\r\nb", now), "SETWXLIST OK");
    EXPECT_EQ(d.answer("GETWXIDS", now), "WXIDS=a\r\nb");
    EXPECT_EQ(d.answer("SETJPIDS:1.2.3.4", now), "SETJPLIST OK");
    EXPECT_EQ(d.answer("GETJPIDS", now), "JPIDS=1.2.3.4");
    EXPECT_EQ(d.answer("WECHAT:hi", now), "WECHAT SENDOK");
    EXPECT_FALSE(d.answer("plain data", now));
}

class Remote : public ConsoleFixture {
protected:
    RemoteFunctions& remote() { return console->remote; }
    void selectSource(TargetKind k, int row) {
        auto& t = remote().tab(k);
        t.sourceSelection.select(t.sources.index(row, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
};

TEST_F(Remote, ClockAndSignalCommands) {
    start({{A, "a", ""}, {"0000000000000002", "b", ""}});
    remote().readSignal();
    EXPECT_EQ(prompts.messages, QStringList{"请先选中DTU"});
    EXPECT_TRUE(engine.sent.isEmpty());
    for (const QString& id : {A, QString("0000000000000002")}) engine.online.insert(id);
    select(1);
    select(0);
    engine.calls.clear();
    remote().readSignal();
    EXPECT_EQ(engine.calls, (QStringList{"SetSendMode(0)", "IsOnline(" + A + ")", "SendData(" + A + ")", "SetSendMode(2)",
                                         "SetSendMode(0)", "IsOnline(0000000000000002)", "SendData(0000000000000002)",
                                         "SetSendMode(2)"}));
    EXPECT_EQ(engine.sent[0].second, hex("AA550004E0230107"));
    engine.calls.clear();
    engine.sent.clear();
    remote().setClock();
    EXPECT_TRUE(engine.callsStartingWith("SetSendMode").isEmpty());
    EXPECT_EQ(engine.sent[0].second, hex("AA550017E00D323031362D30332D30352030383A30393A313004B5"));
    engine.sent.clear();
    remote().readClock();
    EXPECT_EQ(engine.sent[0].second, hex("AA550004E00E00F2"));
}

TEST_F(Remote, PeerTabReadSetAndReplies) {
    start({{A, "a", ""}, {B, "b", ""}});
    remote().load(TargetKind::Peer);
    ASSERT_EQ(remote().tab(TargetKind::Peer).sources.rowCount(), 2);

    remote().read(TargetKind::Peer); // nothing selected: nothing
    EXPECT_TRUE(prompts.messages.isEmpty());
    selectSource(TargetKind::Peer, 0);
    remote().read(TargetKind::Peer);
    EXPECT_EQ(prompts.messages, QStringList{"该设备不在线，无法进行读取"});
    EXPECT_EQ(remote().tab(TargetKind::Peer).currentSource.trimmed(), "");

    prompts.messages.clear();
    for (TargetKind k : {TargetKind::Peer, TargetKind::Push, TargetKind::Forward}) remote().set(k);
    remote().testPush("hi");
    EXPECT_EQ(prompts.messages, (QStringList{"请先确定当前源ID", "请先确定当前源ID", "请先确定当前源ID", "该设备不在线，不能推送消息"}));

    engine.online.insert(A);
    remote().read(TargetKind::Peer);
    EXPECT_EQ(remote().tab(TargetKind::Peer).currentSource, A);
    EXPECT_EQ(engine.sent.last().second, "GETDEST");

    // Targets A and ..AB, added from the source list, packed on the wire.
    selectSource(TargetKind::Peer, 1);
    prompts.messages.clear();
    remote().addTargets();
    remote().addTargets(); // both already there
    EXPECT_EQ(prompts.messages, (QStringList{"该目标ID已经加入", "该目标ID已经加入"}));
    remote().set(TargetKind::Peer);
    EXPECT_EQ(engine.sent.last().second, "SETDEST:" + hex("000000000000000100000000000000AB"));

    // DSTLIST= with one known and one unknown ID, and a trailing piece.
    console->events.onCenterData(A, 0, hexText("DSTLIST=" + hex("00000000000000AB0000000000000099") + "abcd"));
    auto& targets = remote().tab(TargetKind::Peer).targets;
    ASSERT_EQ(targets.rowCount(), 2);
    EXPECT_EQ(targets.text(0, 0), B);
    EXPECT_EQ(targets.text(0, 2), "b");
    EXPECT_EQ(targets.text(1, 0), "0000000000000099");
    EXPECT_EQ(targets.text(1, 1), "");
    EXPECT_EQ(ctx().statusPanel(3), A + ":读取P2P目标地址列表成功");
    EXPECT_TRUE(memo().isEmpty());

    console->events.onCenterData(A, 0, hexText("DSTLIST="));
    EXPECT_EQ(targets.rowCount(), 0);
}

TEST_F(Remote, MalformedPeerIdIsRefused) {
    start({{A, "a", ""}});
    engine.online.insert(A);
    remote().load(TargetKind::Peer);
    selectSource(TargetKind::Peer, 0);
    remote().read(TargetKind::Peer);
    auto& t = remote().tab(TargetKind::Peer);
    console->events.onCenterData(A, 0, hexText("DSTLIST=" + hex("0000000000000001")));
    t.targets.setText(0, 0, "00000000000000G1");
    engine.sent.clear();
    remote().set(TargetKind::Peer);
    EXPECT_TRUE(engine.sent.isEmpty());
    ASSERT_EQ(prompts.messages.size(), 1);
    EXPECT_TRUE(prompts.messages[0].contains("00000000000000G1"));
}

TEST_F(Remote, TextTabsTrimAndReplace) {
    start({{A, "a", ""}, {B, "b", ""}});
    engine.online.insert(A);
    for (TargetKind k : {TargetKind::Push, TargetKind::Forward}) {
        remote().load(k);
        selectSource(k, 0);
        remote().pick(k);
    }
    EXPECT_EQ(remote().tab(TargetKind::Peer).currentSource.trimmed(), ""); // each tab keeps its own
    remote().tab(TargetKind::Push).text.setPlainText("  wx1\nwx2\n");
    remote().set(TargetKind::Push);
    EXPECT_EQ(engine.sent.last().second, "SETWXIDS:wx1\r\nwx2");
    remote().testPush(" hello ");
    EXPECT_EQ(engine.sent.last().second, "WECHAT: hello ");

    console->events.onCenterData(A, 0, hexText("JPIDS=10.0.0.1\r\n10.0.0.2"));
    EXPECT_EQ(remote().tab(TargetKind::Forward).text.toPlainText(), "10.0.0.1\n10.0.0.2");
    EXPECT_EQ(ctx().statusPanel(3), A + ":读取转发目标服务器列表成功");
    for (auto [reply, status] : {std::pair{"SETWXLIST OK", ":设置微信目标ID列表成功"}, std::pair{"SETJPLIST OK", ":设置转发目标服务器列表成功"},
                                 std::pair{"WECHAT SENDOK", ":微信推送提交成功"}}) {
        console->events.onCenterData(B, 0, hexText(reply));
        EXPECT_EQ(ctx().statusPanel(3), B + QString::fromUtf8(status));
    }
    // A list reply counts only from the DTU it was asked of: B's would be written into A.
    for (const char* reply : {"WXIDS=from-b", "JPIDS=10.9.9.9", "DSTLIST=12345678"}) {
        console->events.onCenterData(B, 0, hexText(reply));
        EXPECT_EQ(ctx().statusPanel(3), B + ":微信推送提交成功") << reply;
    }
    EXPECT_EQ(remote().tab(TargetKind::Push).text.toPlainText(), "  wx1\nwx2\n");
    EXPECT_EQ(remote().tab(TargetKind::Forward).text.toPlainText(), "10.0.0.1\n10.0.0.2");
    EXPECT_TRUE(ctx().logQueue.lines().first().contains("收到" + B + "的列表回复，但当前源DTU是"));
    console->events.onCenterData(A.toLower(), 0, hexText("WXIDS=x"));
    EXPECT_EQ(remote().tab(TargetKind::Push).text.toPlainText(), "x");

    // A double-click with nothing selected does nothing.
    remote().tab(TargetKind::Forward).sourceSelection.clear();
    engine.sent.clear();
    remote().pick(TargetKind::Forward);
    EXPECT_TRUE(engine.sent.isEmpty());
}
