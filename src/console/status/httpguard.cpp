#include "console/status/httpguard.h"

#include <QHostAddress>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#include <QTcpSocket>
#include <QTimer>

namespace dtu {

// Follows one connection's requests: the header up to its blank line, then the body its
// Content-Length announces. The bytes are peeked: the HTTP server still reads them all.
class GuardedConnection : public QObject {
public:
    GuardedConnection(HttpGuard& guard, QTcpSocket* socket) : QObject(socket), guard_(guard), socket_(socket) {
        timer_.setSingleShot(true);
        connect(&timer_, &QTimer::timeout, this, [this] { timedOut(); });
        // Connected before the server's own handler, so this sees the bytes first.
        connect(socket, &QTcpSocket::readyRead, this, [this] { look(); });
        timer_.start(guard_.limits_.idleMs);
    }

private:
    void look() {
        if (done_) return;
        // The server's handler, right after this one, reads all there is: what is available
        // now is what came since.
        QByteArray data = socket_->peek(socket_->bytesAvailable());
        qsizetype i = 0;
        while (i < data.size()) {
            if (!inRequest_) {
                inRequest_ = true;
                timer_.start(guard_.limits_.requestMs);
            }
            if (bodyLeft_ > 0) {
                const qint64 take = std::min<qint64>(bodyLeft_, data.size() - i);
                bodyLeft_ -= take;
                i += take;
                if (bodyLeft_ == 0) requestDone();
                continue;
            }
            head_.append(data.constData() + i, data.size() - i);
            i = data.size();
            const qsizetype end = head_.indexOf("\r\n\r\n");
            if (end < 0) {
                if (head_.size() > guard_.limits_.maxHeaderBytes)
                    return refuse(431, "Request Header Fields Too Large", QStringLiteral("请求头超过%1字节").arg(guard_.limits_.maxHeaderBytes));
                return;
            }
            const QByteArray header = head_.left(end).toLower();
            const QByteArray rest = head_.mid(end + 4);
            head_.clear();
            // A WebSocket from here on: its frames are no HTTP, and it bounds its own messages.
            if (header.contains("\nupgrade: websocket")) {
                done_ = true;
                timer_.stop();
                return;
            }
            if (end > guard_.limits_.maxHeaderBytes)
                return refuse(431, "Request Header Fields Too Large", QStringLiteral("请求头超过%1字节").arg(guard_.limits_.maxHeaderBytes));
            if (header.contains("\ntransfer-encoding:"))
                return refuse(411, "Length Required", QStringLiteral("分块传输的请求体不受理"));
            qint64 length = 0;
            if (const qsizetype at = header.indexOf("\ncontent-length:"); at >= 0) {
                const qsizetype eol = header.indexOf('\n', at + 1);
                bool ok = false;
                length = header.mid(at + 16, eol < 0 ? -1 : eol - at - 16).trimmed().toLongLong(&ok);
                if (!ok || length < 0)
                    return refuse(400, "Bad Request", QStringLiteral("Content-Length 无效"));
            }
            if (length > guard_.limits_.maxBodyBytes)
                return refuse(413, "Content Too Large", QStringLiteral("请求体%1字节，超过%2字节").arg(length).arg(guard_.limits_.maxBodyBytes));
            bodyLeft_ = length;
            if (bodyLeft_ == 0) requestDone();
            data = rest;
            i = 0;
        }
    }

    void requestDone() {
        inRequest_ = false;
        timer_.start(guard_.limits_.idleMs);
    }

    void timedOut() {
        if (done_) return;
        if (inRequest_) return refuse(408, "Request Timeout", QStringLiteral("请求未在%1秒内发完").arg(guard_.limits_.requestMs / 1000));
        done_ = true;
        socket_->disconnectFromHost(); // idle: closed without a word
    }

    void refuse(int status, const char* reason, const QString& why) {
        done_ = true;
        timer_.stop();
        guard_.refuse(socket_, status, reason, why);
    }

    HttpGuard& guard_;
    QTcpSocket* socket_;
    QTimer timer_;
    QByteArray head_;
    qint64 bodyLeft_ = 0;
    bool inRequest_ = false;
    bool done_ = false;
};

HttpGuard::HttpGuard(HttpLimits limits, QObject* parent) : QTcpServer(parent), limits_(limits) {}

void HttpGuard::useTls(const QByteArray& certificate, const QByteArray& key) {
    tlsCert_ = certificate;
    tlsKey_ = key;
}

void HttpGuard::incomingConnection(qintptr fd) {
    QTcpSocket* socket = nullptr;
    if (!tlsCert_.isEmpty()) {
        auto* ssl = new QSslSocket(this);
        QSslConfiguration conf = QSslConfiguration::defaultConfiguration();
        conf.setLocalCertificateChain(QSslCertificate::fromData(tlsCert_, QSsl::Pem));
        QSslKey k(tlsKey_, QSsl::Rsa);
        if (k.isNull()) k = QSslKey(tlsKey_, QSsl::Ec);
        conf.setPrivateKey(k);
        conf.setProtocol(QSsl::TlsV1_2OrLater);
        ssl->setSslConfiguration(conf);
        socket = ssl;
    } else {
        socket = new QTcpSocket(this);
    }
    if (!socket->setSocketDescriptor(fd)) {
        delete socket;
        return;
    }
    if (auto* ssl = qobject_cast<QSslSocket*>(socket)) ssl->startServerEncryption();
    if (open_ >= limits_.maxConnections) {
        refuse(socket, 503, "Service Unavailable", QStringLiteral("已有%1个连接").arg(open_));
        return;
    }
    ++open_;
    connect(socket, &QTcpSocket::disconnected, this, [this] { --open_; });
    new GuardedConnection(*this, socket);
    addPendingConnection(socket);
}

void HttpGuard::refuse(QTcpSocket* socket, int status, const char* reason, const QString& why) {
    ++refused_;
    const QByteArray answer = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reason +
                              "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    socket->write(answer);
    socket->flush();
    emit refusedRequest(QStringLiteral("状态页拒绝 %1 的请求: %2 (%3)").arg(socket->peerAddress().toString()).arg(status).arg(why));
    // Nothing more is read or kept for this client; the server sees a closed connection.
    socket->abort();
    socket->deleteLater();
}

} // namespace dtu
