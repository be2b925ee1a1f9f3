// Port creation and the port-to-DTU path, roster commands, the dialogs and the exit paths.
#include "support/consolefixture.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QSqlQuery>

using namespace dtu;
using namespace dtu::test;
using M = DeviceListModel;

namespace {
const QString A = "0000000000000001", B = "0000000000000002", C = "0000000000000003";
}

class Commands : public ConsoleFixture {};

TEST_F(Commands, PortCreationPass) {
    ports.system = {"COM1"};
    start({{A, "a", "COM5"}, {B, "b", "COM5"}, {C, "c", "COM1"}, {"0000000000000004", "d", ""},
           {"0000000000000005", "e", "com5"}});
    auto state = [&](int i) { return ctx().roster.at(i).portState; };
    EXPECT_EQ(state(0), "串口创建成功！");
    EXPECT_TRUE(ctx().roster.at(0).portOpen);
    EXPECT_EQ(state(1), "串口已经存在");
    EXPECT_EQ(state(2), "串口已经存在");
    EXPECT_EQ(state(3), "");
    EXPECT_EQ(state(4), "串口创建成功！"); // letter case counts
    EXPECT_EQ(ctx().devices.subItem(0, M::SubPortState), "串口创建成功！");
    EXPECT_EQ(ctx().devices.subItem(1, M::SubPortState), "串口已经存在");

    const int made = static_cast<int>(ports.made.size());
    console->portControl.createPorts(); // again: open records skipped, others checked again
    EXPECT_EQ(ports.made.size(), made);

    // A reset removes the ports: the rows say so and the next pass makes them again.
    console->portControl.resetPorts();
    EXPECT_EQ(ports.made[0]->resets, 1);
    EXPECT_FALSE(ctx().roster.at(0).portOpen);
    EXPECT_EQ(state(0), "串口已复位");
    EXPECT_EQ(ctx().devices.subItem(0, M::SubPortState), "串口已复位");
    EXPECT_EQ(state(3), "");
    console->portControl.createPorts();
    EXPECT_EQ(ports.made.size(), made + 2);
    EXPECT_EQ(state(0), "串口创建成功！");
    EXPECT_TRUE(ctx().roster.at(0).portOpen);
    EXPECT_EQ(state(1), "串口已经存在");
    EXPECT_EQ(state(4), "串口创建成功！");
}

TEST_F(Commands, AnUnsafePortsFolderIsSaidOnceAndNoPortIsMadeInIt) {
    ports.folderTrouble = "串口目录 /tmp/dtuconsole-0/ports 不可用: dtuconsole-0 属于另一用户 (uid 65534)，不在其中创建串口";
    start({{A, "a", "COM3"}, {B, "b", "COM4"}, {C, "c", "/srv/ports/C"}});
    EXPECT_EQ(ctx().roster.at(0).portState, "串口创建失败");
    EXPECT_EQ(ctx().roster.at(1).portState, "串口创建失败");
    EXPECT_EQ(ctx().roster.at(2).portState, "串口创建成功！"); // a path of its own is not in that folder
    ASSERT_EQ(ports.made.size(), 2); // the bus instance and C's: none for the folder
    ASSERT_EQ(memo().size(), 1);
    EXPECT_TRUE(memo()[0].endsWith(ports.folderTrouble));
    EXPECT_EQ(ctx().logQueue.lines().filter("不可用").size(), 1);
}

TEST_F(Commands, RefusedPortIsReportedAndOthersStillGetTheirs) {
    ports.configure = [](FakePort& p) { p.createResult = p.name.isEmpty(); };
    int n = 0;
    ports.configure = [&n](FakePort& p) { p.createResult = (n++ != 1); }; // busPort, then A's refused
    start({{A, "a", "COM3"}, {B, "b", "COM4"}});
    EXPECT_EQ(ctx().roster.at(0).portState, "串口创建失败");
    EXPECT_FALSE(ctx().roster.at(0).portOpen);
    EXPECT_EQ(ctx().roster.at(1).portState, "串口创建成功！");
    bool logged = false;
    for (const QString& l : ctx().logQueue.lines()) logged |= l.contains("串口创建失败") && l.contains(A) && l.contains("refused");
    EXPECT_TRUE(logged);
}

