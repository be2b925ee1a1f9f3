// The relay's thread with its real engines (mosquitto, pseudo-terminals): what crosses between
// it and the console's thread, in order, while both are busy. Also run under ThreadSanitizer.
#include "engines/link/mqttclient.h"
#include "engines/link/mqttengine.h"
#include "engines/vport/ptyport.h"
#include "relay/relaythread.h"
#include "support/broker.h"
#include "support/ptyclient.h"

#include <QTemporaryDir>

using namespace dtu;
using namespace dtu::test;

namespace {
const QString A = "0000000000000001", B = "0000000000000002";

// The far end of a DTU: its own session, publishing on up and taking what comes down.
struct Field {
    MqttClient client;
    QList<QByteArray> down;
    static MqttOptions options(quint16 port, const QString& id) {
        MqttOptions o;
        o.port = port;
        o.clientId = "field-" + id;
        return o;
    }
    Field(quint16 port, const QString& id) : client(options(port, id)) {
        QObject::connect(&client, &MqttClient::connected, [this, id](int) { client.subscribe("dtu/" + id + "/down", 1); });
        QObject::connect(&client, &MqttClient::messageReceived, [this](const QString&, const QByteArray& p, bool) { down << p; });
        client.connectToBroker();
    }
};

class Relaying : public ::testing::Test {
protected:
    QTemporaryDir dir;
    Broker broker;
    std::unique_ptr<RelayThread> relay;
    IVPort* portA = nullptr;
    std::unique_ptr<IVPort> portAOwned, portBOwned;

    void SetUp() override {
        ASSERT_TRUE(broker.start());
        LinkConfig c;
        c.port = broker.port();
        c.beatInterval = 1;
        const QString ports = dir.filePath("ports");
        relay = std::make_unique<RelayThread>([c] { return std::make_unique<MqttLinkEngine>(c); },
                                              [ports] { return std::make_unique<PtyPortEngine>(ports); });
        ILinkEngine& link = relay->link();
        for (const QString& id : {A, B}) {
            link.AddDtu(id, "123456");
            link.OpenDtu(id);
        }
        portAOwned = relay->portEngine().makePort();
        portBOwned = relay->portEngine().makePort();
        ASSERT_TRUE(portAOwned->CreatePort("COM3"));
        ASSERT_TRUE(portBOwned->CreatePort("COM4"));
        portA = portAOwned.get();
        PortRoutes r;
        r.inbound = {{A, portA}, {B, portBOwned.get()}};
        r.outbound = {{portA, {A}}, {portBOwned.get(), {B}}};
        relay->setRoutes(r);
        relay->setReplyMatchers({[](const QByteArray& b) { return b.startsWith("DSTLIST="); }});
        ASSERT_TRUE(waitFor([&] { return link.IsOnline(A) && link.IsOnline(B); }, 10000));
    }
    void TearDown() override {
        portAOwned.reset();
        portBOwned.reset();
        relay.reset();
    }
};

QByteArray packet(int i) { return QByteArray("pkt-") + QByteArray::number(i).rightJustified(5, '0') + QByteArray(1, '\0') + "\r\n"; }
} // namespace

TEST_F(Relaying, FieldDataReachesThePortAndTheConsoleHearsInOrder) {
    PortClient local(dir.filePath("ports/COM3"));
    ASSERT_GE(local.fd, 0);
    pump(300); // the port notices its reader
    QList<QByteArray> heard, replies;
    QObject::connect(&relay->link(), &ILinkEngine::dataDelivered, [&](const QString& id, const QByteArray& b) {
        if (id == A) heard << b;
    });
    QObject::connect(&relay->link(), &ILinkEngine::centerData, [&](const QString&, const QByteArray& b) { replies << b; });
    Field field(broker.port(), A);
    ASSERT_TRUE(waitFor([&] { return field.client.isConnected(); }));
    constexpr int kPackets = 500;
    QByteArray expected;
    for (int i = 0; i < kPackets; ++i) {
        field.client.publish("dtu/" + A + "/up", packet(i), 1);
        expected += packet(i);
        if (i == 100) field.client.publish("dtu/" + A + "/up", "DSTLIST=1,2,3", 1); // kept by the console
    }
    EXPECT_EQ(local.read(expected.size(), 10000), expected);
    ASSERT_TRUE(waitFor([&] { return heard.size() == kPackets; }, 10000)) << heard.size();
    for (int i = 0; i < kPackets; ++i) ASSERT_EQ(heard[i], packet(i)) << i;
    EXPECT_EQ(replies, QList<QByteArray>{"DSTLIST=1,2,3"});
}

TEST_F(Relaying, PortBytesReachTheFieldWhileTheConsoleKeepsCalling) {
    PortClient local(dir.filePath("ports/COM3"));
    ASSERT_GE(local.fd, 0);
    Field field(broker.port(), A);
    ASSERT_TRUE(waitFor([&] { return field.client.isConnected(); }));
    pump(300);
    qint64 sentBytes = 0;
    int failures = 0;
    QObject::connect(&relay->link(), &ILinkEngine::portDataSent, [&](const QString& id, const QByteArray& b, int r) {
        EXPECT_EQ(id, A);
        if (r >= 0) sentBytes += b.size();
        else ++failures;
    });
    QByteArray all;
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(local.write(packet(i)));
        all += packet(i);
        // The console's calls cross to the relay's thread between the port's bytes.
        EXPECT_TRUE(relay->link().IsOnline(A));
        (void)relay->link().GetDtuInfo(B);
        if (i % 50 == 0) pump(5);
    }
    ASSERT_TRUE(waitFor([&] { return sentBytes == all.size(); }, 10000)) << sentBytes << " of " << all.size();
    ASSERT_TRUE(waitFor([&] { return field.down.join().size() == all.size(); }, 10000));
    EXPECT_EQ(field.down.join(), all);
    EXPECT_EQ(failures, 0);
}

TEST_F(Relaying, RoutesChangeAndPortsGoWhileDataFlows) {
    Field field(broker.port(), A);
    ASSERT_TRUE(waitFor([&] { return field.client.isConnected(); }));
    int delivered = 0;
    QObject::connect(&relay->link(), &ILinkEngine::dataDelivered, [&](const QString&, const QByteArray&) { ++delivered; });
    for (int round = 0; round < 20; ++round) {
        for (int i = 0; i < 20; ++i) field.client.publish("dtu/" + A + "/up", packet(i), 0);
        PortRoutes r;
        if (round % 2) r.inbound = {{A, portBOwned.get()}};
        relay->setRoutes(r);
        pump(5);
    }
    portAOwned->DeletePort();
    portAOwned.reset(); // the instance goes on the relay's thread while packets are still coming
    for (int i = 0; i < 50; ++i) field.client.publish("dtu/" + A + "/up", packet(i), 0);
    ASSERT_TRUE(waitFor([&] { return delivered == 450; }, 10000)) << delivered;
    EXPECT_TRUE(relay->link().IsOnline(A));
}

TEST_F(Relaying, EndsInOrderWithTrafficInFlight) {
    Field field(broker.port(), A);
    ASSERT_TRUE(waitFor([&] { return field.client.isConnected(); }));
    for (int i = 0; i < 300; ++i) field.client.publish("dtu/" + A + "/up", packet(i), 1);
    relay->link().CloseDtu(A);
    portAOwned.reset();
    portBOwned.reset();
    relay.reset(); // sessions closed and ports gone on their thread; nothing left running
    EXPECT_FALSE(QFileInfo::exists(dir.filePath("ports/COM3")));
    EXPECT_FALSE(QFileInfo(dir.filePath("ports/COM4")).isSymLink());
}
