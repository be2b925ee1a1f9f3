#include "console/capture/capturelog.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <map>
#include <utility>

Q_LOGGING_CATEGORY(lcCapture, "dtu.capture", QtInfoMsg)

namespace dtu {

CaptureLog::CaptureLog(QObject* parent) : QObject(parent) {}

CaptureLog::~CaptureLog() {
    thread_.stopAndWait();
    flush();
}

void CaptureLog::configure(const QString& dir, qint64 maxFileBytes, int keepDays, qint64 maxTotalBytes) {
    std::lock_guard writing(writeMutex_); // the writer thread reads these while it writes
    dir_ = dir;
    if (maxFileBytes > 0) maxFileBytes_ = maxFileBytes;
    keepDays_ = std::max(0, keepDays);
    maxTotalBytes_ = std::max<qint64>(0, maxTotalBytes);
}

void CaptureLog::start(const QString& id) {
    if (id.isEmpty() || ids_.contains(id)) return;
    ids_.insert(id);
    if (!thread_.isRunning()) {
        thread_.setObjectName(QStringLiteral("capture"));
        // The timer is made and ends on the writer thread.
        auto timer = std::make_shared<std::unique_ptr<QTimer>>();
        thread_.onStart = [this, timer] {
            *timer = std::make_unique<QTimer>();
            connect(timer->get(), &QTimer::timeout, [this] { flush(); });
            (*timer)->start(200);
        };
        thread_.onEnd = [timer] { timer->reset(); };
        thread_.start();
    }
    emit recordingChanged(id, true);
}

void CaptureLog::stop(const QString& id) {
    if (!ids_.remove(id)) return;
    emit recordingChanged(id, false);
}

void CaptureLog::add(const QString& id, bool toField, const char* source, const QByteArray& bytes) {
    if (!ids_.contains(id)) return;
    CaptureRecord r;
    r.usecs = NowMicroseconds();
    r.offsetSeconds = QDateTime::fromSecsSinceEpoch(r.usecs / 1000000).offsetFromUtc();
    r.id = id;
    r.toField = toField;
    r.source = source;
    r.bytes = bytes;
    QByteArray line = FormatCaptureLine(r);
    std::lock_guard lock(mutex_);
    if (queuedBytes_ + line.size() > kMaxQueuedBytes) {
        dropped_ += bytes.size();
        return;
    }
    queuedBytes_ += line.size();
    queue_.push_back({id, r.usecs, std::move(line)});
}

void CaptureLog::tell(const QString& line) {
    inbox_.post([this, line] { emit logLine(line); });
}

qint64 CaptureLog::droppedBytes() const {
    std::lock_guard lock(mutex_);
    return dropped_;
}

qint64 CaptureLog::failedRecords() const {
    std::lock_guard lock(mutex_);
    return failed_;
}

QString CaptureLog::fileFor(const QString& id) const {
    std::lock_guard lock(mutex_);
    return files_.value(id).path;
}

void CaptureLog::flush() {
    std::lock_guard writing(writeMutex_);
    write();
}

namespace {
QString errnoText(int e) { return QString::fromLocal8Bit(std::strerror(e)); }

// A file name from an ID as it is: no placeholder in it is filled, and a slash cannot
// lead out of the folder.
QString capName(const QString& id, const QString& day, int part) {
    QString safe = id;
    safe.replace(QLatin1Char('/'), QLatin1Char('_'));
    return safe + QLatin1Char('-') + day + (part == 0 ? QString() : QLatin1Char('.') + QString::number(part)) +
           QStringLiteral(".cap");
}

// All of it or nothing: a short write is cut off again, so no torn line is left.
bool writeWhole(int fd, const QByteArray& line, qint64 sizeBefore, int* err) {
    const char* p = line.constData();
    qsizetype left = line.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, static_cast<size_t>(left));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            *err = n < 0 ? errno : ENOSPC;
            if (left != line.size()) (void)!::ftruncate(fd, sizeBefore);
            return false;
        }
        p += n;
        left -= n;
    }
    return true;
}

struct Fd {
    int fd = -1;
    Fd() = default;
    explicit Fd(int f) : fd(f) {}
    Fd(Fd&& o) noexcept : fd(std::exchange(o.fd, -1)) {}
    Fd& operator=(Fd&& o) noexcept {
        std::swap(fd, o.fd);
        return *this;
    }
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
    int release() { return std::exchange(fd, -1); }
};
} // namespace

int CaptureLog::openFolder(QString* problem) {
    if (!QDir().mkpath(dir_)) {
        *problem = QStringLiteral("无法创建记录文件夹 %1").arg(dir_);
        return -1;
    }
    const int fd = ::open(QFile::encodeName(dir_).constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        const int e = errno;
        *problem = e == ELOOP || e == ENOTDIR ? QStringLiteral("记录文件夹 %1 是链接或文件，不是目录").arg(dir_)
                                              : QStringLiteral("无法打开记录文件夹 %1: %2").arg(dir_, errnoText(e));
        return -1;
    }
    // Others must not be able to plant a link or a file of theirs for us to append to.
    struct stat st {};
    if (::fstat(fd, &st) != 0 || st.st_uid != ::geteuid()) {
        *problem = QStringLiteral("记录文件夹 %1 属于另一用户 (uid %2)，请改为本程序的用户所有").arg(dir_).arg(st.st_uid);
    } else if (st.st_mode & (S_IWGRP | S_IWOTH)) {
        *problem = QStringLiteral("记录文件夹 %1 组或其他用户可写 (权限 %2)，请 chmod go-w").arg(dir_).arg(st.st_mode & 07777, 4, 8, QLatin1Char('0'));
    } else {
        return fd;
    }
    ::close(fd);
    return -1;
}

