// The MQTT link engine against a real mosquitto.
#include "engines/link/mqttclient.h"
#include "engines/link/mqttengine.h"
#include "support/broker.h"
#include "support/fakes.h"

#include <QDir>
#include <QSignalSpy>
#include <csignal>
#include <unistd.h>

using namespace dtu;
using namespace dtu::test;

namespace {
const QString A = "0000000000000001", B = "0000000000000002";
const QString PW = "123456";

QByteArray bytes(std::initializer_list<int> v) {
    QByteArray b;
    for (int x : v) b.append(static_cast<char>(x));
    return b;
}

bool publish(quint16 port, const QString& topic, const QByteArray& payload) {
    return fieldPublish(port, topic, payload, A, PW);
}

// Starts a subscriber in the background; read it with result().
struct Sub {
    QProcess p;
    int waitS;
    Sub(quint16 port, const QString& topic, int count, const QString& user = A, int seconds = 8) : waitS(seconds) {
        p.start("mosquitto_sub", {"-p", QString::number(port), "-t", topic, "-u", user, "-P", PW, "-C",
                                  QString::number(count), "-W", QString::number(seconds), "-N", "-i", "sub-" + topic});
        p.waitForStarted();
        pump(300); // subscribed before anything is sent
    }
    QByteArray result() {
        waitFor([this] { return p.state() == QProcess::NotRunning; }, (waitS + 1) * 1000);
        return p.readAllStandardOutput();
    }
};

LinkConfig config(quint16 port) {
    LinkConfig c;
    c.port = port;
    c.beatInterval = 1;
    return c;
}
} // namespace

class Engine : public ::testing::Test {
protected:
    Broker broker{{A + ":" + PW, B + ":" + PW}};
    void SetUp() override { ASSERT_TRUE(broker.start()); }
};

TEST_F(Engine, LoginSuccessAndWrongPassword) {
    MqttLinkEngine e(config(broker.port()));
    QSignalSpy login(&e, &ILinkEngine::OnLoginReply);
    e.AddDtu(A, PW);
    e.AddDtu(B, "wrong!");
    e.OpenDtu(A);
    e.OpenDtu(B);
    ASSERT_TRUE(waitFor([&] { return login.count() >= 2; }));
    QMap<QString, int> result;
    for (const auto& args : login) result[args[0].toString()] = args[1].toInt();
    EXPECT_EQ(result[A], 0);
    EXPECT_LT(result[B], 0);
    EXPECT_TRUE(e.IsOnline(A));
    EXPECT_FALSE(e.IsOnline(B));
    EXPECT_FALSE(e.GetDtuInfo(A).loginTime.isEmpty());
    EXPECT_TRUE(e.GetDtuInfo(B).loginTime.isEmpty());
    EXPECT_EQ(subscribeOnce(broker.port(), "dtu/" + A + "/console", A, PW), "online");
    EXPECT_TRUE(e.GetVersion().contains("libmosquitto"));
}

