// The least a relay can do, as a floor for bench_bridge's external= rows: one libmosquitto
// session as DTU 0000000000000001 on one thread, every payload from the field written to a
// pseudo-terminal, nothing shown, counted or kept. Whatever delay this program sees under
// the same harness belongs to the machine (broker, scheduler, pty), not to the console.
// Started by bench_bridge in a folder holding its center.ini ([LINK] Port, [VPORT] Dir).
#include <QDir>
#include <QFile>
#include <QSettings>
#include <csignal>
#include <fcntl.h>
#include <mosquitto.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {

volatile std::sig_atomic_t stopping = 0;

struct Relay {
    int master = -1;
};

} // namespace

int main() {
    QSettings ini("center.ini", QSettings::IniFormat);
    const int port = ini.value("LINK/Port", 1883).toInt();
    const QString dir = ini.value("VPORT/Dir", "ports").toString();
    std::signal(SIGTERM, [](int) { stopping = 1; });

    Relay relay;
    int slave = -1;
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&relay.master, &slave, nullptr, &raw, nullptr) != 0) return 1;
    QDir().mkpath(dir);
    QFile::remove(dir + "/COM1");
    if (!QFile::link(QString::fromLocal8Bit(ttyname(slave)), dir + "/COM1")) return 1;
    fcntl(relay.master, F_SETFL, fcntl(relay.master, F_GETFL) | O_NONBLOCK);

    mosquitto_lib_init();
    mosquitto* m = mosquitto_new("relay-0000000000000001", true, &relay);
    mosquitto_int_option(m, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_callback_set(m, [](mosquitto* m, void*, int rc) {
        if (rc) return;
        mosquitto_subscribe(m, nullptr, "dtu/0000000000000001/up", 1);
        mosquitto_publish(m, nullptr, "dtu/0000000000000001/console", 6, "online", 1, true);
    });
    mosquitto_message_callback_set(m, [](mosquitto*, void* self, const mosquitto_message* msg) {
        // A full pty drops, as the console's port does when nobody reads.
        if (write(static_cast<Relay*>(self)->master, msg->payload, size_t(msg->payloadlen)) < 0) {}
    });
    if (mosquitto_connect(m, "127.0.0.1", port, 60) != MOSQ_ERR_SUCCESS) return 1;

    while (!stopping) {
        pollfd pf[2] = {{mosquitto_socket(m), short(POLLIN | (mosquitto_want_write(m) ? POLLOUT : 0)), 0},
                        {relay.master, POLLIN, 0}};
        if (poll(pf, 2, 1000) < 0) continue;
        if (pf[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            // Until the socket is drained: one packet per call.
            for (int i = 0; i < 64; ++i) {
                const int rc = mosquitto_loop_read(m, 1);
                if (rc != MOSQ_ERR_SUCCESS) break;
                pollfd more{mosquitto_socket(m), POLLIN, 0};
                if (poll(&more, 1, 0) <= 0) break;
            }
        }
        if (pf[0].revents & POLLOUT) mosquitto_loop_write(m, 1);
        if (pf[1].revents & POLLIN) {
            char b[4096];
            const ssize_t n = read(relay.master, b, sizeof b);
            if (n > 0) mosquitto_publish(m, nullptr, "dtu/0000000000000001/down", int(n), b, 1, false);
        }
        mosquitto_loop_misc(m);
    }
    mosquitto_disconnect(m);
    mosquitto_destroy(m);
    QFile::remove(dir + "/COM1");
    return 0;
}
