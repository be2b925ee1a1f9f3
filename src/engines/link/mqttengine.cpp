#include "engines/link/mqttengine.h"

#include "core/codec.h"
#include "engines/link/mqttclient.h"

#include <QHostAddress>
#include <QHostInfo>
#include <netdb.h>
#include <sys/socket.h>
#include <thread>
#include <QLoggingCategory>
#include <QMetaMethod>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <algorithm>
#ifdef __GLIBC__
#include <malloc.h>
#endif

Q_DECLARE_LOGGING_CATEGORY(lcMqtt)

namespace dtu {

namespace {
constexpr int kBaseRetryMs = 1000;
constexpr int kLookupAgainMs = 5000;      // a failed connection looks the name up again, at most this often
constexpr int kLookupRetryMs = 5000;      // a name that does not resolve: 5 s, 10 s, 20 s ...
constexpr int kLookupRetryMaxMs = 300000; // ... up to 5 minutes
constexpr int kMaxRetryMs = 60000;
constexpr int kQuickDropMs = 5000;   // a drop this soon after login looks like a takeover
constexpr int kStableMs = 30000;     // up this long: the session is ours again
constexpr int kTakeoverDrops = 3;
constexpr int kConnectTimeoutMs = 15000;
constexpr qsizetype kLargePayload = 1 << 20;
const QString kTimeFormat = QStringLiteral("yyyy-MM-dd HH:mm:ss");
} // namespace

MqttLinkEngine::MqttLinkEngine(LinkConfig config, QObject* parent) : ILinkEngine(parent), cfg_(std::move(config)) {
    MqttClient::libraryInit();
    for (const BrokerEndpoint& e : BrokerEndpoints(cfg_.host, cfg_.port)) endpoints_.push_back({e.host, e.port, {}, false});
    if (endpoints_.empty()) endpoints_.push_back({QStringLiteral("127.0.0.1"), cfg_.port, {}, false});
    clock_.start();
    tick_.setInterval(1000);
    connect(&tick_, &QTimer::timeout, this, &MqttLinkEngine::tick);
    tick_.start();
}

MqttLinkEngine::~MqttLinkEngine() {
    for (auto& d : dtus_) {
        delete d->retry;
        d->retry = nullptr;
        delete d->client.data();
    }
    // Sessions waiting for deleteLater leave the shared watcher before it goes.
    qDeleteAll(findChildren<MqttClient*>(QString(), Qt::FindDirectChildrenOnly));
}

int MqttLinkEngine::backoffMs(int attempt, int baseMs, int capMs, double jitter01) {
    const int shift = std::clamp(attempt - 1, 0, 20);
    const qint64 raw = std::min<qint64>(static_cast<qint64>(baseMs) << shift, capMs);
    return static_cast<int>(raw * (0.75 + 0.5 * jitter01));
}

QString MqttLinkEngine::topic(const QString& id, const char* leaf) const {
    return cfg_.topicPrefix + QLatin1Char('/') + id + QLatin1Char('/') + QLatin1String(leaf);
}

MqttLinkEngine::Dtu* MqttLinkEngine::find(const QString& id) {
    auto it = dtus_.find(id);
    return it == dtus_.end() ? nullptr : it->get();
}

void MqttLinkEngine::ClearDtus() {
    const auto ids = order_;
    for (const QString& id : ids) RemoveDtu(id);
}

int MqttLinkEngine::AddDtu(const QString& id, const QString& password) {
    if (Dtu* d = find(id)) {
        d->password = password;
        return 0;
    }
    auto d = std::make_shared<Dtu>();
    d->id = id;
    d->password = password;
    // A cluster's nodes share the DTUs from the start; a lost node's move to the others.
    d->endpoint = static_cast<int>(order_.size() % endpoints_.size());
    d->phase = static_cast<int>(order_.size() % 997);
    dtus_.insert(id, d);
    order_.push_back(id);
    return 0;
}

int MqttLinkEngine::RemoveDtu(const QString& id) {
    if (CloseDtu(id) != 0) return SendNotRegistered;
    Dtu* d = find(id);
    delete d->retry;
    d->retry = nullptr;
    order_.erase(std::remove(order_.begin(), order_.end(), id), order_.end());
    dtus_.remove(id);
    return 0;
}

QString MqttLinkEngine::GetDtuId(int index) {
    if (index < 0 || index >= GetDtuCount()) return {};
    return order_[static_cast<size_t>(index)];
}

int MqttLinkEngine::OpenDtu(const QString& id) {
    Dtu* d = find(id);
    if (!d) return SendNotRegistered;
    d->opened = true;
    if (d->online || d->pendingConnect || d->queued || (d->retry && d->retry->isActive())) return 0;
    static const QRegularExpression bad(QStringLiteral("[#+/\\s]"));
    if (id.contains(bad) || id.isEmpty()) {
        emit engineLog(QStringLiteral("DTU %1 的ID含有MQTT主题不允许的字符，无法上线").arg(id));
        return -1;
    }
    d->queued = true;
    connectQueue_.push_back(id);
    pump();
    return 0;
}

int MqttLinkEngine::CloseDtu(const QString& id) {
    Dtu* d = find(id);
    if (!d) return SendNotRegistered;
    d->opened = false;
    dropSession(*d, true);
    d->resend.clear(); // closed by the operator: nothing is owed to the field any more
    return 0;
}

bool MqttLinkEngine::IsOnline(const QString& id) {
    const Dtu* d = find(id);
    return d && d->online;
}

DtuInfo MqttLinkEngine::GetDtuInfo(const QString& id) {
    DtuInfo info;
    if (const Dtu* d = find(id)) {
        if (d->loginTime.isValid()) info.loginTime = d->loginTime.toString(kTimeFormat);
        if (d->updateMs) info.updateTime = QDateTime::fromMSecsSinceEpoch(d->updateMs).toString(kTimeFormat);
        info.sent = d->sent;
        info.received = d->received;
        info.acknowledged = d->acknowledged;
        info.dropped = d->dropped;
        info.loginMs = d->loginTime.isValid() ? d->loginTime.toMSecsSinceEpoch() : 0;
        info.updateMs = d->updateMs;
    }
    return info;
}

int MqttLinkEngine::SendData(const QString& id, const QByteArray& data) {
    Dtu* d = find(id);
    if (!d) return SendNotRegistered;
    if (!d->online || !d->client || !d->client->isConnected()) return SendNotOnline;
    if (static_cast<int>(d->inFlight.size()) >= cfg_.maxQueued) return SendQueueFull; // the link is not draining
    const int mid = d->client->publish(topic(id, "down"), data, 1);
    if (mid < 0) {
        if (!d->client->isConnected()) return SendNotOnline;
        if (-mid != d->lastPublishError) // once per kind of failure, not once per packet
            emit engineLog(QStringLiteral("发送到DTU %1 失败 (%2 字节): %3").arg(id).arg(data.size()).arg(MqttClient::errorText(-mid)));
        d->lastPublishError = -mid;
        return SendFailed;
    }
    d->lastPublishError = 0;
    d->inFlight.push_back({mid, data});
    ++d->sent;
    return mid;
}

QString MqttLinkEngine::GetVersion() {
    return QStringLiteral("VDTUX MQTT link engine 1.0 (MQTT 3.1.1, libmosquitto %1) %2:%3")
        .arg(MqttClient::libraryVersion(), cfg_.host)
        .arg(cfg_.port);
}

void MqttLinkEngine::trimAfterLargePacket() {
    // A packet of megabytes passes through several copies (payload, hex text, bytes);
    // once they are freed, hand the memory back, or months of rare big packets would
    // leave the heap at its high-water mark.
    if (trimScheduled_) return;
    trimScheduled_ = true;
    QTimer::singleShot(0, this, [this] {
        trimScheduled_ = false;
#ifdef __GLIBC__
        ::malloc_trim(0);
#endif
    });
}

bool MqttLinkEngine::brokerAddressReady() {
    for (int i = 0; i < static_cast<int>(endpoints_.size()); ++i) resolve(i);
    return usableEndpoint(0) >= 0;
}

void MqttLinkEngine::resolve(int i) {
    Endpoint& e = endpoints_[static_cast<std::size_t>(i)];
    if (!e.address.isEmpty() || e.resolving) return;
    // Looked up off this thread even for TLS, whose certificate is checked against the name.
    if (!QHostAddress(e.host).isNull()) {
        e.address = e.host;
        return;
    }
    lookUp(i);
}

void MqttLinkEngine::resolveAgain(int i) {
    Endpoint& e = endpoints_[static_cast<std::size_t>(i)];
    if (!QHostAddress(e.host).isNull() || e.resolving || e.fresh || e.address.isEmpty()) return;
    // Thousands of sessions fail together when a broker moves: one look-up serves them all.
    if (e.lastLookup.isValid() && e.lastLookup.elapsed() < kLookupAgainMs) return;
    e.lastLookup.start();
    e.fresh = std::make_shared<Endpoint::Fresh>();
    std::thread([fresh = e.fresh, name = e.host.toStdString()] {
        addrinfo hints{};
        hints.ai_family = AF_UNSPEC;
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* found = nullptr;
        const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &found);
        QString address, error;
        if (rc != 0) {
            error = QString::fromLocal8Bit(::gai_strerror(rc));
        } else {
            for (const addrinfo* a = found; a; a = a->ai_next) {
                const QHostAddress h(a->ai_addr);
                if (address.isEmpty() || h.protocol() == QAbstractSocket::IPv4Protocol) address = h.toString();
                if (h.protocol() == QAbstractSocket::IPv4Protocol) break;
            }
            ::freeaddrinfo(found);
        }
        std::lock_guard lock(fresh->mutex);
        fresh->address = address;
        fresh->error = error;
        fresh->done = true;
    }).detach();
}

