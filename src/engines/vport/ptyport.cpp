#include "engines/vport/ptyport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QSocketNotifier>
#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <dirent.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

Q_LOGGING_CATEGORY(lcPty, "dtu.vport.pty", QtInfoMsg)

namespace dtu {

namespace {
QString errnoText() { return QString::fromLocal8Bit(std::strerror(errno)); }

// The line discipline's defaults echo, translate CR/LF and cut long lines: raw, always.
void makeRaw(int fd) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return;
    cfmakeraw(&t);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &t);
}

QString linkTargetAt(int dirFd, const QByteArray& name) {
    char buf[PATH_MAX];
    const ssize_t n = ::readlinkat(dirFd, name.constData(), buf, sizeof buf);
    return n < 0 ? QString() : QFile::decodeName(QByteArray(buf, n));
}

// A link in the ports folder that leads to a pseudo-terminal slave, or nowhere, is one a
// console left behind (killed, crashed): whatever holds that terminal now, it is ours to
// replace. Anything else there is a real entry of someone's.
bool leftBehindAt(int dirFd, const QByteArray& name) {
    struct stat st {};
    if (::fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISLNK(st.st_mode)) return false;
    if (::fstatat(dirFd, name.constData(), &st, 0) != 0) return true; // leads nowhere
    static const QRegularExpression pts(QStringLiteral("^/dev/pts/[0-9]+$"));
    return pts.match(linkTargetAt(dirFd, name)).hasMatch();
}

