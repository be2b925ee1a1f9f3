// dtusim: field DTUs for demos, tests and benchmarks. Logs N DTUs into the broker as
// the field side, beats, echoes or generates data, and answers the remote commands.
#include "core/unixsignals.h"
#include "engines/link/mqttclient.h"
#include "sim/fielddtu.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>
#include <cstdio>
#include <deque>
#include <memory>

using namespace dtu;

namespace {

void say(const QString& s) {
    std::fputs(qPrintable(QStringLiteral("dtusim: ") + s + QLatin1Char('\n')), stdout);
    std::fflush(stdout);
}

struct Sim;

struct SimDtu {
    QString id, password;
    MqttClient* client = nullptr;
    FieldDtu field;
    bool online = false;
    bool loggingIn = false; // counts against the pacing limit until CONNACK or the drop
    qint64 generated = 0;
};

struct Sim : QObject {
    QString host, prefix;
    int port = 1883, beat = 30, rate = 1, size = 16, maxPending = 100;
    enum Mode { Echo, Generate, Quiet } mode = Echo;
    std::vector<std::unique_ptr<SimDtu>> dtus;
    std::deque<SimDtu*> waiting;
    int pending = 0, online = 0;
    qint64 received = 0, sent = 0;
    QElapsedTimer clock;
    QTimer beatTimer, genTimer, retryTimer;

    QString topic(const SimDtu& d, const char* leaf) const { return prefix + '/' + d.id + '/' + leaf; }

    void start() {
        clock.start();
        for (auto& d : dtus) waiting.push_back(d.get());
        pump();
        if (beat > 0) {
            connect(&beatTimer, &QTimer::timeout, this, [this] {
                for (auto& d : dtus)
                    if (d->online) d->client->publish(topic(*d, "beat"), QByteArray::fromHex("4EAA4BEA"), 0);
            });
            beatTimer.start(beat * 1000);
        }
        if (mode == Generate) {
            connect(&genTimer, &QTimer::timeout, this, [this] { generate(); });
            genTimer.start(10);
        }
        retryTimer.setInterval(1000);
        connect(&retryTimer, &QTimer::timeout, this, [this] {
            for (auto& d : dtus) d->client->misc();
        });
        retryTimer.start();
    }

    void pump() {
        while (pending < maxPending && !waiting.empty()) {
            SimDtu* d = waiting.front();
            waiting.pop_front();
            login(*d);
        }
    }

    void login(SimDtu& d) {
        if (!d.client) {
            MqttOptions o;
            o.host = host;
            o.port = port;
            o.clientId = QStringLiteral("dtusim-") + d.id;
            o.username = d.id;
            o.password = d.password;
            o.keepAlive = 30;
            o.sendMaximum = 1000;
            d.client = new MqttClient(o, this);
            SimDtu* p = &d;
            connect(d.client, &MqttClient::connected, this, [this, p](int rc) { onConnected(*p, rc); });
            connect(d.client, &MqttClient::disconnected, this, [this, p](int rc) { onDisconnected(*p, rc); });
            connect(d.client, &MqttClient::messageReceived, this,
                    [this, p](const QString&, const QByteArray& payload) { onDown(*p, payload); });
        }
        if (d.client->connectToBroker()) {
            d.loggingIn = true;
            ++pending;
        } else QTimer::singleShot(1000, this, [this, &d] { waiting.push_back(&d); pump(); });
    }

    void loginDone(SimDtu& d) {
        if (!d.loggingIn) return;
        d.loggingIn = false;
        --pending;
    }

    void onConnected(SimDtu& d, int rc) {
        loginDone(d);
        if (rc != 0) {
            say(QStringLiteral("%1 login refused (CONNACK %2)").arg(d.id).arg(rc));
        } else {
            d.online = true;
            ++online;
            d.client->subscribe(topic(d, "down"), 1);
            if (online == static_cast<int>(dtus.size()))
                say(QStringLiteral("all %1 online in %2 ms").arg(online).arg(clock.elapsed()));
        }
        pump();
    }

    void onDisconnected(SimDtu& d, int rc) {
        loginDone(d); // a connection that died before its CONNACK frees its slot too
        if (d.online) {
            d.online = false;
            --online;
        }
        if (rc != 0) {
            say(QStringLiteral("%1 connection lost (%2), logging in again").arg(d.id).arg(rc));
            QTimer::singleShot(1000, this, [this, &d] { waiting.push_back(&d); pump(); });
        }
        pump();
    }

    void onDown(SimDtu& d, const QByteArray& payload) {
        ++received;
        if (auto reply = d.field.answer(payload, QDateTime::currentDateTime())) {
            d.client->publish(topic(d, "up"), *reply, 1);
            ++sent;
            return;
        }
        if (mode == Echo) {
            d.client->publish(topic(d, "up"), payload, 1);
            ++sent;
        }
    }

