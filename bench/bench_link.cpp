// The link engine measured the way shared/baseline measures a bare libmosquitto client:
//   bench_link tput size=1024 count=50000 window=500 port=P
//   bench_link lat  n=10000 size=16 port=P          (field -> engine event -> SendData -> field)
//   bench_link conns n=5000 port=P                  (time and peak memory to bring N DTUs online)
//   bench_link busy n=1000 msgs=300 port=P          (memory of N sessions that each sent many packets)
#include "benchutil.h"
#include "engines/link/mqttclient.h"
#include "engines/link/mqttengine.h"

#include <QDir>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <sys/socket.h>
#include <unistd.h>

using namespace dtu;
using namespace bench;

namespace {

const QString kId = "0000000000000001";

LinkConfig config(int port) {
    LinkConfig c;
    c.port = port;
    c.beatInterval = 3600;
    c.maxQueued = 100000;
    return c;
}

bool openOne(MqttLinkEngine& e) {
    e.AddDtu(kId, "123456");
    e.OpenDtu(kId);
    return pumpUntil([&] { return e.IsOnline(kId); }, 10000);
}

int unixSockets() {
    int n = 0;
    const QStringList fds = QDir("/proc/self/fd").entryList(QDir::NoDotAndDotDot | QDir::System | QDir::AllEntries);
    for (const QString& fd : fds) {
        struct stat st{};
        if (fstat(fd.toInt(), &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
        sockaddr_storage ss{};
        socklen_t len = sizeof ss;
        if (getsockname(fd.toInt(), reinterpret_cast<sockaddr*>(&ss), &len) == 0 && ss.ss_family == AF_UNIX) ++n;
    }
    return n;
}

int tput(int argc, char** argv, int port) {
    const int size = int(argl(argc, argv, "size", 1024));
    const long count = argl(argc, argv, "count", 50000);
    const long window = argl(argc, argv, "window", 500);
    MqttLinkEngine e(config(port));
    if (!openOne(e)) return 2;
    std::atomic<long> got{0};
    long bytes = 0;
    QObject::connect(&e, &ILinkEngine::centerDataHex, [&](const QString&, int len, const QString&) {
        bytes += len;
        ++got;
    });
    Field field("bench-field", port);
    if (!field.waitConnected()) return 2;
    std::atomic<bool> stop{false};
    const QByteArray payload(size, 'x');
    const uint64_t t0 = nowNs();
    const double cpu0 = threadCpuS();
    std::thread pub([&] {
        for (long i = 0; i < count && !stop; ++i) {
            while (i - got >= window && !stop) std::this_thread::sleep_for(std::chrono::microseconds(20));
            field.publish("dtu/0000000000000001/up", payload, 1);
        }
    });
    const bool done = pumpUntil([&] { return got >= count; }, 60000);
    stop = true;
    pub.join();
    const double sec = double(nowNs() - t0) / 1e9;
    const double cpu = threadCpuS() - cpu0;
    char kv[256];
    snprintf(kv, sizeof kv, "msgs_s=%.0f MiB_s=%.2f received=%ld lost=%ld sec=%.3f engine_us_per_msg=%.2f complete=%d",
             double(got) / sec, double(bytes) / 1048576.0 / sec, long(got), count - long(got), sec, cpu * 1e6 / double(got),
             done);
    result(("engine_tput_" + std::to_string(size) + "_qos1").c_str(), kv);
    return 0;
}

int lat(int argc, char** argv, int port) {
    const int n = int(argl(argc, argv, "n", 10000));
    const int size = std::max(16, int(argl(argc, argv, "size", 16)));
    const int warm = 200;
    MqttLinkEngine e(config(port));
    if (!openOne(e)) return 2;
    // The engine under test echoes every packet back, as the baseline's echo client does.
    QObject::connect(&e, &ILinkEngine::centerDataHex, [&](const QString& id, int, const QString& hex) {
        e.SendData(id, QByteArray::fromHex(hex.toLatin1()));
    });
    // The field side pings from a thread of its own with a session that writes at once,
    // as the baseline's ping client does; the engine keeps the main thread.
    std::vector<double> us;
    int timeouts = 0;
    std::atomic<bool> done{false};
    QThread* pinger = QThread::create([&] {
        MqttOptions fo;
        fo.port = port;
        fo.clientId = QStringLiteral("bench-field");
        MqttClient field(fo);
        if (!field.connectToBroker() || !pumpUntil([&] { return field.isConnected(); }, 5000)) {
            done = true;
            wake();
            return;
        }
        int back = 0;
        QObject::connect(&field, &MqttClient::messageReceived, [&](const QString&, const QByteArray& p) {
            uint64_t ts;
            memcpy(&ts, p.constData(), 8);
            if (back++ >= warm) us.push_back(double(nowNs() - ts) / 1e3);
        });
        field.subscribe(QStringLiteral("dtu/0000000000000001/down"), 1);
        pumpUntil([] { return false; }, 300);
        for (int i = 0; i < n + warm; ++i) {
            QByteArray p(size, 'p');
            const uint64_t ts = nowNs();
            memcpy(p.data(), &ts, 8);
            const int want = i + 1;
            field.publish(QStringLiteral("dtu/0000000000000001/up"), p, 1);
            if (!pumpUntil([&] { return back >= want; }, 2000)) ++timeouts;
        }
        done = true;
        wake();
    });
    pinger->start();
    pumpUntil([&] { return done.load(); }, 600000);
    pinger->wait();
    delete pinger;
    char kv[200];
    snprintf(kv, sizeof kv, "p50_us=%.1f p99_us=%.1f max_us=%.1f n=%zu timeouts=%d", pct(us, 50), pct(us, 99), pct(us, 100),
             us.size(), timeouts);
    result("engine_rtt_16B_qos1", kv);
    return 0;
}

int conns(int argc, char** argv, int port) {
    const int n = int(argl(argc, argv, "n", 1000));
    const long rss0 = statusKiB("VmRSS:");
    MqttLinkEngine e(config(port));
    for (int i = 1; i <= n; ++i) e.AddDtu(QString("%1").arg(i, 16, 10, QChar('0')), "123456");
    const uint64_t t0 = nowNs();
    for (int i = 0; i < n; ++i) e.OpenDtu(e.GetDtuId(i));
    const bool ok = pumpUntil([&] { return e.onlineCount() == n; }, 60000);
    const double sec = double(nowNs() - t0) / 1e9;
    const long rss = statusKiB("VmRSS:"), hwm = statusKiB("VmHWM:");
    char kv[200];
    snprintf(kv, sizeof kv, "sec=%.3f online=%d of=%d rss_MiB=%.1f peak_MiB=%.1f KiB_per_session=%.2f ok=%d", sec,
             e.onlineCount(), n, rss / 1024.0, hwm / 1024.0, double(rss - rss0) / n, ok);
    result(("engine_conns_" + std::to_string(n)).c_str(), kv);
    return ok ? 0 : 1;
}

int busy(int argc, char** argv, int port) {
    const int n = int(argl(argc, argv, "n", 1000));
    const int msgs = int(argl(argc, argv, "msgs", 300));
    const long slab0 = meminfoKiB("Slab:"), rss0 = statusKiB("VmRSS:");
    MqttLinkEngine e(config(port));
    for (int i = 1; i <= n; ++i) e.AddDtu(QString("%1").arg(i, 16, 10, QChar('0')), "123456");
    for (int i = 0; i < n; ++i) e.OpenDtu(e.GetDtuId(i));
    if (!pumpUntil([&] { return e.onlineCount() == n; }, 60000)) return 2;
    const QByteArray p(64, 'b');
    for (int k = 0; k < msgs; ++k) {
        for (int i = 0; i < n; ++i) e.SendData(e.GetDtuId(i), p);
        QCoreApplication::processEvents();
    }
    pumpUntil([] { return false; }, 2000); // acknowledgements come in
    const long slab = meminfoKiB("Slab:"), rss = statusKiB("VmRSS:");
    char kv[256];
    snprintf(kv, sizeof kv, "sessions=%d packets_each=%d rss_MiB=%.1f rss_growth_MiB=%.1f slab_growth_MiB=%.1f unix_sockets=%d",
             n, msgs, rss / 1024.0, (rss - rss0) / 1024.0, (slab - slab0) / 1024.0, unixSockets());
    result(("engine_busy_" + std::to_string(n)).c_str(), kv);
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB")) qputenv("QT_NO_GLIB", "1"); // as dtuconsole runs
    QCoreApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: bench_link tput|lat|conns|busy key=value...\n");
        return 2;
    }
    mosquitto_lib_init();
    rlimit rl{};
    getrlimit(RLIMIT_NOFILE, &rl);
    rl.rlim_cur = rl.rlim_max;
    setrlimit(RLIMIT_NOFILE, &rl);
    const int port = int(argl(argc, argv, "port", 18830));
    const std::string mode = argv[1];
    if (mode == "tput") return tput(argc, argv, port);
    if (mode == "lat") return lat(argc, argv, port);
    if (mode == "conns") return conns(argc, argv, port);
    if (mode == "busy") return busy(argc, argv, port);
    return 2;
}