bool lexists(const QString& path) {
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

// Touches the slave side briefly: raw mode for whoever opens it next, and no stale input.
void resetSlave(const QString& slave) {
    const int fd = ::open(QFile::encodeName(slave).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    makeRaw(fd);
    tcflush(fd, TCIFLUSH);
    ::close(fd);
}
} // namespace

PtyPortEngine::PtyPortEngine(QString dir, PortFolder::Policy policy, QString group, QObject* parent)
    : QObject(parent), dir_(std::move(dir)), folder_(dir_, policy, std::move(group)) {
    inotify_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (inotify_ >= 0) {
        inotifyN_ = new QSocketNotifier(inotify_, QSocketNotifier::Read, this);
        connect(inotifyN_, &QSocketNotifier::activated, this, &PtyPortEngine::onWatchEvents);
    } else {
        qCWarning(lcPty).noquote() << "inotify:" << errnoText() << "- opens are noticed within 100 ms instead";
    }
    // Runs only while some port has no watch: with watches nothing needs waking 10 times a second.
    poll_.setInterval(100);
    connect(&poll_, &QTimer::timeout, this, &PtyPortEngine::pollClosed);
}

PtyPortEngine::~PtyPortEngine() {
    deleteAll();
    delete inotifyN_;
    if (inotify_ >= 0) ::close(inotify_);
}

int PtyPortEngine::watch(PtyPort* p, const QString& slave) {
    if (inotify_ < 0) {
        poll_.start();
        return -1;
    }
    const int wd = ::inotify_add_watch(inotify_, QFile::encodeName(slave).constData(), IN_OPEN | IN_CLOSE);
    if (wd < 0) {
        static bool warned = false; // e.g. fs.inotify.max_user_watches reached
        if (!warned) qCWarning(lcPty).noquote() << "inotify watch on" << slave << ":" << errnoText() << "- polling instead";
        warned = true;
        poll_.start();
        return -1;
    }
    watches_.insert(wd, p);
    return wd;
}

void PtyPortEngine::unwatch(int wd) {
    if (wd < 0) return;
    watches_.remove(wd);
    ::inotify_rm_watch(inotify_, wd);
}

void PtyPortEngine::onWatchEvents() {
    alignas(inotify_event) char buf[16384];
    QSet<PtyPort*> touched;
    bool overflow = false;
    for (;;) {
        const ssize_t n = ::read(inotify_, buf, sizeof buf);
        if (n <= 0) break;
        for (const char* q = buf; q < buf + n;) {
            const auto* e = reinterpret_cast<const inotify_event*>(q);
            if (e->mask & IN_Q_OVERFLOW) overflow = true;
            else if (PtyPort* p = watches_.value(e->wd)) touched.insert(p);
            q += sizeof(inotify_event) + e->len;
        }
    }
    if (overflow) touched = ports_; // events were lost: look at every port
    // Our own short opens of a slave (the reset after a close) come back here too; a
    // look at the master tells what is true, so they change nothing.
    for (PtyPort* p : std::as_const(touched))
        if (ports_.contains(p)) p->checkPeer();
}

void PtyPortEngine::deleteAll() {
    const auto ports = ports_; // DeletePort detaches from the set
    for (PtyPort* p : ports) p->DeletePort();
}

std::unique_ptr<IVPort> PtyPortEngine::makePort() { return std::make_unique<PtyPort>(*this); }

QString PtyPortEngine::pathFor(const QString& name) const {
    return name.contains(QLatin1Char('/')) ? name : dir_ + QLatin1Char('/') + name;
}

QStringList PtyPortEngine::systemPorts() {
    // Scanned before every record of a creation pass; the /dev part changes rarely.
    if (!devScanAge_.isValid() || devScanAge_.elapsed() > 2000) {
        devSerial_.clear();
        const QStringList devs = QDir(QStringLiteral("/dev")).entryList(
            {QStringLiteral("ttyS*"), QStringLiteral("ttyUSB*"), QStringLiteral("ttyACM*"), QStringLiteral("ttyAMA*")},
            QDir::System | QDir::Files | QDir::Readable | QDir::Writable);
        for (const QString& d : devs) devSerial_ << QStringLiteral("/dev/") + d;
        devScanAge_.restart();
    }
    // A pass over thousands of records rescans before each one: read the folder at most
    // every two seconds, our own creations and deletions keep the copy current meanwhile.
    if (!dirScanAge_.isValid() || dirScanAge_.elapsed() > 2000) {
        dirNames_.clear();
        if (folderReady()) {
            if (DIR* d = ::fdopendir(::dup(folder_.fd()))) {
                ::rewinddir(d);
                while (const dirent* e = ::readdir(d)) {
                    const QByteArray name(e->d_name);
                    if (name == "." || name == "..") continue;
                    if (!leftBehindAt(folder_.fd(), name)) dirNames_.insert(QFile::decodeName(name)); // an old link of ours is no port
                }
                ::closedir(d);
            }
        }
        dirNames_.unite(liveNames_);
        dirScanAge_.restart();
    }
    QStringList out = devSerial_;
    out.reserve(out.size() + dirNames_.size());
    for (const QString& n : std::as_const(dirNames_)) out << n;
    for (PtyPort* p : ports_)
        if (p->name().contains(QLatin1Char('/'))) out << p->name();
    return out;
}

void PtyPortEngine::rescan() {
    devScanAge_.invalidate();
    dirScanAge_.invalidate();
    if (!folder_.isOpen()) folderTried_ = false; // the operator may have mended it
}

bool PtyPortEngine::folderReady() {
    if (folder_.isOpen()) return true;
    if (folderTried_) return false;
    folderTried_ = true;
    if (folder_.open()) {
        qCInfo(lcPty).noquote() << "port links in" << dir_;
        return true;
    }
    qCWarning(lcPty).noquote() << folder_.problem();
    return false;
}

QString PtyPortEngine::folderProblem() {
    folderReady();
    return folder_.problem();
}

bool PtyPortEngine::occupied(const QString& name) {
    if (!name.contains(QLatin1Char('/'))) return false;
    for (PtyPort* p : std::as_const(ports_))
        if (p->name() == name) return false; // ours, and already in the port list
    return lexists(name);
}

void PtyPortEngine::pollClosed() {
    std::vector<pollfd> fds;
    std::vector<PtyPort*> who;
    bool unwatched = false;
    for (PtyPort* p : ports_) {
        if (p->master_ < 0 || p->watch_ >= 0) continue;
        unwatched = true;
        if (p->peerOpen_) continue;
        fds.push_back({p->master_, POLLIN, 0});
        who.push_back(p);
    }
    if (!unwatched) poll_.stop();
    if (fds.empty()) return;
    if (::poll(fds.data(), fds.size(), 0) < 0) return;
    for (size_t i = 0; i < fds.size(); ++i)
        if (!(fds[i].revents & POLLHUP)) who[i]->checkPeer();
}

PtyPort::PtyPort(PtyPortEngine& engine) : engine_(engine) {
    // A zero timer ends the batch at the loop's next pass without waking the loop through
    // its event queue, which a posted call would do once per batch.
    batchEnd_.setSingleShot(true);
    batchEnd_.setInterval(0);
    connect(&batchEnd_, &QTimer::timeout, this, &PtyPort::endBatch);
}

PtyPort::~PtyPort() {
    if (master_ >= 0) DeletePort();
    engine_.detach(this);
}

bool PtyPort::fail(const QString& why) {
    error_ = why;
    qCWarning(lcPty).noquote() << "port" << name_ << ":" << why;
    return false;
}

bool PtyPort::CreatePort(const QString& name) {
    if (master_ >= 0) return fail(QStringLiteral("此实例已有串口"));
    name_ = name;
    if (name.isEmpty() || name.contains(QChar(0)) || name == QLatin1String(".") || name == QLatin1String(".."))
        return fail(QStringLiteral("串口名不能作为文件名"));
    const QString base = QFileInfo(name).fileName();
    if (base.isEmpty() || QFile::encodeName(base).size() > NAME_MAX)
        return fail(QStringLiteral("串口名不能作为文件名"));
    link_ = engine_.pathFor(name);
    const bool inFolder = !name.contains(QLatin1Char('/'));
    const QByteArray entry = QFile::encodeName(inFolder ? name : link_);
    if (inFolder && !engine_.folderReady()) return fail(engine_.folder_.problem());
    const int at = inFolder ? engine_.folder_.fd() : AT_FDCWD; // links in the folder: only through it
    if (!inFolder && !QFileInfo(QFileInfo(link_).absolutePath()).isDir())
        return fail(QStringLiteral("目录 %1 不存在").arg(QFileInfo(link_).absolutePath()));

    struct stat st {};
    if (::fstatat(at, entry.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
        // Only our own folder's leftovers are replaced; a path elsewhere is never touched.
        if (!inFolder || engine_.liveNames_.contains(name) || !leftBehindAt(at, entry))
            return fail(QStringLiteral("%1 已存在").arg(link_));
        qCInfo(lcPty).noquote() << "replacing link left by an earlier run:" << link_ << "->" << linkTargetAt(at, entry);
        ::unlinkat(at, entry.constData(), 0);
    }

    int master = -1, slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
        return fail(QStringLiteral("openpty: %1 (kernel.pty.max?)").arg(errnoText()));
    makeRaw(slave);
    slave_ = QString::fromLocal8Bit(ptsname(master));
    if (const long gid = engine_.folder_.groupId(); gid >= 0) {
        if (::fchown(slave, static_cast<uid_t>(-1), static_cast<gid_t>(gid)) != 0 || ::fchmod(slave, 0660) != 0) {
            const QString why = errnoText();
            ::close(slave);
            ::close(master);
            return fail(QStringLiteral("无法把 %1 交给 [VPORT] Group: %2").arg(slave_, why));
        }
    }
    ::close(slave); // while we hold no slave, a hang-up tells us nobody has the port open
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);
    ::fcntl(master, F_SETFD, FD_CLOEXEC);
    if (::symlinkat(QFile::encodeName(slave_).constData(), at, entry.constData()) != 0) {
        const QString why = errnoText();
        ::close(master);
        return fail(QStringLiteral("无法创建 %1: %2").arg(link_, why));
    }
    master_ = master;
    readN_ = new QSocketNotifier(master_, QSocketNotifier::Read, this);
    readN_->setEnabled(false);
    connect(readN_, &QSocketNotifier::activated, this, &PtyPort::onReadable);
    writeN_ = new QSocketNotifier(master_, QSocketNotifier::Write, this);
    writeN_->setEnabled(false);
    connect(writeN_, &QSocketNotifier::activated, this, &PtyPort::onWritable);
    engine_.attach(this);
    watch_ = engine_.watch(this, slave_);
    if (inFolder) {
        engine_.dirNames_.insert(name);
        engine_.liveNames_.insert(name);
    }
    error_.clear();
    checkPeer();
    return true;
}

bool PtyPort::DeletePort() {
    if (master_ < 0) return false;
    engine_.unwatch(watch_);
    watch_ = -1;
    delete readN_;
    delete writeN_;
    readN_ = writeN_ = nullptr;
    // Only the link that still leads to our terminal is ours to remove.
    const bool inFolder = !name_.contains(QLatin1Char('/'));
    const int at = inFolder ? engine_.folder_.fd() : AT_FDCWD;
    const QByteArray entry = QFile::encodeName(inFolder ? name_ : link_);
    if ((!inFolder || at >= 0) && linkTargetAt(at, entry) == slave_) ::unlinkat(at, entry.constData(), 0);
    if (inFolder) {
        engine_.dirNames_.remove(name_);
        engine_.liveNames_.remove(name_);
    }
    ::close(master_);
    master_ = -1;
    peerOpen_ = false;
    in_.clear();
    out_.clear();
    outHead_ = 0;
    engine_.detach(this);
    return true;
}

bool PtyPort::ResetBus() {
    engine_.deleteAll();
    return true;
}

void PtyPort::checkPeer() {
    if (master_ < 0) return;
    pollfd pfd{master_, POLLIN, 0};
    ::poll(&pfd, 1, 0);
    const bool hup = pfd.revents & POLLHUP;
    int waiting = 0;
    if (hup && peerOpen_) {
        drainThenClose(); // what it wrote before closing is still its data
    } else if (!hup && !peerOpen_) {
        // The program may have set its own VMIN/VTIME already: leave its settings alone.
        // Raw mode was set for it while nobody had the port open.
        peerOpen_ = true;
        readN_->setEnabled(true);
        qCDebug(lcPty).noquote() << "port" << name_ << "opened by a local program";
    } else if (hup && ::ioctl(master_, FIONREAD, &waiting) == 0 && waiting > 0) {
        // A program came and went before we looked (open, write, close): send what it wrote.
        peerOpen_ = true;
        drainThenClose();
    }
}

void PtyPort::drainThenClose() {
    int waiting = 0;
    while (peerOpen_ && master_ >= 0 && ::ioctl(master_, FIONREAD, &waiting) == 0 && waiting > 0) onReadable();
    if (peerOpen_) peerGone();
}

void PtyPort::peerGone() {
    peerOpen_ = false;
    readN_->setEnabled(false); // a hung-up master polls readable forever
    writeN_->setEnabled(false);
    droppedOut_ += outPending();
    out_.clear();
    outHead_ = 0;
    // Only what we wrote and nobody read is stale. What arrives from the slave now was
    // written by a program that opened the port again since we looked: its own, kept
    // for it (flushing both ways here lost a poller's request now and then).
    tcflush(master_, TCOFLUSH);
    pollfd pfd{master_, POLLIN, 0};
    ::poll(&pfd, 1, 0);
    if (pfd.revents & POLLHUP) resetSlave(slave_); // nobody has it: raw mode for the next one
    qCDebug(lcPty).noquote() << "port" << name_ << "closed by the local program";
}

void PtyPort::onReadable() {
    char buf[4096];
    while (in_.size() < (1 << 16)) {
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n > 0) {
            in_.append(buf, n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) break;
        peerGone(); // EIO: the last program closed the port
        break;
    }
    if (in_.isEmpty()) return;
    emit portReadable(static_cast<int>(in_.size()));
    in_.clear(); // what the handler did not take is gone; nothing is carried to the next event
}

int PtyPort::ReadData(QByteArray& buf, int count) {
    const int n = std::min<int>(count, static_cast<int>(in_.size()));
    buf = in_.left(n);
    in_.remove(0, n);
    return n;
}

int PtyPort::WriteData(const QByteArray& data) {
    if (master_ < 0) return 0;
    if (!peerOpen_) checkPeer();
    if (!peerOpen_) {
        droppedOut_ += data.size(); // nobody listens: a serial line would lose it too
        return 0;
    }
    qsizetype done = 0;
    const bool gathering = batchEnd_.isActive();
    if (outPending() == 0 && !gathering) {
        while (done < data.size()) {
            const ssize_t n = ::write(master_, data.constData() + done, static_cast<size_t>(data.size() - done));
            if (n > 0) done += n;
            else if (n < 0 && errno == EINTR) continue;
            else break;
        }
        // A burst read from the link arrives here packet after packet within one pass of
        // the event loop. The first goes out at once; the rest are gathered and written
        // together when the pass ends: every write to a terminal wakes a kernel worker.
        batchEnd_.start();
        batchStarted_ = std::chrono::steady_clock::now();
    }
    const qsizetype rest = data.size() - done;
    if (rest > 0) {
        // Below the limit a packet is taken whole, however large: a reader that keeps up
        // gets every byte. Past it (nobody reads) whole packets are dropped and counted.
        if (outPending() < kOutLimit) out_.append(data.constData() + done, rest);
        else droppedOut_ += rest;
        writeN_->setEnabled(outPending() > 0);
    }
    // A pass can last: the link goes on reading while the broker keeps sending. What was
    // gathered does not wait for the pass's end longer than a reader would notice.
    if (gathering && outPending() > 0) {
        const auto now = std::chrono::steady_clock::now();
        if (now - batchStarted_ >= kBatchHold) {
            onWritable();
            batchStarted_ = now;
        }
    }
    return static_cast<int>(data.size());
}

void PtyPort::endBatch() {
    if (master_ >= 0 && outPending() > 0) onWritable();
}

void PtyPort::onWritable() {
    while (outPending() > 0) {
        const ssize_t n = ::write(master_, out_.constData() + outHead_, static_cast<size_t>(outPending()));
        if (n > 0) outHead_ += n;
        else if (n < 0 && errno == EINTR) continue;
        else if (n < 0 && errno == EAGAIN) break;
        else {
            peerGone();
            return;
        }
    }
    // Move the rest to the front only now and then, not after every partial write.
    if (outPending() == 0) {
        out_.clear();
        outHead_ = 0;
    } else if (outHead_ > (1 << 16)) {
        out_.remove(0, outHead_);
        outHead_ = 0;
    }
    writeN_->setEnabled(outPending() > 0);
}

} // namespace dtu