TEST_F(Engine, DataBothWaysIsByteExact) {
    MqttLinkEngine e(config(broker.port()));
    QSignalSpy login(&e, &ILinkEngine::OnLoginReply);
    QSignalSpy data(&e, &ILinkEngine::centerDataHex);
    QSignalSpy raw(&e, &ILinkEngine::centerData);
    QSignalSpy beats(&e, &ILinkEngine::centerHeartbeat);
    QSignalSpy beatReply(&e, &ILinkEngine::OnBeatReply);
    e.AddDtu(A, PW);
    e.OpenDtu(A);
    ASSERT_TRUE(waitFor([&] { return e.IsOnline(A); }));
    pump(200);

    QByteArray all;
    for (int i = 0; i < 256; ++i) all.append(static_cast<char>(i));
    ASSERT_TRUE(publish(broker.port(), "dtu/" + A + "/up", all));
    ASSERT_TRUE(waitFor([&] { return data.count() == 1; }));
    EXPECT_EQ(data[0][0].toString(), A);
    EXPECT_EQ(data[0][1].toInt(), 256);
    EXPECT_EQ(data[0][2].toString(), QString::fromLatin1(all.toHex().toUpper()));
    ASSERT_EQ(raw.count(), 1);
    EXPECT_EQ(raw[0][0].toString(), A);
    EXPECT_EQ(raw[0][1].toByteArray(), all);

    ASSERT_TRUE(publish(broker.port(), "dtu/" + A + "/beat", bytes({0x4E, 0xAA, 0x4B, 0xEA})));
    ASSERT_TRUE(waitFor([&] { return beats.count() == 1; }));
    EXPECT_EQ(beats[0][2].toString(), "4EAA4BEA");

    Sub down(broker.port(), "dtu/" + A + "/down", 1);
    const QByteArray payload = bytes({0x00, 0xFF, 0x00, 0x41, 0x80});
    EXPECT_GE(e.SendData(A, payload), 0);
    EXPECT_EQ(down.result(), payload);

    ASSERT_TRUE(waitFor([&] { return beatReply.count() >= 1; }, 4000));
    EXPECT_EQ(beatReply[0][1].toInt(), 100);
    const DtuInfo info = e.GetDtuInfo(A);
    EXPECT_EQ(info.sent, 1);
    EXPECT_EQ(info.received, 1);
    EXPECT_FALSE(info.updateTime.isEmpty());
}

TEST_F(Engine, SendDataResults) {
    LinkConfig c = config(broker.port());
    c.maxQueued = 5;
    MqttLinkEngine e(c);
    EXPECT_EQ(e.SendData("FFFFFFFFFFFFFFFF", "x"), SendNotRegistered);
    e.AddDtu(A, PW);
    EXPECT_EQ(e.SendData(A, "x"), SendNotOnline); // registered, never opened
    e.OpenDtu(A);
    ASSERT_TRUE(waitFor([&] { return e.IsOnline(A); }));
    pump(100);

    // A broker that stops answering: acknowledgements stop, the bound is reached.
    ::kill(static_cast<pid_t>(broker.pid()), SIGSTOP);
    QList<int> results;
    for (int i = 0; i < 8; ++i) results << e.SendData(A, QByteArray(100, 'x'));
    ::kill(static_cast<pid_t>(broker.pid()), SIGCONT);
    for (int i = 0; i < 5; ++i) EXPECT_GE(results[i], 0) << i;
    for (int i = 5; i < 8; ++i) EXPECT_EQ(results[i], SendQueueFull) << i;
    // Once the broker acknowledges again, sends are accepted again.
    ASSERT_TRUE(waitFor([&] { return e.SendData(A, "y") >= 0; }, 5000));

    e.CloseDtu(A);
    EXPECT_EQ(e.SendData(A, "x"), SendNotOnline);
}

TEST_F(Engine, CloseSaysOfflineAndWillCoversAVanishedConsole) {
    {
        MqttLinkEngine e(config(broker.port()));
        e.AddDtu(A, PW);
        e.AddDtu(B, PW);
        e.OpenDtu(A);
        e.OpenDtu(B);
        ASSERT_TRUE(waitFor([&] { return e.IsOnline(A) && e.IsOnline(B); }));
        pump(200);
        e.CloseDtu(A);
        pump(300);
        EXPECT_FALSE(e.IsOnline(A));
        EXPECT_EQ(subscribeOnce(broker.port(), "dtu/" + A + "/console", A, PW), "offline");
    } // B's session dropped without a goodbye: its will says offline
    pump(300);
    EXPECT_EQ(subscribeOnce(broker.port(), "dtu/" + B + "/console", B, PW), "offline");
}

