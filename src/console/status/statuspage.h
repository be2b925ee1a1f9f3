#pragma once
// What a monitoring system reads of the console: Prometheus metrics, the device list as
// JSON and a health answer, served on a loopback address by Qt's HTTP server. Pages are
// made on the console's thread between events, so a request never races the relay.
#include <QByteArray>
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

private:
    ConsoleContext& ctx_;
    QString program_;
    std::unique_ptr<QHttpServer> http_;
    class HttpGuard* guard_ = nullptr; // the listener, with the bounds the HTTP server lacks
    quint16 port_ = 0;
};

} // namespace dtu
