#include "relay/relaythread.h"

#include "core/errors.h"
#include "core/inbox.h"
#include "engines/link/linkengine.h"
#include "engines/vport/vport.h"

#include <QAbstractEventDispatcher>
#include <QElapsedTimer>
#include <QThread>
#include <QTimer>
#include <future>

namespace dtu {

namespace {

// The link engine as the console sees it.
class RelayLink : public ILinkEngine {
    template <class F>
    auto on(F&& fn) {
        Relay* r = &t_.relay();
        return t_.call([&] { return fn(r->link()); });
    }

public:
    RelayLink(RelayThread& t) : t_(t) {
        Relay* r = &t.relay();
        // Raised on the relay's thread, handled on ours, in order.
        const auto d = Qt::DirectConnection;
        connect(r, &Relay::loginReply, r, [this](const QString& id, int v) { t_.toConsole([=, this] { emit OnLoginReply(id, v); }); }, d);
        connect(r, &Relay::beatReply, r, [this](const QString& id, int v) { t_.toConsole([=, this] { emit OnBeatReply(id, v); }); }, d);
        connect(r, &Relay::disconnected, r, [this](const QString& id) { t_.toConsole([=, this] { emit OnDisconnect(id); }); }, d);
        connect(r, &Relay::centerBeat, r, [this](const QString& id, int n, const QString& b) {
            t_.toConsole([=, this] { emit centerHeartbeat(id, n, b); });
        }, d);
        connect(r, &Relay::engineLog, r, [this](const QString& line) { t_.toConsole([=, this] { emit engineLog(line); }); }, d);
        connect(r, &Relay::centerData, r, [this](const QString& id, const QByteArray& b) {
            t_.toConsole([=, this] { emit centerData(id, b); });
        }, d);
        connect(r, &Relay::dataDelivered, r, [this](const QString& id, const QByteArray& b) {
            t_.toConsole([=, this] { emit dataDelivered(id, b); });
        }, d);
        connect(r, &Relay::portDataSent, r, [this](const QString& id, const QByteArray& b, int v) {
            t_.toConsole([=, this] { emit portDataSent(id, b, v); });
        }, d);
    }
    ~RelayLink() override {
        Relay* r = &t_.relay();
        try {
            t_.call([r] { QObject::disconnect(r, nullptr, r, nullptr); });
        } catch (const std::exception&) {
        }
    }
    void Prepare() override { on([](ILinkEngine& e) { e.Prepare(); }); }
    void SetSendMode(int mode) override { on([mode](ILinkEngine& e) { e.SetSendMode(mode); }); }
    void ClearDtus() override { on([](ILinkEngine& e) { e.ClearDtus(); }); }
    int AddDtu(const QString& id, const QString& pw) override { return on([&](ILinkEngine& e) { return e.AddDtu(id, pw); }); }
    int RemoveDtu(const QString& id) override { return on([&](ILinkEngine& e) { return e.RemoveDtu(id); }); }
    int OpenDtu(const QString& id) override { return on([&](ILinkEngine& e) { return e.OpenDtu(id); }); }
    int CloseDtu(const QString& id) override { return on([&](ILinkEngine& e) { return e.CloseDtu(id); }); }
    int GetDtuCount() override { return on([](ILinkEngine& e) { return e.GetDtuCount(); }); }
    QString GetDtuId(int i) override { return on([i](ILinkEngine& e) { return e.GetDtuId(i); }); }
    bool IsOnline(const QString& id) override { return on([&](ILinkEngine& e) { return e.IsOnline(id); }); }
    DtuInfo GetDtuInfo(const QString& id) override { return on([&](ILinkEngine& e) { return e.GetDtuInfo(id); }); }
    int SendData(const QString& id, const QByteArray& d) override { return on([&](ILinkEngine& e) { return e.SendData(id, d); }); }
    QString GetVersion() override { return on([](ILinkEngine& e) { return e.GetVersion(); }); }
    QStringList GetDtuIds() override { return on([](ILinkEngine& e) { return e.GetDtuIds(); }); }
    void AddDtus(const QList<QPair<QString, QString>>& list) override { on([&](ILinkEngine& e) { e.AddDtus(list); }); }
    void OpenDtus(const QStringList& ids) override { on([&](ILinkEngine& e) { e.OpenDtus(ids); }); }
    std::vector<DtuState> GetDtuStates(const QStringList& ids) override {
        return on([&](ILinkEngine& e) { return e.GetDtuStates(ids); });
    }
    bool deliversToPorts() const override { return true; }

private:
    RelayThread& t_;
};

// A port made on the relay's thread. Its bytes go to its DTUs there; portReadable is never
// raised here.
class RelayPort : public IVPort {
    template <class F>
    auto on(F&& fn) const {
        Relay* r = &t_.relay();
        const int h = handle_;
        return t_.call([&] {
            IVPort* p = r->port(h);
            if (!p) throw std::runtime_error("port instance is gone");
            return fn(*p);
        });
    }

public:
    RelayPort(RelayThread& t, int handle) : t_(t), handle_(handle) {}
    ~RelayPort() override {
        Relay* r = &t_.relay();
        const int h = handle_;
        try {
            t_.call([r, h] { r->dropPort(h); });
        } catch (const std::exception&) { // the relay has stopped: its ports went with it
        }
    }
    int handle() const { return handle_; }
    bool CreatePort(const QString& name) override { return on([&](IVPort& p) { return p.CreatePort(name); }); }
    bool DeletePort() override { return on([](IVPort& p) { return p.DeletePort(); }); }
    int WriteData(const QByteArray& data) override { return on([&](IVPort& p) { return p.WriteData(data); }); }
    int ReadData(QByteArray& buf, int count) override { return on([&](IVPort& p) { return p.ReadData(buf, count); }); }
    bool ResetBus() override { return on([](IVPort& p) { return p.ResetBus(); }); }
    QString lastError() const override { return on([](IVPort& p) { return p.lastError(); }); }
    qint64 droppedBytes() const override { return on([](IVPort& p) { return p.droppedBytes(); }); }

private:
    RelayThread& t_;
    int handle_;
};

class RelayPortEngine : public IVPortEngine {
    template <class F>
    auto on(F&& fn) {
        Relay* r = &t_.relay();
        return t_.call([&] { return fn(r->portEngine()); });
    }

public:
    explicit RelayPortEngine(RelayThread& t) : t_(t) {}
    std::unique_ptr<IVPort> makePort() override {
        Relay* r = &t_.relay();
        return std::make_unique<RelayPort>(t_, t_.call([r] { return r->makePort(); }));
    }
    QStringList systemPorts() override { return on([](IVPortEngine& e) { return e.systemPorts(); }); }
    void rescan() override { on([](IVPortEngine& e) { e.rescan(); }); }
    bool occupied(const QString& name) override { return on([&](IVPortEngine& e) { return e.occupied(name); }); }
    QString folderProblem() override { return on([](IVPortEngine& e) { return e.folderProblem(); }); }

private:
    RelayThread& t_;
};

} // namespace

constexpr qint64 kHandOverUs = 1000; // under a flood the console's thread is woken at most once in this long

// The relay's thread: its inbox and the relay are made, and at the end deleted, on it.
class RelayThread::Runner : public QThread {
public:
    Runner(RelayThread& owner, LinkFactory link, PortsFactory ports)
        : owner_(owner), link_(std::move(link)), ports_(std::move(ports)) {}
    std::promise<void> ready;

protected:
    void run() override {
        try {
            auto inbox = std::make_unique<Inbox>();
            auto relay = std::make_unique<Relay>();
            // Each event would cost the console's thread a wake-up (syscalls and a context
            // switch each side): a pass's events go over together when the loop is about to
            // wait, and under a flood at most once a millisecond.
            QTimer later;
            later.setSingleShot(true);
            later.setTimerType(Qt::PreciseTimer);
            QElapsedTimer sinceLast;
            sinceLast.start();
            auto handOver = [this, &sinceLast] {
                owner_.consoleInbox_->post(owner_.outgoing_);
                sinceLast.restart();
            };
            QObject::connect(&later, &QTimer::timeout, inbox.get(), handOver);
            QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, inbox.get(),
                             [this, &later, &sinceLast, handOver] {
                                 if (owner_.outgoing_.empty() || later.isActive()) return;
                                 const qint64 waitedUs = sinceLast.nsecsElapsed() / 1000;
                                 if (waitedUs >= kHandOverUs) handOver();
                                 else later.start(1);
                             });
            relay->install(link_(), ports_());
            owner_.relayInbox_ = inbox.get();
            owner_.relay_ = relay.get();
            ready.set_value();
            exec();
            relay.reset();
            inbox.reset();
        } catch (...) {
            ready.set_exception(std::current_exception());
        }
    }

private:
    RelayThread& owner_;
    LinkFactory link_;
    PortsFactory ports_;
};