TEST_F(Commands, PortBytesFanOutToEveryDtuOfThePort) {
    start({{A, "a", "COM5"}, {B, "b", "COM5"}, {C, "c", "COM6"}});
    for (const QString& id : {A, B, C}) engine.online.insert(id);
    FakePort* com5 = ports.made[1];
    com5->toRead = "0123456789";
    engine.calls.clear();
    console->portControl.onPortData(com5, 10);
    EXPECT_EQ(engine.calls, (QStringList{"SetSendMode(0)", "IsOnline(" + A + ")", "SendData(" + A + ")", "SetSendMode(2)",
                                         "SetSendMode(0)", "IsOnline(" + B + ")", "SendData(" + B + ")", "SetSendMode(2)"}));
    EXPECT_EQ(engine.sent[0].second, "0123456789");
    EXPECT_EQ(ctx().devices.subItem(0, M::SubSent), "0"); // not counted in any row

    engine.calls.clear();
    console->portControl.onPortData(com5, 0);
    console->portControl.onPortData(nullptr, 5);
    EXPECT_TRUE(engine.calls.isEmpty());

    // After an edit moves the owner to COM6 its open port forwards to COM6's DTUs.
    ctx().roster.setPortName(0, "COM6");
    com5->toRead = "x";
    engine.sent.clear();
    console->portControl.onPortData(com5, 1);
    ASSERT_EQ(engine.sent.size(), 2);
    EXPECT_EQ(engine.sent[0].first, A);
    EXPECT_EQ(engine.sent[1].first, C);
}

TEST_F(Commands, RosterCommandsNeedASelection) {
    start({{A, "a", ""}});
    auto& rc = console->rosterCommands;
    rc.deleteSelected();
    rc.closeSelected();
    rc.clearStatistics();
    EXPECT_FALSE(rc.editSelected());
    EXPECT_EQ(prompts.messages, (QStringList{"请先选中要删除的DTU", "请先选中要关闭的DTU", "请先选中要关闭的DTU"}));
    EXPECT_TRUE(engine.callsStartingWith("RemoveDtu").isEmpty());
    EXPECT_TRUE(engine.callsStartingWith("CloseDtu").isEmpty());
}

TEST_F(Commands, DeleteCloseClearReload) {
    start({{A, "a", ""}, {B, "b", ""}, {C, "c", ""}});
    auto& rc = console->rosterCommands;
    select(0);
    select(2);
    EXPECT_EQ(rc.editSelected(), A);
    ctx().devices.setSubItem(0, M::SubSent, "9");
    rc.clearStatistics();
    EXPECT_EQ(ctx().devices.subItem(0, M::SubSent), "0");
    EXPECT_EQ(ctx().devices.subItem(0, M::SubReceived), "0");

    rc.closeSelected();
    EXPECT_EQ(engine.callsStartingWith("CloseDtu"), (QStringList{"CloseDtu(" + A + ")", "CloseDtu(" + C + ")"}));
    select(0);
    select(2);
    rc.deleteSelected();
    EXPECT_EQ(engine.callsStartingWith("RemoveDtu"), (QStringList{"RemoveDtu(" + A + ")", "RemoveDtu(" + C + ")"}));
    ASSERT_EQ(ctx().devices.rowCount(), 1);
    EXPECT_EQ(ctx().devices.caption(0), B);
    EXPECT_EQ(ctx().roster.count(), 3); // the roster keeps deleted DTUs until exit

    engine.calls.clear();
    rc.closeAll();
    EXPECT_EQ(engine.callsStartingWith("CloseDtu"), QStringList{"CloseDtu(" + B + ")"});
    rc.reloadDtus();
    EXPECT_EQ(ctx().devices.rowCount(), 1);
}