void CaptureLog::write() {
    std::vector<Pending> batch;
    {
        std::lock_guard lock(mutex_);
        batch.swap(queue_);
        queuedBytes_ = 0;
    }
    QString problem;
    if (const qint64 now = QDateTime::currentMSecsSinceEpoch(); now - lastSweepMs_ >= 3600 * 1000 && (keepDays_ > 0 || maxTotalBytes_ > 0)) {
        lastSweepMs_ = now;
        sweepFiles();
    }
    if (batch.empty()) return;
    qint64 lost = 0;
    Fd folder(openFolder(&problem));
    std::map<QString, Fd> open; // this batch's files, closed (and the close checked) at its end
    for (Pending& p : batch) {
        if (folder.fd < 0) {
            ++lost;
            continue;
        }
        const QString day = QDateTime::fromSecsSinceEpoch(p.usecs / 1000000).toString(QStringLiteral("yyyyMMdd"));
        Open o;
        {
            std::lock_guard lock(mutex_);
            o = files_.value(p.id);
        }
        if (o.day != day || o.size + p.line.size() > maxFileBytes_) {
            open.erase(p.id);
            if (o.day != day) o = Open{day, 0, QString(), 0};
            // The next part whose file is not full yet: a restart appends to today's last part.
            for (;; ++o.part) {
                o.path = QDir(dir_).filePath(capName(p.id, day, o.part));
                struct stat st {};
                o.size = ::fstatat(folder.fd, QFile::encodeName(capName(p.id, day, o.part)).constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 ? st.st_size : 0;
                if (o.size + p.line.size() <= maxFileBytes_ || o.size == 0) break;
            }
        }
        Fd& f = open[p.id];
        if (f.fd < 0) {
            const QByteArray name = QFile::encodeName(QFileInfo(o.path).fileName());
            f = Fd(::openat(folder.fd, name.constData(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0640));
            struct stat st {};
            if (f.fd < 0) {
                const int e = errno;
                problem = e == ELOOP ? QStringLiteral("记录文件 %1 是链接，不写入").arg(o.path)
                                     : QStringLiteral("无法写入记录文件 %1: %2").arg(o.path, errnoText(e));
            } else if (::fstat(f.fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid()) {
                problem = QStringLiteral("记录文件 %1 不是本用户的普通文件，不写入").arg(o.path);
                f = Fd();
            } else {
                o.size = st.st_size;
            }
        }
        int err = 0;
        if (f.fd < 0 || !writeWhole(f.fd, p.line, o.size, &err)) {
            if (f.fd >= 0) problem = QStringLiteral("写入记录文件 %1 失败: %2").arg(o.path, errnoText(err));
            ++lost;
            open.erase(p.id);
            continue;
        }
        o.size += p.line.size();
        std::lock_guard lock(mutex_);
        files_[p.id] = o;
    }
    for (auto& [id, f] : open) {
        if (::close(f.release()) != 0) {
            const int e = errno; // a delayed write error (NFS, a full disk) shows only here
            std::lock_guard lock(mutex_);
            problem = QStringLiteral("写入记录文件 %1 失败: %2").arg(files_.value(id).path, errnoText(e));
        }
    }
    if (lost > 0) {
        std::lock_guard lock(mutex_);
        failed_ += lost;
    }
    if (!problem.isEmpty() && !failing_) {
        failing_ = true;
        qCWarning(lcCapture).noquote() << problem;
        tell(problem + QStringLiteral("，记录暂停，数据转发不受影响"));
    } else if (problem.isEmpty() && failing_) {
        failing_ = false;
        tell(QStringLiteral("记录文件恢复写入"));
    }
}

int CaptureLog::sweep() {
    std::lock_guard writing(writeMutex_);
    return sweepFiles();
}

int CaptureLog::sweepFiles() {
    QDir dir(dir_);
    if (!dir.exists()) return 0;
    QFileInfoList files = dir.entryInfoList({QStringLiteral("*.cap")}, QDir::Files | QDir::NoSymLinks, QDir::Time | QDir::Reversed);
    QSet<QString> writing;
    {
        std::lock_guard lock(mutex_);
        for (const Open& o : std::as_const(files_)) writing.insert(o.path);
    }
    const QDateTime oldest = QDateTime::currentDateTime().addDays(-keepDays_);
    qint64 total = 0;
    for (const QFileInfo& f : files) total += f.size();
    int removed = 0;
    for (const QFileInfo& f : files) { // oldest first
        const bool tooOld = keepDays_ > 0 && f.lastModified() < oldest;
        const bool tooMuch = maxTotalBytes_ > 0 && total > maxTotalBytes_;
        if (!tooOld && !tooMuch) break;
        if (writing.contains(f.filePath())) continue;
        if (QFile::remove(f.filePath())) {
            total -= f.size();
            ++removed;
        }
    }
    if (removed > 0)
        tell(QStringLiteral("记录文件清理: 删除%1个旧文件 ([CAPTURE] KeepDays=%2, MaxTotalMB=%3)")
                 .arg(removed)
                 .arg(keepDays_)
                 .arg(maxTotalBytes_ / (1024 * 1024)));
    return removed;
}

} // namespace dtu