RelayThread::RelayThread(LinkFactory link, PortsFactory ports)
    : consoleInbox_(std::make_unique<Inbox>()), thread_(std::make_unique<Runner>(*this, std::move(link), std::move(ports))) {
    thread_->setObjectName(QStringLiteral("relay"));
    auto ready = thread_->ready.get_future();
    thread_->start();
    ready.get(); // what the factories threw, thrown here
    linkProxy_ = std::make_unique<RelayLink>(*this);
    portsProxy_ = std::make_unique<RelayPortEngine>(*this);
}

RelayThread::~RelayThread() {
    linkProxy_.reset();
    portsProxy_.reset();
    // Ports and sessions closed on their thread; then the loop ends and the thread with it.
    try {
        invoke([this] {
            relay_->shutdown();
            thread_->quit();
        });
    } catch (const std::exception&) {
    }
    {
        std::lock_guard lock(stopMutex_);
        stopped_ = true;
    }
    thread_->wait();
    relay_ = nullptr;
    relayInbox_ = nullptr;
}

bool RelayThread::onRelayThread() const { return QThread::currentThread() == thread_.get(); }
QThread* RelayThread::thread() const { return thread_.get(); }

void RelayThread::toConsole(std::function<void()> fn) {
    outgoing_.push_back(std::move(fn));
    // A loop that never waits (a flood) still hands over in batches of a bounded size.
    if (outgoing_.size() >= 256) consoleInbox_->post(outgoing_);
}

