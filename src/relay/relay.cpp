#include "relay/relay.h"

#include "engines/link/linkengine.h"
#include "engines/vport/vport.h"

#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcRelay, "dtu.relay", QtInfoMsg)

namespace dtu {

Relay::Relay() = default;

Relay::~Relay() { shutdown(); }

void Relay::install(std::unique_ptr<ILinkEngine> link, std::unique_ptr<IVPortEngine> ports) {
    portEngine_ = std::move(ports);
    link_ = std::move(link);
    ILinkEngine* e = link_.get();
    connect(e, &ILinkEngine::centerData, this, &Relay::onCenterData);
    // The engine's events leave through the relay's own signals, beside its data events.
    connect(e, &ILinkEngine::OnLoginReply, this, &Relay::loginReply);
    connect(e, &ILinkEngine::OnBeatReply, this, &Relay::beatReply);
    connect(e, &ILinkEngine::OnDisconnect, this, &Relay::disconnected);
    connect(e, &ILinkEngine::centerHeartbeat, this, &Relay::centerBeat);
    connect(e, &ILinkEngine::engineLog, this, &Relay::engineLog);
}

void Relay::shutdown() {
    // Ports before their engine; the sessions' destructor writes what is still queued.
    qDeleteAll(ports_);
    ports_.clear();
    link_.reset();
    portEngine_.reset();
}

int Relay::makePort() {
    const int handle = nextHandle_++;
    IVPort* p = portEngine_->makePort().release();
    ports_.insert(handle, p);
    connect(p, &IVPort::portReadable, this, [this, handle](int count) { onPortReadable(handle, count); });
    return handle;
}

IVPort* Relay::port(int handle) const { return ports_.value(handle); }

void Relay::dropPort(int handle) { delete ports_.take(handle); }

void Relay::setRoutes(QHash<QString, int> inbound, QHash<int, QStringList> outbound) {
    inbound_ = std::move(inbound);
    outbound_ = std::move(outbound);
}

bool Relay::isReply(const QByteArray& bytes) const {
    for (const ReplyMatcher& m : matchers_)
        if (m(bytes)) return true;
    return false;
}

void Relay::onCenterData(const QString& id, const QByteArray& bytes) {
    if (id.isEmpty() || bytes.isEmpty()) return;
    if (isReply(bytes)) {
        emit centerData(id, bytes);
        return;
    }
    if (IVPort* p = ports_.value(inbound_.value(id, -1))) {
        try {
            p->WriteData(bytes);
        } catch (const std::exception& e) {
            qCDebug(lcRelay) << "port write failed for" << id << e.what();
        }
    }
    emit dataDelivered(id, bytes);
}

void Relay::onPortReadable(int handle, int count) {
    IVPort* p = ports_.value(handle);
    if (!p || count == 0) return;
    QByteArray buf;
    try {
        if (p->ReadData(buf, count) == 0) return;
    } catch (const std::exception& e) {
        qCDebug(lcRelay) << "port read failed:" << e.what();
        return;
    }
    const auto it = outbound_.constFind(handle);
    if (it == outbound_.cend()) return;
    for (const QString& id : *it) {
        int result = SendNotOnline;
        try {
            if (!link_->IsOnline(id)) continue; // as a send to an offline DTU: nothing counted
            result = link_->SendData(id, buf);
        } catch (const std::exception& e) {
            qCDebug(lcRelay) << "send from port failed for" << id << e.what();
            result = SendFailed;
        }
        emit portDataSent(id, buf, result);
    }
}

} // namespace dtu
