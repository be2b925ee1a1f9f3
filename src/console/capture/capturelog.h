#pragma once
// Recording a DTU's conversation: every byte string of a recorded DTU, both ways, one line
// each (core/capture.h) in a file per DTU and day under [CAPTURE] Dir, a new file past
// [CAPTURE] MaxMB, old ones removed past KeepDays or MaxTotalMB. Lines are queued here and written by a thread of their own, so a slow
// or broken disk never holds up the relay; a folder that cannot be written is one log line.
#include "core/capture.h"

#include <QByteArray>
#include "core/inbox.h"
#include "core/workerthread.h"

#include <mutex>
#include <QObject>
#include <QSet>
#include <QString>

namespace dtu {

class CaptureLog : public QObject {
    Q_OBJECT
public:
    static constexpr qint64 kMaxQueuedBytes = 64LL * 1024 * 1024;
    explicit CaptureLog(QObject* parent = nullptr);
    ~CaptureLog() override; // writes what is queued, then stops

    // keepDays 0 and maxTotalBytes 0: no bound.
    void configure(const QString& dir, qint64 maxFileBytes, int keepDays = 0, qint64 maxTotalBytes = 0);
    QString dir() const { return dir_; }

    void start(const QString& id); // no-op when already recording
    void stop(const QString& id);
    bool isRecording(const QString& id) const { return ids_.contains(id); }
    bool any() const { return !ids_.isEmpty(); }

    // From the field: data, beat, reply. To it: port, manual, command.
    void fromField(const QString& id, const char* source, const QByteArray& bytes) { add(id, false, source, bytes); }
    void toField(const QString& id, const char* source, const QByteArray& bytes) { add(id, true, source, bytes); }

    void flush(); // writes what is queued now (the writer thread does it every 200 ms)
    qint64 droppedBytes() const;   // queued past the bound, never written
    qint64 failedRecords() const;  // not written: the folder or the file refused them
    // Removes files older than keepDays and, past the total bound, the oldest; returns how
    // many went (the writer thread does it hourly).
    int sweep();
    QString fileFor(const QString& id) const; // the file being written, once something was

signals:
    void recordingChanged(const QString& id, bool recording);
    void logLine(const QString& line); // on the owner's thread

private:
    void add(const QString& id, bool toField, const char* source, const QByteArray& bytes);
    void write(); // on the writer thread

    QString dir_;
    qint64 maxFileBytes_ = 100LL * 1024 * 1024;
    int keepDays_ = 0;
    qint64 maxTotalBytes_ = 0;
    qint64 failed_ = 0;
    QSet<QString> ids_; // the relay's thread only

    struct Pending {
        QString id;
        qint64 usecs;
        QByteArray line;
    };
    mutable std::mutex mutex_;
    std::vector<Pending> queue_;
    qint64 queuedBytes_ = 0, dropped_ = 0;

    // The writer thread's.
    struct Open {
        QString day;
        int part = 0;
        QString path;
        qint64 size = 0;
    };
    QHash<QString, Open> files_;
    bool failing_ = false;
    qint64 lastSweepMs_ = 0;
    int openFolder(QString* problem); // checked, made if missing; -1 with the problem
    int sweepFiles();                 // with writeMutex_ held
    std::mutex writeMutex_; // flush() from the owner and the writer's timer; configure()
    Inbox inbox_; // the writer's lines, handed to the owner's thread
    void tell(const QString& line);
    WorkerThread thread_;
};

} // namespace dtu
