// The whole serial bridge: field DTU -> broker -> console -> pseudo-terminal -> local
// reader, and back. Mirrors shared/baseline's combined.cpp so the two compare:
//   bench_bridge tput size=1024 count=65536 window=512 port=P
//   bench_bridge lat  size=16 n=10000 port=P    (one way, field to local reader)
//   bench_bridge rtt  size=16 n=10000 port=P    (local reader echoes; back to the field)
//   bench_bridge pace rate=10000 seconds=10 port=P (16 B at a steady rate: every packet's delay,
//                                                   the largest one and how many took over 5 ms;
//                                                   show_over_us=N prints the slow ones)
// With external=PROGRAM (dtuconsole or dtuconsoled, from the build's bin folder) the console
// is that program, started in a folder of its own (the window offscreen, every data line
// shown as an operator sees it); its CPU is the whole process's, from /proc. qos=0|1 is the
// field's publish QoS.
#include "benchutil.h"
#include "console/console.h"
#include "engines/link/mqttclient.h"
#include "engines/link/mqttengine.h"
#include "engines/store/dtustore.h"
#include "engines/vport/ptyport.h"

#include <QApplication>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <fcntl.h>
#include <poll.h>
#include <mutex>
#include <thread>
#include <unistd.h>

using namespace dtu;
using namespace bench;

namespace {

const char* kUp = "dtu/0000000000000001/up";

struct SilentPrompts : Prompts {
    void message(const QString& t) override { std::fprintf(stderr, "message: %s\n", qPrintable(t)); }
    void error(const QString& t) override { std::fprintf(stderr, "error: %s\n", qPrintable(t)); }
    std::optional<QString> input(const QString&, const QString&, const QString&) override { return std::nullopt; }
};

bool readExact(int fd, char* buf, size_t n, const std::atomic<bool>& stop) {
    while (n) {
        pollfd pf{fd, POLLIN, 0};
        if (poll(&pf, 1, 100) == 0) {
            if (stop) return false;
            continue;
        }
        const ssize_t r = read(fd, buf, n);
        if (r <= 0) {
            if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
            return false;
        }
        buf += r;
        n -= size_t(r);
    }
    return true;
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB")) qputenv("QT_NO_GLIB", "1"); // as dtuconsole runs
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_bridge tput|lat|rtt key=value...\n");
        return 2;
    }
    const std::string mode = argv[1];
    const bool pace = mode == "pace";
    const bool rtt = mode == "rtt", lat = mode == "lat" || rtt || pace;
    const long rate = argl(argc, argv, "rate", 10000);
    const int size = int(argl(argc, argv, "size", lat ? 16 : 1024));
    const long count = pace ? rate * argl(argc, argv, "seconds", 10)
                            : argl(argc, argv, "count", lat ? argl(argc, argv, "n", 10000) : 65536);
    const long window = argl(argc, argv, "window", 512);
    const int port = int(argl(argc, argv, "port", 18830));
    const int warm = lat ? 200 : 0;
    const int qos = int(argl(argc, argv, "qos", 1));
    // Packets slower than this are printed with their send time, to line up with a
    // `perf sched record -k CLOCK_MONOTONIC` of the same run.
    const long showOverUs = argl(argc, argv, "show_over_us", 0);
    QString external;
    for (int i = 2; i < argc; ++i) {
        if (QByteArray(argv[i]).startsWith("external=")) external = QString::fromLocal8Bit(argv[i] + 9);
        if (QByteArray(argv[i]) == "payload=ascii") g_binary = false;
    }
    mosquitto_lib_init();