TEST_F(Commands, AddDialogValidationAndSteps) {
    start({{A, "a", ""}});
    auto& rc = console->rosterCommands;
    struct Case { QString id, pw; QString message; };
    const Case bad[] = {
        {"000000000000001", "12345", "DTUID必须为16位"}, // ID first when both are wrong
        {"0000000000000009", "12345", "DTU登录密码必须为6位"},
        {A.toLower(), "123456", "DTUID重复！"},
    };
    for (const auto& c : bad) {
        prompts.messages.clear();
        DtuFields f{c.id, c.pw, "n", "s", "COM7"};
        EXPECT_FALSE(rc.confirmAdd(f));
        EXPECT_EQ(prompts.messages, QStringList{c.message});
        EXPECT_EQ(f.id, c.id);
    }
    EXPECT_TRUE(engine.callsStartingWith("AddDtu").isEmpty());

    DtuFields f{"0000000000000009", "654321", "新泵站", "139", "COM7"};
    ASSERT_TRUE(rc.confirmAdd(f));
    EXPECT_EQ(engine.callsStartingWith("AddDtu"), QStringList{"AddDtu(0000000000000009,654321)"});
    EXPECT_EQ(ctx().roster.count(), 2);
    EXPECT_EQ(ctx().roster.at(1).portName, "COM7");
    EXPECT_EQ(f.id, "");
    EXPECT_EQ(f.password, "");
    EXPECT_EQ(f.name, "新泵站"); // kept for the next DTU
    EXPECT_EQ(ctx().devices.rowCount(), 2);
    EXPECT_EQ(dm->findRow("0000000000000009")->teleno, "139");
}

TEST_F(Commands, FailedTableWriteIsShownNotDropped) {
    start({{A, "a", ""}});
    QSqlQuery(dm->database()).exec("drop table dtuinfo");
    DtuFields f{"0000000000000009", "654321", "x", "", "COM7"};
    ctx().guard([&] { console->rosterCommands.confirmAdd(f); });
    ASSERT_EQ(prompts.errors.size(), 1);
    EXPECT_TRUE(prompts.errors[0].contains("0000000000000009"));
    EXPECT_TRUE(engine.callsStartingWith("AddDtu").size() == 1); // registered all the same
    EXPECT_EQ(ctx().roster.count(), 2);
}

TEST_F(Commands, EditDialogReloadsAndReregisters) {
    start({{A, "a", "COM3"}});
    auto& rc = console->rosterCommands;
    DtuFields f{A, "", "", "", ""};
    rc.loadForEdit(f);
    EXPECT_EQ(f.password, "123456");
    EXPECT_EQ(f.name, "a");
    EXPECT_EQ(f.port, "COM3");
    f.password = "abcdef";
    f.port = "COM8";
    engine.calls.clear();
    ASSERT_TRUE(rc.confirmEdit(f));
    EXPECT_EQ(engine.calls.mid(0, 3), (QStringList{"RemoveDtu(" + A + ")", "AddDtu(" + A + ",abcdef)", "OpenDtu(" + A + ")"}));
    EXPECT_EQ(ctx().roster.at(0).portName, "COM8");
    EXPECT_TRUE(ctx().roster.at(0).portOpen); // the open port stays as it was
    EXPECT_EQ(dm->findRow(A)->vcomport, "COM8");
    EXPECT_EQ(dm->findRow(A)->password, "abcdef");

    DtuFields shortId{"123", "abcdef", "", "", ""};
    prompts.messages.clear();
    EXPECT_FALSE(rc.confirmEdit(shortId));
    EXPECT_EQ(prompts.messages, QStringList{"DTUID必须为16位"});
}

