// The console with its real engines: a real mosquitto, real pseudo-terminals, the
// simulator as the field side and a plain local program on the port.
#include "console/console.h"
#include "console/display/refresh.h"
#include "console/status/statuspage.h"
#include "core/capturefile.h"
#include "engines/link/mqttengine.h"
#include "relay/relaythread.h"
#include "engines/store/connstring.h"
#include "engines/store/dtustore.h"
#include "support/backends.h"
#include "support/broker.h"
#include "support/ptyclient.h"
#include "support/fakes.h"
#include "engines/vport/ptyport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QTcpServer>
#include <QTcpSocket>
#include <sys/stat.h>
#include <pwd.h>
#include <grp.h>
#include <atomic>
#include <chrono>
#include <optional>
#include <thread>
#include <poll.h>
#include <csignal>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <fcntl.h>
#include <unistd.h>

using namespace dtu;
using namespace dtu::test;
using M = DeviceListModel;

namespace {
const QString A = "0000000000000001", B = "0000000000000002", C = "0000000000000003";
const QString PW = "123456";

// The programs are built next to the test programs.
QString bin(const QString& name) { return QCoreApplication::applicationDirPath() + "/" + name; }

QByteArray allBytes() {
    QByteArray b;
    for (int i = 0; i < 256; ++i) b.append(static_cast<char>(i));
    return b;
}

bool publish(quint16 port, const QString& topic, const QByteArray& payload, const QString& user = A) {
    return fieldPublish(port, topic, payload, user, PW);
}

struct Sub {
    QProcess p;
    // count messages, or whatever arrived within waitS seconds
    Sub(quint16 port, const QString& topic, int count = 1, int waitS = 8) {
        p.start("mosquitto_sub", {"-p", QString::number(port), "-t", topic, "-u", A, "-P", PW, "-C", QString::number(count),
                                  "-W", QString::number(waitS), "-N", "-i", "sub-" + topic});
        p.waitForStarted();
        pump(300);
    }
    QByteArray result() {
        waitFor([this] { return p.state() == QProcess::NotRunning; }, 9000);
        return p.readAllStandardOutput();
    }
};



// A program's folder: center.ini and ftdb.ini in confDir, the table with A on COM3 and B on
// COM4, the ports and the database in dataDir.
void writeProgramFolder(quint16 brokerPort, const QString& confDir, const QTemporaryDir& dataDir) {
    QDir().mkpath(confDir);
    QFile ini(confDir + "/center.ini");
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write(QString("[LINK]\nPort=%1\n[VPORT]\nDir=%2\n[LISTENER]\nPort=0\n[STATUS]\nListen=0\n").arg(brokerPort).arg(dataDir.filePath("ports")).toUtf8());
    ini.close();
    QFile ftdb(confDir + "/ftdb.ini");
    ASSERT_TRUE(ftdb.open(QIODevice::WriteOnly));
    ftdb.write("Provider=SQLite;Data Source=" + dataDir.filePath("dtu.db").toUtf8());
    ftdb.close();
    QProcess db;
    db.setWorkingDirectory(confDir);
    db.start(bin("dtudb"), {"init"});
    ASSERT_TRUE(db.waitForFinished());
    for (const QString& id : {A, B}) {
        db.start(bin("dtudb"), {"add", id, PW, "--port", id == A ? "COM3" : "COM4"});
        ASSERT_TRUE(db.waitForFinished());
        ASSERT_EQ(db.exitCode(), 0) << db.readAllStandardError().toStdString();
    }
}

struct Sim {
    QProcess p;
    QByteArray out;
    Sim(quint16 port, const QStringList& ids, const QStringList& extra = {}) {
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(bin("dtusim"), QStringList{"--port", QString::number(port), "--ids", ids.join(','), "--password", PW} + extra);
        p.waitForStarted();
    }
    bool waitOnline() {
        return waitFor([this] {
            out += p.readAll();
            return out.contains("online in");
        }, 10000);
    }
    ~Sim() {
        p.terminate();
        p.waitForFinished(3000);
    }
};
} // namespace

class EndToEnd : public ::testing::Test {
protected:
    QTemporaryDir dir;
    Broker broker{{A + ":" + PW, B + ":" + PW, C + ":" + PW}};
    // As the programs run it: the sessions and ports on the relay's thread.
    std::unique_ptr<RelayThread> relay;
    MqttLinkEngine* engine = nullptr; // on the relay's thread: only through relay->call
    std::unique_ptr<DtuStore> dm;
    ScriptedPrompts prompts;
    std::unique_ptr<Console> console;

    void SetUp() override {
        ASSERT_TRUE(broker.start());
        {
            DtuStore mk(ConfigPaths{dir.path(), dir.path()}, "e2e-maker");
            mk.connectTo("Provider=SQLite;Data Source=" + dir.filePath("dtu.db"), true);
            mk.createTable();
            mk.appendRow({A, PW, "a", "", "COM5", 0, QDateTime::currentDateTime()});
            mk.appendRow({B, PW, "b", "", "COM5", 0, QDateTime::currentDateTime()});
            mk.appendRow({C, PW, "c", "", "COM6", 0, QDateTime::currentDateTime()});
        }
        QFile f(dir.filePath("ftdb.ini"));
        f.open(QIODevice::WriteOnly);
        f.write("Provider=SQLite;Data Source=" + dir.filePath("dtu.db").toUtf8());
        f.close();
        CenterConfig cfg;
        cfg.link.port = broker.port();
        cfg.link.beatInterval = 1;
        cfg.portDir = dir.filePath("ports");
        cfg.listenerPort = 0;
        cfg.statusListen.clear();
        relay = std::make_unique<RelayThread>(
            [&] {
                auto e = std::make_unique<MqttLinkEngine>(cfg.link);
                engine = e.get();
                return e;
            },
            [&] { return std::make_unique<PtyPortEngine>(cfg.portDir); });
        dm = std::make_unique<DtuStore>(ConfigPaths{dir.path(), dir.path() + "/none"}, "e2e");
        console = std::make_unique<Console>(relay->link(), relay->portEngine(), *dm, prompts, cfg);
        console->ctx.reporterInstalled = true;
        console->teardownWaitMs = 0;
        console->attachRouter(*relay);
        console->create();
        ASSERT_TRUE(waitFor([&] { return online() == 3; }, 10000));
        ASSERT_TRUE(waitFor([&] { return ctx().devices.onlineCount() == 3; }, 3000)); // the refresh tick
    }
    void TearDown() override {
        console.reset();
        relay.reset();
    }
    int online() { return relay->call([this] { return engine->onlineCount(); }); }
    ConsoleContext& ctx() { return console->ctx; }
    int row(const QString& id) { return ctx().devices.findExact(id); }
    QString memoText() { return ctx().messageDisplay.lines().join('\n'); }
};

TEST_F(EndToEnd, FieldPacketShowsAndCountsWithinOneRefresh) {
    ASSERT_TRUE(publish(broker.port(), "dtu/" + A + "/up", "hello"));
    ASSERT_TRUE(waitFor([&] { return memoText().contains(" 收到" + A + "数据:hello"); }));
    QElapsedTimer t;
    t.start();
    ASSERT_TRUE(waitFor([&] { return ctx().devices.subItem(row(A), M::SubReceived) == "1"; }, 2000));
    EXPECT_LT(t.elapsed(), 900);
    EXPECT_FALSE(ctx().devices.subItem(row(A), M::SubUpdateTime).isEmpty());
}

TEST_F(EndToEnd, ManualSendReachesTheFieldByteForByte) {
    Sub down(broker.port(), "dtu/" + A + "/down");
    ctx().selection.select(ctx().devices.index(row(A), 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    console->toggleHexDisplay();
    ctx().sendBox.setPlainText("00FF418000");
    console->sendManually();
    EXPECT_EQ(down.result(), QByteArray::fromHex("00FF418000"));
    EXPECT_EQ(ctx().devices.subItem(row(A), M::SubSent), "1");
}

TEST_F(EndToEnd, SerialBridgeBothWaysSharedPortAndReopen) {
    const QString com5 = dir.filePath("ports/COM5");
    ASSERT_TRUE(QFileInfo(com5).isSymLink());
    for (int round = 0; round < 2; ++round) {
        PortClient local(com5);
        ASSERT_GE(local.fd, 0);
        pump(300); // the port notices its reader
        // Field to local program: every byte value, from both DTUs that share COM5.
        ASSERT_TRUE(publish(broker.port(), "dtu/" + A + "/up", allBytes()));
        EXPECT_EQ(local.read(256), allBytes()) << round;
        ASSERT_TRUE(publish(broker.port(), "dtu/" + B + "/up", "from B", B));
        EXPECT_EQ(local.read(6), "from B") << round;
        // Local program to the field: both DTUs get every byte.
        // The pty may hand the bytes over in one piece or several, each piece one message.
        Sub downA(broker.port(), "dtu/" + A + "/down", 256, 2), downB(broker.port(), "dtu/" + B + "/down", 256, 2);
        ASSERT_EQ(::write(local.fd, allBytes().constData(), 256), 256);
        EXPECT_EQ(downA.result(), allBytes()) << round;
        EXPECT_EQ(downB.result(), allBytes()) << round;
    }
}

TEST_F(EndToEnd, NobodyReadingAndAFastFieldStayFlat) {
    Sim sim(broker.port(), {C}, {"--mode", "generate", "--rate", "2000", "--size", "1024", "--beat", "0", "--duration", "4"});
    // The console stays responsive: a 50 ms timer keeps its pace while the data pours in.
    QElapsedTimer gap;
    gap.start();
    qint64 worst = 0;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&] {
        worst = std::max(worst, gap.elapsed());
        gap.restart();
    });
    probe.start(50);
    const int start = ctx().devices.subItem(row(C), M::SubReceived).toInt();
    pump(1500); // warmed up: buffers, caches and the allocator have their working size
    const long warm = rssKiB();
    pump(2000);
    const long after = rssKiB();
    const int got = ctx().devices.subItem(row(C), M::SubReceived).toInt() - start;
    EXPECT_GT(got, 1000);
    EXPECT_LT(worst, 500);
    // Flat while the flood goes on: nothing piles up for the port nobody reads.
    EXPECT_LT(after - warm, 16 * 1024) << "RSS grew by " << (after - warm) << " KiB";
    EXPECT_GT(ctx().roster.at(2).port->droppedBytes(), 0);
    EXPECT_LE(ctx().messageDisplay.lineCount(), MessageDisplay::kLineLimit + 1);
}

