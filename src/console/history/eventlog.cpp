#include "console/history/eventlog.h"

#include <QLoggingCategory>
#include <QTimer>
#include <atomic>

Q_LOGGING_CATEGORY(lcHistory, "dtu.history", QtInfoMsg)

namespace dtu {

namespace {

constexpr std::size_t kRecentPerDtu = 500;
constexpr qint64 kDayMs = 24LL * 3600 * 1000;

class StoreSink : public EventSink {
public:
    explicit StoreSink(QString connectionString) : conn_(std::move(connectionString)) {
        static std::atomic<int> serial{0};
        name_ = QStringLiteral("history-%1").arg(++serial);
    }
    void open() override {
        if (!store_) store_ = std::make_unique<DtuStore>(ConfigPaths{}, name_);
        store_->connectTo(conn_);
        store_->createEventTable();
    }
    void write(const std::vector<DtuEvent>& events) override { store_->appendEvents(events); }
    int prune(const QDateTime& before) override { return store_->pruneEvents(before); }
    void close() override { store_.reset(); }

private:
    QString conn_, name_;
    std::unique_ptr<DtuStore> store_;
};

} // namespace

// Lives on the writer thread.
class EventWriter : public QObject {
public:
    EventWriter(EventLog& log, std::function<std::unique_ptr<EventSink>()> make)
        : log_(log), make_(std::move(make)) {
        timer_.setInterval(log_.options_.flushMs);
        connect(&timer_, &QTimer::timeout, this, [this] { flush(); });
    }
    void begin() { timer_.start(); }
    void end() {
        timer_.stop();
        flush();
        if (sink_) sink_->close();
        sink_.reset();
    }

    void flush() {
        for (;;) {
            std::vector<DtuEvent> batch;
            {
                std::lock_guard lock(log_.mutex_);
                const std::size_t n = std::min<std::size_t>(log_.pending_.size(), static_cast<std::size_t>(log_.options_.batch));
                batch.assign(std::make_move_iterator(log_.pending_.begin()),
                             std::make_move_iterator(log_.pending_.begin() + static_cast<std::ptrdiff_t>(n)));
                log_.pending_.erase(log_.pending_.begin(), log_.pending_.begin() + static_cast<std::ptrdiff_t>(n));
                log_.inFlight_ = static_cast<int>(n);
            }
            if (batch.empty()) break;
            if (!write(batch)) {
                putBack(std::move(batch));
                break;
            }
            if (batch.size() < static_cast<std::size_t>(log_.options_.batch)) break;
        }
        pruneWhenDue();
    }

private:
    bool ensureOpen() {
        if (open_) return true;
        if (!sink_) sink_ = make_();
        sink_->open();
        open_ = true;
        return true;
    }

    bool write(const std::vector<DtuEvent>& batch) {
        try {
            ensureOpen();
            sink_->write(batch);
        } catch (const std::exception& e) {
            open_ = false;
            if (sink_) sink_->close();
            if (!failing_) {
                failing_ = true;
                const QString line = QStringLiteral("历史事件写入失败，事件暂存内存(最多%1条): %2")
                                         .arg(log_.options_.maxHeld)
                                         .arg(QString::fromLocal8Bit(e.what()));
                qCWarning(lcHistory).noquote() << line;
                log_.tell(line);
            }
            return false;
        }
        qint64 dropped = 0;
        {
            std::lock_guard lock(log_.mutex_);
            log_.written_ += static_cast<qint64>(batch.size());
            log_.inFlight_ = 0;
            dropped = log_.dropped_ - droppedBefore_; // since the last write that worked: this outage's
            droppedBefore_ = log_.dropped_;
            if (failing_) log_.dropReported_ = false; // a next outage's overflow is told again
        }
        if (failing_) {
            failing_ = false;
            const QString line = dropped > 0
                ? QStringLiteral("历史事件写入已恢复 (此前因超出暂存上限丢弃%1条)").arg(dropped)
                : QStringLiteral("历史事件写入已恢复，暂存的事件已补写");
            qCInfo(lcHistory).noquote() << line;
            log_.tell(line);
        }
        return true;
    }

    void putBack(std::vector<DtuEvent> batch) {
        std::lock_guard lock(log_.mutex_);
        log_.inFlight_ = 0;
        log_.pending_.insert(log_.pending_.begin(), std::make_move_iterator(batch.begin()),
                             std::make_move_iterator(batch.end()));
        // Newer events arrived meanwhile: the bound still holds, oldest first out.
        while (log_.pending_.size() > static_cast<std::size_t>(log_.options_.maxHeld)) {
            log_.pending_.pop_front();
            ++log_.dropped_;
        }
    }

