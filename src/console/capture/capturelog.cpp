#include "console/capture/capturelog.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QTimer>

Q_LOGGING_CATEGORY(lcCapture, "dtu.capture", QtInfoMsg)

namespace dtu {

CaptureLog::CaptureLog(QObject* parent) : QObject(parent) {}

CaptureLog::~CaptureLog() {
    thread_.stopAndWait();
    flush();
}

void CaptureLog::configure(const QString& dir, qint64 maxFileBytes) {
    dir_ = dir;
    if (maxFileBytes > 0) maxFileBytes_ = maxFileBytes;
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

QString CaptureLog::fileFor(const QString& id) const {
    std::lock_guard lock(mutex_);
    return files_.value(id).path;
}

void CaptureLog::flush() {
    std::lock_guard writing(writeMutex_);
    write();
}

void CaptureLog::write() {
    std::vector<Pending> batch;
    {
        std::lock_guard lock(mutex_);
        batch.swap(queue_);
        queuedBytes_ = 0;
    }
    if (batch.empty()) return;
    QString problem;
    qint64 lost = 0;
    QHash<QString, QFile*> open;
    for (Pending& p : batch) {
        const QString day = QDateTime::fromSecsSinceEpoch(p.usecs / 1000000).toString(QStringLiteral("yyyyMMdd"));
        Open o;
        {
            std::lock_guard lock(mutex_);
            o = files_.value(p.id);
        }
        const bool newFile = o.day != day || o.size + p.line.size() > maxFileBytes_;
        if (newFile) {
            if (QFile* f = open.take(p.id)) delete f;
            if (o.day != day) o = Open{day, 0, QString(), 0};
            // The next part whose file is not full yet: a restart appends to today's last part.
            for (;; ++o.part) {
                o.path = QDir(dir_).filePath(o.part == 0 ? QStringLiteral("%1-%2.cap").arg(p.id, day)
                                                         : QStringLiteral("%1-%2.%3.cap").arg(p.id, day).arg(o.part));
                o.size = QFileInfo(o.path).size();
                if (o.size + p.line.size() <= maxFileBytes_ || o.size == 0) break;
            }
        }
        QFile*& f = open[p.id];
        if (!f) {
            if (!QDir().mkpath(dir_)) {
                problem = QStringLiteral("无法创建记录文件夹 %1").arg(dir_);
            } else {
                f = new QFile(o.path);
                if (!f->open(QIODevice::WriteOnly | QIODevice::Append)) {
                    problem = QStringLiteral("无法写入记录文件 %1: %2").arg(o.path, f->errorString());
                    delete f;
                    f = nullptr;
                }
            }
        }
        if (!f || f->write(p.line) != p.line.size()) {
            if (f && problem.isEmpty()) problem = QStringLiteral("写入记录文件 %1 失败: %2").arg(o.path, f->errorString());
            ++lost;
            open.remove(p.id);
            continue;
        }
        o.size += p.line.size();
        std::lock_guard lock(mutex_);
        files_[p.id] = o;
    }
    for (QFile* f : open) {
        f->close();
        delete f;
    }
    if (lost > 0) {
        std::lock_guard lock(mutex_);
        dropped_ += lost;
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

} // namespace dtu
