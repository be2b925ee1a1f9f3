// The pseudo-terminal port engine with real pseudo-terminals and a plain local client.
#include "support/broker.h"
#include "support/ptyclient.h"
#include "engines/vport/ptyport.h"

#include <QProcess>
#include <QSignalSpy>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace dtu;
using namespace dtu::test;

namespace {

QByteArray allBytes() {
    QByteArray b;
    for (int i = 0; i < 256; ++i) b.append(static_cast<char>(i));
    return b;
}

// A local program: opens the link like a serial port, with the terminal settings it finds.

double cpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

} // namespace

class Pty : public ::testing::Test {
protected:
    QTemporaryDir dir;
    std::unique_ptr<PtyPortEngine> engine;
    void SetUp() override { engine = std::make_unique<PtyPortEngine>(dir.filePath("ports")); }
    std::unique_ptr<PtyPort> make(const QString& name) {
        auto p = std::make_unique<PtyPort>(*engine);
        EXPECT_TRUE(p->CreatePort(name)) << p->lastError().toStdString();
        return p;
    }
    // Reads what the port's event hands over, as the console's handler does.
    static void collect(PtyPort& port, QByteArray& into) {
        QObject::connect(&port, &IVPort::portReadable, &port, [&port, &into](int count) {
            QByteArray buf;
            port.ReadData(buf, count);
            into += buf;
        });
    }
};

TEST_F(Pty, EveryByteValueBothWays) {
    auto port = make("COM5");
    EXPECT_TRUE(engine->systemPorts().contains("COM5"));
    QByteArray fromClient;
    collect(*port, fromClient);
    PortClient c(dir.filePath("ports/COM5"));
    ASSERT_GE(c.fd, 0);
    ASSERT_TRUE(waitFor([&] { return port->hasReader(); }, 2000));

    const QByteArray all = allBytes() + QByteArray("\r\n\n\r\x03\x04\x1a\x7f", 8) + QByteArray(5000, 'x');
    EXPECT_EQ(port->WriteData(all), all.size());
    EXPECT_EQ(c.read(all.size()), all); // no echo, no CR/LF translation, no line limit

    ASSERT_TRUE(c.write(all));
    ASSERT_TRUE(waitFor([&] { return fromClient.size() >= all.size(); }));
    EXPECT_EQ(fromClient, all);
}

TEST_F(Pty, ABurstGoesOutWholeInOrderAndItsFirstPacketAtOnce) {
    auto port = make("COM6");
    PortClient c(dir.filePath("ports/COM6"));
    ASSERT_GE(c.fd, 0);
    ASSERT_TRUE(waitFor([&] { return port->hasReader(); }, 2000));
    QByteArray sent;
    for (int round = 0; round < 3; ++round) {
        // Packets handed over within one pass of the event loop, as a burst read from the link.
        for (int i = 0; i < 200; ++i) {
            const QByteArray packet = QByteArray::number(round * 1000 + i) + ';';
            port->WriteData(packet);
            sent += packet;
            if (i == 0) {
                pollfd pf{c.fd, POLLIN, 0};
                EXPECT_EQ(poll(&pf, 1, 0), 1) << "a lone packet must not wait for the loop";
            }
        }
        EXPECT_EQ(c.read(static_cast<int>(sent.size())), sent);
        sent.clear();
    }
}

TEST_F(Pty, APassThatLastsDoesNotHoldWhatItGathered) {
    // The link may go on reading for milliseconds while the broker keeps sending; packets
    // gathered early in such a pass must reach the reader before the pass ends.
    auto port = make("COM6");
    PortClient c(dir.filePath("ports/COM6"));
    ASSERT_GE(c.fd, 0);
    ASSERT_TRUE(waitFor([&] { return port->hasReader(); }, 2000));
    port->WriteData("first;");
    port->WriteData("second;"); // gathered
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    port->WriteData("third;"); // the pass has run long: everything gathered goes now
    // Read without running the event loop, which would end the pass and write the rest.
    const QByteArray gathered("first;second;third;");
    QByteArray got;
    for (pollfd pf{c.fd, POLLIN, 0}; got.size() < gathered.size() && poll(&pf, 1, 2000) == 1;) {
        char buf[256];
        const ssize_t n = ::read(c.fd, buf, sizeof buf);
        if (n > 0) got.append(buf, n);
    }
    EXPECT_EQ(got, gathered);
    port->WriteData("fourth;");
    EXPECT_EQ(c.read(int(strlen("fourth;"))), QByteArray("fourth;"));
}