void MqttLinkEngine::takeFreshAddresses() {
    for (Endpoint& e : endpoints_) {
        if (!e.fresh) continue;
        QString address, error;
        {
            std::lock_guard lock(e.fresh->mutex);
            if (!e.fresh->done) continue;
            address = e.fresh->address;
            error = e.fresh->error;
        }
        e.fresh.reset();
        if (address.isEmpty()) { // the address we had is kept: the name server may be the one away
            qCInfo(lcMqtt).noquote() << "broker name" << e.host << "does not resolve again:" << error;
            continue;
        }
        if (address != e.address) {
            emit engineLog(QStringLiteral("中心地址 %1 已从 %2 变为 %3").arg(e.host, e.address, address));
            e.address = address;
        }
    }
}

void MqttLinkEngine::lookUp(int i) {
    Endpoint& e = endpoints_[static_cast<std::size_t>(i)];
    e.resolving = true;
    QHostInfo::lookupHost(e.host, this, [this, i](const QHostInfo& info) {
        Endpoint& e = endpoints_[static_cast<std::size_t>(i)];
        e.resolving = false;
        const auto addresses = info.addresses();
        if (info.error() != QHostInfo::NoError || addresses.isEmpty()) {
            ++e.lookupFailures;
            const int delay = std::min(kLookupRetryMs << std::min(e.lookupFailures - 1, 10), kLookupRetryMaxMs);
            // A name that never resolves is told at the 1st, 2nd, 4th, 8th ... failure, not every time.
            if ((e.lookupFailures & (e.lookupFailures - 1)) == 0) {
                qCWarning(lcMqtt).noquote() << "broker name" << e.host << "does not resolve:" << info.errorString();
                emit engineLog(QStringLiteral("无法解析中心地址 %1: %2 (第%3次)，%4秒后重试")
                                   .arg(e.host, info.errorString())
                                   .arg(e.lookupFailures)
                                   .arg(delay / 1000));
            }
            QTimer::singleShot(delay, this, [this, i] {
                resolve(i);
                pump();
            });
            return;
        }
        QHostAddress pick = addresses.first();
        for (const QHostAddress& a : addresses)
            if (a.protocol() == QAbstractSocket::IPv4Protocol) {
                pick = a;
                break;
            }
        e.address = pick.toString();
        if (e.lookupFailures > 0) emit engineLog(QStringLiteral("中心地址 %1 已解析为 %2").arg(e.host, e.address));
        e.lookupFailures = 0;
        qCInfo(lcMqtt).noquote() << "broker" << e.host << "is" << e.address;
        pump();
    });
}

