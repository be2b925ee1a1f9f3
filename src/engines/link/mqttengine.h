#pragma once
// The link engine over MQTT: one session per opened DTU, all on the GUI thread.
#include "core/config.h"
#include "engines/link/linkengine.h"
#include "engines/link/socketwatcher.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QHash>
#include <QSet>
#include <QPointer>
#include <QTimer>
#include <deque>
#include <memory>
#include <mutex>
#include <memory>

namespace dtu {

class MqttClient;

class MqttLinkEngine : public ILinkEngine {
    Q_OBJECT
public:
    explicit MqttLinkEngine(LinkConfig config, QObject* parent = nullptr);
    ~MqttLinkEngine() override;

    void Prepare() override {}
    void SetSendMode(int mode) override { sendMode_ = mode; }
    void ClearDtus() override;
    int AddDtu(const QString& id, const QString& password) override;
    int RemoveDtu(const QString& id) override;
    int OpenDtu(const QString& id) override;
    int CloseDtu(const QString& id) override;
    int GetDtuCount() override { return static_cast<int>(order_.size()); }
    QString GetDtuId(int index) override;
    bool IsOnline(const QString& id) override;
    DtuInfo GetDtuInfo(const QString& id) override;
    int SendData(const QString& id, const QByteArray& data) override;
    QString GetVersion() override;

    int sendMode() const { return sendMode_; }
    int pendingConnects() const { return pending_; }
    int onlineCount() const { return online_; }
    // "host:port" of the broker the DTU's session is on; empty while it is offline.
    QString brokerOf(const QString& id) const;
    // Backoff between login attempts: base doubles up to the cap, with +-25 % jitter.
    static int backoffMs(int attempt, int baseMs, int capMs, double jitter01);

    QString topic(const QString& id, const char* leaf) const;

private:
    struct Dtu {
        QString id, password;
        bool opened = false;
        bool online = false;
        bool pendingConnect = false; // counts against the pacing limit
        bool queued = false;         // waiting for a pacing slot
        QPointer<MqttClient> client;
        QDateTime loginTime;
        qint64 updateMs = 0;
        qint64 sent = 0, received = 0;
        bool retainedReported = false;
        int lastPublishError = 0;
        // Data sent on this session and not acknowledged yet, in the order sent; what a lost
        // session leaves here is published again, first thing, on the next one (at least once).
        struct Unacked {
            int mid;
            QByteArray data;
        };
        std::deque<Unacked> inFlight;
        std::deque<QByteArray> resend;
        qint64 acknowledged = 0, dropped = 0;
        int beatMid = -1;
        qint64 nextBeatMs = 0;
        int attempt = 0;
        int endpoint = 0;            // which entry of [LINK] Host this DTU tries
        int phase = 0;               // spreads the sessions' keep-alive work over the seconds
        int quickDrops = 0;
        bool takeoverReported = false;
        QElapsedTimer upSince;
        QTimer* retry = nullptr;
    };

    Dtu* find(const QString& id);
    void startConnect(Dtu& d);
    void pump();
    void scheduleRetry(Dtu& d);
    void dropSession(Dtu& d, bool graceful);
    void onConnected(const QString& id, int rc);
    void onDisconnected(const QString& id, int rc);
    void onMessage(const QString& id, const QString& topic, const QByteArray& payload, bool retained);
    void onPublished(const QString& id, int mid);
    void tick();
    void leavePending(Dtu& d);
    bool goOffline(Dtu& d); // true when it was online
    // The brokers' addresses for libmosquitto, whose own lookup would block this thread at
    // every login. False while no entry has one yet (lookups run off the thread).
    bool brokerAddressReady();
    void resolve(int endpoint);
    void lookUp(int endpoint);
    void resolveAgain(int endpoint); // the remembered address failed: the name may have moved
    void takeFreshAddresses();
    void resendUnacknowledged(Dtu& d); // first thing on a new session
    int usableEndpoint(int from) const; // the first entry from `from` on with an address, or -1
    void moveOn(Dtu& d);                // the next entry, round robin, after a failure
    void trimAfterLargePacket();
    // No DTU online and the center failed one of them: one line for the lot, not one a DTU;
    // false when that line was said already.
    bool centerDown(const Dtu& d, const QString& cause);

    LinkConfig cfg_;
    QHash<QString, std::shared_ptr<Dtu>> dtus_;
    std::vector<QString> order_;
    std::deque<QString> connectQueue_;
    int pending_ = 0;
    int online_ = 0;
    bool centerDown_ = false; // said so; the next login says it is back
    QElapsedTimer downSince_;
    int sendMode_ = 2;
    struct Endpoint {
        QString host;
        int port = 1883;
        QString address; // what libmosquitto is given: an address, or the name for TLS
        bool resolving = false;
        int lookupFailures = 0;   // in a row: the retries and the lines about them back off
        QElapsedTimer lastLookup; // a failed connection asks again, at most every few seconds
        // A look-up again, past Qt's name cache (which keeps an answer a minute): run by a
        // thread of its own, its answer taken by the engine's tick.
        struct Fresh {
            std::mutex mutex;
            bool done = false;
            QString address, error;
        };
        std::shared_ptr<Fresh> fresh;
    };
    std::vector<Endpoint> endpoints_;
    bool trimScheduled_ = false;
    SocketWatcher watcher_;
    qint64 ticks_ = 0;
    QTimer tick_;
    QElapsedTimer clock_;
};

} // namespace dtu
