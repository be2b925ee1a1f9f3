// Start-up, service start and stop, the refresh tick, options and the port dialog.
#include "support/broker.h"
#include "support/consolefixture.h"

#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QSignalSpy>
#include <QEventLoop>
#include <QTcpSocket>
#include <QThread>

using namespace dtu;
using namespace dtu::test;

namespace {
const QString A = "0000000000000001", B = "0000000000000002", C = "0000000000000003";
}

class Startup : public ConsoleFixture {};

TEST_F(Startup, CreationCallsTheEngineInOrder) {
    makeTable({{B, "b", "COM4"}, {A, "a", "COM3"}});
    makeConsole();
    console->create();
    const QStringList head = engine.calls.mid(0, 5);
    EXPECT_EQ(head, (QStringList{"Prepare", "SetSendMode(2)", "ClearDtus", "AddDtu(" + A + ",123456)",
                                 "AddDtu(" + B + ",123456)"}));
    // The roster follows the table's name order; both DTUs opened by the service start.
    ASSERT_EQ(ctx().roster.count(), 2);
    EXPECT_EQ(ctx().roster.at(0).dtuId, A);
    EXPECT_EQ(ctx().roster.at(0).portName, "COM3");
    EXPECT_EQ(engine.callsStartingWith("OpenDtu"), (QStringList{"OpenDtu(" + A + ")", "OpenDtu(" + B + ")"}));
    EXPECT_TRUE(ctx().serviceRunning());
    EXPECT_TRUE(ctx().refreshTimer.isActive());
    EXPECT_EQ(ctx().devices.rowCount(), 2);
    EXPECT_EQ(ctx().logQueue.lines().front(), "2016-03-05 08:09:10 启动成功");
    EXPECT_TRUE(ctx().secondStartTimer.isActive()); // the second start comes one second later
}

TEST_F(Startup, SecondServiceStartFromTimer4) {
    start({{A, "a", ""}});
    ctx().secondStartTimer.start(1);
    for (int i = 0; i < 50 && engine.callsStartingWith("OpenDtu").isEmpty(); ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 20), QThread::msleep(5);
    EXPECT_EQ(engine.callsStartingWith("OpenDtu"), QStringList{"OpenDtu(" + A + ")"});
    EXPECT_FALSE(ctx().secondStartTimer.isActive());
    EXPECT_EQ(ctx().logQueue.lines().size(), 2);
}

TEST_F(Startup, DatabaseFailureSkipsRosterAndRebuild) {
    writeFtdb(""); // names no database
    makeConsole();
    console->create();
    EXPECT_TRUE(engine.callsStartingWith("AddDtu").isEmpty());
    EXPECT_EQ(ctx().roster.count(), 0);
    EXPECT_EQ(ctx().devices.rowCount(), 0);
    EXPECT_FALSE(ctx().serviceRunning()); // only secondStartTimer's start will run
    EXPECT_TRUE(ctx().logQueue.lines().contains("数据库打开失败，请检查数据库设置"));
    EXPECT_TRUE(prompts.errors.isEmpty());
    // The activation that follows reports the failure in the message display.
    console->activate();
    ASSERT_EQ(memo().size(), 1);
    EXPECT_TRUE(memo()[0].startsWith("2016-03-05 08:09:10:")) << memo()[0].toStdString();
}

TEST_F(Startup, RefusedConnectionStringIsAFailedOpenToo) {
    writeFtdb("Provider=Microsoft.Jet.OLEDB.4.0;Data Source=c:\\dtu.mdb");
    makeConsole();
    console->create();
    EXPECT_TRUE(ctx().logQueue.lines().contains("数据库打开失败，请检查数据库设置"));
    ASSERT_EQ(prompts.errors.size(), 1); // and the box still says why
    EXPECT_TRUE(prompts.errors[0].contains("Access")) << prompts.errors[0].toStdString();
    EXPECT_TRUE(prompts.errors[0].contains("SQLite"));
    EXPECT_EQ(ctx().roster.count(), 0);
}

TEST_F(Startup, MissingConnectionFileIsShownInAMessageBox) {
    makeConsole(); // no ftdb.ini anywhere
    console->create();
    ASSERT_EQ(prompts.errors.size(), 1);
    EXPECT_TRUE(prompts.errors[0].contains("ftdb.ini"));
    EXPECT_EQ(ctx().roster.count(), 0);
}

