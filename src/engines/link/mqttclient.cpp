#include "engines/link/mqttclient.h"

#include <QLoggingCategory>
#include <QMetaObject>
#include <QPointer>
#include <QSocketNotifier>
#include "engines/link/socketwatcher.h"
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mosquitto.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcMqtt, "dtu.mqtt", QtInfoMsg)

namespace dtu {

namespace {
QByteArray utf8(const QString& s) { return s.toUtf8(); }

// Set only on this thread and only while mosquitto_new runs.
thread_local bool t_refuseSocketPair = false;
} // namespace

} // namespace dtu

// libmosquitto opens a socket pair in mosquitto_new and, with an external loop like ours,
// writes a wake-up byte into it for every outgoing packet and never reads it back: a busy
// session pins kernel memory. It treats a failed socketpair() as "no wake-ups" and works
// on. This definition is the one the dynamic linker hands libmosquitto, so the pair is
// refused exactly for the mosquitto_new on this thread and for nobody else.
extern "C" int socketpair(int domain, int type, int protocol, int sv[2]) __THROW {
    if (dtu::t_refuseSocketPair && domain == AF_UNIX) {
        errno = EMFILE;
        return -1;
    }
    return static_cast<int>(::syscall(SYS_socketpair, domain, type, protocol, sv));
}

