#pragma once
// One libmosquitto session driven by the Qt event loop: a read notifier on the
// session's socket, a write notifier armed only while libmosquitto has bytes to send,
// and the engine's timer for keep-alive work. Callbacks are collected and delivered
// as signals from the event loop, so a handler may destroy the client safely.
#include <QByteArray>
#include <QObject>
#include <QString>
#include <vector>

struct mosquitto;
struct ssl_ctx_st;
struct mosquitto_message;
class QSocketNotifier;

namespace dtu {

struct MqttOptions {
    QString host = QStringLiteral("127.0.0.1");
    int port = 1883;
    QString clientId;
    QString username;
    QString password;
    int keepAlive = 60;
    QString willTopic;
    QByteArray willPayload;
    bool willRetain = true;
    QString caFile, certFile, keyFile;
    // With TLS and host an address: the name the broker's certificate must carry. The name
    // is looked up elsewhere, so that connecting never waits on a name server.
    QString tlsName;
    int sendMaximum = 100; // QoS 1 messages in flight before libmosquitto queues
    class SocketWatcher* watcher = nullptr; // shared by many sessions; else one notifier pair each
};

class MqttClient : public QObject {
    Q_OBJECT
public:
    explicit MqttClient(MqttOptions options, QObject* parent = nullptr);
    ~MqttClient() override;

    static void libraryInit();
    static QString libraryVersion();
    static QString errorText(int mosquittoError);

    // false when the attempt could not even start; errorString() says why.
    bool connectToBroker();
    void disconnectFromBroker();
    // Message id (>= 0) or a negative libmosquitto error code.
    int publish(const QString& topic, const QByteArray& payload, int qos, bool retain = false);
    int subscribe(const QString& topic, int qos);
    void misc(); // keep-alive work, once a second
    bool isConnected() const { return connected_; }
    int socket() const { return fd_; }
    QString errorString() const { return error_; }
    const MqttOptions& options() const { return opts_; }

signals:
    void connected(int rc); // CONNACK code, 0 = accepted
    void disconnected(int rc); // 0 = we asked for it
    void messageReceived(const QString& topic, const QByteArray& payload, bool retained);
    void published(int mid);

private:
    struct Event {
        enum Kind { Connect, Disconnect, Message, Publish } kind;
        int code = 0;
        QString topic;
        QByteArray payload;
        bool retained = false;
    };
    static void onConnect(mosquitto*, void*, int);
    static void onDisconnect(mosquitto*, void*, int);
    static void onMessage(mosquitto*, void*, const mosquitto_message*);
    static void onPublish(mosquitto*, void*, int);
    void post(Event e);
    void flush();
    void syncSocket(); // (re)create notifiers for the current socket, arm writing as needed
    void dropNotifiers();
    void handleRead();
    void handleWrite();
    int writeQueued(); // what libmosquitto queued, written now; its error code

    MqttOptions opts_;
    mosquitto* m_ = nullptr;
    ssl_ctx_st* sslCtx_ = nullptr; // ours, with the name the certificate must carry
    int fd_ = -1;
    bool connected_ = false;
    bool flushScheduled_ = false;
    bool reading_ = false; // inside handleRead, which hands events over itself
    QSocketNotifier* readN_ = nullptr;
    QSocketNotifier* writeN_ = nullptr;
    std::vector<Event> events_;
    QString error_;
};

} // namespace dtu