TEST_F(Pty, ReopenGetsNoStaleDataAndStaysRaw) {
    auto port = make("COM6");
    QByteArray fromClient;
    collect(*port, fromClient);
    {
        PortClient c(dir.filePath("ports/COM6"));
        ASSERT_TRUE(waitFor([&] { return port->hasReader(); }));
        port->WriteData("unread before close");
        pump(50);
    }
    ASSERT_TRUE(waitFor([&] { return !port->hasReader(); }, 2000) || (port->WriteData("x"), !port->hasReader()));
    port->WriteData("while nobody listens");
    EXPECT_GT(port->droppedToPort(), 0);

    // The hang-up must not spin the event loop.
    const double before = cpuSeconds();
    pump(500);
    EXPECT_LT(cpuSeconds() - before, 0.25);

    for (int round = 0; round < 3; ++round) {
        PortClient c(dir.filePath("ports/COM6"));
        ASSERT_TRUE(waitFor([&] { return port->hasReader(); }));
        EXPECT_TRUE(c.read(1, 200).isEmpty()) << round; // nothing stale
        const QByteArray payload = allBytes();
        port->WriteData(payload);
        EXPECT_EQ(c.read(payload.size()), payload) << round;
        fromClient.clear();
        ASSERT_TRUE(c.write(QByteArray("\r\n\x00\xff", 4)));
        ASSERT_TRUE(waitFor([&] { return fromClient.size() >= 4; }));
        EXPECT_EQ(fromClient, QByteArray("\r\n\x00\xff", 4));
    }
}

// Pollers started per poll, cron scripts, drivers that reopen after an error: each opens
// the port, writes at once and waits for the answer, or writes and goes.
TEST_F(Pty, ProgramsThatOpenTheirPortForEachExchange) {
    auto port = make("COMR");
    QByteArray got;
    QObject::connect(port.get(), &IVPort::portReadable, port.get(), [&](int count) {
        QByteArray buf;
        port->ReadData(buf, count);
        got += buf;
        port->WriteData(buf.toUpper()); // the field's answer
    });
    const QString link = dir.filePath("ports/COMR");
    QProcess poller; // opens, writes, reads the answer, closes: 20 times
    poller.start("python3", {"-c", R"(
import os, select, sys
for i in range(20):
    fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)
    os.write(fd, b"poll%02d;" % i)
    got = b""
    while len(got) < 7:
        r, _, _ = select.select([fd], [], [], 5)
        if not r: sys.exit("no answer to poll %d" % i)
        got += os.read(fd, 64)
    os.close(fd)
    print(got.decode())
)", link});
    ASSERT_TRUE(waitFor([&] { return poller.state() == QProcess::NotRunning; }, 60000));
    EXPECT_EQ(poller.exitCode(), 0) << poller.readAllStandardError().toStdString();
    const QList<QByteArray> answers = poller.readAllStandardOutput().trimmed().split('\n');
    ASSERT_EQ(answers.size(), 20);
    for (int i = 0; i < 20; ++i) EXPECT_EQ(answers[i], QByteArray("POLL%1;").replace("%1", QByteArray::number(i).rightJustified(2, '0')));

    got.clear(); // write and go, without waiting for anything
    for (int i = 0; i < 10; ++i) {
        QProcess shot;
        shot.start("sh", {"-c", "printf 'cmd%s;' \"$1\" > \"$2\"", "sh", QString::number(i), link});
        ASSERT_TRUE(shot.waitForFinished(5000));
    }
    ASSERT_TRUE(waitFor([&] { return got.count(';') >= 10; }, 5000)) << got.constData();
    EXPECT_EQ(got, "cmd0;cmd1;cmd2;cmd3;cmd4;cmd5;cmd6;cmd7;cmd8;cmd9;");
    // Their answers found nobody: dropped, never handed to the next program.
    ASSERT_TRUE(waitFor([&] { return !port->hasReader(); }));
    PortClient next(link);
    EXPECT_TRUE(next.read(1, 300).isEmpty());
}