namespace dtu {

void MqttClient::libraryInit() {
    static const bool once = [] {
        mosquitto_lib_init();
        return true;
    }();
    (void)once;
}

QString MqttClient::libraryVersion() {
    int major = 0, minor = 0, rev = 0;
    mosquitto_lib_version(&major, &minor, &rev);
    return QStringLiteral("%1.%2.%3").arg(major).arg(minor).arg(rev);
}

QString MqttClient::errorText(int rc) {
    return rc == MOSQ_ERR_ERRNO ? QString::fromLocal8Bit(std::strerror(errno)) : QString::fromUtf8(mosquitto_strerror(rc));
}

MqttClient::MqttClient(MqttOptions options, QObject* parent) : QObject(parent), opts_(std::move(options)) {
    libraryInit();
    t_refuseSocketPair = true;
    // An empty id is refused, and libmosquitto then closes descriptor 0 on its way out:
    // no id lets the broker pick one.
    const QByteArray clientId = utf8(opts_.clientId);
    m_ = mosquitto_new(clientId.isEmpty() ? nullptr : clientId.constData(), true, this);
    t_refuseSocketPair = false;
    if (!m_) {
        error_ = QStringLiteral("mosquitto_new: %1").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return;
    }

    mosquitto_int_option(m_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
    mosquitto_int_option(m_, MOSQ_OPT_TCP_NODELAY, 1); // else Nagle meets delayed ACK: ~88 ms per QoS 1 round trip
    mosquitto_int_option(m_, MOSQ_OPT_SEND_MAXIMUM, opts_.sendMaximum);
    // Left to itself, libmosquitto writes a packet's acknowledgement before handing the packet
    // over, and the loopback send (the broker's side of it included) then delays every packet
    // on its way to the port. Told that it runs in "threaded" mode, it only queues what it
    // sends, and this client writes out the queue itself (writeQueued), after the hand-over.
    mosquitto_threaded_set(m_, true);
    if (!opts_.username.isEmpty())
        mosquitto_username_pw_set(m_, utf8(opts_.username).constData(),
                                  opts_.password.isEmpty() ? nullptr : utf8(opts_.password).constData());
    if (!opts_.willTopic.isEmpty())
        mosquitto_will_set(m_, utf8(opts_.willTopic).constData(), static_cast<int>(opts_.willPayload.size()),
                           opts_.willPayload.constData(), 1, opts_.willRetain);
    if (!opts_.caFile.isEmpty() && !opts_.tlsName.isEmpty()) {
        // libmosquitto checks the certificate against what it connects to, an address here.
        // The name is checked by OpenSSL instead, set on the context every session of this
        // client is made from: so it holds from the handshake's first step, which may already
        // run inside mosquitto_connect_async on a fast network.
        sslCtx_ = SSL_CTX_new(TLS_client_method());
        X509_VERIFY_PARAM* param = sslCtx_ ? SSL_CTX_get0_param(sslCtx_) : nullptr;
        if (!param || X509_VERIFY_PARAM_set1_host(param, utf8(opts_.tlsName).constData(), 0) != 1) {
            error_ = QStringLiteral("TLS: cannot check the certificate against %1").arg(opts_.tlsName);
        } else {
            X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
            mosquitto_void_option(m_, MOSQ_OPT_SSL_CTX, sslCtx_);
            mosquitto_int_option(m_, MOSQ_OPT_SSL_CTX_WITH_DEFAULTS, 1);
            mosquitto_tls_insecure_set(m_, true);
        }
    }
    if (!opts_.caFile.isEmpty() && error_.isEmpty()) {
        const QByteArray ca = utf8(opts_.caFile), cert = utf8(opts_.certFile), key = utf8(opts_.keyFile);
        const int rc = mosquitto_tls_set(m_, ca.constData(), nullptr, cert.isEmpty() ? nullptr : cert.constData(),
                                         key.isEmpty() ? nullptr : key.constData(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS)
            error_ = QStringLiteral("TLS: %1").arg(QString::fromUtf8(mosquitto_strerror(rc)));
    }
    mosquitto_connect_callback_set(m_, &MqttClient::onConnect);
    mosquitto_disconnect_callback_set(m_, &MqttClient::onDisconnect);
    mosquitto_message_callback_set(m_, &MqttClient::onMessage);
    mosquitto_publish_callback_set(m_, &MqttClient::onPublish);
}

MqttClient::~MqttClient() {
    delete readN_;
    delete writeN_;
    readN_ = writeN_ = nullptr;
    if (opts_.watcher && fd_ >= 0) opts_.watcher->unwatch(fd_, this);
    if (m_) mosquitto_destroy(m_);
    if (sslCtx_) SSL_CTX_free(sslCtx_); // libmosquitto does not free a context it was given
}

bool MqttClient::connectToBroker() {
    if (!m_) return false;
    if (!error_.isEmpty() && error_.startsWith(QLatin1String("TLS"))) return false;
    const int rc = mosquitto_connect_async(m_, utf8(opts_.host).constData(), opts_.port, opts_.keepAlive);
    if (rc != MOSQ_ERR_SUCCESS) {
        error_ = rc == MOSQ_ERR_ERRNO ? QString::fromLocal8Bit(std::strerror(errno))
                                      : QString::fromUtf8(mosquitto_strerror(rc));
        syncSocket();
        return false;
    }
    error_.clear();
    syncSocket();
    return true;
}

void MqttClient::disconnectFromBroker() {
    if (!m_) return;
    mosquitto_disconnect(m_);
    writeQueued();
    syncSocket();
}

int MqttClient::publish(const QString& topic, const QByteArray& payload, int qos, bool retain) {
    if (!m_) return -MOSQ_ERR_INVAL;
    int mid = 0;
    int rc = mosquitto_publish(m_, &mid, utf8(topic).constData(), static_cast<int>(payload.size()),
                               payload.constData(), qos, retain);
    if (rc == MOSQ_ERR_SUCCESS) rc = writeQueued();
    syncSocket();
    return rc == MOSQ_ERR_SUCCESS ? mid : -rc;
}

int MqttClient::subscribe(const QString& topic, int qos) {
    if (!m_) return -MOSQ_ERR_INVAL;
    int mid = 0;
    int rc = mosquitto_subscribe(m_, &mid, utf8(topic).constData(), qos);
    if (rc == MOSQ_ERR_SUCCESS) rc = writeQueued();
    syncSocket();
    return rc == MOSQ_ERR_SUCCESS ? mid : -rc;
}

void MqttClient::misc() {
    if (!m_ || fd_ < 0) return;
    mosquitto_loop_misc(m_);
    writeQueued();
    syncSocket();
}

void MqttClient::handleRead() {
    // libmosquitto reads about one packet per call; go on while the socket has bytes.
    const bool tls = !opts_.caFile.isEmpty();
    QPointer<MqttClient> self(this);
    for (int i = 0; i < 256 && fd_ >= 0; ++i) {
        errno = 0;
        reading_ = true;
        const int rc = mosquitto_loop_read(m_, 1);
        const int readErrno = errno;
        reading_ = false;
        // Outside libmosquitto now: hand each packet over at once, before asking the socket
        // for more, so a packet is not held for the read that finds the socket empty.
        if (!events_.empty()) {
            flush();
            if (!self) return; // a handler destroyed us
        }
        if (rc != MOSQ_ERR_SUCCESS || fd_ < 0) break;
        writeQueued(); // the acknowledgement, now that the packet is handed over
        // libmosquitto stops at EAGAIN and leaves errno so: the socket is drained, and the
        // kernel need not be asked once more per packet. TLS may hold bytes of its own.
        if (!tls && (readErrno == EAGAIN || readErrno == EWOULDBLOCK)) break;
        if (mosquitto_socket(m_) != fd_) break;
    }
    syncSocket();
}

int MqttClient::writeQueued() {
    // Not without a socket: libmosquitto would report that as a lost connection. A socket
    // that takes no more leaves the rest to the write notifier (syncSocket).
    if (!m_ || mosquitto_socket(m_) < 0 || !mosquitto_want_write(m_)) return MOSQ_ERR_SUCCESS;
    return mosquitto_loop_write(m_, 1);
}

void MqttClient::handleWrite() {
    mosquitto_loop_write(m_, 1);
    syncSocket();
}

void MqttClient::syncSocket() {
    const int s = m_ ? mosquitto_socket(m_) : -1;
    if (opts_.watcher) {
        if (s != fd_) {
            if (fd_ >= 0) opts_.watcher->unwatch(fd_, this);
            fd_ = s;
            if (fd_ >= 0)
                opts_.watcher->watch(fd_, this, [this] { handleRead(); }, [this] { handleWrite(); });
        }
        if (fd_ >= 0) opts_.watcher->setWriteWanted(fd_, this, mosquitto_want_write(m_));
        return;
    }
    if (s != fd_) {
        dropNotifiers();
        fd_ = s;
        if (fd_ >= 0) {
            readN_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
            connect(readN_, &QSocketNotifier::activated, this, &MqttClient::handleRead);
            writeN_ = new QSocketNotifier(fd_, QSocketNotifier::Write, this);
            connect(writeN_, &QSocketNotifier::activated, this, &MqttClient::handleWrite);
        }
    }
    if (writeN_) writeN_->setEnabled(mosquitto_want_write(m_));
}

void MqttClient::dropNotifiers() {
    // May run inside a notifier's own signal: disable now, delete from the event loop.
    for (QSocketNotifier* n : {readN_, writeN_}) {
        if (!n) continue;
        n->setEnabled(false);
        n->deleteLater();
    }
    readN_ = writeN_ = nullptr;
}

void MqttClient::post(Event e) {
    events_.push_back(std::move(e));
    if (!flushScheduled_ && !reading_) {
        flushScheduled_ = true;
        QMetaObject::invokeMethod(this, &MqttClient::flush, Qt::QueuedConnection);
    }
}

void MqttClient::flush() {
    flushScheduled_ = false;
    std::vector<Event> batch;
    batch.swap(events_);
    QPointer<MqttClient> self(this);
    for (Event& e : batch) {
        if (!self) return; // a handler destroyed us
        switch (e.kind) {
        case Event::Connect: emit connected(e.code); break;
        case Event::Disconnect: emit disconnected(e.code); break;
        case Event::Message: emit messageReceived(e.topic, e.payload, e.retained); break;
        case Event::Publish: emit published(e.code); break;
        }
    }
    if (!self) return;
    batch.clear(); // its room serves the next packets: no allocation per packet
    if (events_.empty()) events_.swap(batch);
}

void MqttClient::onConnect(mosquitto*, void* self, int rc) {
    auto* c = static_cast<MqttClient*>(self);
    c->connected_ = rc == 0;
    c->post({Event::Connect, rc, {}, {}});
}

void MqttClient::onDisconnect(mosquitto*, void* self, int rc) {
    auto* c = static_cast<MqttClient*>(self);
    c->connected_ = false;
    c->post({Event::Disconnect, rc, {}, {}});
}

void MqttClient::onMessage(mosquitto*, void* self, const mosquitto_message* m) {
    static_cast<MqttClient*>(self)->post({Event::Message, m->mid, QString::fromUtf8(m->topic),
                                          QByteArray(static_cast<const char*>(m->payload), m->payloadlen), m->retain});
}

void MqttClient::onPublish(mosquitto*, void* self, int mid) {
    static_cast<MqttClient*>(self)->post({Event::Publish, mid, {}, {}});
}

} // namespace dtu
