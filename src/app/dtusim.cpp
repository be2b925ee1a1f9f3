// dtusim: field DTUs for demos, tests and benchmarks. Logs N DTUs into the broker as
// the field side, beats, echoes or generates data, and answers the remote commands.
#include "core/capturefile.h"
#include "core/unixsignals.h"
#include "engines/link/mqttclient.h"
#include "sim/fielddtu.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QHostInfo>
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
    enum Mode { Echo, Generate, Quiet, Replay } mode = Echo;
    // Replay: the capture's records of one DTU, the field's played, the console's expected.
    std::vector<CaptureRecord> script;
    double speed = 1.0;
    int tailMs = 2000;
    bool expect = false, replayStarted = false;
    std::size_t next = 0;
    QByteArray got; // what the console sent down during the replay
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
            if (mode == Replay && !replayStarted) {
                replayStarted = true;
                QTimer::singleShot(300, this, [this, &d] { clock.restart(); playNext(d); }); // the subscription first
            }
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
        if (mode == Replay) {
            got += payload; // a replayed field answers nothing by itself: the capture holds its answers
            return;
        }
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

    void playNext(SimDtu& d) {
        while (next < script.size() && script[next].toField) ++next;
        if (next >= script.size()) {
            say(QStringLiteral("replayed %1 record(s); waiting %2 ms for the console").arg(sent).arg(tailMs));
            QTimer::singleShot(tailMs, this, [this] { finish(); });
            return;
        }
        const CaptureRecord& r = script[next];
        const qint64 dueMs = static_cast<qint64>(double(r.usecs - script.front().usecs) / 1000.0 / speed);
        const qint64 wait = dueMs - clock.elapsed();
        if (wait > 0) {
            QTimer::singleShot(static_cast<int>(std::min<qint64>(wait, 3600000)), Qt::PreciseTimer, this, [this, &d] { playNext(d); });
            return;
        }
        if (d.online) {
            d.client->publish(topic(d, r.source == "beat" ? "beat" : "up"), r.bytes, r.source == "beat" ? 0 : 1);
            ++sent;
        } else {
            say(QStringLiteral("offline: record %1 not sent").arg(next + 1));
        }
        ++next;
        playNext(d);
    }

    // The console's sends against the capture's port records, as one byte stream each:
    // how the port's reads cut it into packets is the kernel's business, not the software's.
    void finish() {
        if (!expect) {
            QCoreApplication::exit(0);
            return;
        }
        QByteArray want;
        std::vector<std::pair<qsizetype, const CaptureRecord*>> starts; // offset of each record in want
        for (const CaptureRecord& r : script) {
            if (!r.toField || r.source != "port") continue;
            starts.emplace_back(want.size(), &r);
            want += r.bytes;
        }
        const qsizetype common = std::min(want.size(), got.size());
        qsizetype diff = 0;
        while (diff < common && want[diff] == got[diff]) ++diff;
        auto recordAt = [&](qsizetype offset) {
            std::size_t i = 0;
            while (i + 1 < starts.size() && starts[i + 1].first <= offset) ++i;
            return i;
        };
        int same = 0, differs = 0, missing = 0;
        for (std::size_t i = 0; i < starts.size(); ++i) {
            const qsizetype begin = starts[i].first, end = begin + starts[i].second->bytes.size();
            if (end <= diff) ++same;
            else if (begin >= got.size()) ++missing;
            else ++differs;
        }
        const qsizetype extra = std::max<qsizetype>(0, got.size() - want.size());
        if (diff == want.size() && extra == 0) {
            say(QStringLiteral("expect: same (%1 record(s), %2 byte(s))").arg(same).arg(want.size()));
        } else if (diff < common) {
            const std::size_t i = recordAt(diff);
            say(QStringLiteral("expect: first difference at byte %1 (record %2 of %3, %4): expected %5, got %6")
                    .arg(diff)
                    .arg(i + 1)
                    .arg(starts.size())
                    .arg(CaptureTime(starts[i].second->usecs, starts[i].second->offsetSeconds),
                         QString::fromLatin1(want.mid(diff, 16).toHex(' ').toUpper()),
                         QString::fromLatin1(got.mid(diff, 16).toHex(' ').toUpper())));
        } else if (got.size() < want.size()) {
            const std::size_t i = recordAt(got.size());
            say(QStringLiteral("expect: missing from byte %1 (record %2 of %3): expected %4")
                    .arg(got.size())
                    .arg(i + 1)
                    .arg(starts.size())
                    .arg(QString::fromLatin1(want.mid(got.size(), 16).toHex(' ').toUpper())));
        } else {
            say(QStringLiteral("expect: extra from byte %1: %2").arg(want.size()).arg(QString::fromLatin1(got.mid(want.size(), 16).toHex(' ').toUpper())));
        }
        say(QStringLiteral("expect: same %1, differs %2, missing %3, extra %4 byte(s)").arg(same).arg(differs).arg(missing).arg(extra));
        QCoreApplication::exit(differs == 0 && missing == 0 && extra == 0 ? 0 : 1);
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
        prefix("prefix", "topic prefix", "PREFIX", "dtu"), signal("signal", "signal value the DTUs report", "N", "23"),
        replay("replay", "play a capture file's field records as that DTU, keeping the gaps", "FILE"),
        replayId("id", "replay: the DTU whose records are played (needed when the file holds several)", "ID"),
        speed("speed", "replay: gaps divided by this", "X", "1"),
        expect("expect", "replay: compare what the console sends down with the capture's port records"),
        tail("wait", "replay: seconds to wait for the console after the last record", "SECONDS", "2"),
        strict("strict", "replay: refuse a capture file with a broken line instead of skipping the line");
    p.addOptions({host, port, ids, csv, password, count, beat, mode, rate, size, duration, prefix, signal, replay, replayId, speed, expect, tail, strict});
    p.process(app);

    Sim sim;
    sim.host = p.value(host);
    bool portOk = false;
    sim.port = p.value(port).toInt(&portOk);
    if (!portOk || sim.port < 1 || sim.port > 65535) {
        std::fprintf(stderr, "dtusim: --port '%s' is not a port (1-65535)\n", qPrintable(p.value(port)));
        return 2;
    }
    // A name that never resolves would otherwise be retried in silence for ever.
    if (const QHostInfo found = QHostInfo::fromName(sim.host); found.addresses().isEmpty()) {
        std::fprintf(stderr, "dtusim: --host '%s' does not resolve: %s\n", qPrintable(sim.host), qPrintable(found.errorString()));
        return 2;
    }
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
    if (p.isSet(replay)) {
        // Everything is read and checked before anything is sent.
        const CaptureFile file = ReadCaptureFile(p.value(replay), p.isSet(strict));
        if (!file.error.isEmpty()) {
            std::fprintf(stderr, "dtusim: %s (nothing sent)\n", qPrintable(file.error));
            return 2;
        }
        for (const QString& w : file.skipped) std::fprintf(stderr, "dtusim: warning: %s (line skipped; --strict refuses)\n", qPrintable(w));
        QStringList inFile;
        for (const CaptureRecord& r : file.records)
            if (!inFile.contains(r.id)) inFile << r.id;
        const QString id = p.isSet(replayId) ? p.value(replayId) : inFile.size() == 1 ? inFile[0] : QString();
        if (id.isEmpty() || !inFile.contains(id)) {
            std::fprintf(stderr, "dtusim: %s holds %s; name one with --id\n", qPrintable(p.value(replay)),
                         inFile.isEmpty() ? "no records" : qPrintable(QStringLiteral("DTU(s) ") + inFile.join(QLatin1Char(','))));
            return 2;
        }
        for (const CaptureRecord& r : file.records)
            if (r.id == id) sim.script.push_back(r);
        bool ok = false;
        sim.speed = p.value(speed).toDouble(&ok);
        if (!ok || sim.speed <= 0) {
            std::fprintf(stderr, "dtusim: --speed must be a number above 0\n");
            return 2;
        }
        sim.tailMs = std::max(0, static_cast<int>(p.value(tail).toDouble() * 1000));
        sim.expect = p.isSet(expect);
        sim.mode = Sim::Replay;
        sim.beat = 0; // the capture's beats are played instead
        list << id;
    } else if (p.isSet(csv)) list = idsFromCsv(p.value(csv), &passwords);
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
    say(QStringLiteral("%1 field DTU(s) to %2:%3, mode %4").arg(sim.dtus.size()).arg(sim.host).arg(sim.port)
            .arg(sim.mode == Sim::Replay ? QStringLiteral("replay of ") + p.value(replay) : m));
    sim.start();
    const int rc = app.exec();
    for (auto& d : sim.dtus)
        if (d->client && d->client->isConnected()) d->client->disconnectFromBroker();
    say(QStringLiteral("received %1, sent %2").arg(sim.received).arg(sim.sent));
    return rc;
}