TEST_F(Engine, BrokerRestartBringsDtusBack) {
    MqttLinkEngine e(config(broker.port()));
    QSignalSpy gone(&e, &ILinkEngine::OnDisconnect);
    QSignalSpy login(&e, &ILinkEngine::OnLoginReply);
    e.AddDtu(A, PW);
    e.OpenDtu(A);
    ASSERT_TRUE(waitFor([&] { return e.IsOnline(A); }));
    broker.stop();
    ASSERT_TRUE(waitFor([&] { return gone.count() == 1; }, 5000));
    EXPECT_FALSE(e.IsOnline(A));
    ASSERT_TRUE(broker.start());
    ASSERT_TRUE(waitFor([&] { return e.IsOnline(A); }, 10000));
    EXPECT_EQ(login.count(), 2);
    EXPECT_EQ(login.last()[1].toInt(), 0);
}

// A list of brokers: the DTUs are shared among them, and a DTU whose broker goes logs in
// at the next one; unresolvable names are skipped.
TEST(EngineBrokerList, DtusSpreadAndMoveOnWhenTheirBrokerGoes) {
    const QStringList creds{A + ":" + PW, B + ":" + PW};
    Broker one{creds}, two{creds};
    ASSERT_TRUE(one.start());
    ASSERT_TRUE(two.start());
    LinkConfig c = config(1); // the default port is never used: every entry names its own
    c.host = QString(" 127.0.0.1:%1 , 127.0.0.1:%2,").arg(one.port()).arg(two.port());
    MqttLinkEngine e(c);
    e.AddDtu(A, PW);
    e.AddDtu(B, PW);
    e.OpenDtu(A);
    e.OpenDtu(B);
    ASSERT_TRUE(waitFor([&] { return e.IsOnline(A) && e.IsOnline(B); }, 5000));
    // Presence is retained where each session is: A on the first broker, B on the second.
    EXPECT_EQ(subscribeOnce(one.port(), "dtu/" + A + "/console", A, PW), "online");
    EXPECT_EQ(subscribeOnce(two.port(), "dtu/" + B + "/console", B, PW), "online");

    QElapsedTimer t;
    t.start();
    one.stop();
    ASSERT_TRUE(waitFor([&] { return !e.IsOnline(A); }, 5000));
    ASSERT_TRUE(waitFor([&] { return e.IsOnline(A); }, 10000));
    EXPECT_LT(t.elapsed(), 5000);
    EXPECT_EQ(subscribeOnce(two.port(), "dtu/" + A + "/console", A, PW), "online");
    EXPECT_TRUE(e.IsOnline(B)); // never touched

    QSignalSpy log(&e, &ILinkEngine::engineLog);
    LinkConfig bad = config(two.port());
    bad.host = "no-such-host.invalid," + QString("127.0.0.1:%1").arg(two.port());
    MqttLinkEngine e2(bad);
    e2.AddDtu(A, PW); // starts at the name that does not resolve
    e2.OpenDtu(A);
    ASSERT_TRUE(waitFor([&] { return e2.IsOnline(A); }, 10000));
}

TEST(EngineBrokerList, EntriesAndPorts) {
    struct Case { QString text; QStringList expected; };
    for (const Case& c : {Case{"10.0.0.5", {"10.0.0.5:1883"}},
                          Case{"a:1884, b ,c:1", {"a:1884", "b:1883", "c:1"}},
                          Case{"[::1]:1885,::1,[fe80::1]", {"::1:1885", "::1:1883", "fe80::1:1883"}},
                          Case{"a:0,b:70000,c:x,,d", {"d:1883"}},
                          Case{"", {}}}) {
        QStringList got;
        for (const BrokerEndpoint& e : BrokerEndpoints(c.text, 1883)) got << e.host + ":" + QString::number(e.port);
        EXPECT_EQ(got, c.expected) << c.text.toStdString();
    }
}