QString MqttLinkEngine::brokerOf(const QString& id) const {
    const auto it = dtus_.constFind(id);
    if (it == dtus_.constEnd() || !(*it)->online) return {};
    const Endpoint& e = endpoints_[static_cast<std::size_t>((*it)->endpoint)];
    return e.host + QLatin1Char(':') + QString::number(e.port);
}

int MqttLinkEngine::usableEndpoint(int from) const {
    const int n = static_cast<int>(endpoints_.size());
    for (int k = 0; k < n; ++k) {
        const int i = (from + k) % n;
        if (!endpoints_[static_cast<std::size_t>(i)].address.isEmpty()) return i;
    }
    return -1;
}

void MqttLinkEngine::moveOn(Dtu& d) {
    if (endpoints_.size() < 2) return;
    d.endpoint = (d.endpoint + 1) % static_cast<int>(endpoints_.size());
    const Endpoint& e = endpoints_[static_cast<std::size_t>(d.endpoint)];
    qCInfo(lcMqtt).noquote() << d.id << "tries the next broker," << e.host + QLatin1Char(':') + QString::number(e.port);
}

void MqttLinkEngine::pump() {
    if (connectQueue_.empty() || !brokerAddressReady()) return;
    while (pending_ < cfg_.maxPending && !connectQueue_.empty()) {
        const QString id = connectQueue_.front();
        connectQueue_.pop_front();
        Dtu* d = find(id);
        if (!d || !d->queued) continue;
        d->queued = false;
        if (d->opened) startConnect(*d);
    }
}