TEST_F(Pty, WritesNeverBlockWhenNobodyReads) {
    auto port = make("COM7");
    PortClient c(dir.filePath("ports/COM7")); // open, never read
    ASSERT_TRUE(waitFor([&] { return port->hasReader(); }));
    QElapsedTimer t;
    t.start();
    const QByteArray chunk(1024, 'z');
    for (int i = 0; i < 4096; ++i) port->WriteData(chunk);
    EXPECT_LT(t.elapsed(), 2000);
    EXPECT_GT(port->droppedToPort(), 4096 * 1024 - PtyPort::kOutLimit - 64 * 1024);
}

TEST_F(Pty, StaleLinksAndNamesThatCannotBeMade) {
    QDir().mkpath(dir.filePath("ports"));
    // A link left by a console that crashed leads nowhere: not a port, and replaced.
    ASSERT_EQ(::symlink("/dev/pts/99999", QFile::encodeName(dir.filePath("ports/COM8")).constData()), 0);
    engine->rescan();
    EXPECT_FALSE(engine->systemPorts().contains("COM8"));
    auto stale = make("COM8");
    EXPECT_TRUE(QFileInfo(dir.filePath("ports/COM8")).exists());

    // Something real of that name stays and the port is refused.
    QFile real(dir.filePath("ports/COM9"));
    ASSERT_TRUE(real.open(QIODevice::WriteOnly));
    real.close();
    PtyPort taken(*engine);
    EXPECT_FALSE(taken.CreatePort("COM9"));
    EXPECT_TRUE(taken.lastError().contains("COM9"));

    struct Case { QString name; const char* why; };
    QFile blocker(dir.filePath("afile"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    const Case cases[] = {
        {dir.filePath("missing/COM1"), "不存在"},
        {dir.filePath("afile/COM1"), "不存在"},
        {QString("CO") + QChar(0) + "M", "文件名"},
        {"..", "文件名"},
        {"", "文件名"},
        {QString(300, 'x'), "文件名"},
    };
    for (const auto& c : cases) {
        PtyPort p(*engine);
        EXPECT_FALSE(p.CreatePort(c.name)) << c.name.toStdString();
        EXPECT_TRUE(p.lastError().contains(QString::fromUtf8(c.why))) << p.lastError().toStdString();
    }
    // A folder that cannot be made for plain names.
    PtyPortEngine bad(dir.filePath("afile/ports"));
    PtyPort p(bad);
    EXPECT_FALSE(p.CreatePort("COM1"));
    EXPECT_TRUE(p.lastError().contains("afile"));
}

TEST_F(Pty, LinksOfAnEarlierRunAreReplacedOnlyInOurFolder) {
    QDir().mkpath(dir.filePath("ports"));
    // After a kill -9 the old COM3 link may lead to a terminal another program holds now.
    int master = -1, slave = -1;
    ASSERT_EQ(::openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
    const QByteArray theirs = ptsname(master);
    ASSERT_EQ(::symlink(theirs.constData(), QFile::encodeName(dir.filePath("ports/COM3")).constData()), 0);
    engine->rescan();
    EXPECT_FALSE(engine->systemPorts().contains("COM3"));
    auto com3 = make("COM3");
    EXPECT_NE(QFileInfo(dir.filePath("ports/COM3")).symLinkTarget(), QString::fromLocal8Bit(theirs));
    EXPECT_EQ(QFileInfo(dir.filePath("ports/COM3")).symLinkTarget(), com3->slavePath());
    EXPECT_TRUE(engine->systemPorts().contains("COM3")); // ours now, and live
    ::close(master);
    ::close(slave);

    // Outside the folder a path is someone else's in any form: never touched.
    const QString outside = dir.filePath("elsewhere");
    QDir().mkpath(outside);
    struct Entry { QString path; std::function<void(const QString&)> make; };
    const Entry entries[] = {
        {outside + "/dangling", [](const QString& p) { ::symlink("/nonexistent/lock", QFile::encodeName(p).constData()); }},
        {outside + "/oldpts", [](const QString& p) { ::symlink("/dev/pts/99999", QFile::encodeName(p).constData()); }},
        {outside + "/file", [](const QString& p) { QFile f(p); f.open(QIODevice::WriteOnly); }},
        {outside + "/dir", [](const QString& p) { QDir().mkpath(p); }},
    };
    for (const Entry& e : entries) {
        e.make(e.path);
        const QFileInfo before(e.path);
        EXPECT_TRUE(engine->occupied(e.path)) << e.path.toStdString();
        PtyPort p(*engine);
        EXPECT_FALSE(p.CreatePort(e.path)) << e.path.toStdString();
        EXPECT_TRUE(p.lastError().contains("已存在")) << p.lastError().toStdString();
        const QFileInfo after(e.path);
        EXPECT_EQ(after.isSymLink(), before.isSymLink());
        EXPECT_EQ(after.symLinkTarget(), before.symLinkTarget());
    }
    EXPECT_FALSE(engine->occupied(outside + "/free"));
    EXPECT_FALSE(engine->occupied("COM4")); // folder names are the port list's business
    auto direct = make(outside + "/free");
    EXPECT_FALSE(engine->occupied(outside + "/free")); // our own live port is not someone else's
}

TEST_F(Pty, AProgramsOwnTerminalSettingsAreLeftAlone) {
    auto port = make("COMT");
    PortClient c(dir.filePath("ports/COMT"));
    ASSERT_GE(c.fd, 0);
    termios t{};
    ASSERT_EQ(tcgetattr(c.fd, &t), 0);
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON), 0u); // raw for it when it opened
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 20; // a 2 s read timeout, as pollers set
    ASSERT_EQ(tcsetattr(c.fd, TCSANOW, &t), 0);
    pump(400); // several of the engine's checks for opened ports
    port->WriteData("x"); // and a write, which checks too
    pump(100);
    termios now{};
    ASSERT_EQ(tcgetattr(c.fd, &now), 0);
    EXPECT_EQ(now.c_cc[VMIN], 0);
    EXPECT_EQ(now.c_cc[VTIME], 20);

    // After the last close the next program finds raw mode again.
    c.close();
    pump(300);
    PortClient next(dir.filePath("ports/COMT"));
    termios again{};
    ASSERT_EQ(tcgetattr(next.fd, &again), 0);
    EXPECT_EQ(again.c_cc[VMIN], 1);
    EXPECT_EQ(again.c_cc[VTIME], 0);
}

// The fallback folder under /tmp: anyone could have made it first.
class PortFolderRules : public ::testing::Test {
protected:
    QTemporaryDir place; // stands for /tmp
    QString ours() const { return place.filePath(QString("dtuconsole-%1").arg(::geteuid())); }
    QString ports() const { return ours() + "/ports"; }
    static mode_t modeOf(const QString& p) {
        struct stat st {};
        ::lstat(QFile::encodeName(p).constData(), &st);
        return st.st_mode & 07777;
    }
    // A port in the folder, or the reason it was refused.
    static QString tryPort(PtyPortEngine& e, const QString& name = "COM1") {
        PtyPort p(e);
        return p.CreatePort(name) ? QString() : p.lastError();
    }
};

TEST_F(PortFolderRules, AFreshFolderIsMadeForUsAlone) {
    PtyPortEngine e(ports(), PortFolder::Policy::Private);
    PtyPort p(e);
    ASSERT_TRUE(p.CreatePort("COM1")) << p.lastError().toStdString();
    EXPECT_EQ(modeOf(ours()), 0700u);
    EXPECT_EQ(modeOf(ports()), 0700u);
    EXPECT_TRUE(QFileInfo(ports() + "/COM1").isSymLink());
    EXPECT_TRUE(e.folderProblem().isEmpty());
}

TEST_F(PortFolderRules, SomeoneElsesFolderIsRefusedAndLeftEmpty) {
    QDir().mkpath(place.filePath("elsewhere/ports"));
    struct Case { const char* what; std::function<bool()> prepare; const char* why; };
    const Case cases[] = {
        {"a link to a folder", [&] { return ::symlink(QFile::encodeName(place.filePath("elsewhere")).constData(),
                                                      QFile::encodeName(ours()).constData()) == 0; }, "不是目录而是链接或文件"},
        {"open to everyone", [&] { return QDir().mkdir(ours()) && ::chmod(QFile::encodeName(ours()).constData(), 0777) == 0; },
         "组或其他用户可写"},
        {"its ports open to the group", [&] {
             return QDir().mkpath(ports()) && ::chmod(QFile::encodeName(ports()).constData(), 0770) == 0; }, "组或其他用户可写"},
        {"another user's", [&] {
             return ::geteuid() == 0 && QDir().mkpath(ports()) &&
                    ::chown(QFile::encodeName(ours()).constData(), 65534, 65534) == 0; }, "属于另一用户"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        QDir(ours()).removeRecursively();
        ::unlink(QFile::encodeName(ours()).constData());
        if (!c.prepare()) {
            ASSERT_EQ(std::string(c.what), "another user's") << "could not prepare the case";
            continue; // changing owners needs root
        }
        PtyPortEngine e(ports(), PortFolder::Policy::Private);
        const QString problem = e.folderProblem();
        EXPECT_TRUE(problem.contains(QString::fromUtf8(c.why))) << problem.toStdString();
        EXPECT_TRUE(problem.contains(ports())) << problem.toStdString();
        EXPECT_EQ(tryPort(e), problem);
        EXPECT_TRUE(QDir(place.filePath("elsewhere/ports")).isEmpty());
        EXPECT_FALSE(QFileInfo(ports() + "/COM1").isSymLink());
        EXPECT_FALSE(e.systemPorts().contains("COM1"));
        EXPECT_TRUE(tryPort(e, place.filePath("direct")).isEmpty()); // a port with a path of its own still works
    }
}

TEST_F(PortFolderRules, ANamedFolderOpenToAllNeedsTheStickyBit) {
    const QString dir = place.filePath("shared");
    QDir().mkpath(dir);
    ::chmod(QFile::encodeName(dir).constData(), 0777);
    {
        PtyPortEngine e(dir, PortFolder::Policy::Shared);
        EXPECT_TRUE(e.folderProblem().contains("粘滞位")) << e.folderProblem().toStdString();
        EXPECT_FALSE(tryPort(e).isEmpty());
    }
    ::chmod(QFile::encodeName(dir).constData(), 01777);
    PtyPortEngine e(dir, PortFolder::Policy::Shared);
    EXPECT_TRUE(e.folderProblem().isEmpty());
    EXPECT_TRUE(tryPort(e).isEmpty());
}

TEST_F(PortFolderRules, LinksGoWhereTheCheckWasMadeEvenIfTheFolderIsSwapped) {
    PtyPortEngine e(ports(), PortFolder::Policy::Private);
    PtyPort first(e);
    ASSERT_TRUE(first.CreatePort("COM1"));
    // Someone moves our folder away and puts a link to theirs in its place.
    QDir().mkpath(place.filePath("theirs/ports"));
    ASSERT_EQ(::rename(QFile::encodeName(ours()).constData(), QFile::encodeName(place.filePath("moved")).constData()), 0);
    ASSERT_EQ(::symlink(QFile::encodeName(place.filePath("theirs")).constData(), QFile::encodeName(ours()).constData()), 0);
    PtyPort second(e);
    ASSERT_TRUE(second.CreatePort("COM2"));
    EXPECT_TRUE(QDir(place.filePath("theirs/ports")).isEmpty());
    EXPECT_TRUE(QFileInfo(place.filePath("moved/ports/COM2")).isSymLink());
    second.DeletePort();
    EXPECT_FALSE(QFileInfo(place.filePath("moved/ports/COM2")).isSymLink());
}

TEST_F(Pty, DeleteAndResetRemoveTheLinks) {
    auto a = make("COMA");
    auto b = make("COMB");
    auto path = make(dir.filePath("direct-port"));
    EXPECT_TRUE(engine->systemPorts().contains(dir.filePath("direct-port")));
    EXPECT_TRUE(a->DeletePort());
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("ports/COMA")));
    EXPECT_FALSE(a->DeletePort());
    PtyPort bus(*engine);
    EXPECT_TRUE(bus.ResetBus());
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("ports/COMB")));
    EXPECT_FALSE(QFileInfo(dir.filePath("direct-port")).isSymLink());
    EXPECT_EQ(engine->liveCount(), 0);
    EXPECT_FALSE(b->isCreated());
}

