#pragma once
// The DTU history: events are queued on the relay's thread and written by a thread of
// their own, one transaction about once a second, so a slow or absent database never
// stalls the relay. While the database cannot be written, events wait in memory up to a
// bound; past it the oldest go and are counted.
#include "core/timestamp.h"
#include "engines/store/dtustore.h"

#include <QHash>
#include "core/inbox.h"
#include "core/workerthread.h"

#include <mutex>
#include <QObject>
#include <QTimer>
#include <deque>
#include <memory>

namespace dtu {

// Where the writer thread puts events; made, used and destroyed on that thread.
class EventSink {
public:
    virtual ~EventSink() = default;
    virtual void open() = 0; // throws Failure; also makes the table when missing
    virtual void write(const std::vector<DtuEvent>& events) = 0; // all or nothing; throws Failure
    virtual int prune(const QDateTime& before) = 0;
    virtual void close() = 0;
};

struct HistoryOptions {
    int keepDays = 90;     // 0 = keep for ever
    int maxHeld = 100000;  // events held while the database cannot be written
    int flushMs = 1000;
    int batch = 5000;      // events per transaction
};

class EventLog : public QObject {
    Q_OBJECT
public:
    // The clock is the owner's: tests move it after the log is made.
    explicit EventLog(const Clock& clock, QObject* parent = nullptr);
    ~EventLog() override; // writes what is left if it can, then stops

    // The sink factory runs on the writer thread.
    void start(std::function<std::unique_ptr<EventSink>()> makeSink, HistoryOptions options);
    void startOnDatabase(const QString& connectionString, HistoryOptions options);
    // waitMs >= 0: the writer gets that long to finish (a database that does not answer
    // cannot hold the exit); what it could not write is said in a line.
    void stop(int waitMs = -1);
    static constexpr int kExitWaitMs = 4000;
    bool running() const { return thread_ != nullptr; }

    void record(const QString& id, const QString& event, const QString& detail = {});

    // This run's events of one DTU since a time, oldest first (the last day, at most 500 per DTU).
    std::vector<DtuEvent> recent(const QString& id, const QDateTime& since) const;

    qint64 dropped() const;
    int held() const; // not yet written, the batch being written included
    qint64 written() const;

signals:
    void logLine(const QString& line); // for the operator's log, on the owner's thread

private:
    friend class EventWriter;
    const Clock& clock_;
    HistoryOptions options_;
    mutable std::mutex mutex_;
    std::deque<DtuEvent> pending_;
    qint64 dropped_ = 0, written_ = 0;
    int inFlight_ = 0; // taken by the writer, not yet written or put back
    bool dropReported_ = false;
    QHash<QString, std::deque<DtuEvent>> recent_;
    // Pruning is asked for from the owner's thread, which owns the clock.
    void requestPrune();
    QDateTime pruneBefore_; // under mutex_; taken by the writer
    qint64 nextPruneMs_ = 0;
    QTimer* pruneTimer_ = nullptr;
    WorkerThread* thread_ = nullptr;
    Inbox inbox_; // the writer's lines, handed to the owner's thread
    void tell(const QString& line); // from the writer thread
};

} // namespace dtu