TEST_F(Commands, ExitRefusedWhileRunning) {
    start({{A, "a", "COM3"}});
    QSignalSpy quit(console.get(), &Console::quitRequested);
    QSignalSpy hide(console.get(), &Console::hideWindowRequested);
    console->exitFromMenu();
    console->exitFromTray();
    EXPECT_EQ(prompts.messages, (QStringList{"请先停止服务，才能退出", "请先停止服务，才能退出"}));
    EXPECT_FALSE(console->closeWindow());
    EXPECT_EQ(hide.count(), 1);
    EXPECT_EQ(quit.count(), 0);
    EXPECT_EQ(ports.made[1]->deletes, 0);
    EXPECT_TRUE(ctx().refreshTimer.isActive());
}

TEST_F(Commands, ExitAfterStopTearsPortsDownOnce) {
    start({{A, "a", "COM5"}, {B, "b", "COM5"}});
    console->serviceStop();
    QSignalSpy quit(console.get(), &Console::quitRequested);
    FakePort* com5 = ports.made[1];
    console->exitFromMenu();
    EXPECT_EQ(com5->deletes, 1);
    EXPECT_EQ(ports.made[0]->resets, 1);
    EXPECT_EQ(ctx().roster.count(), 0);
    EXPECT_EQ(quit.count(), 1);
}

TEST_F(Commands, TrayExitSkipsTeardownAndFormCloseStopsTheTimer) {
    start({{A, "a", "COM5"}});
    console->serviceStop();
    QSignalSpy quit(console.get(), &Console::quitRequested);
    console->exitFromTray();
    EXPECT_EQ(quit.count(), 1);
    EXPECT_EQ(ports.made[1]->deletes, 0);
    EXPECT_EQ(ports.made[0]->resets, 0);
    EXPECT_TRUE(console->closeWindow());
    EXPECT_FALSE(ctx().refreshTimer.isActive());
    EXPECT_EQ(ports.made[1]->deletes, 1);
    EXPECT_EQ(quit.count(), 2); // a closed window with the service stopped ends the program
}

TEST_F(Commands, FailingDeletePortKeepsTheProgramOpen) {
    start({{A, "a", "COM5"}, {B, "b", "COM6"}});
    console->serviceStop();
    ports.made[1]->failDelete = true;
    QSignalSpy quit(console.get(), &Console::quitRequested);
    console->exitFromMenu();
    EXPECT_EQ(quit.count(), 0);
    EXPECT_EQ(ports.made[2]->deletes, 0); // records after the failing one keep their ports
    EXPECT_EQ(ctx().roster.count(), 2);
    ASSERT_EQ(memo().size(), 1);
    EXPECT_TRUE(memo()[0].contains("delete failed"));
}

TEST_F(Commands, SignalShutdownClosesEverythingInOrder) {
    start({{A, "a", "COM5"}, {B, "b", ""}});
    QSignalSpy quit(console.get(), &Console::quitRequested);
    console->shutdownForSignal();
    EXPECT_FALSE(ctx().serviceRunning());
    EXPECT_GE(engine.callsStartingWith("CloseDtu(" + A).size(), 1);
    EXPECT_GE(engine.callsStartingWith("CloseDtu(" + B).size(), 1);
    EXPECT_EQ(ports.made[1]->deletes, 1);
    EXPECT_EQ(quit.count(), 1);
}