TEST_F(Pty, DestroyedPortsLeaveNoLinks) {
    auto a = make("COMX");
    a.reset();
    EXPECT_FALSE(QFileInfo(dir.filePath("ports/COMX")).isSymLink());
    EXPECT_EQ(engine->liveCount(), 0);
}

// [VPORT] Group: a program of another user in that group opens the port (a SCADA program beside
// the service); a user outside it still cannot; a group that is not there is said.
TEST_F(PortFolderRules, TheGroupsMembersMayOpenThePortsAndNobodyElse) {
    {
        PtyPortEngine e(ports(), PortFolder::Policy::Private, "no-such-group-here");
        EXPECT_TRUE(e.folderProblem().contains("no-such-group-here 不存在")) << e.folderProblem().toStdString();
    }
    if (::geteuid() != 0) GTEST_SKIP() << "making a user in the group needs root";
    ASSERT_EQ(QProcess::execute("groupadd", {"-f", "dtuports-test"}), 0);
    if (QProcess::execute("id", {"dtuports-member"}) != 0)
        ASSERT_EQ(QProcess::execute("useradd", {"-M", "-N", "-G", "dtuports-test", "-s", "/usr/sbin/nologin", "dtuports-member"}), 0);
    ::chmod(QFile::encodeName(place.path()).constData(), 0755); // /tmp itself lets everyone through
    PtyPortEngine e(ports(), PortFolder::Policy::Private, "dtuports-test");
    PtyPort port(e);
    ASSERT_TRUE(port.CreatePort("COM1")) << port.lastError().toStdString();
    EXPECT_EQ(modeOf(ours()), 0750u);
    EXPECT_EQ(modeOf(ports()), 0750u);
    const QString slave = QFileInfo(ports() + "/COM1").symLinkTarget();
    EXPECT_EQ(modeOf(slave), 0660u);
    // The member's program writes and holds the port a moment, as a poller would.
    const auto openAs = [&](const QString& user) {
        QProcess p;
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start("runuser", {"-u", user, "--", "python3", "-c",
                            "import os,sys,time; fd=os.open(sys.argv[1], os.O_RDWR|os.O_NOCTTY); os.write(fd, b'HELLO'); time.sleep(1)",
                            ports() + "/COM1"});
        QByteArray got;
        QObject::connect(&port, &IVPort::portReadable, &p, [&](int count) {
            QByteArray b;
            port.ReadData(b, count);
            got += b;
        });
        waitFor([&] { return p.state() == QProcess::NotRunning; }, 10000);
        return std::tuple{p.exitCode(), QString::fromUtf8(p.readAll()), got};
    };
    const auto [memberRc, memberSaid, got] = openAs("dtuports-member");
    EXPECT_EQ(memberRc, 0) << memberSaid.toStdString();
    EXPECT_EQ(got, "HELLO");
    const auto [outsiderRc, outsiderSaid, none] = openAs("nobody");
    EXPECT_NE(outsiderRc, 0);
    EXPECT_TRUE(outsiderSaid.contains("Permission denied")) << outsiderSaid.toStdString();
}