void MqttLinkEngine::startConnect(Dtu& d) {
    if (d.client) { // a stale session from an earlier attempt
        d.client->disconnect(this);
        d.client->deleteLater();
        d.client = nullptr;
    }
    const int use = usableEndpoint(d.endpoint);
    if (use < 0) { // every name failed to resolve so far: wait for a lookup
        scheduleRetry(d);
        return;
    }
    d.endpoint = use;
    const Endpoint& endpoint = endpoints_[static_cast<std::size_t>(use)];
    MqttOptions o;
    if (watcher_.isValid()) o.watcher = &watcher_;
    o.host = endpoint.address;
    o.port = endpoint.port;
    o.clientId = cfg_.clientPrefix + d.id;
    o.username = d.id;
    o.password = d.password;
    o.keepAlive = cfg_.keepAlive;
    o.willTopic = topic(d.id, "console");
    o.willPayload = "offline";
    o.caFile = cfg_.caFile;
    o.certFile = cfg_.certFile;
    o.keyFile = cfg_.keyFile;
    if (!o.caFile.isEmpty() && QHostAddress(endpoint.host).isNull()) o.tlsName = endpoint.host;
    auto* c = new MqttClient(o, this);
    d.client = c;
    const QString id = d.id;
    connect(c, &MqttClient::connected, this, [this, id](int rc) { onConnected(id, rc); });
    connect(c, &MqttClient::disconnected, this, [this, id](int rc) { onDisconnected(id, rc); });
    connect(c, &MqttClient::messageReceived, this,
            [this, id](const QString& t, const QByteArray& p, bool retained) { onMessage(id, t, p, retained); });
    connect(c, &MqttClient::published, this, [this, id](int mid) { onPublished(id, mid); });
    if (!c->connectToBroker()) {
        qCDebug(lcMqtt).noquote() << "login of" << d.id << "could not start:" << c->errorString();
        if (!centerDown(d, c->errorString()) && d.attempt == 0 && !c->errorString().isEmpty() && !centerDown_)
            emit engineLog(QStringLiteral("DTU %1 连接中心 %2:%3 失败: %4").arg(d.id, endpoint.host).arg(endpoint.port).arg(c->errorString()));
        moveOn(d);
        scheduleRetry(d);
        return;
    }
    d.pendingConnect = true;
    d.upSince.start(); // doubles as the connect timer until login
    ++pending_;
}

bool MqttLinkEngine::goOffline(Dtu& d) {
    // Their acknowledgements will not come on a new session: they are sent again on it.
    for (Dtu::Unacked& u : d.inFlight) d.resend.push_back(std::move(u.data));
    d.inFlight.clear();
    if (const qint64 over = static_cast<qint64>(d.resend.size()) - cfg_.maxQueued; over > 0) {
        d.resend.erase(d.resend.begin(), d.resend.begin() + over);
        d.dropped += over;
        emit engineLog(QStringLiteral("DTU %1 的会话中断时有超过%2个未确认的数据包，最早的%3个被丢弃")
                           .arg(d.id)
                           .arg(cfg_.maxQueued)
                           .arg(over));
    }
    d.beatMid = -1;
    if (!d.online) return false;
    d.online = false;
    --online_;
    return true;
}

bool MqttLinkEngine::centerDown(const Dtu& d, const QString& cause) {
    if (centerDown_ || online_ > 0) return false;
    centerDown_ = true;
    downSince_.start();
    const Endpoint& e = endpoints_[static_cast<std::size_t>(d.endpoint)];
    emit engineLog(QStringLiteral("与中心 %1:%2 的连接中断，所有DTU离线: %3").arg(e.host).arg(e.port).arg(cause));
    return true;
}

