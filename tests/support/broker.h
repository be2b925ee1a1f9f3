#pragma once
#include <algorithm>
#include <sys/stat.h>
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
#include <csignal>
#include <functional>
#include <sys/wait.h>
#include <vector>
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

// A child program started with plain fork and exec, not QProcess: ThreadSanitizer follows
// fork, while QProcess's clone of the process leaves its bookkeeping wrong, and every
// hand-over between threads after it is then reported as a race.
inline pid_t spawnProgram(const QString& program, const QStringList& args) {
    std::vector<QByteArray> store{QFile::encodeName(program)};
    for (const QString& a : args) store.push_back(a.toLocal8Bit());
    std::vector<char*> argv;
    for (QByteArray& b : store) argv.push_back(b.data());
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

// Runs a program to its end: its exit code, -1 when it could not run.
inline int runProgram(const QString& program, const QStringList& args) {
    const pid_t pid = spawnProgram(program, args);
    if (pid < 0) return -1;
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
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
        const bool ownUser = std::any_of(extra_.begin(), extra_.end(), [](const QString& l) { return l.startsWith("user "); });
        if (::getuid() == 0 && !ownUser) conf << "user root"; // else it drops to the user named,
        if (ownUser) ::chmod(QFile::encodeName(dir_.path()).constData(), 0755); // who reads the config again on a reload
        conf << extra_;
        if (creds_.isEmpty()) {
            if (!extra_.join('\n').contains("password_file")) conf << "allow_anonymous true";
        } else {
            const QString pw = dir_.filePath("passwd");
            QFile::remove(pw);
            QFile(pw).open(QIODevice::WriteOnly);
            for (const QString& c : creds_) {
                const int colon = c.indexOf(':');
                if (runProgram("mosquitto_passwd", {"-b", pw, c.left(colon), c.mid(colon + 1)}) != 0) return false;
            }
            conf << "allow_anonymous false" << "password_file " + pw;
        }
        QFile f(dir_.filePath("mosquitto.conf"));
        f.open(QIODevice::WriteOnly);
        f.write(conf.join('\n').toUtf8() + '\n');
        f.close();
        pid_ = spawnProgram("mosquitto", {"-c", f.fileName()});
        if (pid_ <= 0) return false;
        return waitFor([this] {
            if (!running()) return false;
            QTcpSocket s;
            s.connectToHost(QHostAddress::LocalHost, port_);
            return s.waitForConnected(100);
        }, 5000);
    }
    void stop() {
        if (!running()) return;
        ::kill(pid_, SIGCONT); // a test may have frozen it
        ::kill(pid_, SIGTERM);
        if (!waitFor([this] { return !running(); }, 3000)) {
            ::kill(pid_, SIGKILL);
            waitFor([this] { return !running(); }, 1000);
        }
    }
    quint16 port() const { return port_; }
    qint64 pid() const { return pid_; }
    bool running() {
        if (pid_ <= 0) return false;
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
            pid_ = -1;
            return false;
        }
        return true;
    }

private:
    QStringList creds_, extra_;
    QTemporaryDir dir_;
    pid_t pid_ = -1;
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