    QTemporaryDir dir;
    {
        DtuStore mk(ConfigPaths{dir.path(), dir.path()}, "mk");
        mk.connectTo("Provider=SQLite;Data Source=" + dir.filePath("dtu.db"), true);
        mk.createTable();
        mk.appendRow({"0000000000000001", "123456", "bench", "", "COM1", 0, QDateTime::currentDateTime()});
        QFile f(dir.filePath("ftdb.ini"));
        f.open(QIODevice::WriteOnly);
        f.write("Provider=SQLite;Data Source=" + dir.filePath("dtu.db").toUtf8());
    }
    CenterConfig cfg;
    cfg.link.port = port;
    cfg.link.beatInterval = 3600;
    cfg.link.maxQueued = 100000;
    cfg.portDir = dir.filePath("ports");
    cfg.listenerPort = 0;
    cfg.statusListen.clear();
    std::unique_ptr<MqttLinkEngine> engine;
    std::unique_ptr<PtyPortEngine> ports;
    std::unique_ptr<DtuStore> dm;
    SilentPrompts prompts;
    std::unique_ptr<Console> console;
    QProcess program;
    if (external.isEmpty()) {
        engine = std::make_unique<MqttLinkEngine>(cfg.link);
        ports = std::make_unique<PtyPortEngine>(cfg.portDir);
        dm = std::make_unique<DtuStore>(ConfigPaths{dir.path(), dir.path()});
        console = std::make_unique<Console>(*engine, *ports, *dm, prompts, cfg);
        console->ctx.reporterInstalled = true;
        console->create();
        if (!pumpUntil([&] { return engine->IsOnline("0000000000000001"); }, 10000)) return 2;
    } else {
        QFile ini(dir.filePath("center.ini"));
        ini.open(QIODevice::WriteOnly);
        ini.write(QString("[LINK]\nPort=%1\nBeatInterval=3600\nMaxQueued=100000\n[VPORT]\nDir=%2\n[LISTENER]\nPort=0\n"
                          "[STATUS]\nListen=0\n[DISPLAY]\nEncoding=UTF-8\n")
                      .arg(port).arg(cfg.portDir).toUtf8());
        ini.close();
        program.setWorkingDirectory(dir.path());
        program.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        program.setStandardOutputFile(QProcess::nullDevice());
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QT_QPA_PLATFORM", "offscreen");
        program.setProcessEnvironment(env);
        program.start(external.contains('/') ? external : QCoreApplication::applicationDirPath() + "/" + external, QStringList{});
        if (!program.waitForStarted()) return 2;
        Field watch("bench-presence", port);
        if (!watch.waitConnected()) return 2;
        std::atomic<bool> up{false};
        watch.onMessage = [&](const QByteArray&, const QByteArray& payload) { if (payload == "online") up = true; };
        watch.subscribe("dtu/0000000000000001/console");
        if (!pumpUntil([&] { return up.load() && QFileInfo(dir.filePath("ports/COM1")).isSymLink(); }, 10000)) return 2;
    }
    auto processCpuS = [&] {
        QFile f(QString("/proc/%1/stat").arg(program.processId()));
        if (!f.open(QIODevice::ReadOnly)) return 0.0;
        const QList<QByteArray> fields = f.readAll().split(')').last().trimmed().split(' ');
        return double(fields.value(11).toLongLong() + fields.value(12).toLongLong()) / double(sysconf(_SC_CLK_TCK));
    };
    auto consoleCpuS = [&] { return external.isEmpty() ? threadCpuS() : processCpuS(); };