TEST_F(Startup, EngineFailureDuringCreationIsShownAndTheWindowStillOpens) {
    makeTable({{A, "a", ""}});
    makeConsole();
    engine.failOn = "AddDtu";
    console->create();
    ASSERT_EQ(prompts.errors.size(), 1);
    EXPECT_TRUE(prompts.errors[0].contains("AddDtu"));
    EXPECT_FALSE(ctx().serviceRunning());
}

TEST_F(Startup, EmptyTableStillStartsTheService) {
    start({});
    EXPECT_EQ(ctx().devices.rowCount(), 0);
    EXPECT_TRUE(ctx().serviceRunning());
}

TEST_F(Startup, ListenerThatCannotBindIsReportedNotFatal) {
    QTcpServer taken;
    ASSERT_TRUE(taken.listen(QHostAddress::Any));
    makeTable({});
    config.listenerPort = taken.serverPort();
    dm = std::make_unique<DtuStore>(paths(), "console-db");
    console = std::make_unique<Console>(engine, ports, *dm, prompts, config, Clock{[] { return kNow; }});
    console->create();
    EXPECT_EQ(console->listenerPort(), 0);
    ASSERT_FALSE(memo().isEmpty());
    EXPECT_TRUE(memo()[0].contains(QString::number(taken.serverPort()))) << memo()[0].toStdString();
    EXPECT_TRUE(ctx().serviceRunning());
}

// The idle listener serves nothing: loopback unless told otherwise, and an address that is
// none is said, not taken for every interface.
TEST_F(Startup, ListenerBindsWhereItsAddressSays) {
    struct Case { QString address; QHostAddress bound; QString said; };
    const Case cases[] = {
        {"127.0.0.1", QHostAddress::LocalHost, {}},
        {"0.0.0.0", QHostAddress::AnyIPv4, {}},
        {"eth0", QHostAddress(), "[LISTENER] Address 'eth0' 不是IP地址"},
    };
    makeTable({});
    for (const Case& c : cases) {
        CenterConfig cfg;
        ASSERT_EQ(cfg.listenerAddress, "127.0.0.1"); // the default
        cfg.listenerAddress = c.address;
        cfg.listenerPort = [] { QTcpServer s; s.listen(); return int(s.serverPort()); }();
        cfg.statusListen.clear();
        DtuStore store(paths(), "listener-db");
        Console one(engine, ports, store, prompts, cfg, Clock{[] { return kNow; }});
        one.create();
        if (c.said.isEmpty()) {
            EXPECT_NE(one.listenerPort(), 0) << c.address.toStdString();
            EXPECT_EQ(one.listenerAddress(), c.bound) << c.address.toStdString();
        } else {
            EXPECT_EQ(one.listenerPort(), 0);
            EXPECT_EQ(one.ctx.logQueue.lines().filter(c.said).size(), 1) << one.ctx.logQueue.lines().join('\n').toStdString();
        }
    }
}

TEST_F(Startup, StatusPageThatCannotListenIsOneLogLine) {
    QTcpServer taken;
    ASSERT_TRUE(taken.listen(QHostAddress::LocalHost));
    makeTable({{"0000000000000001", "a", ""}});
    config.statusListen = QString("127.0.0.1:%1").arg(taken.serverPort());
    dm = std::make_unique<DtuStore>(paths(), "console-db");
    console = std::make_unique<Console>(engine, ports, *dm, prompts, config, Clock{[] { return kNow; }});
    console->create();
    EXPECT_EQ(console->statusPort(), 0);
    EXPECT_EQ(ctx().logQueue.lines().filter("状态页").size(), 1);
    EXPECT_TRUE(ctx().serviceRunning());
    for (const char* bad : {"nonsense", "127.0.0.1:99999", "not-an-address:80"}) {
        StatusServer page(ctx(), "test");
        QString why;
        EXPECT_FALSE(page.listen(bad, &why)) << bad;
        EXPECT_TRUE(why.contains("[STATUS] Listen")) << why.toStdString();
    }
    StatusServer off(ctx(), "test");
    QString why;
    EXPECT_TRUE(off.listen("0", &why));
    EXPECT_EQ(off.port(), 0);
}