TEST_F(Engine, RetainedPacketsAreTheBrokersMemoryNotTheField) {
    ASSERT_TRUE(fieldPublish(broker.port(), "dtu/" + A + "/up", "HELLO-RETAINED", A, PW, true));
    ASSERT_TRUE(fieldPublish(broker.port(), "dtu/" + A + "/beat", bytes({0x4E, 0xAA, 0x4B, 0xEA}), A, PW, true));
    MqttLinkEngine e(config(broker.port()));
    QSignalSpy data(&e, &ILinkEngine::centerDataHex);
    QSignalSpy raw(&e, &ILinkEngine::centerData);
    QSignalSpy beats(&e, &ILinkEngine::centerHeartbeat);
    QSignalSpy log(&e, &ILinkEngine::engineLog);
    e.AddDtu(A, PW);
    for (int login = 0; login < 3; ++login) { // each login would replay it
        e.OpenDtu(A);
        ASSERT_TRUE(waitFor([&] { return e.IsOnline(A); }));
        pump(300);
        e.CloseDtu(A);
    }
    EXPECT_EQ(data.count(), 0);
    EXPECT_EQ(raw.count(), 0);
    EXPECT_EQ(beats.count(), 0);
    EXPECT_EQ(e.GetDtuInfo(A).received, 0);
    EXPECT_TRUE(e.GetDtuInfo(A).updateTime.isEmpty());
    ASSERT_EQ(log.count(), 1); // the first one per DTU, not one per login
    EXPECT_TRUE(log[0][0].toString().contains("保留消息")) << log[0][0].toString().toStdString();

    e.OpenDtu(A); // live packets on the same topic still flow
    ASSERT_TRUE(waitFor([&] { return e.IsOnline(A); }));
    pump(200);
    ASSERT_TRUE(publish(broker.port(), "dtu/" + A + "/up", "live"));
    ASSERT_TRUE(waitFor([&] { return data.count() == 1; }));
    EXPECT_EQ(e.GetDtuInfo(A).received, 1);
}

namespace {
int openDescriptors() {
    return static_cast<int>(QDir("/proc/self/fd").entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot).size());
}
} // namespace

TEST_F(Engine, SessionsHoldOnlyTheirBrokerSocket) {
    // libmosquitto's wake-up socket pair would be written once per packet and never read.
    const int before = openDescriptors();
    {
        std::vector<std::unique_ptr<MqttClient>> clients;
        for (int i = 0; i < 20; ++i) {
            MqttOptions o;
            o.clientId = QString("c%1").arg(i);
            clients.push_back(std::make_unique<MqttClient>(o));
        }
        clients.push_back(std::make_unique<MqttClient>(MqttOptions{})); // no id: the broker picks one
        EXPECT_EQ(openDescriptors(), before);
        for (const auto& c : clients) EXPECT_TRUE(c->errorString().isEmpty()) << c->errorString().toStdString();
    }
    MqttLinkEngine e(config(broker.port()));
    e.AddDtu(A, PW);
    e.OpenDtu(A);
    ASSERT_TRUE(waitFor([&] { return e.IsOnline(A); }));
    for (int i = 0; i < 500; ++i) ASSERT_GE(e.SendData(A, "x"), 0) << i; // wake-ups would be written here
    pump(300);
    EXPECT_EQ(openDescriptors(), before + 2); // the session's socket and the engine's one epoll set
}

TEST_F(Engine, BrokerNameIsLookedUpOnceAwayFromTheLoop) {
    LinkConfig c = config(broker.port());
    c.host = "localhost";
    MqttLinkEngine e(c);
    e.AddDtu(A, PW);
    e.AddDtu(B, PW);
    e.OpenDtu(A);
    e.OpenDtu(B);
    ASSERT_TRUE(waitFor([&] { return e.IsOnline(A) && e.IsOnline(B); }));

    c.host = "no-such-broker.invalid";
    MqttLinkEngine bad(c);
    QSignalSpy log(&bad, &ILinkEngine::engineLog);
    bad.AddDtu(A, PW);
    bad.OpenDtu(A);
    ASSERT_TRUE(waitFor([&] { return log.count() >= 1; }, 10000));
    EXPECT_TRUE(log[0][0].toString().contains("无法解析中心地址 no-such-broker.invalid")) << log[0][0].toString().toStdString();
    EXPECT_FALSE(bad.IsOnline(A));
}