void MqttLinkEngine::leavePending(Dtu& d) {
    if (!d.pendingConnect) return;
    d.pendingConnect = false;
    --pending_;
}

void MqttLinkEngine::scheduleRetry(Dtu& d) {
    if (!d.opened) return;
    ++d.attempt;
    const int delay = d.quickDrops >= kTakeoverDrops
                          ? kMaxRetryMs
                          : backoffMs(d.attempt, kBaseRetryMs, kMaxRetryMs, QRandomGenerator::global()->generateDouble());
    if (!d.retry) {
        d.retry = new QTimer(this);
        d.retry->setSingleShot(true);
        const QString id = d.id;
        connect(d.retry, &QTimer::timeout, this, [this, id] {
            Dtu* x = find(id);
            if (!x || !x->opened || x->online || x->pendingConnect || x->queued) return;
            x->queued = true;
            connectQueue_.push_back(id);
            pump();
        });
    }
    d.retry->start(delay);
}

void MqttLinkEngine::dropSession(Dtu& d, bool graceful) {
    if (d.retry) d.retry->stop();
    d.queued = false;
    leavePending(d);
    goOffline(d);
    MqttClient* c = d.client.data();
    d.client = nullptr;
    if (!c) return;
    c->disconnect(this);
    if (graceful && c->isConnected()) {
        // A clean disconnect fires no will: say offline ourselves first.
        c->publish(topic(d.id, "console"), "offline", 1, true);
        c->disconnectFromBroker();
        connect(c, &MqttClient::disconnected, c, &QObject::deleteLater);
        QTimer::singleShot(3000, c, &QObject::deleteLater);
    } else {
        c->deleteLater();
    }
    pump();
}

void MqttLinkEngine::onConnected(const QString& id, int rc) {
    Dtu* d = find(id);
    if (!d) return;
    leavePending(*d);
    if (rc == 0) {
        if (centerDown_) {
            centerDown_ = false;
            const Endpoint& e = endpoints_[static_cast<std::size_t>(d->endpoint)];
            emit engineLog(QStringLiteral("与中心 %1:%2 的连接已恢复 (中断%3秒)，DTU陆续重新登录")
                               .arg(e.host)
                               .arg(e.port)
                               .arg(downSince_.elapsed() / 1000));
        }
        if (!d->online) ++online_;
        d->online = true;
        d->loginTime = QDateTime::currentDateTime();
        d->upSince.start();
        d->attempt = 0;
        d->nextBeatMs = clock_.elapsed() + cfg_.beatInterval * 1000LL;
        d->client->subscribe(topic(id, "up"), 1);
        d->client->subscribe(topic(id, "beat"), 1);
        d->client->publish(topic(id, "console"), "online", 1, true);
        resendUnacknowledged(*d);
        qCDebug(lcMqtt).noquote() << id << "logged in";
        emit OnLoginReply(id, 0);
    } else {
        qCWarning(lcMqtt).noquote() << id << "login refused, CONNACK" << rc;
        if (d->attempt <= 1)
            emit engineLog(QStringLiteral("DTU %1 登录被拒绝 (代码 %2%3)")
                               .arg(id)
                               .arg(rc)
                               .arg(rc == 4 ? QStringLiteral(": 用户名或密码错误") : rc == 5 ? QStringLiteral(": 未授权") : QString()));
        emit OnLoginReply(id, -rc);
    }
    pump();
}

void MqttLinkEngine::onDisconnected(const QString& id, int rc) {
    Dtu* d = find(id);
    if (!d) return;
    leavePending(*d);
    const bool wasOnline = goOffline(*d);
    if (wasOnline) {
        if (d->upSince.elapsed() < kQuickDropMs) ++d->quickDrops;
        else d->quickDrops = 0;
        qCDebug(lcMqtt).noquote() << id << "connection lost, code" << rc;
        emit OnDisconnect(id);
    }
    if (rc != 0) {
        // A session lost is no verdict (another console may have taken it over); an attempt
        // that fails while none is online is.
        if (!wasOnline) centerDown(*d, MqttClient::errorText(rc));
        resolveAgain(d->endpoint); // the name may point elsewhere by now
        moveOn(*d);                // lost, refused or never reached: the next broker of the list
    }
    if (d->quickDrops >= kTakeoverDrops && !d->takeoverReported) {
        d->takeoverReported = true;
        emit engineLog(QStringLiteral("DTU %1 登录后反复被断开: 可能另一控制台正使用同一ID，改为每%2秒重试")
                           .arg(id)
                           .arg(kMaxRetryMs / 1000));
    }
    if (d->opened) scheduleRetry(*d);
    pump();
}

