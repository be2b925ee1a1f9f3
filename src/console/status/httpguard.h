#pragma once
// The listener in front of Qt's HTTP server, which sets no bounds of its own: it would
// buffer a body of any announced length, an endless header, and hold half-sent requests and
// connections for ever. Each connection's bytes are looked at before the server reads them;
// past a bound the client gets 413, 431, 408 or 503 and the connection is closed.
#include <QTcpServer>

namespace dtu {

struct HttpLimits {
    int maxConnections = 64;
    qint64 maxHeaderBytes = 16 * 1024;
    qint64 maxBodyBytes = 1024 * 1024;
    int requestMs = 10000; // from the first byte of a request to its end
    int idleMs = 60000;    // a kept-alive connection with no request
};

class HttpGuard : public QTcpServer {
    Q_OBJECT
public:
    explicit HttpGuard(HttpLimits limits = {}, QObject* parent = nullptr);
    int connections() const { return open_; }
    // Every connection speaks TLS with this PEM certificate and key.
    void useTls(const QByteArray& certificate, const QByteArray& key);
    qint64 refused() const { return refused_; }

signals:
    // One per refusal, for the run log: the peer and why.
    void refusedRequest(const QString& line);

protected:
    void incomingConnection(qintptr fd) override;

private:
    friend class GuardedConnection;
    void refuse(class QTcpSocket* socket, int status, const char* reason, const QString& why);
    HttpLimits limits_;
    QByteArray tlsCert_, tlsKey_;
    int open_ = 0;
    qint64 refused_ = 0;
};

} // namespace dtu