TEST(EngineBackoff, CappedAndJittered) {
    EXPECT_EQ(MqttLinkEngine::backoffMs(1, 1000, 60000, 0.5), 1000);
    EXPECT_EQ(MqttLinkEngine::backoffMs(3, 1000, 60000, 0.5), 4000);
    EXPECT_EQ(MqttLinkEngine::backoffMs(30, 1000, 60000, 0.5), 60000);
    EXPECT_EQ(MqttLinkEngine::backoffMs(1, 1000, 60000, 0.0), 750);
    EXPECT_EQ(MqttLinkEngine::backoffMs(1, 1000, 60000, 1.0), 1250);
}

TEST(EngineScale, FiveHundredDtusOpenAndCloseCleanly) {
    Broker broker; // anonymous
    ASSERT_TRUE(broker.start());
    MqttLinkEngine e(config(broker.port()));
    QSignalSpy login(&e, &ILinkEngine::OnLoginReply);
    for (int i = 1; i <= 500; ++i) e.AddDtu(QString("%1").arg(i, 16, 10, QChar('0')), PW);
    for (int i = 0; i < e.GetDtuCount(); ++i) e.OpenDtu(e.GetDtuId(i));
    EXPECT_LE(e.pendingConnects(), 100); // paced
    ASSERT_TRUE(waitFor([&] { return e.onlineCount() == 500; }, 20000)) << e.onlineCount();
    EXPECT_EQ(login.count(), 500);
    for (int i = 0; i < e.GetDtuCount(); ++i) e.CloseDtu(e.GetDtuId(i));
    EXPECT_EQ(e.onlineCount(), 0);
    EXPECT_EQ(e.pendingConnects(), 0);
    pump(500);
    EXPECT_EQ(subscribeOnce(broker.port(), "dtu/0000000000000500/console", "x", "y"), "offline");
}

TEST(EngineTakeover, TwoConsolesOnOneDtuBackOffAndSaySo) {
    Broker broker;
    ASSERT_TRUE(broker.start());
    MqttLinkEngine one(config(broker.port())), two(config(broker.port()));
    QSignalSpy logOne(&one, &ILinkEngine::engineLog), logTwo(&two, &ILinkEngine::engineLog);
    for (auto* e : {&one, &two}) {
        e->AddDtu(A, PW);
        e->OpenDtu(A);
    }
    ASSERT_TRUE(waitFor([&] { return logOne.count() + logTwo.count() >= 1; }, 25000));
    const QString line = (logOne.count() ? logOne : logTwo)[0][0].toString();
    EXPECT_TRUE(line.contains(A)) << line.toStdString();
    pump(3000); // backed off: no flood of further lines
    EXPECT_LE(logOne.count(), 1);
    EXPECT_LE(logTwo.count(), 1);
}