    void generate() {
        const qint64 due = clock.elapsed() * rate / 1000;
        for (auto& d : dtus) {
            if (!d->online) {
                d->generated = due; // what falls due while offline is not sent later in one burst
                continue;
            }
            while (d->generated < due) {
                QByteArray p = QByteArray::number(d->generated).rightJustified(8, '0') + ':';
                while (p.size() < size) p += static_cast<char>('A' + (p.size() % 26));
                p.truncate(size);
                d->client->publish(topic(*d, "up"), p, 1);
                ++d->generated;
                ++sent;
            }
        }
    }
};

QStringList idsFromCsv(const QString& path, QStringList* passwords) {
    QFile f(path);
    QStringList ids;
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text)) return ids;
    while (!f.atEnd()) {
        const QList<QByteArray> cols = f.readLine().trimmed().split(',');
        if (cols.value(0).isEmpty() || cols.value(0).toLower() == "dtuid") continue;
        ids << QString::fromUtf8(cols[0].trimmed());
        *passwords << QString::fromUtf8(cols.value(1).trimmed());
    }
    return ids;
}

} // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB")) qputenv("QT_NO_GLIB", "1"); // cheaper socket events
    QCoreApplication app(argc, argv);
    RaiseFileLimit();
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Simulated field DTUs on an MQTT relay center."));
    p.addHelpOption();
    const QCommandLineOption host("host", "broker host", "H", "127.0.0.1"), port("port", "broker port", "P", "1883"),
        ids("ids", "DTU IDs, comma-separated", "ID[,ID...]"), csv("csv", "CSV of ID,PASSWORD rows", "FILE"),
        password("password", "login password of every DTU", "PW", "123456"),
        count("count", "with no --ids: N IDs from 0000000000000001 upwards", "N", "1"),
        beat("beat", "seconds between heartbeat packets, 0 = none", "SECONDS", "30"),
        mode("mode", "echo, generate or quiet", "echo|generate|quiet", "echo"),
        rate("rate", "generate mode: messages per second per DTU", "MSGS_PER_S", "1"),
        size("size", "generate mode: bytes per message", "BYTES", "16"),
        duration("duration", "stop after this many seconds, 0 = run until stopped", "SECONDS", "0"),
        prefix("prefix", "topic prefix", "PREFIX", "dtu"), signal("signal", "signal value the DTUs report", "N", "23");
    p.addOptions({host, port, ids, csv, password, count, beat, mode, rate, size, duration, prefix, signal});
    p.process(app);

    Sim sim;
    sim.host = p.value(host);
    sim.port = p.value(port).toInt();
    sim.prefix = p.value(prefix);
    sim.beat = p.value(beat).toInt();
    sim.rate = std::max(1, p.value(rate).toInt());
    sim.size = std::max(1, p.value(size).toInt());
    const QString m = p.value(mode);
    if (m == "echo") sim.mode = Sim::Echo;
    else if (m == "generate") sim.mode = Sim::Generate;
    else if (m == "quiet") sim.mode = Sim::Quiet;
    else {
        std::fprintf(stderr, "dtusim: unknown --mode %s (echo, generate, quiet)\n", qPrintable(m));
        return 2;
    }
    QStringList list, passwords;
    if (p.isSet(csv)) list = idsFromCsv(p.value(csv), &passwords);
    else if (p.isSet(ids)) list = p.value(ids).split(',', Qt::SkipEmptyParts);
    else
        for (int i = 1; i <= p.value(count).toInt(); ++i) list << QStringLiteral("%1").arg(i, 16, 10, QLatin1Char('0'));
    if (list.isEmpty()) {
        std::fprintf(stderr, "dtusim: no DTU IDs (use --ids, --csv or --count)\n");
        return 2;
    }
    for (int i = 0; i < list.size(); ++i) {
        auto d = std::make_unique<SimDtu>();
        d->id = list[i].trimmed();
        d->password = passwords.value(i).isEmpty() ? p.value(password) : passwords.value(i);
        d->field.signal = p.value(signal).toInt();
        sim.dtus.push_back(std::move(d));
    }
    UnixSignalWatcher sigs;
    QObject::connect(&sigs, &UnixSignalWatcher::terminationRequested, &app, &QCoreApplication::quit);
    if (const int secs = p.value(duration).toInt(); secs > 0) QTimer::singleShot(secs * 1000, &app, &QCoreApplication::quit);
    say(QStringLiteral("%1 field DTU(s) to %2:%3, mode %4").arg(sim.dtus.size()).arg(sim.host).arg(sim.port).arg(m));
    sim.start();
    const int rc = app.exec();
    for (auto& d : sim.dtus)
        if (d->client && d->client->isConnected()) d->client->disconnectFromBroker();
    say(QStringLiteral("received %1, sent %2").arg(sim.received).arg(sim.sent));
    return rc;
}