ILinkEngine& RelayThread::link() { return *linkProxy_; }
IVPortEngine& RelayThread::portEngine() { return *portsProxy_; }

void RelayThread::invoke(const std::function<void()>& fn) {
    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    {
        std::lock_guard lock(stopMutex_);
        if (stopped_) throw Failure(QStringLiteral("relay stopped"));
        relayInbox_->post([&] {
            fn();
            std::lock_guard l(m);
            done = true;
            cv.notify_one();
        });
    }
    std::unique_lock lock(m);
    cv.wait(lock, [&] { return done; });
}

void RelayThread::setRoutes(const PortRoutes& routes) {
    QHash<QString, int> in;
    QHash<int, QStringList> out;
    for (auto it = routes.inbound.cbegin(); it != routes.inbound.cend(); ++it)
        if (auto* p = dynamic_cast<RelayPort*>(it.value())) in.insert(it.key(), p->handle());
    for (auto it = routes.outbound.cbegin(); it != routes.outbound.cend(); ++it)
        if (auto* p = dynamic_cast<RelayPort*>(it.key())) out.insert(p->handle(), it.value());
    call([this, &in, &out] { relay_->setRoutes(std::move(in), std::move(out)); });
}

void RelayThread::setReplyMatchers(std::vector<ReplyMatcher> matchers) {
    call([this, &matchers] { relay_->setReplyMatchers(std::move(matchers)); });
}

} // namespace dtu