    const int fd = ::open(QFile::encodeName(dir.filePath("ports/COM1")).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return 2;
    pumpUntil([] { return false; }, 300); // the port notices its reader

    std::atomic<long> rbytes{0};
    std::atomic<bool> stop{false};
    std::vector<double> us;
    std::mutex mu;
    std::atomic<long> back{0};
    std::atomic<QObject*> fieldWaker{nullptr}; // the field thread's loop, woken by the reader
    const long total = count + warm;

    std::thread reader([&] {
        if (lat) {
            std::vector<char> b(size_t(size), 0);
            for (long i = 0; i < total; ++i) {
                if (!readExact(fd, b.data(), b.size(), stop)) return;
                rbytes += size;
                if (rtt) {
                    if (write(fd, b.data(), b.size()) != ssize_t(b.size())) return;
                    continue;
                }
                uint64_t ts;
                memcpy(&ts, b.data() + 8, 8);
                std::lock_guard lock(mu);
                if (i >= warm) us.push_back(double(nowNs() - ts) / 1e3);
                if (showOverUs > 0 && i >= warm && us.back() > double(showOverUs))
                    std::fprintf(stderr, "slow: sent %.6f (monotonic s) took %.0f us\n", double(ts) / 1e9, us.back());
                ++back;
                // The steady row's main loop only waits for the end: a wake-up per packet
                // would be the harness's own load on the two cores.
                if (!pace || back == total) wake(fieldWaker.load());
            }
        } else {
            std::vector<char> b(65536);
            while (rbytes < count * size) {
                pollfd pf{fd, POLLIN, 0};
                if (poll(&pf, 1, 100) == 0) {
                    if (stop) return;
                    continue;
                }
                const ssize_t r = read(fd, b.data(), b.size());
                if (r > 0) rbytes += r;
                else if (r < 0 && errno != EAGAIN && errno != EINTR) return;
            }
            wake();
        }
    });
    const double cpu0 = consoleCpuS();
    const uint64_t t0 = nowNs();
    int timeouts = 0;
    if (pace) {
        // A steady stream from a session of the sender's own thread, written at its due time;
        // the acknowledgements are read while waiting, so the sender wakes no second thread.
        std::thread pub([&] {
            DirectField direct("bench-pace", port);
            if (!direct.connected) return;
            QByteArray p = payload(size, 'P');
            const uint64_t start = nowNs();
            for (long i = 0; i < total && !stop; ++i) {
                if (!direct.runUntil(start + uint64_t(double(i) * 1e9 / double(rate)))) return;
                const uint64_t ts = nowNs();
                memcpy(p.data() + 8, &ts, 8);
                direct.publish(kUp, p, qos);
            }
            while (!stop && direct.run(100)) {}
        });
        pumpUntil([&] { return back >= total; }, int(total * 1000 / rate) + 30000);
        timeouts = int(total - back);
        stop = true;
        pub.join();
    } else if (lat) {
        // The field side runs on a thread of its own with a session that writes at once,
        // as the baseline's simulator does; the console keeps the main thread.
        std::atomic<bool> done{false};
        std::atomic<int> late{0};
        QThread* fieldThread = QThread::create([&] {
            MqttOptions fo;
            fo.port = port;
            fo.clientId = QStringLiteral("bench-direct");
            MqttClient direct(fo);
            // Outlives this thread: the reader may still post to it; deleted after the reader ends.
            fieldWaker = new QObject;
            if (direct.connectToBroker() && pumpUntil([&] { return direct.isConnected(); }, 5000)) {
                if (rtt) {
                    QObject::connect(&direct, &MqttClient::messageReceived, [&](const QString&, const QByteArray& p) {
                        if (p.size() < 16) return;
                        uint64_t ts;
                        memcpy(&ts, p.constData() + 8, 8);
                        std::lock_guard lock(mu);
                        if (back++ >= warm) us.push_back(double(nowNs() - ts) / 1e3);
                    });
                    direct.subscribe(QStringLiteral("dtu/0000000000000001/down"), 1);
                    pumpUntil([] { return false; }, 300);
                }
                for (long i = 0; i < total; ++i) {
                    QByteArray p = payload(size, 'L');
                    const uint64_t ts = nowNs();
                    memcpy(p.data() + 8, &ts, 8);
                    direct.publish(QString::fromLatin1(kUp), p, qos);
                    const long want = i + 1;
                    if (!pumpUntil([&] { return back >= want; }, 2000)) ++late;
                }
            }
            done = true;
            wake();
        });
        fieldThread->start();
        pumpUntil([&] { return done.load(); }, 600000);
        fieldThread->wait();
        delete fieldThread;
        timeouts = late;
    } else {
        // The field side as the baseline's simulator drives it: its own session written at
        // once from its own loop, up to 64 packets at a go while the window is open, a 1 ms
        // wait when it is shut, so both consoles face the same sender.
        std::thread pub([&] {
            DirectField direct("bench-burst", port);
            if (!direct.connected) return;
            const QByteArray p = payload(size, 'T');
            long sent = 0;
            while (rbytes < count * size && !stop) {
                const long delivered = rbytes / size;
                for (int burst = 0; sent < count && sent - delivered < window && burst < 64; ++burst, ++sent)
                    direct.publish(kUp, p, qos);
                if (!direct.run(sent < count && sent - rbytes / size < window ? 0 : 1)) return;
            }
        });
        pumpUntil([&] { return rbytes >= count * size; }, 90000);
        stop = true;
        pub.join();
    }
    const double sec = double(nowNs() - t0) / 1e9;
    const double cpu = consoleCpuS() - cpu0;
    stop = true;
    reader.join();
    delete fieldWaker.load();
    ::close(fd);

    char kv[300];
    const std::string who = external.isEmpty() ? "bridge" : QFileInfo(external).fileName().toStdString();
    if (pace) {
        const long over = std::count_if(us.begin(), us.end(), [](double u) { return u > 5000.0; });
        snprintf(kv, sizeof kv, "rate=%ld p50_us=%.1f p99_us=%.1f p999_us=%.1f max_us=%.1f over_5ms=%ld n=%zu missing=%d",
                 rate, pct(us, 50), pct(us, 99), pct(us, 99.9), pct(us, 100), over, us.size(), timeouts);
        result((who + "_pace_16B_qos" + std::to_string(qos)).c_str(), kv);
    } else if (lat) {
        snprintf(kv, sizeof kv, "p50_us=%.1f p99_us=%.1f max_us=%.1f n=%zu timeouts=%d console_us_per_msg=%.2f", pct(us, 50),
                 pct(us, 99), pct(us, 100), us.size(), timeouts, cpu * 1e6 / double(total));
        result((who + (rtt ? "_rtt_16B_qos" : "_lat_16B_qos") + std::to_string(qos)).c_str(), kv);
    } else {
        const long got = rbytes;
        snprintf(kv, sizeof kv,
                 "MiB_s=%.2f msgs_s=%.0f bytes=%ld lost_B=%ld sec=%.3f console_us_per_msg=%.2f console_cpu_s_per_10k=%.3f dropped_at_port_B=%lld",
                 double(got) / 1048576.0 / sec, double(got) / size / sec, got, count * size - got, sec,
                 cpu * 1e6 / double(count), cpu * 10000.0 / double(count),
                 console ? static_cast<long long>(static_cast<PtyPort*>(console->ctx.roster.at(0).port)->droppedToPort()) : -1LL);
        result((who + "_tput_" + std::to_string(size) + "_qos" + std::to_string(qos) + (g_binary ? "" : "_ascii")).c_str(), kv);
    }
    if (program.state() != QProcess::NotRunning) {
        program.terminate();
        program.waitForFinished(10000);
    }
    return timeouts ? 1 : 0;
}