TEST(EngineTls, LogsInOverTlsWhenTheCaFileIsNamed) {
    QTemporaryDir certs;
    const QString ca = certs.filePath("ca.pem"), caKey = certs.filePath("ca.key");
    const QString crt = certs.filePath("server.pem"), key = certs.filePath("server.key");
    auto openssl = [&](const QStringList& args) { return QProcess::execute("openssl", args) == 0; };
    ASSERT_TRUE(openssl({"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=test-ca", "-keyout",
                         caKey, "-out", ca}));
    ASSERT_TRUE(openssl({"req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1", "-keyout", key, "-out",
                         certs.filePath("server.csr")}));
    QFile ext(certs.filePath("san.ext"));
    ext.open(QIODevice::WriteOnly);
    ext.write("subjectAltName=IP:127.0.0.1,DNS:localhost\n");
    ext.close();
    ASSERT_TRUE(openssl({"x509", "-req", "-in", certs.filePath("server.csr"), "-CA", ca, "-CAkey", caKey, "-CAcreateserial",
                         "-days", "2", "-extfile", ext.fileName(), "-out", crt}));
    for (const QString& f : {ca, crt, key}) QFile::setPermissions(f, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);

    Broker broker({}, {"cafile " + ca, "certfile " + crt, "keyfile " + key});
    ASSERT_TRUE(broker.start());
    LinkConfig c = config(broker.port());
    c.caFile = ca;
    MqttLinkEngine e(c);
    e.AddDtu(A, PW);
    e.OpenDtu(A);
    ASSERT_TRUE(waitFor([&] { return e.IsOnline(A); }, 10000));

    // A center given by name: looked up off the engine's thread, the certificate checked
    // against the name all the same (it holds localhost, not localhost.localdomain).
    LinkConfig byName = c;
    byName.host = "localhost";
    MqttLinkEngine named(byName);
    named.AddDtu("0000000000000003", PW);
    named.OpenDtu("0000000000000003");
    ASSERT_TRUE(waitFor([&] { return named.IsOnline("0000000000000003"); }, 10000));

    // A certificate that names only the address is not taken for the name.
    QFile ipOnly(certs.filePath("ip.ext"));
    ipOnly.open(QIODevice::WriteOnly);
    ipOnly.write("subjectAltName=IP:127.0.0.1\n");
    ipOnly.close();
    const QString crt2 = certs.filePath("server2.pem");
    ASSERT_TRUE(openssl({"x509", "-req", "-in", certs.filePath("server.csr"), "-CA", ca, "-CAkey", caKey, "-CAcreateserial",
                         "-days", "2", "-extfile", ipOnly.fileName(), "-out", crt2}));
    QFile::setPermissions(crt2, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther);
    Broker other({}, {"cafile " + ca, "certfile " + crt2, "keyfile " + key});
    ASSERT_TRUE(other.start());
    LinkConfig wrongName = byName;
    wrongName.port = other.port();
    MqttLinkEngine mismatch(wrongName);
    mismatch.AddDtu(B, PW);
    mismatch.OpenDtu(B);
    pump(1500);
    EXPECT_FALSE(mismatch.IsOnline(B));

    // Without the CA the broker's certificate is not trusted: never online.
    LinkConfig plain = config(broker.port());
    MqttLinkEngine untrusted(plain);
    untrusted.AddDtu(B, PW);
    untrusted.OpenDtu(B);
    pump(1500);
    EXPECT_FALSE(untrusted.IsOnline(B));
}

namespace {
// A name in /etc/hosts for the length of a test (root only), put back as it was.
class HostsEntry {
public:
    explicit HostsEntry(QString name) : name_(std::move(name)) {
        QFile f("/etc/hosts");
        if (::geteuid() == 0 && f.open(QIODevice::ReadOnly)) original_ = f.readAll(), ok_ = true;
    }
    ~HostsEntry() {
        if (ok_) write(original_);
    }
    bool ok() const { return ok_; }
    bool point(const QString& address) { return write(original_ + "\n" + address.toUtf8() + " " + name_.toUtf8() + "\n"); }

private:
    bool write(const QByteArray& text) {
        QFile f("/etc/hosts");
        return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(text) == text.size();
    }
    QString name_;
    QByteArray original_;
    bool ok_ = false;
};
} // namespace

