#pragma once
// A real mosquitto on a free loopback port, configured as the console's brokers are
// (TCP_NODELAY, a raised queue limit) with a password file. Stopped with the fixture.
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <functional>
#include <unistd.h>
#include <gtest/gtest.h>

namespace dtu::test {

// The resident memory of this process.
inline long rssKiB() {
    QFile f("/proc/self/status");
    f.open(QIODevice::ReadOnly);
    for (const QByteArray& l : f.readAll().split('\n'))
        if (l.startsWith("VmRSS:")) return l.mid(6).trimmed().split(' ').first().toLong();
    return 0;
}

inline bool waitFor(const std::function<bool()>& cond, int ms = 5000) {
    QElapsedTimer t;
    t.start();
    while (!cond()) {
        if (t.elapsed() > ms) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
    return true;
}

inline void pump(int ms) {
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        QThread::msleep(1);
    }
}

class Broker {
public:
    // credentials: "ID:PASSWORD"; empty = anonymous allowed
    explicit Broker(const QStringList& credentials = {}, const QStringList& extraConf = {})
        : creds_(credentials), extra_(extraConf) {}
    ~Broker() { stop(); }

    bool start() {
        if (port_ == 0) {
            QTcpServer probe;
            probe.listen(QHostAddress::LocalHost);
            port_ = probe.serverPort();
        }
        QStringList conf{QString("listener %1 127.0.0.1").arg(port_), "persistence false", "set_tcp_nodelay true",
                         "max_queued_messages 100000", "max_connections -1", "log_dest stderr", "log_type error"};
        if (::getuid() == 0) conf << "user root";
        conf << extra_;
        if (creds_.isEmpty()) {
            if (!extra_.join('\n').contains("password_file")) conf << "allow_anonymous true";
        } else {
            const QString pw = dir_.filePath("passwd");
            QFile::remove(pw);
            QFile(pw).open(QIODevice::WriteOnly);
            for (const QString& c : creds_) {
                const int colon = c.indexOf(':');
                if (QProcess::execute("mosquitto_passwd", {"-b", pw, c.left(colon), c.mid(colon + 1)}) != 0) return false;
            }
            conf << "allow_anonymous false" << "password_file " + pw;
        }
        QFile f(dir_.filePath("mosquitto.conf"));
        f.open(QIODevice::WriteOnly);
        f.write(conf.join('\n').toUtf8() + '\n');
        f.close();
        proc_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        proc_.start("mosquitto", {"-c", f.fileName()});
        if (!proc_.waitForStarted(3000)) return false;
        return waitFor([this] {
            if (proc_.state() == QProcess::NotRunning) return false;
            QTcpSocket s;
            s.connectToHost(QHostAddress::LocalHost, port_);
            return s.waitForConnected(100);
        }, 5000);
    }
    void stop() {
        if (proc_.state() == QProcess::NotRunning) return;
        proc_.terminate();
        if (!proc_.waitForFinished(3000)) proc_.kill(), proc_.waitForFinished(1000);
    }
    quint16 port() const { return port_; }
    qint64 pid() const { return proc_.processId(); }

private:
    QStringList creds_, extra_;
    QTemporaryDir dir_;
    QProcess proc_;
    quint16 port_ = 0;
};

// The field side, with mosquitto's own command-line tools: one message, binary-safe.
inline bool fieldPublish(quint16 port, const QString& topic, const QByteArray& payload, const QString& user,
                         const QString& pw, bool retain = false) {
    QProcess p;
    QStringList args{"-p", QString::number(port), "-t", topic, "-u", user, "-P", pw, "-q", "1", "-s"};
    if (retain) args << "-r";
    p.start("mosquitto_pub", args);
    p.waitForStarted();
    p.write(payload);
    p.closeWriteChannel();
    return p.waitForFinished(5000) && p.exitCode() == 0;
}

// A field-side subscriber from mosquitto's own command-line tools.
inline QByteArray subscribeOnce(quint16 port, const QString& topic, const QString& user, const QString& pw, int count = 1,
                                int timeoutS = 5) {
    QProcess p;
    p.start("mosquitto_sub", {"-p", QString::number(port), "-t", topic, "-u", user, "-P", pw, "-C", QString::number(count),
                              "-W", QString::number(timeoutS), "-N", "-i", QString("probe-%1").arg(QCoreApplication::applicationPid())});
    p.waitForFinished((timeoutS + 2) * 1000);
    return p.readAllStandardOutput();
}

} // namespace dtu::test