// A reload touches only what changed in the table: a DTU that stayed keeps its session
// and its port; settings that cannot change live are named.
TEST_F(Commands, ReloadAppliesOnlyWhatChanged) {
    const QString D = "0000000000000004", E = "0000000000000005";
    const auto writeCenter = [&](const QByteArray& text) {
        QFile f(dir.filePath("center.ini"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text);
    };
    writeCenter("[LINK]\nHost=127.0.0.1\n[ALARM]\nSilent=30m\n");
    config = ReadCenterConfig(paths());
    start({{A, "a", "COM1"}, {B, "b", "COM2"}, {C, "c", "COM3"}, {E, "e", "COM5"}});
    ctx().guard([&] { console->serviceStart(); });
    ASSERT_TRUE(ctx().serviceRunning());
    QPointer<FakePort> portOfB = ports.made.value(ports.made.size() - 3); // COM2
    ASSERT_TRUE(portOfB && portOfB->name == "COM2");
    const int madeBefore = static_cast<int>(ports.made.size());
    engine.calls.clear();

    {
        DtuStore edit(paths(), "editor");
        edit.connectTo("Provider=SQLite;Data Source=" + dbPath(), false);
        edit.deleteRows(B);
        edit.appendRow({D, "654321", "d", "", "COM4", 0, kNow});
        ASSERT_TRUE(edit.updateRow(C, {C, "999999", "c", "", "COM3", 0, {}}));
        ASSERT_TRUE(edit.updateRow(E, {E, "123456", "e", "", "COM6", 0, {}}));
    }
    writeCenter("[LINK]\nHost=10.0.0.9\n[ALARM]\nSilent=10m\n");
    const QString line = console->reload();

    EXPECT_TRUE(line.contains(QString::fromUtf8("+1 (%1) \u22121 (%2) ~2 (%3, %4)，共4个DTU").arg(D, B, C, E))) << line.toStdString();
    EXPECT_EQ(engine.callsStartingWith("CloseDtu"), QStringList{"CloseDtu(" + B + ")"});
    EXPECT_EQ(engine.callsStartingWith("RemoveDtu"), (QStringList{"RemoveDtu(" + B + ")", "RemoveDtu(" + C + ")"}));
    EXPECT_EQ(engine.callsStartingWith("OpenDtu"), (QStringList{"OpenDtu(" + C + ")", "OpenDtu(" + D + ")"}));
    const QRegularExpression changesSession("^(Open|Close|Remove|Add)Dtu");
    for (const QString& call : engine.calls.filter(changesSession)) EXPECT_FALSE(call.contains(A)) << call.toStdString();
    EXPECT_TRUE(portOfB.isNull()); // let go
    EXPECT_FALSE(ports.systemPorts().contains("COM2"));
    QStringList madeNow;
    for (qsizetype i = madeBefore; i < ports.made.size(); ++i)
        if (ports.made[i] && ports.made[i]->created) madeNow << ports.made[i]->name;
    madeNow.sort();
    EXPECT_EQ(madeNow, (QStringList{"COM4", "COM6"})); // the moved port and the new DTU's
    EXPECT_TRUE(ctx().roster.positionsOfId(B).isEmpty());
    EXPECT_EQ(ctx().devices.rowCount(), 4);
    EXPECT_EQ(ctx().config.silentSeconds, 600); // live
    const QStringList log = ctx().logQueue.lines();
    EXPECT_TRUE(log.filter(QString::fromUtf8("需要重启才能生效: LINK/Host")).size() == 1) << log.join('\n').toStdString();

    // Nothing changed: nothing is touched, and the line says so.
    engine.calls.clear();
    EXPECT_TRUE(console->reload().contains(QString::fromUtf8("+0 \u22120 ~0，共4个DTU")));
    EXPECT_TRUE(engine.calls.filter(changesSession).isEmpty()) << engine.calls.join(' ').toStdString();

    // A table that cannot be read keeps what runs.
    {
        DtuStore drop(paths(), "dropper");
        drop.connectTo("Provider=SQLite;Data Source=" + dbPath(), false);
        QSqlQuery(drop.database()).exec("DROP TABLE dtuinfo");
    }
    engine.calls.clear();
    EXPECT_TRUE(console->reload().contains(QString::fromUtf8("重新载入失败")));
    EXPECT_TRUE(engine.calls.filter(QRegularExpression("^(Close|Remove)Dtu")).isEmpty());
    EXPECT_EQ(ctx().devices.rowCount(), 4);
}