TEST_F(Startup, ListenerHoldsOnlyACappedNumberOfIdleConnections) {
    makeTable({});
    config.listenerPort = 0;
    makeConsole();
    console->ctx.config.listenerPort = 0;
    // Listen on an ephemeral port by hand through the same path.
    console->ctx.config.listenerPort = [] { QTcpServer s; s.listen(); return int(s.serverPort()); }();
    console->ctx.config.listenerMaxIdle = 3;
    console->create();
    ASSERT_NE(console->listenerPort(), 0);
    std::vector<std::unique_ptr<QTcpSocket>> clients;
    for (int i = 0; i < 6; ++i) {
        clients.push_back(std::make_unique<QTcpSocket>());
        clients.back()->connectToHost(QHostAddress::LocalHost, console->listenerPort());
        ASSERT_TRUE(clients.back()->waitForConnected(2000));
    }
    for (int i = 0; i < 40 && console->idleConnections() < 3; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    for (int i = 0; i < 20; ++i) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    EXPECT_EQ(console->idleConnections(), 3);
}


TEST_F(Startup, ListenerReadsAndDropsWhatAClientFloodsIn) {
    makeTable({});
    makeConsole();
    console->ctx.config.listenerPort = [] { QTcpServer s; s.listen(); return int(s.serverPort()); }();
    console->create();
    ASSERT_NE(console->listenerPort(), 0);
    // A blocking writer on its own thread: if nothing read, it would stall once the
    // kernel's buffers filled (a few MiB); if the console kept it, memory would grow.
    constexpr qint64 kTotal = 256LL << 20;
    std::atomic<qint64> written{0};
    const quint16 port = console->listenerPort();
    std::thread writer([&] {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
            static char chunk[1 << 16];
            timeval tv{10, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
            while (written < kTotal) {
                const ssize_t n = ::send(fd, chunk, sizeof chunk, MSG_NOSIGNAL);
                if (n <= 0) break;
                written += n;
            }
        }
        ::close(fd);
    });
    const long before = rssKiB();
    long peak = before;
    waitFor([&] {
        peak = std::max(peak, rssKiB());
        return written >= kTotal;
    }, 60000);
    writer.join();
    EXPECT_EQ(written.load(), kTotal);
    EXPECT_LT(peak - before, 32 * 1024) << "RSS grew from " << before << " to " << peak << " KiB";
}

TEST_F(Startup, ServiceStopClosesEachDtuOnceAndQueuesIt) {
    start({{A, "a", ""}, {B, "b", ""}, {C, "c", ""}});
    console->serviceStop();
    EXPECT_EQ(engine.callsStartingWith("CloseDtu"),
              (QStringList{"CloseDtu(" + A + ")", "CloseDtu(" + B + ")", "CloseDtu(" + C + ")"}));
    EXPECT_EQ(ctx().refreshQueue.ids(), (QStringList{A, B, C}));
    EXPECT_FALSE(ctx().serviceRunning());
    EXPECT_TRUE(ctx().actStartService.isEnabled());
    EXPECT_TRUE(ctx().refreshTimer.isActive()); // rows turn offline on the next ticks
    EXPECT_EQ(ctx().logQueue.lines().front(), "2016-03-05 08:09:10 停止");
}

TEST_F(Startup, FailedStartPostsFailureButStillMakesPorts) {
    start({{A, "a", "COM3"}});
    engine.failOn = "OpenDtu";
    console->serviceStart();
    EXPECT_EQ(ctx().logQueue.lines().front(), "2016-03-05 08:09:10 启动失败");
    EXPECT_TRUE(ctx().serviceRunning()); // the commands keep what the block gave them
}

TEST_F(Startup, FailingStopReachesTheReporterAndKeepsRunning) {
    start({{A, "a", ""}});
    engine.failOn = "CloseDtu";
    console->serviceStop();
    EXPECT_TRUE(ctx().serviceRunning());
    EXPECT_EQ(ctx().logQueue.lines().front(), "2016-03-05 08:09:10 启动成功");
    ASSERT_EQ(memo().size(), 1);
    EXPECT_TRUE(memo()[0].contains("CloseDtu"));
}

TEST_F(Startup, RefreshTickRefreshesEachQueuedIdOnce) {
    start({{A, "a", ""}, {B, "b", ""}});
    engine.info[A] = {"2016-03-05 08:00:00", "2016-03-05 08:09:00", 0, 4, 9};
    engine.online.insert(A);
    for (const QString& id : {A, A.toLower(), A}) ctx().refreshQueue.MarkForRefresh(id);
    ctx().refreshQueue.MarkForRefresh("FFFFFFFFFFFFFFFF"); // no row: dropped
    refreshTick(ctx());
    EXPECT_EQ(engine.callsStartingWith("GetDtuInfo"), QStringList{"GetDtuInfo(" + A + ")"});
    EXPECT_TRUE(ctx().refreshQueue.ids().isEmpty());
    using M = DeviceListModel;
    EXPECT_EQ(ctx().devices.subItem(0, M::SubLoginTime), "2016-03-05 08:00:00");
    EXPECT_EQ(ctx().devices.subItem(0, M::SubSent), "4");
    EXPECT_EQ(ctx().devices.subItem(0, M::SubReceived), "9");
    EXPECT_EQ(ctx().devices.statePicture(0), 1);
    EXPECT_EQ(ctx().devices.smallPicture(0), 0);
    EXPECT_EQ(ctx().devices.onlineCount(), 1);
}

TEST_F(Startup, FailingRefreshKeepsTheQueueForTheNextTick) {
    start({{A, "a", ""}});
    ctx().refreshQueue.MarkForRefresh(A);
    engine.failOn = "GetDtuInfo";
    ctx().guard([&] { refreshTick(ctx()); });
    EXPECT_EQ(ctx().refreshQueue.ids(), QStringList{A});
    EXPECT_EQ(memo().size(), 1);
    engine.failOn.clear();
    refreshTick(ctx());
    EXPECT_TRUE(ctx().refreshQueue.ids().isEmpty());
}

TEST_F(Startup, RebuildShowsEightCharacterIdsAsHexAndKeepsDuplicates) {
    start({{"12345678", "x", ""}, {"1234567", "y", ""}, {A, "a", ""}, {A, "dup", ""}});
    QStringList captions;
    for (int r = 0; r < ctx().devices.rowCount(); ++r) captions << ctx().devices.caption(r);
    EXPECT_TRUE(captions.contains("3132333435363738"));
    EXPECT_TRUE(captions.contains("1234567"));
    EXPECT_EQ(captions.count(A), 2);
    EXPECT_EQ(ctx().devices.findExact(A), captions.indexOf(A)); // the upper row
}

TEST_F(Startup, ServicePortDialogBounds) {
    start({});
    struct Case { std::optional<QString> entry; int expected; bool complaint; };
    const Case cases[] = {
        {"1025", 1025, false}, {"65535", 65535, false}, {"1024", 65535, true}, {"65536", 65535, true},
        {"abc", 65535, true}, {std::nullopt, 65535, false}, {" 2000 ", 2000, false},
    };
    for (const auto& c : cases) {
        prompts.messages.clear();
        prompts.answers.push_back(c.entry);
        console->setServicePort();
        EXPECT_EQ(console->servicePort(), c.expected) << c.entry.value_or("(cancel)").toStdString();
        EXPECT_EQ(prompts.messages, c.complaint ? QStringList{"输入非法,请输入1025-65535之间的整数"} : QStringList{});
    }
    prompts.answers.push_back(std::nullopt);
    console->setServicePort();
    EXPECT_EQ(prompts.lastInputValue, "2000"); // the dialog shows the value in force
}

TEST_F(Startup, DisplayOptions) {
    start({});
    EXPECT_FALSE(ctx().hexDisplay.isChecked());
    EXPECT_TRUE(ctx().dataTips.isChecked());
    EXPECT_FALSE(ctx().showHeartbeats.isChecked());
    ctx().sendBox.setPlainText("hello");
    console->toggleHexDisplay();
    EXPECT_EQ(ctx().sendBoxCaption(), "HEX");
    EXPECT_TRUE(ctx().sendBox.isEmpty());
    ctx().sendBox.setPlainText("AA");
    console->toggleHexDisplay();
    EXPECT_EQ(ctx().sendBoxCaption(), "");
    EXPECT_TRUE(ctx().sendBox.isEmpty());
    console->toggleDataTips();
    console->toggleHeartbeats();
    EXPECT_FALSE(ctx().dataTips.isChecked());
    EXPECT_TRUE(ctx().showHeartbeats.isChecked());

    fillMemo(3);
    ctx().logQueue.PostLog("x");
    console->clearMessages();
    EXPECT_TRUE(memo().isEmpty());
    EXPECT_TRUE(ctx().logQueue.lines().isEmpty());
    EXPECT_TRUE(ctx().showHeartbeats.isChecked());
}

TEST_F(Startup, HexModeFromCenterIni) {
    config.dataDispMode = "HEX";
    start({});
    EXPECT_TRUE(ctx().hexDisplay.isChecked());
    EXPECT_EQ(ctx().sendBoxCaption(), "HEX");
}

// A service started before its table: no "启动成功" with nothing loaded, one line naming the
// cause and what to do, retries with backoff, then the DTUs loaded, logged in and their
// ports made, with one line saying so.
TEST_F(Startup, AServiceWaitsForItsTableAndLoadsItWhenItComes) {
    const struct {
        const char* name;
        std::function<void()> before;
        const char* advice;
    } cases[] = {
        {"no ftdb.ini", [] {}, "ftdb.ini"},
        {"no table", [this] {
             DtuStore mk(paths(), "empty");
             mk.connectTo("Provider=SQLite;Data Source=" + dbPath(), true);
             writeFtdb("Provider=SQLite;Data Source=" + dbPath().toUtf8());
         }, "dtudb init"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QFile::remove(dir.filePath("ftdb.ini"));
        QFile::remove(dbPath());
        c.before();
        makeConsole();
        console->retryDatabase = true;
        console->create();
        ctx().secondStartTimer.setInterval(0);
        QCoreApplication::processEvents();
        const QStringList down = ctx().logQueue.lines().filter("数据库不可用");
        ASSERT_EQ(down.size(), 1) << ctx().logQueue.lines().join('|').toStdString();
        EXPECT_TRUE(down[0].contains(QString::fromUtf8(c.advice))) << down[0].toStdString();
        EXPECT_FALSE(ctx().databaseProblem.isEmpty());
        EXPECT_FALSE(ctx().serviceRunning());
        EXPECT_TRUE(ctx().logQueue.lines().filter("启动成功").isEmpty());
        EXPECT_EQ(console->databaseRetryMs(), 2 * Console::kRetryFirstMs); // the next wait doubles

        makeTable({{"0000000000000001", "a", "COM5"}});
        QElapsedTimer t;
        t.start();
        while (ctx().roster.count() == 0 && t.elapsed() < 5000) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
        EXPECT_EQ(ctx().roster.count(), 1);
        EXPECT_TRUE(ctx().databaseProblem.isEmpty());
        EXPECT_TRUE(ctx().serviceRunning());
        EXPECT_EQ(ctx().logQueue.lines().filter("数据库已可用，载入1个DTU").size(), 1);
        EXPECT_EQ(ctx().logQueue.lines().filter("数据库不可用").size(), 1); // the retries were quiet
        EXPECT_FALSE(engine.callsStartingWith("AddDtu").isEmpty());
        console.reset();
        engine.calls.clear();
    }
}

// Two consoles on one table would throw each other's DTUs off the broker: the second is refused
// at start, told who holds the table, and ends; Shared=1 lets it in. The first's end frees it.
TEST_F(Startup, ASecondConsoleOnTheSameTableIsRefusedAndNamesTheFirst) {
    start({{"0000000000000001", "a", "COM3"}});
    FakeLinkEngine engine2;
    FakePortEngine ports2;
    ScriptedPrompts prompts2;
    auto second = [&](bool shared) {
        CenterConfig cfg = config;
        cfg.shareTable = shared;
        auto store = std::make_unique<DtuStore>(paths(), shared ? "second-shared" : "second");
        auto c = std::make_unique<Console>(engine2, ports2, *store, prompts2, cfg, Clock{[] { return kNow; }});
        QSignalSpy quit(c.get(), &Console::quitRequested);
        c->create();
        return std::tuple{std::move(store), std::move(c), quit.count()};
    };
    {
        auto [store, refused, quits] = second(false);
        EXPECT_EQ(quits, 1);
        EXPECT_EQ(refused->exitStatus, Console::kExitTableInUse);
        ASSERT_EQ(prompts2.errors.size(), 1);
        const QString named = QString("另一个控制台 (%1, pid %2)").arg(QFileInfo(QCoreApplication::applicationFilePath()).fileName().left(15))
                                  .arg(QCoreApplication::applicationPid());
        EXPECT_TRUE(prompts2.errors[0].contains(named)) << prompts2.errors[0].toStdString();
        EXPECT_TRUE(prompts2.errors[0].contains("Shared=1"));
        EXPECT_TRUE(engine2.registered.isEmpty()); // nobody logged in twice
        EXPECT_FALSE(refused->ctx.serviceRunning());
    }
    {
        prompts2.errors.clear();
        auto [store, shared, quits] = second(true);
        EXPECT_EQ(quits, 0);
        EXPECT_TRUE(prompts2.errors.isEmpty());
        EXPECT_EQ(engine2.registered.size(), 1);
    }
    console.reset(); // the first ends: the table is free
    engine2.registered.clear();
    auto [store, next, quits] = second(false);
    EXPECT_EQ(quits, 0);
    EXPECT_EQ(next->exitStatus, 0);
}
