#pragma once
// What a monitoring system reads of the console: Prometheus metrics, the device list as
// JSON and a health answer, served on a loopback address by Qt's HTTP server. Pages are
// made on the console's thread between events, so a request never races the relay.
#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <memory>

class QHttpServer;

namespace dtu {

class ConsoleContext;

// The pages themselves, for the server and for tests.
QByteArray MetricsText(ConsoleContext& ctx, const QString& program);
QByteArray DtusJson(ConsoleContext& ctx);

class StatusServer : public QObject {
    Q_OBJECT
public:
    StatusServer(ConsoleContext& ctx, QString program, QObject* parent = nullptr);
    ~StatusServer() override;
    // "host:port", "port" (loopback), or empty/"0" for off. False with a reason when it
    // cannot listen; the console runs on either way.
    bool listen(const QString& address, QString* why);
    quint16 port() const { return port_; }
    // TLS for the whole listener, set before listen(); false with why when the files do not do.
    bool useTls(const QString& certFile, const QString& keyFile, QString* why);
    bool tls() const { return !tlsCert_.isEmpty(); }
    QHttpServer* server() const { return http_.get(); }
    QHostAddress address() const { return address_; }

private:
    ConsoleContext& ctx_;
    QString program_;
    std::unique_ptr<QHttpServer> http_;
    class HttpGuard* guard_ = nullptr; // the listener, with the bounds the HTTP server lacks
    quint16 port_ = 0;
    QHostAddress address_;
    QByteArray tlsCert_, tlsKey_;
};

} // namespace dtu
