#include "relay/relaythread.h"

#include "engines/link/linkengine.h"
#include "engines/vport/vport.h"

#include <QMetaObject>

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
        ILinkEngine* e = t.call([r] { return &r->link(); });
        // Queued: raised on the relay's thread, handled on ours, in order.
        constexpr auto q = Qt::QueuedConnection;
        connect(e, &ILinkEngine::OnLoginReply, this, &ILinkEngine::OnLoginReply, q);
        connect(e, &ILinkEngine::OnBeatReply, this, &ILinkEngine::OnBeatReply, q);
        connect(e, &ILinkEngine::OnDisconnect, this, &ILinkEngine::OnDisconnect, q);
        connect(e, &ILinkEngine::OnCenterDataX2, this, &ILinkEngine::OnCenterDataX2, q);
        connect(e, &ILinkEngine::engineLog, this, &ILinkEngine::engineLog, q);
        connect(r, &Relay::centerData, this, &ILinkEngine::centerData, q);
        connect(r, &Relay::dataDelivered, this, &ILinkEngine::dataDelivered, q);
        connect(r, &Relay::portDataSent, this, &ILinkEngine::portDataSent, q);
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
    bool deliversToPorts() const override { return true; }

private:
    RelayThread& t_;
};

// A port made on the relay's thread. Its bytes go to its DTUs there; OnRxChar is never
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
        t_.call([r, h] { r->dropPort(h); });
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

RelayThread::RelayThread(LinkFactory link, PortsFactory ports) {
    thread_.setObjectName(QStringLiteral("relay"));
    relay_ = new Relay;
    relay_->moveToThread(&thread_);
    QObject::connect(&thread_, &QThread::finished, relay_, &QObject::deleteLater);
    thread_.start();
    // Made on their thread: their timers and socket notifiers belong to it.
    invoke([&] { relay_->install(link(), ports()); });
    linkProxy_ = std::make_unique<RelayLink>(*this);
    portsProxy_ = std::make_unique<RelayPortEngine>(*this);
}

RelayThread::~RelayThread() {
    linkProxy_.reset();
    portsProxy_.reset();
    invoke([this] { relay_->shutdown(); });
    thread_.quit();
    thread_.wait();
    relay_ = nullptr;
}

ILinkEngine& RelayThread::link() { return *linkProxy_; }
IVPortEngine& RelayThread::portEngine() { return *portsProxy_; }

void RelayThread::invoke(const std::function<void()>& fn) {
    QMetaObject::invokeMethod(relay_, fn, Qt::BlockingQueuedConnection);
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
