#pragma once
// Helpers for the benchmarks: a field-side MQTT client on its own thread (libmosquitto's
// threaded loop, independent of the Qt loop under test), percentiles and process figures.
#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QString>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <ctime>
#include <functional>
#include <mosquitto.h>
#include <mutex>
#include <poll.h>
#include <sys/ioctl.h>
#include <string>
#include <vector>

namespace bench {

inline uint64_t nowNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

inline double threadCpuS() {
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

inline double pct(std::vector<double> v, double p) {
    if (v.empty()) return -1;
    std::sort(v.begin(), v.end());
    size_t i = size_t(p / 100.0 * double(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)];
}

inline long statusKiB(const char* key) {
    QFile f("/proc/self/status");
    f.open(QIODevice::ReadOnly);
    for (const QByteArray& l : f.readAll().split('\n'))
        if (l.startsWith(key)) return l.mid(int(strlen(key))).trimmed().split(' ').first().toLong();
    return -1;
}

inline long meminfoKiB(const char* key) {
    QFile f("/proc/meminfo");
    f.open(QIODevice::ReadOnly);
    for (const QByteArray& l : f.readAll().split('\n'))
        if (l.startsWith(key)) return l.mid(int(strlen(key))).trimmed().split(' ').first().toLong();
    return -1;
}

inline long argl(int argc, char** argv, const char* key, long def) {
    const std::string k = std::string(key) + "=";
    for (int i = 1; i < argc; ++i)
        if (std::string(argv[i]).rfind(k, 0) == 0) return std::stol(argv[i] + k.size());
    return def;
}

// Field payloads: binary by default, as real DTUs carry (Modbus RTU frames hold every byte
// value, NUL, CR and LF included); payload=ascii fills them with one letter instead.
inline bool g_binary = true;
inline QByteArray payload(int size, char letter) {
    QByteArray p(size, letter);
    if (g_binary)
        for (int i = 0; i < size; ++i) p[i] = static_cast<char>((i * 151 + 7) & 0xFF); // every value, in a mixed order
    return p;
}

inline void result(const char* name, const std::string& kv) {
    std::printf("RESULT %s %s\n", name, kv.c_str());
    std::fflush(stdout);
}

// Wakes the Qt loop from another thread (a condition it waits on changed).
inline void wake(QObject* target = nullptr) {
    QMetaObject::invokeMethod(target ? target : QCoreApplication::instance(), [] {}, Qt::QueuedConnection);
}

// Runs the Qt loop until cond or the deadline, sleeping while nothing happens, so the
// waiting costs no CPU that the broker and the field side need on a 2-core machine.
inline bool pumpUntil(const std::function<bool()>& cond, int ms) {
    QElapsedTimer t;
    t.start();
    QTimer tick;
    tick.start(50);
    while (!cond()) {
        if (t.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// A field DTU driven by the calling thread: publishes go out at once, run() waits on its
// socket and does what libmosquitto needs (the baseline's simulator works this way).
class DirectField {
public:
    bool connected = false;

    DirectField(const char* id, int port) {
        m_ = mosquitto_new(id, true, this);
        mosquitto_connect_callback_set(m_, [](mosquitto*, void* self, int rc) { static_cast<DirectField*>(self)->connected = rc == 0; });
        if (mosquitto_connect(m_, "127.0.0.1", port, 60) != MOSQ_ERR_SUCCESS) return;
        for (int i = 0; i < 500 && !connected; ++i)
            if (!run(10)) return;
    }
    ~DirectField() {
        mosquitto_disconnect(m_);
        mosquitto_destroy(m_);
    }
    int publish(const char* topic, const QByteArray& p, int qos) {
        return mosquitto_publish(m_, nullptr, topic, int(p.size()), p.constData(), qos, false);
    }
    bool run(int timeoutMs) {
        const timespec t{timeoutMs / 1000, long(timeoutMs % 1000) * 1000000L};
        return serve(&t);
    }
    // Serves the session (acknowledgements in) until the monotonic time dueNs: a sender at a
    // steady rate then needs no second thread for its session.
    bool runUntil(uint64_t dueNs) {
        for (uint64_t now = nowNs(); now < dueNs; now = nowNs()) {
            const uint64_t left = dueNs - now;
            const timespec t{time_t(left / 1000000000ull), long(left % 1000000000ull)};
            if (!serve(&t)) return false;
        }
        return true;
    }

private:
    bool serve(const timespec* timeout) {
        if (mosquitto_want_write(m_) && mosquitto_loop_write(m_, 1) != MOSQ_ERR_SUCCESS) return false;
        pollfd pf{mosquitto_socket(m_), short(POLLIN | (mosquitto_want_write(m_) ? POLLOUT : 0)), 0};
        if (::ppoll(&pf, 1, timeout, nullptr) > 0) {
            // libmosquitto reads one packet a call: go on while the socket holds bytes.
            for (int avail = 1; (pf.revents & POLLIN) && avail > 0;) {
                if (mosquitto_loop_read(m_, 1) != MOSQ_ERR_SUCCESS) return false;
                if (::ioctl(pf.fd, FIONREAD, &avail) < 0) avail = 0;
            }
            if ((pf.revents & POLLOUT) && mosquitto_loop_write(m_, 1) != MOSQ_ERR_SUCCESS) return false;
        }
        return mosquitto_loop_misc(m_) == MOSQ_ERR_SUCCESS;
    }

    mosquitto* m_;
};

// A field DTU on libmosquitto's own network thread.
class Field {
public:
    std::function<void(const QByteArray& topic, const QByteArray& payload)> onMessage;
    std::atomic<bool> connected{false};

    Field(const char* id, int port, const char* user = nullptr) {
        m_ = mosquitto_new(id, true, this);
        mosquitto_int_option(m_, MOSQ_OPT_TCP_NODELAY, 1);
        mosquitto_int_option(m_, MOSQ_OPT_SEND_MAXIMUM, 1000);
        if (user) mosquitto_username_pw_set(m_, user, "123456");
        mosquitto_connect_callback_set(m_, [](mosquitto*, void* self, int rc) { static_cast<Field*>(self)->connected = rc == 0; });
        mosquitto_message_callback_set(m_, [](mosquitto*, void* self, const mosquitto_message* msg) {
            auto* f = static_cast<Field*>(self);
            if (f->onMessage) f->onMessage(QByteArray(msg->topic), QByteArray(static_cast<const char*>(msg->payload), msg->payloadlen));
        });
        mosquitto_subscribe_callback_set(m_, [](mosquitto*, void* self, int, int, const int*) { static_cast<Field*>(self)->subscribed = true; });
        mosquitto_connect(m_, "127.0.0.1", port, 60);
        mosquitto_loop_start(m_);
    }
    ~Field() {
        mosquitto_disconnect(m_);
        mosquitto_loop_stop(m_, true);
        mosquitto_destroy(m_);
    }
    bool waitConnected() {
        for (int i = 0; i < 500 && !connected; ++i) QThread::msleep(10);
        return connected;
    }
    bool subscribe(const char* topic) {
        subscribed = false;
        mosquitto_subscribe(m_, nullptr, topic, 1);
        for (int i = 0; i < 500 && !subscribed; ++i) QThread::msleep(10);
        return subscribed;
    }
    int publish(const char* topic, const QByteArray& p, int qos = 1) {
        return mosquitto_publish(m_, nullptr, topic, int(p.size()), p.constData(), qos, false);
    }
    std::atomic<bool> subscribed{false};

private:
    mosquitto* m_;
};

} // namespace bench