// The broker's name moved to another address: the sessions follow it (a failed connection
// looks the name up again, past Qt's one-minute cache) and the move is one log line.
TEST_F(Engine, ABrokerNameThatMovesIsFollowed) {
    HostsEntry hosts("dtu-moving-broker.test");
    if (!hosts.ok() || !hosts.point("127.0.0.3")) GTEST_SKIP() << "needs root to write /etc/hosts";
    LinkConfig c = config(broker.port());
    c.host = "dtu-moving-broker.test"; // 127.0.0.3: nothing listens there
    MqttLinkEngine e(c);
    QSignalSpy log(&e, &ILinkEngine::engineLog);
    e.AddDtu(A, PW);
    e.OpenDtu(A);
    pump(2500);
    EXPECT_FALSE(e.IsOnline(A));
    ASSERT_TRUE(hosts.point("127.0.0.1"));
    EXPECT_TRUE(waitFor([&] { return e.IsOnline(A); }, 30000));
    QStringList lines;
    for (const auto& l : log) lines << l[0].toString();
    EXPECT_EQ(lines.filter("中心地址 dtu-moving-broker.test 已从 127.0.0.3 变为 127.0.0.1").size(), 1) << lines.join('|').toStdString();
}

// A name that never resolves is told with backoff: the 1st, 2nd and 4th failure, not every one.
TEST(EngineNames, ANameThatNeverResolvesIsToldWithBackoff) {
    LinkConfig c;
    c.host = "no-such-broker.invalid";
    MqttLinkEngine e(c);
    QSignalSpy log(&e, &ILinkEngine::engineLog);
    e.AddDtu(A, PW);
    e.OpenDtu(A);
    ASSERT_TRUE(waitFor([&] { return log.count() >= 2; }, 20000)); // failures 1 and 2: 5 s apart
    EXPECT_TRUE(log[0][0].toString().contains("(第1次)，5秒后重试")) << log[0][0].toString().toStdString();
    EXPECT_TRUE(log[1][0].toString().contains("(第2次)，10秒后重试")) << log[1][0].toString().toStdString();
}

// Two brokers, and the first stops answering while data is on its way to the field: what the
// lost session never had acknowledged is published again on the next one, in order, and
// counted apart from what was acknowledged.
TEST(EngineBrokerList, UnacknowledgedDataIsSentAgainOnTheNextBroker) {
    const QStringList creds{A + ":" + PW};
    Broker one{creds}, two{creds};
    ASSERT_TRUE(one.start());
    ASSERT_TRUE(two.start());
    LinkConfig c = config(1);
    c.host = QString("127.0.0.1:%1,127.0.0.1:%2").arg(one.port()).arg(two.port());
    c.keepAlive = 5;
    MqttLinkEngine e(c);
    e.AddDtu(A, PW);
    e.OpenDtu(A);
    ASSERT_TRUE(waitFor([&] { return e.IsOnline(A); }, 5000));
    ASSERT_GE(e.SendData(A, "before"), 0);
    ASSERT_TRUE(waitFor([&] { return e.GetDtuInfo(A).acknowledged == 1; }, 5000));

    Sub field(two.port(), "dtu/" + A + "/down", 20, A, 30); // the field, at the second broker
    ::kill(static_cast<pid_t>(one.pid()), SIGSTOP); // the first stops answering
    for (int i = 0; i < 20; ++i) ASSERT_GE(e.SendData(A, QByteArray("p") + QByteArray::number(i)), 0);
    ASSERT_TRUE(waitFor([&] { return !e.IsOnline(A); }, 15000)); // its keep-alive gives up
    one.stop();
    ASSERT_TRUE(waitFor([&] { return e.IsOnline(A); }, 15000));
    QByteArray expected;
    for (int i = 0; i < 20; ++i) expected += "p" + QByteArray::number(i);
    EXPECT_EQ(field.result(), expected);
    EXPECT_TRUE(waitFor([&] { return e.GetDtuInfo(A).acknowledged == 21; }, 5000));
    const DtuInfo info = e.GetDtuInfo(A);
    EXPECT_EQ(info.sent, 21);
    EXPECT_EQ(info.dropped, 0);
}