    void pruneWhenDue() {
        if (!open_) return;
        QDateTime before;
        {
            std::lock_guard lock(log_.mutex_);
            before = log_.pruneBefore_;
            log_.pruneBefore_ = QDateTime();
        }
        if (!before.isValid()) return;
        try {
            const int n = sink_->prune(before);
            if (n > 0) qCInfo(lcHistory) << "pruned" << n << "event(s) older than" << log_.options_.keepDays << "days";
        } catch (const std::exception& e) {
            qCWarning(lcHistory) << "pruning the history failed:" << e.what();
        }
    }

    EventLog& log_;
    std::function<std::unique_ptr<EventSink>()> make_;
    std::unique_ptr<EventSink> sink_;
    QTimer timer_{this}; // a child, so it moves to the writer thread with us
    bool open_ = false, failing_ = false;
    qint64 droppedBefore_ = 0;
};

EventLog::EventLog(const Clock& clock, QObject* parent) : QObject(parent), clock_(clock) {}

EventLog::~EventLog() { stop(kExitWaitMs); }

void EventLog::startOnDatabase(const QString& connectionString, HistoryOptions options) {
    start([connectionString] { return std::make_unique<StoreSink>(connectionString); }, options);
}

void EventLog::start(std::function<std::unique_ptr<EventSink>()> makeSink, HistoryOptions options) {
    stop();
    if (options.maxHeld < 1) options.maxHeld = 1;
    if (options.batch < 1) options.batch = 1;
    options_ = options;
    thread_ = new WorkerThread;
    thread_->setObjectName(QStringLiteral("history"));
    // The writer is made, run and deleted on its thread; nothing here touches it.
    auto writer = std::make_shared<std::unique_ptr<EventWriter>>();
    thread_->onStart = [this, writer, make = std::move(makeSink)] {
        *writer = std::make_unique<EventWriter>(*this, make);
        (*writer)->begin();
    };
    thread_->onEnd = [writer] {
        (*writer)->end();
        writer->reset();
    };
    thread_->start();
    nextPruneMs_ = 0;
    requestPrune();
    if (!pruneTimer_) {
        pruneTimer_ = new QTimer(this);
        connect(pruneTimer_, &QTimer::timeout, this, &EventLog::requestPrune);
    }
    pruneTimer_->start(3600 * 1000);
}

void EventLog::requestPrune() {
    if (options_.keepDays <= 0) return;
    const qint64 now = clock_.msecs();
    if (now < nextPruneMs_) return;
    nextPruneMs_ = now + kDayMs;
    std::lock_guard lock(mutex_);
    pruneBefore_ = QDateTime::fromMSecsSinceEpoch(now - options_.keepDays * kDayMs);
}

void EventLog::stop(int waitMs) {
    if (pruneTimer_) pruneTimer_->stop();
    if (!thread_) return;
    if (!thread_->stopAndWait(waitMs)) {
        // Stuck in the database: the writer is left to it (the process is on its way out).
        const QString line = QStringLiteral("历史记录: 数据库%1秒内无响应，%2条事件未能写入").arg(waitMs / 1000).arg(held());
        qCWarning(lcHistory).noquote() << line;
        emit logLine(line);
        thread_ = nullptr;
        return;
    }
    delete thread_;
    thread_ = nullptr;
    std::lock_guard lock(mutex_);
    if (!pending_.empty()) qCWarning(lcHistory) << pending_.size() << "history event(s) could not be written before the exit";
}

void EventLog::record(const QString& id, const QString& event, const QString& detail) {
    DtuEvent e{id, event, clock_.now(), detail};
    {
        std::deque<DtuEvent>& mine = recent_[id];
        mine.push_back(e);
        const QDateTime dayAgo = e.at.addMSecs(-kDayMs);
        while (mine.size() > kRecentPerDtu || (!mine.empty() && mine.front().at < dayAgo)) mine.pop_front();
    }
    bool firstDrop = false;
    {
        std::lock_guard lock(mutex_);
        pending_.push_back(std::move(e));
        if (pending_.size() > static_cast<std::size_t>(options_.maxHeld)) {
            pending_.pop_front();
            ++dropped_;
            firstDrop = !dropReported_;
            dropReported_ = true;
        }
    }
    if (firstDrop) {
        const QString line = QStringLiteral("历史事件暂存已满(%1条)，最早的事件被丢弃").arg(options_.maxHeld);
        qCWarning(lcHistory).noquote() << line;
        emit logLine(line);
    }
}

std::vector<DtuEvent> EventLog::recent(const QString& id, const QDateTime& since) const {
    std::vector<DtuEvent> out;
    for (const DtuEvent& e : recent_.value(id))
        if (e.at >= since) out.push_back(e);
    return out;
}

void EventLog::tell(const QString& line) {
    inbox_.post([this, line] { emit logLine(line); });
}

qint64 EventLog::dropped() const { std::lock_guard lock(mutex_); return dropped_; }
int EventLog::held() const { std::lock_guard lock(mutex_); return static_cast<int>(pending_.size()) + inFlight_; }
qint64 EventLog::written() const { std::lock_guard lock(mutex_); return written_; }

} // namespace dtu