TEST_F(EndToEnd, RemoteFunctionsAgainstTheSimulator) {
    Sim sim(broker.port(), {A}, {"--mode", "quiet", "--beat", "0"});
    ASSERT_TRUE(sim.waitOnline());
    ASSERT_TRUE(waitFor([&] { return relay->link().IsOnline(A); }, 5000));
    ctx().selection.select(ctx().devices.index(row(A), 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);

    console->remote.readSignal();
    ASSERT_TRUE(waitFor([&] { return memoText().contains(A + "信号=23"); }));
    console->remote.readClock();
    const QString year = QString::number(QDate::currentDate().year());
    ASSERT_TRUE(waitFor([&] { return memoText().contains("数据:") && memoText().count(year) >= 2; }));

    auto& remote = console->remote;
    remote.load(TargetKind::Push);
    auto& push = remote.tab(TargetKind::Push);
    push.sourceSelection.select(push.sources.index(row(A), 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    remote.read(TargetKind::Push);
    ASSERT_TRUE(waitFor([&] { return ctx().statusPanel(3) == A + ":读取微信目标ID列表成功"; }));
    push.text.setPlainText("wx-one\nwx-two\n");
    remote.set(TargetKind::Push);
    ASSERT_TRUE(waitFor([&] { return ctx().statusPanel(3) == A + ":设置微信目标ID列表成功"; }));
    push.text.clear();
    remote.read(TargetKind::Push);
    ASSERT_TRUE(waitFor([&] { return push.text.toPlainText() == "wx-one\nwx-two"; }));
    remote.testPush("test");
    ASSERT_TRUE(waitFor([&] { return ctx().statusPanel(3) == A + ":微信推送提交成功"; }));

    remote.load(TargetKind::Peer);
    auto& peer = remote.tab(TargetKind::Peer);
    peer.sourceSelection.select(peer.sources.index(row(A), 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    peer.sourceSelection.select(peer.sources.index(row(C), 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    remote.read(TargetKind::Peer);
    remote.addTargets();
    remote.set(TargetKind::Peer);
    ASSERT_TRUE(waitFor([&] { return ctx().statusPanel(3) == A + ":设置P2P目标地址列表成功"; }));
    peer.targets.removeRows(0, peer.targets.rowCount());
    remote.read(TargetKind::Peer);
    ASSERT_TRUE(waitFor([&] { return peer.targets.rowCount() == 2; }));
    EXPECT_EQ(peer.targets.text(1, 0), C);
    EXPECT_EQ(peer.targets.text(1, 2), "c");

    remote.load(TargetKind::Forward);
    auto& fwd = remote.tab(TargetKind::Forward);
    fwd.sourceSelection.select(fwd.sources.index(row(A), 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    remote.pick(TargetKind::Forward);
    fwd.text.setPlainText("10.0.0.1\n10.0.0.2");
    remote.set(TargetKind::Forward);
    ASSERT_TRUE(waitFor([&] { return ctx().statusPanel(3) == A + ":设置转发目标服务器列表成功"; }));
}

TEST(Program, SigtermLeavesNoLinkAndEveryDtuOffline) {
    Broker broker{{A + ":" + PW, B + ":" + PW}};
    ASSERT_TRUE(broker.start());
    QTemporaryDir dir;
    ASSERT_NO_FATAL_FAILURE(writeProgramFolder(broker.port(), dir.path(), dir));
    QProcess app;
    app.setWorkingDirectory(dir.path());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    app.setProcessEnvironment(env);
    app.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    app.start(bin("dtuconsole"), {});
    ASSERT_TRUE(app.waitForStarted());
    ASSERT_TRUE(waitFor([&] {
        return QFileInfo(dir.filePath("ports/COM3")).isSymLink() && QFileInfo(dir.filePath("ports/COM4")).isSymLink();
    }, 10000));
    pump(500);
    EXPECT_EQ(subscribeOnce(broker.port(), "dtu/" + A + "/console", A, PW), "online");
    QElapsedTimer t;
    t.start();
    ::kill(static_cast<pid_t>(app.processId()), SIGTERM);
    ASSERT_TRUE(app.waitForFinished(8000));
    EXPECT_LT(t.elapsed(), 5000);
    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app.exitCode(), 0);
    EXPECT_TRUE(QDir(dir.filePath("ports")).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).isEmpty());
    for (const QString& id : {A, B}) EXPECT_EQ(subscribeOnce(broker.port(), "dtu/" + id + "/console", id, PW), "offline") << id.toStdString();
}

// A service manager's stop, a logout or a closed terminal must end the program in order
// even while the start-up error box holds it before its event loop runs.
TEST(Program, SignalsEndItWhileTheStartUpBoxIsOpen) {
    struct Case { int sig; const char* ftdb; };
    const Case cases[] = {
        {SIGTERM, nullptr}, // no ftdb.ini anywhere
        {SIGINT, nullptr},
        {SIGHUP, "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=c:\\dtu.mdb"}, // refused provider
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sig);
        QTemporaryDir dir;
        QFile ini(dir.filePath("center.ini"));
        ini.open(QIODevice::WriteOnly);
        ini.write(QString("[LINK]\nPort=1\n[VPORT]\nDir=%1\n[LISTENER]\nPort=0\n[STATUS]\nListen=0\n").arg(dir.filePath("ports")).toUtf8());
        ini.close();
        if (c.ftdb) {
            QFile f(dir.filePath("ftdb.ini"));
            f.open(QIODevice::WriteOnly);
            f.write(c.ftdb);
        }
        QProcess app;
        app.setWorkingDirectory(dir.path());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        app.setProcessEnvironment(env);
        app.start(bin("dtuconsole"), {});
        ASSERT_TRUE(app.waitForStarted());
        QByteArray err;
        ASSERT_TRUE(waitFor([&] {
            err += app.readAllStandardError();
            return err.contains("dtuconsole starting");
        }, 5000));
        pump(1500); // the box is up, and secondStartTimer has fired inside its loop
        ASSERT_EQ(app.state(), QProcess::Running) << err.toStdString();
        ::kill(static_cast<pid_t>(app.processId()), c.sig);
        ASSERT_TRUE(app.waitForFinished(5000)) << "still running after the signal";
        err += app.readAllStandardError();
        EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
        EXPECT_EQ(app.exitCode(), 0);
        EXPECT_TRUE(err.contains("orderly exit on a termination signal")) << err.toStdString();
    }
}

TEST_F(EndToEnd, StatusPageCountsWhatCrossedTheLink) {
    StatusServer page(ctx(), "dtuconsole");
    QString why;
    const quint16 port = [] { QTcpServer s; s.listen(QHostAddress::LocalHost); return s.serverPort(); }();
    ASSERT_TRUE(page.listen(QString("127.0.0.1:%1").arg(port), &why)) << why.toStdString();
    PortClient com5(dir.filePath("ports/COM5"));
    ASSERT_GE(com5.fd, 0);
    pump(300);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(publish(broker.port(), "dtu/" + A + "/up", QByteArray(10, 'a' + i)));
    EXPECT_EQ(com5.read(30).size(), 30);
    Sub downA(broker.port(), "dtu/" + A + "/down"), downB(broker.port(), "dtu/" + B + "/down");
    ASSERT_TRUE(com5.write("ASK123")); // COM5 is shared: A and B each get it
    EXPECT_EQ(downA.result(), "ASK123");
    pump(300);

    // A real Prometheus parser reads the page while the console's loop serves it.
    QProcess scrape;
    // Debian's Python, which has python3-prometheus-client.
    scrape.start("/usr/bin/python3", {"-c", R"(
import json, sys, urllib.request
from prometheus_client.parser import text_string_to_metric_families
base = sys.argv[1]
text = urllib.request.urlopen(base + "/metrics", timeout=5).read().decode()
out = {}
for family in text_string_to_metric_families(text):
    for s in family.samples:
        key = s.name + "|" + s.labels.get("id", "") + "|" + s.labels.get("reason", "")
        out[key] = s.value
out["health"] = urllib.request.urlopen(base + "/healthz", timeout=5).read().decode().strip()
out["dtus"] = json.loads(urllib.request.urlopen(base + "/dtus", timeout=5).read())
print(json.dumps(out))
)", QString("http://127.0.0.1:%1").arg(page.port())});
    ASSERT_TRUE(waitFor([&] { return scrape.state() == QProcess::NotRunning; }, 15000));
    ASSERT_EQ(scrape.exitCode(), 0) << scrape.readAllStandardError().toStdString();
    const QJsonObject m = QJsonDocument::fromJson(scrape.readAllStandardOutput()).object();
    auto value = [&](const QString& name, const QString& id, const QString& reason = {}) {
        return m.value(name + "|" + id + "|" + reason).toDouble(-1);
    };
    EXPECT_EQ(value("dtu_online", A), 1);
    EXPECT_EQ(value("dtu_packets_received_total", A), 3);
    EXPECT_EQ(value("dtu_bytes_received_total", A), 30);
    EXPECT_EQ(value("dtu_packets_sent_total", A), 1);
    EXPECT_EQ(value("dtu_bytes_sent_total", A), 6);
    EXPECT_EQ(value("dtu_bytes_sent_total", B), 6);
    EXPECT_EQ(value("dtu_bytes_received_total", C), 0);
    EXPECT_EQ(value("dtu_send_failures_total", A, "offline"), 0);
    EXPECT_GT(value("dtu_last_login_timestamp_seconds", A), 1.7e9);
    EXPECT_GT(value("dtu_last_data_timestamp_seconds", A), 1.7e9);
    EXPECT_EQ(value("dtuconsole_dtus", ""), 3);
    EXPECT_EQ(value("dtuconsole_dtus_online", ""), 3);
    EXPECT_EQ(value("dtuconsole_ports_open", ""), 2);
    EXPECT_EQ(value("dtuconsole_build_info", ""), 1);
    EXPECT_EQ(m.value("health").toString(), "ok");
    const QJsonArray dtus = m.value("dtus").toArray();
    ASSERT_EQ(dtus.size(), 3);
    EXPECT_EQ(dtus[0].toObject().value("id").toString(), A);
    EXPECT_EQ(dtus[0].toObject().value("port").toString(), "COM5");
    EXPECT_TRUE(dtus[0].toObject().value("online").toBool());
}

TEST_F(EndToEnd, AHugePacketReachesThePortWhole) {
    PortClient local(dir.filePath("ports/COM6"));
    ASSERT_GE(local.fd, 0);
    pump(300); // the port notices its reader
    QByteArray big(2 << 20, '\0');
    for (int i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
    ASSERT_TRUE(publish(broker.port(), "dtu/" + C + "/up", big, C));
    QByteArray got;
    waitFor([&] {
        char buf[65536];
        for (ssize_t n; (n = ::read(local.fd, buf, sizeof buf)) > 0;) got.append(buf, n);
        return got.size() >= big.size();
    }, 20000);
    EXPECT_EQ(got.size(), big.size());
    EXPECT_TRUE(got == big);
    // The port has it from the relay's thread; the display follows on the console's.
    EXPECT_TRUE(waitFor([&] { return memoText().contains("...[共2097152字节]"); }, 5000));
}

// The same console as a service: no display, lines on stderr.
TEST(Service, RelaysBothWaysPrintsWhatTheWindowWouldShowAndEndsInOrder) {
    QProcess ldd;
    ldd.start("ldd", {bin("dtuconsoled")});
    ASSERT_TRUE(ldd.waitForFinished());
    const QByteArray libs = ldd.readAllStandardOutput();
    EXPECT_TRUE(libs.contains("libQt6Core")) << libs.constData();
    EXPECT_FALSE(libs.contains("libQt6Gui")) << libs.constData();
    EXPECT_FALSE(libs.contains("libQt6Widgets")) << libs.constData();

    Broker broker{{A + ":" + PW, B + ":" + PW}};
    ASSERT_TRUE(broker.start());
    QTemporaryDir dir;
    const QString conf = dir.filePath("etc");
    ASSERT_NO_FATAL_FAILURE(writeProgramFolder(broker.port(), conf, dir));
    {
        QFile ini(conf + "/center.ini");
        ASSERT_TRUE(ini.open(QIODevice::Append));
        ini.write(("[CAPTURE]\nDir=" + dir.filePath("captures") + "\n").toUtf8());
    }
    // systemd's notification socket, played by the test.
    const QByteArray notifyPath = QFile::encodeName(dir.filePath("notify"));
    const int notifyFd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un sa{};
    sa.sun_family = AF_UNIX;
    std::memcpy(sa.sun_path, notifyPath.constData(), std::min<size_t>(notifyPath.size(), sizeof sa.sun_path - 1));
    ASSERT_EQ(::bind(notifyFd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    QByteArray notes;
    auto readNotes = [&] {
        char buf[4096];
        for (ssize_t n; (n = ::recv(notifyFd, buf, sizeof buf, 0)) > 0;) notes += QByteArray(buf, n) + '\n';
    };
    QProcess service;
    service.setWorkingDirectory(dir.path()); // not the config folder: --config names it
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("QT_QPA_PLATFORM");
    env.remove("DISPLAY");
    env.insert("NOTIFY_SOCKET", QString::fromLocal8Bit(notifyPath));
    env.insert("WATCHDOG_USEC", "400000");
    service.setProcessEnvironment(env);
    service.start(bin("dtuconsoled"), {"--config", conf, "--show-data", "--capture", A});
    ASSERT_TRUE(service.waitForStarted());
    QByteArray err;
    auto stderrHas = [&](const QByteArray& text, int ms) {
        return waitFor([&] {
            err += service.readAllStandardError();
            return err.contains(text);
        }, ms);
    };
    ASSERT_TRUE(stderrHas("启动成功", 10000)) << err.constData();
    ASSERT_TRUE(waitFor([&] { return QFileInfo(dir.filePath("ports/COM3")).isSymLink(); }, 10000));
    ASSERT_TRUE(waitFor([&] { return subscribeOnce(broker.port(), "dtu/" + A + "/console", A, PW) == "online"; }, 10000));

    PortClient local(dir.filePath("ports/COM3"));
    ASSERT_GE(local.fd, 0);
    pump(300);
    ASSERT_TRUE(publish(broker.port(), "dtu/" + A + "/up", "HELLO"));
    EXPECT_EQ(local.read(5), "HELLO");
    EXPECT_TRUE(stderrHas(QString(" 收到" + A + "数据:HELLO").toUtf8(), 5000)) << err.constData();

    Sub down(broker.port(), "dtu/" + A + "/down");
    ASSERT_TRUE(local.write("ANSWER"));
    EXPECT_EQ(down.result(), "ANSWER");

    // Type=notify: ready once loaded and started, the online count, watchdog pings.
    ASSERT_TRUE(waitFor([&] {
        readNotes();
        return notes.count("WATCHDOG=1") >= 2;
    }, 5000)) << notes.constData();
    EXPECT_TRUE(notes.contains("READY=1")) << notes.constData();
    EXPECT_TRUE(notes.contains("STATUS=")) << notes.constData();

    ::kill(static_cast<pid_t>(service.processId()), SIGTERM);
    ASSERT_TRUE(service.waitForFinished(8000));
    EXPECT_EQ(service.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(service.exitCode(), 0);
    readNotes();
    EXPECT_TRUE(notes.contains("STOPPING=1")) << notes.constData();
    ::close(notifyFd);
    EXPECT_TRUE(QDir(dir.filePath("ports")).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).isEmpty());
    // --capture: A's conversation both ways, written out by the end.
    QFile cap(dir.filePath("captures/" + A + "-" + QDate::currentDate().toString("yyyyMMdd") + ".cap"));
    ASSERT_TRUE(cap.open(QIODevice::ReadOnly)) << cap.fileName().toStdString();
    const QByteArray recorded = cap.readAll();
    EXPECT_TRUE(recorded.contains(" " + A.toUtf8() + " < data 48454C4C4F\n")) << recorded.constData();
    EXPECT_TRUE(recorded.contains(" " + A.toUtf8() + " > port 414E53574552\n")) << recorded.constData();
    for (const QString& id : {A, B}) EXPECT_EQ(subscribeOnce(broker.port(), "dtu/" + id + "/console", id, PW), "offline") << id.toStdString();
}

// Debian's broker starts as root and reads its password file as the mosquitto user: the
// files dtudb writes as root are that user's, stay so when written again, and a reload
// keeps every DTU able to log in. --owner names another owner and a reading group.
TEST(LockedDownCenter, BrokerAuthFilesAreReadableByDebiansBrokerUser) {
    const passwd* mosq = ::getpwnam("mosquitto");
    if (::geteuid() != 0 || !mosq) GTEST_SKIP() << "needs root and the mosquitto user";
    QTemporaryDir dir;
    ::chmod(QFile::encodeName(dir.path()).constData(), 0755); // the broker's user may look in
    const QString conf = dir.filePath("etc");
    ASSERT_NO_FATAL_FAILURE(writeProgramFolder(1, conf, dir));
    auto brokerAuth = [&](const QStringList& extra) {
        QProcess db;
        db.setWorkingDirectory(conf);
        db.start(bin("dtudb"), QStringList{"broker-auth", "--passwd", dir.filePath("passwd"), "--acl", dir.filePath("acl")} + extra);
        EXPECT_TRUE(db.waitForFinished());
        EXPECT_EQ(db.exitCode(), 0) << db.readAllStandardError().toStdString();
        return QString::fromUtf8(db.readAllStandardOutput());
    };
    auto owner = [&](const char* file) {
        struct stat st {};
        ::stat(QFile::encodeName(dir.filePath(file)).constData(), &st);
        return std::make_tuple(st.st_uid, st.st_gid, st.st_mode & 0777);
    };
    EXPECT_TRUE(brokerAuth({}).contains("systemctl reload mosquitto"));
    for (const char* f : {"passwd", "acl"}) EXPECT_EQ(owner(f), std::make_tuple(mosq->pw_uid, mosq->pw_gid, 0600u)) << f;

    Broker broker{{}, {"user mosquitto", "allow_anonymous false", "password_file " + dir.filePath("passwd"), "acl_file " + dir.filePath("acl")}};
    ASSERT_TRUE(broker.start()) << "the broker's user could not read the files";
    EXPECT_TRUE(fieldPublish(broker.port(), "dtu/" + A + "/up", "x", A, PW));
    brokerAuth({}); // again, as for a new DTU: still the broker's, and a reload keeps the logins
    EXPECT_EQ(owner("passwd"), std::make_tuple(mosq->pw_uid, mosq->pw_gid, 0600u));
    ::kill(static_cast<pid_t>(broker.pid()), SIGHUP);
    pump(500);
    EXPECT_TRUE(broker.running());
    EXPECT_TRUE(fieldPublish(broker.port(), "dtu/" + B + "/up", "x", B, PW));

    const group* nogroup = ::getgrnam("nogroup");
    const passwd* nobody = ::getpwnam("nobody");
    ASSERT_TRUE(nogroup && nobody);
    EXPECT_TRUE(brokerAuth({"--owner", "nobody:nogroup"}).contains("readable by nobody:nogroup only"));
    EXPECT_EQ(owner("acl"), std::make_tuple(nobody->pw_uid, nogroup->gr_gid, 0640u));
}

// A locked-down center from the table: each DTU's credentials reach only its own topics.
TEST(LockedDownCenter, CredentialsFromTheTableConfineEachDtuToItsTopics) {
    QTemporaryDir dir;
    const QString conf = dir.filePath("etc");
    ASSERT_NO_FATAL_FAILURE(writeProgramFolder(1, conf, dir)); // the broker's port is written below
    QProcess db;
    db.setWorkingDirectory(conf);
    db.start(bin("dtudb"), {"broker-auth", "--passwd", dir.filePath("passwd"), "--acl", dir.filePath("acl")});
    ASSERT_TRUE(db.waitForFinished());
    ASSERT_EQ(db.exitCode(), 0) << db.readAllStandardError().toStdString();
    EXPECT_EQ(QFileInfo(dir.filePath("passwd")).permissions() & (QFileDevice::ReadGroup | QFileDevice::ReadOther), 0);

    Broker broker{{}, {"allow_anonymous false", "password_file " + dir.filePath("passwd"), "acl_file " + dir.filePath("acl")}};
    ASSERT_TRUE(broker.start());
    {
        QFile ini(conf + "/center.ini");
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write(QString("[LINK]\nPort=%1\n[VPORT]\nDir=%2\n[LISTENER]\nPort=0\n[STATUS]\nListen=0\n").arg(broker.port()).arg(dir.filePath("ports")).toUtf8());
    }
    QProcess service;
    service.start(bin("dtuconsoled"), {"--config", conf});
    ASSERT_TRUE(service.waitForStarted());
    ASSERT_TRUE(waitFor([&] {
        return subscribeOnce(broker.port(), "dtu/" + A + "/console", A, PW) == "online" &&
               subscribeOnce(broker.port(), "dtu/" + B + "/console", B, PW) == "online";
    }, 15000));
    PortClient portA(dir.filePath("ports/COM3")), portB(dir.filePath("ports/COM4"));
    ASSERT_GE(portA.fd, 0);
    ASSERT_GE(portB.fd, 0);
    pump(300);

    EXPECT_TRUE(fieldPublish(broker.port(), "dtu/" + A + "/up", "EVIL", B, PW)); // B's login, A's topic
    EXPECT_TRUE(fieldPublish(broker.port(), "dtu/" + B + "/up", "GOOD", B, PW)); // B's own
    EXPECT_EQ(portB.read(4), "GOOD");
    EXPECT_TRUE(fieldPublish(broker.port(), "dtu/" + A + "/up", "MINE", A, PW));
    EXPECT_EQ(portA.read(4), "MINE"); // A's port got A's packet and nothing before it

    // An unknown ID or a wrong password never comes online.
    LinkConfig link;
    link.port = broker.port();
    MqttLinkEngine stranger(link);
    QSignalSpy refused(&stranger, &ILinkEngine::OnLoginReply);
    stranger.AddDtu("00000000000000FF", PW);
    stranger.AddDtu(B, "wrong!");
    stranger.OpenDtu("00000000000000FF");
    stranger.OpenDtu(B);
    ASSERT_TRUE(waitFor([&] { return refused.count() >= 2; }, 5000));
    for (const auto& r : refused) EXPECT_LT(r[1].toInt(), 0) << r[0].toString().toStdString();
    EXPECT_FALSE(stranger.IsOnline("00000000000000FF"));
    EXPECT_FALSE(stranger.IsOnline(B));
    stranger.ClearDtus();

    ::kill(static_cast<pid_t>(service.processId()), SIGTERM);
    ASSERT_TRUE(service.waitForFinished(8000));
    EXPECT_EQ(service.exitCode(), 0);
}

TEST(LockedDownCenter, AnIdThatCannotBeATopicLevelWritesNothing) {
    QTemporaryDir dir;
    ASSERT_NO_FATAL_FAILURE(writeProgramFolder(1, dir.path(), dir));
    QProcess db;
    db.setWorkingDirectory(dir.path());
    // dtudb add refuses it; the window's dialog or an older tool may have stored it.
    db.start(bin("dtudb"), {"add", "0000000000000+01", PW});
    ASSERT_TRUE(db.waitForFinished());
    EXPECT_EQ(db.exitCode(), 1);
    EXPECT_TRUE(db.readAllStandardError().contains("cannot be in a topic level"));
    {
        DtuStore other(ConfigPaths{dir.path(), dir.path()}, "older-tool");
        other.connectTo("Provider=SQLite;Data Source=" + dir.filePath("dtu.db"));
        other.appendRow({"0000000000000+01", PW, "", "", "COM9", 0, QDateTime::currentDateTime()});
    }
    db.start(bin("dtudb"), {"broker-auth", "--passwd", dir.filePath("passwd"), "--acl", dir.filePath("acl")});
    ASSERT_TRUE(db.waitForFinished());
    EXPECT_EQ(db.exitCode(), 1);
    const QByteArray err = db.readAllStandardError();
    EXPECT_TRUE(err.contains("row 3: ID '0000000000000+01' holds '+'")) << err.constData();
    EXPECT_TRUE(err.contains("nothing written")) << err.constData();
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("passwd")));
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("acl")));
}

// The service's history on each backend: the table is made when missing, every login and
// every loss of the broker is a row, and the orderly end closes each DTU.
class ServiceHistory : public ::testing::TestWithParam<const char*> {};

TEST_P(ServiceHistory, LoginsLossesAndTheEndReachTheTable) {
    QTemporaryDir dir;
    QString conn;
    DTU_BACKEND_OR_SKIP(conn, QString(GetParam()), dir);
    Broker broker{{A + ":" + PW, B + ":" + PW}};
    ASSERT_TRUE(broker.start());
    const QString conf = dir.filePath("etc");
    QDir().mkpath(conf);
    {
        QFile ini(conf + "/center.ini");
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write(QString("[LINK]\nPort=%1\n[VPORT]\nDir=%2\n[LISTENER]\nPort=0\n[STATUS]\nListen=0\n")
                      .arg(broker.port()).arg(dir.filePath("ports")).toUtf8());
        QFile ftdb(conf + "/ftdb.ini");
        ASSERT_TRUE(ftdb.open(QIODevice::WriteOnly));
        ftdb.write(conn.toUtf8());
    }
    auto dtudb = [&](const QStringList& args) {
        QProcess db;
        db.start(bin("dtudb"), QStringList{"--connection", conn} + args);
        db.waitForFinished(10000);
        EXPECT_EQ(db.exitCode(), 0) << db.readAllStandardError().toStdString();
        return QString::fromUtf8(db.readAllStandardOutput());
    };
    {
        DtuStore mk(ConfigPaths{dir.path(), dir.path()}, "history-maker");
        mk.connectTo(conn, true);
        QSqlQuery(mk.database()).exec("drop table if exists dtuinfo");
        QSqlQuery(mk.database()).exec("drop table if exists dtuevent");
        mk.createTable();
        QSqlQuery(mk.database()).exec("drop table if exists dtuevent"); // the console makes it
    }
    dtudb({"add", A, PW, "--port", "COM3"});
    dtudb({"add", B, PW, "--port", "COM4"});

    QProcess service;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove("QT_QPA_PLATFORM");
    service.setProcessEnvironment(env);
    service.setProcessChannelMode(QProcess::ForwardedChannels);
    service.start(bin("dtuconsoled"), {"--config", conf});
    ASSERT_TRUE(service.waitForStarted());
    auto online = [&](const QString& id) { return subscribeOnce(broker.port(), "dtu/" + id + "/console", id, PW) == "online"; };
    ASSERT_TRUE(waitFor([&] { return online(A) && online(B); }, 10000));

    broker.stop(); // both sessions lose the center
    pump(500);
    ASSERT_TRUE(broker.start());
    ASSERT_TRUE(waitFor([&] { return online(A) && online(B); }, 15000));
    pump(1500); // a second for the writer

    const QString midway = dtudb({"events", A});
    EXPECT_EQ(midway.count("\tlogin\t"), 2) << midway.toStdString();
    EXPECT_EQ(midway.count("\tdisconnect\t"), 1) << midway.toStdString();

    ::kill(static_cast<pid_t>(service.processId()), SIGTERM);
    ASSERT_TRUE(service.waitForFinished(8000));
    EXPECT_EQ(service.exitCode(), 0);
    for (const QString& id : {A, B}) {
        QStringList kinds;
        for (const QString& line : dtudb({"events", id}).split('\n', Qt::SkipEmptyParts)) kinds << line.section('\t', 2, 2);
        EXPECT_EQ(kinds, (QStringList{"login", "disconnect", "login", "close"})) << id.toStdString();
    }
}

INSTANTIATE_TEST_SUITE_P(Backends, ServiceHistory, ::testing::Values("sqlite", "postgresql"));

// A field session recorded at the console, then played back by dtusim into the same
// console: the port gets the recorded field bytes in order, and --expect judges the local
// program by what it sends back.
TEST_F(EndToEnd, RecordedSessionReplaysIntoThePort) {
    ctx().capture.configure(dir.filePath("captures"), 1024 * 1024);
    ctx().capture.start(C);
    const QString com6 = dir.filePath("ports/COM6");
    {
        Sim field(broker.port(), {C}, {"--mode", "echo", "--beat", "0"});
        ASSERT_TRUE(field.waitOnline());
        PortClient local(com6);
        ASSERT_GE(local.fd, 0);
        pump(300);
        for (const QByteArray ping : {"PING1", "PING2", "PING3"}) {
            ASSERT_TRUE(local.write(ping));
            ASSERT_EQ(local.read(5), ping);
            pump(100);
        }
        // A text command and the DTU's reply, which the console keeps for itself.
        SendToDtu(ctx(), -1, C, "SETWXIDS:wx-one", SendSource::Command);
        ASSERT_TRUE(waitFor([&] { return ctx().statusPanel(3) == C + ":设置微信目标ID列表成功"; }, 5000));
    }
    ctx().capture.stop(C);
    ctx().capture.flush();
    const QString file = ctx().capture.fileFor(C);
    ASSERT_FALSE(file.isEmpty());
    const CaptureFile recorded = ReadCaptureFile(file);
    ASSERT_TRUE(recorded.error.isEmpty()) << recorded.error.toStdString();
    QStringList kinds;
    for (const CaptureRecord& r : recorded.records) kinds << QString(r.toField ? "> " : "< ") + r.source;
    EXPECT_EQ(kinds.count("> port"), 3) << kinds.join(", ").toStdString();
    EXPECT_EQ(kinds.count("< data"), 3) << kinds.join(", ").toStdString();
    EXPECT_EQ(kinds.count("> command"), 1) << kinds.join(", ").toStdString();
    EXPECT_EQ(kinds.count("< reply"), 1) << kinds.join(", ").toStdString();

    QProcess dump;
    dump.start(bin("dtucap"), {file});
    ASSERT_TRUE(dump.waitForFinished(5000));
    const QString shown = QString::fromUtf8(dump.readAllStandardOutput());
    EXPECT_TRUE(shown.contains("console -> field port 5 byte(s)") && shown.contains("PING2") && shown.contains("(+"))
        << shown.toStdString();
    dump.start(bin("dtucap"), {"--dir", "in", "--csv", file});
    ASSERT_TRUE(dump.waitForFinished(5000));
    EXPECT_EQ(QString::fromUtf8(dump.readAllStandardOutput()).count('\n'), 1 + 4); // header, 3 data, 1 reply

    // Played back: the local program echoes (as the field did) or answers wrong.
    struct Round { const char* name; bool echo; int exitCode; const char* verdict; };
    for (const Round& round : {Round{"echoing program", true, 0, "expect: same (3 record(s), 15 byte(s))"},
                               Round{"wrong program", false, 1, "expect: first difference at byte 3 (record 1 of 3"}}) {
        PortClient local(com6);
        ASSERT_GE(local.fd, 0);
        pump(300);
        QProcess replay;
        replay.setProcessChannelMode(QProcess::MergedChannels);
        replay.start(bin("dtusim"), {"--port", QString::number(broker.port()), "--password", PW, "--replay", file,
                                     "--id", C, "--speed", "4", "--expect", "--wait", "1.5"});
        QByteArray atPort;
        ASSERT_TRUE(waitFor([&] {
            const QByteArray got = local.read(1, 20);
            atPort += got;
            if (!got.isEmpty()) local.write(round.echo ? got : QByteArray(got).replace('1', '0').replace('G', 'X'));
            return replay.state() == QProcess::NotRunning;
        }, 20000)) << round.name;
        const QString said = QString::fromUtf8(replay.readAll());
        EXPECT_EQ(atPort, "PING1PING2PING3") << round.name; // the field's data; the reply went to the console
        EXPECT_EQ(replay.exitCode(), round.exitCode) << round.name << said.toStdString();
        EXPECT_TRUE(said.contains(round.verdict)) << round.name << "\n" << said.toStdString();
    }
}

// Bad input ends at once with a message naming it, instead of hanging or being refused
// wrongly: a port that is no port, a host that does not resolve, a device for a capture
// file; and a local time inside the spring clock change is a time.
TEST(Tools, BadInputFailsAtOnceAndOddTimesAreTimes) {
    QTemporaryDir dir;
    QFile cap(dir.filePath("night.cap"));
    ASSERT_TRUE(cap.open(QIODevice::WriteOnly));
    cap.write("2026-03-29T01:59:00.000000+01:00 0000000000000001 < data 41\n"
              "2026-03-29T03:20:00.000000+02:00 0000000000000001 < data 42\n"
              "2026-03-29T03:40:00.000000+02:00 0000000000000001 < data 43\n");
    cap.close();
    const struct {
        const char* program;
        QStringList args;
        int exitCode;
        const char* says;
    } cases[] = {
        {"dtusim", {"--port", "abc"}, 2, "--port 'abc' is not a port"},
        {"dtusim", {"--port", "70000"}, 2, "is not a port"},
        {"dtusim", {"--host", "no such host.invalid"}, 2, "does not resolve"},
        {"dtucap", {"/dev/zero"}, 1, "not a regular file"},
        // 02:30 does not exist in Berlin that night: read with the offset before the change,
        // it is 03:30 summer time, so only the 03:40 record is shown.
        {"dtucap", {"--csv", "--from", "2026-03-29 02:30", dir.filePath("night.cap")}, 0, ""},
    };
    for (const auto& c : cases) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("TZ", "Europe/Berlin");
        p.setProcessEnvironment(env);
        p.start(bin(c.program), c.args);
        ASSERT_TRUE(p.waitForFinished(10000)) << c.program << " " << c.args.join(' ').toStdString() << ": still running";
        const QString out = QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError());
        EXPECT_EQ(p.exitCode(), c.exitCode) << c.args.join(' ').toStdString() << "\n" << out.toStdString();
        if (c.exitCode == 0) {
            EXPECT_EQ(out.count("\n"), 2) << out.toStdString(); // the header and one record
            EXPECT_TRUE(out.contains("0000000000000001,in,data,1,43,C")) << out.toStdString();
        } else {
            EXPECT_TRUE(out.contains(QString::fromUtf8(c.says))) << c.args.join(' ').toStdString() << "\n" << out.toStdString();
        }
    }
}

// Strict: a broken line names itself and nothing is sent (without --strict it is skipped
// with a warning, as the capture reader's own test shows).
TEST(Replay, AStrictReplayOfABrokenFileNamesTheLineAndSendsNothing) {
    QTemporaryDir dir;
    QFile f(dir.filePath("broken.cap"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("2026-12-10T03:14:15.123456+08:00 " + C.toUtf8() + " < data 4142\n"
            "2026-12-10T03:14:15.223456+08:00 " + C.toUtf8() + " < data 41G2\n");
    f.close();
    QProcess replay;
    replay.start(bin("dtusim"), {"--port", "1", "--strict", "--replay", f.fileName()});
    ASSERT_TRUE(replay.waitForFinished(5000));
    EXPECT_EQ(replay.exitCode(), 2);
    const QString err = QString::fromUtf8(replay.readAllStandardError());
    EXPECT_TRUE(err.contains("broken.cap:2: 'G' is not a hex digit (nothing sent)")) << err.toStdString();
    EXPECT_FALSE(QString::fromUtf8(replay.readAllStandardOutput()).contains("field DTU"));
}

// ---- The relay does not wait on the console's thread ----

namespace {

// A local program that sends a short message through a port every 50 ms and waits for the
// field's echo, on a thread of its own: it measures the relay while the console's thread is
// held up.
class ExchangeProbe {
public:
    explicit ExchangeProbe(const QString& path) {
        fd_ = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd_ >= 0) thread_ = std::thread([this] { run(); });
    }
    ~ExchangeProbe() { stop(); }
    bool opened() const { return fd_ >= 0; }
    void stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    bool warm(int ms = 10000) {
        return waitFor([this] { return done_.load() >= 3; }, ms);
    }
    int done() const { return done_; }
    int lost() const { return lost_; }
    // The slowest exchange since the last reset, in ms.
    qint64 worstMs() const { return worstUs_ / 1000; }
    void reset() {
        worstUs_ = 0;
        lost_ = 0;
        done_ = 0;
    }

private:
    void run() {
        for (int seq = 0; !stop_; ++seq) {
            const QByteArray msg = QByteArray("probe-") + QByteArray::number(seq).rightJustified(6, '0') + '\n';
            const auto start = std::chrono::steady_clock::now();
            if (::write(fd_, msg.constData(), msg.size()) != msg.size()) {
                ++lost_;
            } else {
                QByteArray got;
                bool echoed = false;
                while (!stop_ && std::chrono::steady_clock::now() - start < std::chrono::seconds(20)) {
                    pollfd p{fd_, POLLIN, 0};
                    if (::poll(&p, 1, 20) > 0) {
                        char buf[512];
                        const ssize_t n = ::read(fd_, buf, sizeof buf);
                        if (n > 0) got.append(buf, n);
                    }
                    if (got.contains(msg)) {
                        echoed = true;
                        break;
                    }
                }
                const qint64 us = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - start).count();
                if (echoed) {
                    worstUs_ = std::max<qint64>(worstUs_, us);
                    ++done_;
                } else if (!stop_) {
                    ++lost_;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    int fd_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<int> done_{0}, lost_{0};
    std::atomic<qint64> worstUs_{0};
};

// A TCP proxy in front of a server that can be frozen: connections stay open and the kernel
// still takes what is sent, but nothing answers (a server stuck or gone quiet).
// A service's config folder: its center.ini and ftdb.ini.
void writeServiceConfig(const QString& conf, const QString& center, const QByteArray& ftdb) {
    QDir().mkpath(conf);
    QFile ini(conf + "/center.ini");
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write(center.toUtf8());
    ini.close();
    QFile db(conf + "/ftdb.ini");
    ASSERT_TRUE(db.open(QIODevice::WriteOnly));
    db.write(ftdb);
}

quint16 freePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost, 0);
    return probe.serverPort();
}

// One HTTP/1.0 exchange: the status line, headers and body as they came.
QByteArray httpGet(quint16 port, const QByteArray& path) {
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(2000)) return {};
    s.write("GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n");
    QByteArray got;
    while (s.waitForReadyRead(2000)) got += s.readAll();
    return got + s.readAll();
}

class FreezableProxy {
public:
    // listenOn 0: a free port.
    explicit FreezableProxy(quint16 target, quint16 listenOn = 0) {
        port_ = listenOn ? listenOn : freePort();
        // setsid: the proxy and the children it forks per connection are one process group.
        p_.start("setsid", {"socat", QString("TCP-LISTEN:%1,bind=127.0.0.1,reuseaddr,fork").arg(port_),
                            QString("TCP:127.0.0.1:%1").arg(target)});
        p_.waitForStarted();
        waitFor([this] {
            QTcpSocket s;
            s.connectToHost(QHostAddress::LocalHost, port_);
            return s.waitForConnected(200);
        }, 5000);
    }
    ~FreezableProxy() {
        thaw();
        ::kill(-static_cast<pid_t>(p_.processId()), SIGTERM);
        p_.waitForFinished(3000);
    }
    quint16 port() const { return port_; }
    void freeze() { ::kill(-static_cast<pid_t>(p_.processId()), SIGSTOP); }
    void thaw() { ::kill(-static_cast<pid_t>(p_.processId()), SIGCONT); }

private:
    QProcess p_;
    quint16 port_ = 0;
};

// A field DTU that echoes, and a local program exchanging through its port once it is online.
struct EchoExchange {
    Sim sim;
    std::optional<ExchangeProbe> probe;
    EchoExchange(quint16 brokerPort, const QString& id, const QString& portPath)
        : sim(brokerPort, {id}, {"--mode", "echo", "--beat", "0"}) {
        if (sim.waitOnline()) probe.emplace(portPath);
    }
    // Exchanging, with the figures counted from now.
    bool warm() {
        if (!probe || !probe->opened() || !probe->warm()) return false;
        probe->reset();
        return true;
    }
};

// The PostgreSQL connection string with the port of a proxy in front of the server.
QString throughProxy(QString pg, quint16 port) {
    pg.replace(QRegularExpression("Port=\\d+", QRegularExpression::CaseInsensitiveOption), "Port=" + QString::number(port));
    if (!pg.contains("Port=" + QString::number(port))) pg += ";Port=" + QString::number(port);
    return pg;
}

} // namespace

TEST_F(EndToEnd, ThePortKeepsItsPaceWhileTheWindowWaitsOnALockedTable) {
    EchoExchange field(broker.port(), C, dir.filePath("ports/COM6"));
    ASSERT_TRUE(field.warm());
    ExchangeProbe& probe = *field.probe;
    {
        QSqlDatabase holder = QSqlDatabase::addDatabase("QSQLITE", "holder");
        holder.setDatabaseName(dir.filePath("dtu.db"));
        ASSERT_TRUE(holder.open());
        QSqlQuery q(holder);
        ASSERT_TRUE(q.exec("BEGIN EXCLUSIVE"));
        QElapsedTimer held;
        held.start();
        ctx().guard([&] { console->rosterCommands.reloadDtus(); }); // waits out the busy timeout, then fails
        EXPECT_GE(held.elapsed(), 3000) << "the table was not held";
        q.exec("ROLLBACK");
    }
    QSqlDatabase::removeDatabase("holder");
    probe.stop();
    EXPECT_GE(probe.done(), 40);
    EXPECT_EQ(probe.lost(), 0);
    std::cout << "slowest exchange " << probe.worstMs() << " ms of " << probe.done() << std::endl;
    EXPECT_LT(probe.worstMs(), 250);
}

TEST_F(EndToEnd, ThePortKeepsItsPaceWhilePostgresqlDoesNotAnswer) {
    QString pg;
    DTU_BACKEND_OR_SKIP(pg, "postgresql", dir);
    const SqlTarget t = TranslateConnectionString(pg);
    FreezableProxy proxy(static_cast<quint16>(t.port > 0 ? t.port : 5432));
    const QString viaProxy = throughProxy(pg, proxy.port());
    {
        DtuStore mk(ConfigPaths{dir.path(), dir.path()}, "pg-maker");
        mk.connectTo(pg);
        mk.createTable();
        QSqlQuery(mk.database()).exec("delete from dtuinfo");
        for (const QString& id : {A, B, C})
            mk.appendRow({id, PW, id.right(1), "", id == C ? "COM6" : "COM5", 0, QDateTime::currentDateTime()});
    }
    QFile f(dir.filePath("ftdb.ini"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(viaProxy.toUtf8());
    f.close();
    console->activate(); // the changed file: connects through the proxy
    ASSERT_TRUE(ctx().dm.connectionString().contains(QString::number(proxy.port())));

    EchoExchange field(broker.port(), C, dir.filePath("ports/COM6"));
    ASSERT_TRUE(field.warm());
    ExchangeProbe& probe = *field.probe;
    proxy.freeze();
    std::thread thaw([&proxy] {
        std::this_thread::sleep_for(std::chrono::seconds(6));
        proxy.thaw();
    });
    QElapsedTimer held;
    held.start();
    ctx().guard([&] { console->rosterCommands.reloadDtus(); }); // waits until the server answers again
    thaw.join();
    EXPECT_GE(held.elapsed(), 5000) << "the server was not silent";
    probe.stop();
    EXPECT_GE(probe.done(), 60);
    EXPECT_EQ(probe.lost(), 0);
    std::cout << "slowest exchange " << probe.worstMs() << " ms of " << probe.done() << std::endl;
    EXPECT_LT(probe.worstMs(), 250);
    EXPECT_EQ(ctx().devices.rowCount(), 3);
}

TEST(Service, EndsWithinTenSecondsOfSigtermWhilePostgresqlDoesNotAnswer) {
    QTemporaryDir dir;
    QString pg;
    DTU_BACKEND_OR_SKIP(pg, "postgresql", dir);
    Broker broker({A + ":" + PW, B + ":" + PW});
    ASSERT_TRUE(broker.start());
    const SqlTarget t = TranslateConnectionString(pg);
    FreezableProxy proxy(static_cast<quint16>(t.port > 0 ? t.port : 5432));
    const QString viaProxy = throughProxy(pg, proxy.port());
    {
        DtuStore mk(ConfigPaths{dir.path(), dir.path()}, "pg-maker");
        mk.connectTo(pg);
        mk.createTable();
        QSqlQuery(mk.database()).exec("delete from dtuinfo");
        for (const QString& id : {A, B}) mk.appendRow({id, PW, id.right(1), "", id == A ? "COM3" : "COM4", 0, QDateTime::currentDateTime()});
    }
    const QString conf = dir.filePath("conf");
    ASSERT_NO_FATAL_FAILURE(writeServiceConfig(
        conf, QString("[LINK]\nPort=%1\n[VPORT]\nDir=%2\n[LISTENER]\nPort=0\n[STATUS]\nListen=0\n").arg(broker.port()).arg(dir.filePath("ports")),
        viaProxy.toUtf8()));

    QProcess service;
    service.setProcessChannelMode(QProcess::MergedChannels);
    service.start(bin("dtuconsoled"), {"--config", conf});
    QByteArray out;
    ASSERT_TRUE(waitFor([&] {
        out += service.readAll();
        return out.contains("启动成功");
    }, 10000)) << out.toStdString();
    pump(2500); // the logins are in the table
    proxy.freeze();
    pump(500);
    QElapsedTimer t0;
    t0.start();
    service.terminate();
    const bool ended = waitFor([&] {
        out += service.readAll();
        return service.state() == QProcess::NotRunning;
    }, 12000);
    const qint64 took = t0.elapsed();
    out += service.readAll();
    if (!ended) service.kill();
    EXPECT_TRUE(ended) << out.toStdString();
    EXPECT_LT(took, 10000) << out.toStdString();
    // What the history could not write is said, with its count.
    EXPECT_TRUE(out.contains("条事件未能写入") || out.contains("did not finish within")) << out.toStdString();
    EXPECT_FALSE(QFileInfo(dir.filePath("ports/COM3")).isSymLink());
    std::cout << "ended " << took << " ms after SIGTERM" << std::endl;
}

TEST(Service, ThePortKeepsItsPaceWhileMetricsAreScrapedAtFiveThousandDtus) {
    QTemporaryDir dir;
    Broker broker; // anonymous: five thousand logins without a password file
    ASSERT_TRUE(broker.start());
    const QString conf = dir.filePath("conf");
    QDir().mkpath(conf);
    QTcpServer probePort;
    probePort.listen(QHostAddress::LocalHost, 0);
    const quint16 status = probePort.serverPort();
    probePort.close();
    QFile ini(conf + "/center.ini");
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write(QString("[LINK]\nPort=%1\n[VPORT]\nDir=%2\n[LISTENER]\nPort=0\n[STATUS]\nListen=127.0.0.1:%3\n")
                  .arg(broker.port()).arg(dir.filePath("ports")).arg(status).toUtf8());
    ini.close();
    QFile ftdb(conf + "/ftdb.ini");
    ASSERT_TRUE(ftdb.open(QIODevice::WriteOnly));
    ftdb.write("Provider=SQLite;Data Source=" + dir.filePath("dtu.db").toUtf8());
    ftdb.close();
    QFile csv(dir.filePath("dtus.csv"));
    ASSERT_TRUE(csv.open(QIODevice::WriteOnly));
    constexpr int kDtus = 5000;
    for (int i = 1; i <= kDtus; ++i)
        csv.write(QString("%1,%2,n%3,,%4\n").arg(i, 16, 10, QChar('0')).arg(PW).arg(i).arg(i == 1 ? "COM1" : "").toUtf8());
    csv.close();
    for (const QStringList& args : {QStringList{"init"}, QStringList{"import", csv.fileName()}}) {
        QProcess db;
        db.setWorkingDirectory(conf);
        db.start(bin("dtudb"), args);
        ASSERT_TRUE(db.waitForFinished(60000));
        ASSERT_EQ(db.exitCode(), 0) << db.readAllStandardError().toStdString();
    }
    QProcess service;
    service.setProcessChannelMode(QProcess::ForwardedChannels);
    service.start(bin("dtuconsoled"), {"--config", conf});
    auto metrics = [&] {
        QProcess curl;
        curl.start("curl", {"-sf", QString("http://127.0.0.1:%1/metrics").arg(status)});
        curl.waitForFinished(10000);
        return curl.readAllStandardOutput();
    };
    ASSERT_TRUE(waitFor([&] { return metrics().contains(QByteArray("dtuconsole_dtus_online ") + QByteArray::number(kDtus)); }, 30000));
    EchoExchange field(broker.port(), A, dir.filePath("ports/COM1"));
    ASSERT_TRUE(field.warm());
    ExchangeProbe& probe = *field.probe;
    // Four scrapers, each asking again as soon as it has its answer.
    QElapsedTimer t;
    t.start();
    QProcess scrapers;
    scrapers.start("bash", {"-c", QString("for s in 1 2 3 4; do (n=0; while [ $SECONDS -lt 8 ]; do curl -sf -o /dev/null "
                                          "http://127.0.0.1:%1/metrics && n=$((n+1)); done; echo $n) & done; wait").arg(status)});
    ASSERT_TRUE(scrapers.waitForFinished(30000));
    const QList<QByteArray> counts = scrapers.readAllStandardOutput().trimmed().split('\n');
    int scrapes = 0;
    for (const QByteArray& c : counts) scrapes += c.toInt();
    probe.stop();
    std::cout << "slowest exchange " << probe.worstMs() << " ms of " << probe.done() << " during " << scrapes << " scrapes" << std::endl;
    EXPECT_GE(scrapes, 8);
    EXPECT_GE(probe.done(), 60);
    EXPECT_EQ(probe.lost(), 0);
    EXPECT_LT(probe.worstMs(), 250);
    service.terminate();
    EXPECT_TRUE(service.waitForFinished(10000));
}

// After a reboot the database may come up after the service: the service says so once,
// reports itself degraded, and loads, logs in and makes the ports when it comes.
TEST(Service, WaitsForAPostgresqlThatStartsLate) {
    QTemporaryDir dir;
    QString pg;
    DTU_BACKEND_OR_SKIP(pg, "postgresql", dir);
    Broker broker({A + ":" + PW, B + ":" + PW});
    ASSERT_TRUE(broker.start());
    const SqlTarget t = TranslateConnectionString(pg);
    {
        DtuStore mk(ConfigPaths{dir.path(), dir.path()}, "pg-maker");
        mk.connectTo(pg);
        mk.createTable();
        QSqlQuery(mk.database()).exec("delete from dtuinfo");
        for (const QString& id : {A, B}) mk.appendRow({id, PW, id.right(1), "", id == A ? "COM3" : "COM4", 0, QDateTime::currentDateTime()});
    }
    const quint16 later = freePort(); // the database's address, nobody there yet
    const quint16 status = freePort();
    const QString conf = dir.filePath("conf");
    ASSERT_NO_FATAL_FAILURE(writeServiceConfig(
        conf, QString("[LINK]\nPort=%1\n[VPORT]\nDir=%2\n[LISTENER]\nPort=0\n[STATUS]\nListen=127.0.0.1:%3\n")
                  .arg(broker.port()).arg(dir.filePath("ports")).arg(status),
        throughProxy(pg, later).toUtf8()));

    QProcess service;
    service.setProcessChannelMode(QProcess::MergedChannels);
    service.start(bin("dtuconsoled"), {"--config", conf});
    QByteArray out;
    ASSERT_TRUE(waitFor([&] {
        out += service.readAll();
        return out.contains("数据库不可用");
    }, 10000)) << out.toStdString();
    pump(3000); // a few retries
    out += service.readAll();
    const QByteArray degraded = httpGet(status, "/healthz");
    EXPECT_TRUE(degraded.startsWith("HTTP/1.1 503")) << degraded.toStdString();
    EXPECT_TRUE(degraded.endsWith("degraded: no database\n")) << degraded.toStdString();
    EXPECT_EQ(out.count("数据库不可用"), 1) << out.toStdString();
    EXPECT_FALSE(out.contains("启动成功")) << out.toStdString();

    FreezableProxy database(static_cast<quint16>(t.port > 0 ? t.port : 5432), later);
    EXPECT_TRUE(waitFor([&] {
        out += service.readAll();
        return out.contains("数据库已可用，载入2个DTU") && out.contains("启动成功") && QFileInfo(dir.filePath("ports/COM3")).isSymLink();
    }, 40000)) << out.toStdString();
    // One line each, libpq's several-line text included.
    for (const QByteArray& line : out.split('\n'))
        if (line.contains("数据库不可用")) EXPECT_TRUE(line.contains("稍后自动重试")) << line.toStdString();
    const QByteArray healthy = httpGet(status, "/healthz");
    EXPECT_TRUE(healthy.startsWith("HTTP/1.1 200")) << healthy.toStdString();
    EXPECT_TRUE(waitFor([&] { return httpGet(status, "/metrics").contains("dtuconsole_dtus_online 2"); }, 10000));
    service.terminate();
    waitFor([&] { return service.state() == QProcess::NotRunning; }, 12000);
}

// The status page's bounds, tried by a real client: a huge announced body, an endless
// header, a request never finished, more connections than allowed; each is answered and
// closed, with a run-log line, while ordinary keep-alive requests go on being served.
TEST(Service, TheStatusPageBoundsWhatAClientMaySend) {
    QTemporaryDir dir;
    const quint16 status = freePort();
    const QString conf = dir.filePath("conf");
    QDir().mkpath(conf);
    QFile ini(conf + "/center.ini");
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write(QString("[LINK]\nPort=%1\n[VPORT]\nDir=%2\n[LISTENER]\nPort=0\n[STATUS]\nListen=127.0.0.1:%3\n")
                  .arg(freePort()).arg(dir.filePath("ports")).arg(status).toUtf8());
    ini.close();
    QProcess service;
    service.setProcessChannelMode(QProcess::MergedChannels);
    service.start(bin("dtuconsoled"), {"--config", conf}); // no table: the page is served all the same
    ASSERT_TRUE(waitFor([&] { return !httpGet(status, "/metrics").isEmpty(); }, 10000));

    QProcess client;
    client.setProcessChannelMode(QProcess::MergedChannels);
    client.start("/usr/bin/python3", {"-c", R"(
import socket, sys, time
port = int(sys.argv[1])
def conn():
    s = socket.create_connection(("127.0.0.1", port), timeout=20)
    return s
def answer(s):
    data = b""
    try:
        while True:
            b = s.recv(65536)
            if not b: break
            data += b
    except socket.timeout:
        return data + b"<timeout>"
    return data
def response(s):
    data = b""
    while b"\r\n\r\n" not in data: data += s.recv(65536)
    head, _, body = data.partition(b"\r\n\r\n")
    length = [int(l.split(b":")[1]) for l in head.split(b"\r\n") if l.lower().startswith(b"content-length:")][0]
    while len(body) < length: body += s.recv(65536)
    return head
out = {}
s = conn(); s.sendall(b"POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 4294967296\r\n\r\n" + b"x" * 1000)
out["body"] = answer(s)[:12]
s = conn(); s.sendall(b"GET /metrics HTTP/1.1\r\nHost: x\r\nX-Long: " + b"a" * 40000)
out["header"] = answer(s)[:12]
held = [conn() for _ in range(70)]
time.sleep(0.5)
refused = 0
for h in held:
    h.setblocking(False)
    try:
        if h.recv(100).startswith(b"HTTP/1.1 503"): refused += 1
    except BlockingIOError:
        pass
out["refused"] = refused
for h in held: h.close()
time.sleep(0.5)
s = conn()
s.sendall(b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n")
first = response(s)
s.sendall(b"GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n")
second = response(s)
s.close()
out["keepalive"] = first[:12] + b" " + (b"HTTP/1.1 200" if b"HTTP/1.1 200" in second else second[:40])
t0 = time.time()
s = conn(); s.sendall(b"GET /metrics HTTP/1.1\r\n")
out["slow"] = answer(s)[:12] + (b" %ds" % round(time.time() - t0))
for k in ("body", "header", "keepalive", "slow"): print(k, out[k].decode(errors="replace"))
print("refused", out["refused"])
)", QString::number(status)});
    ASSERT_TRUE(waitFor([&] { return client.state() == QProcess::NotRunning; }, 40000));
    const QString said = QString::fromUtf8(client.readAll());
    EXPECT_TRUE(said.contains("body HTTP/1.1 413")) << said.toStdString();
    EXPECT_TRUE(said.contains("header HTTP/1.1 431")) << said.toStdString();
    EXPECT_TRUE(said.contains("keepalive HTTP/1.1 200 HTTP/1.1 200")) << said.toStdString();
    EXPECT_TRUE(said.contains("slow HTTP/1.1 408 10s") || said.contains("slow HTTP/1.1 408 11s")) << said.toStdString();
    EXPECT_TRUE(said.contains("refused 6") || said.contains("refused 7")) << said.toStdString(); // 70 against 64
    service.terminate();
    waitFor([&] { return service.state() == QProcess::NotRunning; }, 12000);
    const QString log = QString::fromUtf8(service.readAll());
    EXPECT_EQ(log.count("状态页拒绝"), said.contains("refused 6") ? 9 : 10) << log.toStdString();
}

// A service user that may not read ftdb.ini (an administrator's chmod 600 as root): the one
// line names the file, its owner and mode, and the user, and /healthz says degraded.
TEST(Service, AnFtdbIniItMayNotReadIsNamedWithItsOwnerAndMode) {
    if (::geteuid() != 0 || runProgram("id", {"nobody"}) != 0) GTEST_SKIP() << "needs root and the user nobody";
    QTemporaryDir dir;
    ::chmod(QFile::encodeName(dir.path()).constData(), 0755); // nobody may look in, not write
    const QString conf = dir.filePath("conf");
    QDir().mkpath(conf);
    ::chmod(QFile::encodeName(conf).constData(), 0755);
    const quint16 status = freePort();
    QFile ini(conf + "/center.ini");
    ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
    ini.write(QString("[LINK]\nPort=%1\n[VPORT]\nDir=/tmp/dtu-nobody-%2/ports\n[LISTENER]\nPort=0\n[STATUS]\nListen=127.0.0.1:%3\n")
                  .arg(freePort()).arg(status).arg(status).toUtf8());
    ini.close();
    ::chmod(QFile::encodeName(ini.fileName()).constData(), 0644);
    QFile ftdb(conf + "/ftdb.ini");
    ASSERT_TRUE(ftdb.open(QIODevice::WriteOnly));
    ftdb.write("Provider=SQLite;Data Source=/nonexistent/dtu.db");
    ftdb.close();
    ::chmod(QFile::encodeName(ftdb.fileName()).constData(), 0600);
    QProcess service;
    service.setProcessChannelMode(QProcess::MergedChannels);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", "/tmp");
    service.setProcessEnvironment(env);
    service.start("runuser", {"-u", "nobody", "--", bin("dtuconsoled"), "--config", conf});
    QByteArray out;
    const bool told = waitFor([&] {
        out += service.readAll();
        return out.contains("数据库不可用");
    }, 10000);
    const QByteArray health = httpGet(status, "/healthz");
    ::kill(static_cast<pid_t>(service.processId()), SIGTERM);
    waitFor([&] { return service.state() == QProcess::NotRunning; }, 12000);
    out += service.readAll();
    QDir(QString("/tmp/dtu-nobody-%1").arg(status)).removeRecursively();
    ASSERT_TRUE(told) << out.toStdString();
    EXPECT_TRUE(out.contains((conf + "/ftdb.ini 属于 root:root，权限 0600，本程序的用户 nobody 无法读取").toUtf8())) << out.toStdString();
    EXPECT_TRUE(health.contains("degraded: no database")) << health.toStdString();
}

namespace {
// dtuconsoled as these tests start it: its stderr gathered and asked for a text within a time.
struct ServiceRun {
    QProcess process;
    QByteArray err;
    bool start(const QString& conf, const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
        process.setProcessEnvironment(env);
        process.start(bin("dtuconsoled"), {"--config", conf});
        return process.waitForStarted() && said("启动成功");
    }
    bool said(const QByteArray& text, int ms = 10000) {
        return waitFor([&] {
            err += process.readAllStandardError();
            return err.contains(text);
        }, ms);
    }
    void stop() {
        ::kill(static_cast<pid_t>(process.processId()), SIGTERM);
        process.waitForFinished(8000);
        err += process.readAllStandardError();
    }
};

bool allOnline(quint16 brokerPort, const QStringList& ids) {
    for (const QString& id : ids)
        if (!waitFor([&] { return subscribeOnce(brokerPort, "dtu/" + id + "/console", id, PW) == "online"; }, 10000)) return false;
    return true;
}
} // namespace

// SIGHUP (systemctl reload): the table as it now is; a DTU that did not change keeps its
// session and its port, a removed one goes offline and loses its port, a new one comes online
// with its port; a setting that needs a restart is named; the service keeps running.
TEST(Service, AReloadTakesTheTableAsItNowIsAndLeavesTheRestAlone) {
    Broker broker{{A + ":" + PW, B + ":" + PW, C + ":" + PW}};
    ASSERT_TRUE(broker.start());
    QTemporaryDir dir;
    const QString conf = dir.filePath("etc");
    ASSERT_NO_FATAL_FAILURE(writeProgramFolder(broker.port(), conf, dir));
    ServiceRun service;
    ASSERT_TRUE(service.start(conf)) << service.err.constData();
    ASSERT_TRUE(allOnline(broker.port(), {A, B}));
    ASSERT_TRUE(waitFor([&] { return QFileInfo(dir.filePath("ports/COM4")).isSymLink(); }, 5000));
    PortClient local(dir.filePath("ports/COM3"));
    ASSERT_GE(local.fd, 0);

    // Every state A's console topic takes from here on.
    QProcess watchA;
    watchA.start("mosquitto_sub", {"-p", QString::number(broker.port()), "-t", "dtu/" + A + "/console", "-u", A, "-P", PW,
                                   "-i", "watch-a"});
    ASSERT_TRUE(watchA.waitForStarted());
    pump(300);

    QProcess db;
    db.setWorkingDirectory(conf);
    for (const QStringList& args : {QStringList{"add", C, PW, "--port", "COM5"}, QStringList{"remove", B}}) {
        db.start(bin("dtudb"), args);
        ASSERT_TRUE(db.waitForFinished());
        ASSERT_EQ(db.exitCode(), 0) << db.readAllStandardError().toStdString();
    }
    {
        QFile ini(conf + "/center.ini");
        ASSERT_TRUE(ini.open(QIODevice::Append));
        ini.write("[HISTORY]\nKeepDays=30\n");
    }
    ::kill(static_cast<pid_t>(service.process.processId()), SIGHUP);
    ASSERT_TRUE(service.said(QString("重新载入DTU表: +1 (%1) \u22121 (%2) ~0，共2个DTU").arg(C, B).toUtf8())) << service.err.constData();
    EXPECT_TRUE(service.err.contains("需要重启才能生效: HISTORY/KeepDays")) << service.err.constData();
    EXPECT_TRUE(waitFor([&] { return subscribeOnce(broker.port(), "dtu/" + C + "/console", C, PW) == "online"; }, 10000));
    EXPECT_EQ(subscribeOnce(broker.port(), "dtu/" + B + "/console", B, PW), "offline");
    EXPECT_TRUE(waitFor([&] { return QFileInfo(dir.filePath("ports/COM5")).isSymLink(); }, 5000));
    EXPECT_FALSE(QFileInfo(dir.filePath("ports/COM4")).exists());
    EXPECT_EQ(service.process.state(), QProcess::Running);

    // A: the same session and the same port, still relaying.
    ASSERT_TRUE(publish(broker.port(), "dtu/" + A + "/up", "AFTER"));
    EXPECT_EQ(local.read(5), "AFTER");
    watchA.terminate();
    watchA.waitForFinished(3000);
    EXPECT_EQ(watchA.readAllStandardOutput(), "online\n"); // the retained state, and no drop since

    service.stop();
    EXPECT_EQ(service.process.exitCode(), 0);
}

// As the journal reads the service: a priority on every line, an event said once (not once by
// Qt and again by the run log), and the broker's loss and return one line each, not one a DTU.
TEST(Service, TheJournalGetsOneLineAnEventWithItsPriority) {
    Broker broker{{A + ":" + PW, B + ":" + PW}};
    ASSERT_TRUE(broker.start());
    QTemporaryDir dir;
    const QString conf = dir.filePath("etc");
    ASSERT_NO_FATAL_FAILURE(writeProgramFolder(broker.port(), conf, dir));
    QTcpServer taken; // the status page's port, held by someone else: a failure both logs knew of
    ASSERT_TRUE(taken.listen(QHostAddress::LocalHost));
    {
        QFile ini(conf + "/center.ini");
        ASSERT_TRUE(ini.open(QIODevice::ReadWrite));
        QByteArray text = ini.readAll().replace("Listen=0", "Listen=127.0.0.1:" + QByteArray::number(taken.serverPort()));
        ini.resize(0);
        ini.write(text);
    }
    ServiceRun service;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("JOURNAL_STREAM", "8:12345");
    ASSERT_TRUE(service.start(conf, env)) << service.err.constData();
    ASSERT_TRUE(allOnline(broker.port(), {A, B}));
    broker.stop();
    ASSERT_TRUE(service.said("所有DTU离线")) << service.err.constData();
    pump(2000);
    ASSERT_TRUE(broker.start());
    ASSERT_TRUE(service.said("的连接已恢复", 20000)) << service.err.constData();
    pump(1500); // the second start the window would make has passed
    service.stop();
    const QByteArray& err = service.err;

    const QStringList lines = QString::fromUtf8(err).split('\n', Qt::SkipEmptyParts);
    static const QRegularExpression priority("^<([0-7])>"), category("^dtu(\\.[a-z]+)+: "),
        stamp("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d[ :]");
    QHash<QString, int> seen;
    QHash<QString, QString> levelOf;
    for (const QString& line : lines) {
        const QRegularExpressionMatch m = priority.match(line);
        ASSERT_TRUE(m.hasMatch()) << "no priority: " << line.toStdString();
        QString text = line.mid(m.capturedLength());
        text.remove(category);
        text.remove(stamp);
        ++seen[text];
        levelOf[text] = m.captured(1);
    }
    for (auto it = seen.cbegin(); it != seen.cend(); ++it) EXPECT_EQ(it.value(), 1) << "said twice: " << it.key().toStdString();
    auto lineWith = [&](const QString& part) {
        QStringList found;
        for (auto it = levelOf.cbegin(); it != levelOf.cend(); ++it)
            if (it.key().contains(part)) found << it.value();
        return found;
    };
    EXPECT_EQ(lineWith("启动成功"), QStringList{"6"}) << err.constData();
    EXPECT_EQ(lineWith("所有DTU离线"), QStringList{"4"}) << err.constData();
    EXPECT_EQ(lineWith("的连接已恢复"), QStringList{"6"}) << err.constData();
    EXPECT_EQ(lineWith(QString::number(taken.serverPort())).value(0), "4") << err.constData();
}

// The window and the service side by side on one table: the second is refused at start, names
// the first, and ends with a status of its own instead of fighting over the DTUs.
TEST(Service, ASecondServiceOnTheSameTableIsRefused) {
    Broker broker{{A + ":" + PW, B + ":" + PW}};
    ASSERT_TRUE(broker.start());
    QTemporaryDir dir;
    const QString conf = dir.filePath("etc");
    ASSERT_NO_FATAL_FAILURE(writeProgramFolder(broker.port(), conf, dir));
    ServiceRun first;
    ASSERT_TRUE(first.start(conf)) << first.err.constData();
    QProcess second;
    second.start(bin("dtuconsoled"), {"--config", conf});
    ASSERT_TRUE(second.waitForFinished(10000));
    EXPECT_EQ(second.exitCode(), 3);
    const QByteArray said = second.readAllStandardError();
    EXPECT_TRUE(said.contains(QString("另一个控制台 (dtuconsoled, pid %1)").arg(first.process.processId()).toUtf8())) << said.constData();
    EXPECT_EQ(said.count("另一个控制台"), 1) << said.constData(); // once, not by the box and the run log
    EXPECT_FALSE(said.contains("启动成功")) << said.constData();
    EXPECT_EQ(first.process.state(), QProcess::Running);
    first.stop();
}