void MqttLinkEngine::onMessage(const QString& id, const QString& t, const QByteArray& payload, bool retained) {
    Dtu* d = find(id);
    if (!d) return;
    if (retained) {
        // The broker's memory of an old packet, replayed at every login: not the field speaking.
        if (!d->retainedReported)
            emit engineLog(QStringLiteral("DTU %1 的主题 %2 上有保留消息 (%3 字节)，不是现场数据，不转发").arg(id, t).arg(payload.size()));
        d->retainedReported = true;
        return;
    }
    d->updateMs = QDateTime::currentMSecsSinceEpoch(); // turned into text only when asked
    if (payload.size() >= kLargePayload) trimAfterLargePacket();
    if (t.endsWith(QLatin1String("/up"))) {
        ++d->received;
        emit centerData(id, payload);
        static const QMetaMethod textForm = QMetaMethod::fromSignal(&ILinkEngine::centerDataHex);
        if (isSignalConnected(textForm)) emit centerDataHex(id, static_cast<int>(payload.size()), HexText(payload));
    } else if (t.endsWith(QLatin1String("/beat"))) {
        emit centerHeartbeat(id, static_cast<int>(payload.size()), HexText(payload));
    }
}

void MqttLinkEngine::onPublished(const QString& id, int mid) {
    Dtu* d = find(id);
    if (!d) return;
    if (mid == d->beatMid) {
        d->beatMid = -1;
        emit OnBeatReply(id, 100);
        return;
    }
    // Acknowledgements come in the order sent: the front, nearly always.
    const auto it = std::find_if(d->inFlight.begin(), d->inFlight.end(), [mid](const Dtu::Unacked& u) { return u.mid == mid; });
    if (it == d->inFlight.end()) return;
    d->inFlight.erase(it);
    ++d->acknowledged;
}

void MqttLinkEngine::resendUnacknowledged(Dtu& d) {
    if (d.resend.empty()) return;
    const std::size_t owed = d.resend.size();
    while (!d.resend.empty()) {
        const int mid = d.client->publish(topic(d.id, "down"), d.resend.front(), 1);
        if (mid < 0) break; // kept for the next session
        d.inFlight.push_back({mid, std::move(d.resend.front())});
        d.resend.pop_front();
    }
    // A broker going away may leave thousands of DTUs owing: no line each, /metrics counts.
    qCDebug(lcMqtt).noquote() << d.id << "sent again" << owed - d.resend.size() << "unacknowledged packet(s)";
}

void MqttLinkEngine::tick() {
    const qint64 now = clock_.elapsed();
    ++ticks_;
    takeFreshAddresses();
    // libmosquitto's keep-alive work needs a look a few times per keep-alive period, not
    // every second for every session: a quarter of the period, the sessions spread over it.
    const int every = std::max(1, cfg_.keepAlive / 4);
    const auto dtus = dtus_.values(); // a handler may add or remove DTUs meanwhile
    for (const std::shared_ptr<Dtu>& p : dtus) {
        Dtu* d = p.get();
        if (!d->client) continue;
        if (d->pendingConnect || (ticks_ + d->phase) % every == 0) {
            d->client->misc();
            if (!d->client) continue;
        }
        if (d->pendingConnect && d->upSince.elapsed() > kConnectTimeoutMs) {
            if (!centerDown(*d, QStringLiteral("%1秒内没有应答").arg(kConnectTimeoutMs / 1000)) && !centerDown_)
                qCWarning(lcMqtt).noquote() << d->id << "login timed out";
            dropSession(*d, false);
            moveOn(*d);
            scheduleRetry(*d);
            continue;
        }
        if (d->online) {
            if ((d->quickDrops || d->takeoverReported) && d->upSince.elapsed() > kStableMs) {
                d->quickDrops = 0;
                d->takeoverReported = false;
            }
            if (now >= d->nextBeatMs) {
                d->nextBeatMs = now + cfg_.beatInterval * 1000LL;
                if (d->beatMid < 0) d->beatMid = d->client->publish(topic(d->id, "vbeat"), QByteArray(), 1);
            }
        }
    }
}

} // namespace dtu
