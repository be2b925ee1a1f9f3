#pragma once
// What the console needs of a link engine. Calls happen on the engine's thread (through the
// relay's proxy when that is not the console's); a call that cannot be carried out throws
// Failure. Events are signals, delivered to the console in the order they happened.
#include <QByteArray>
#include <QObject>
#include <QString>
#include <QList>
#include <QPair>
#include <QStringList>
#include <vector>

namespace dtu {

struct DtuInfo {
    QString loginTime;   // yyyy-MM-dd HH:mm:ss, empty when never
    QString updateTime;
    int reserved = 0;
    qint64 sent = 0;     // accepted by the link; months at thousands a second pass 2^31
    qint64 received = 0;
    qint64 acknowledged = 0; // of those sent, acknowledged by the broker
    qint64 dropped = 0;      // sent, never acknowledged, and past the bound of what is sent again
    qint64 loginMs = 0;  // the same times as milliseconds since the epoch, 0 when never
    qint64 updateMs = 0;
};

struct DtuState {
    bool online = false;
    DtuInfo info;
};

// SendData results besides a message id >= 0.
// SendFailed: the session is up but refused the message (too large, out of memory...);
// the engine says why in its log.
enum SendResult : int { SendQueueFull = -1, SendNotOnline = -2, SendNotRegistered = -3, SendFailed = -4 };

class ILinkEngine : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~ILinkEngine() override = default;

    virtual void Prepare() = 0;
    virtual void SetSendMode(int mode) = 0;
    virtual void ClearDtus() = 0;
    virtual int AddDtu(const QString& id, const QString& password) = 0;
    virtual int RemoveDtu(const QString& id) = 0;
    virtual int OpenDtu(const QString& id) = 0;
    virtual int CloseDtu(const QString& id) = 0;
    virtual int GetDtuCount() = 0;
    virtual QString GetDtuId(int index) = 0;
    virtual bool IsOnline(const QString& id) = 0;
    virtual DtuInfo GetDtuInfo(const QString& id) = 0;
    virtual int SendData(const QString& id, const QByteArray& data) = 0;
    virtual QString GetVersion() = 0;
    // The same for many DTUs at once: one crossing to the engine's thread instead of one a DTU
    // (thousands at a start).
    virtual QStringList GetDtuIds() {
        QStringList out;
        const int n = GetDtuCount();
        for (int i = 0; i < n; ++i) out << GetDtuId(i);
        return out;
    }
    virtual void AddDtus(const QList<QPair<QString, QString>>& idsAndPasswords) {
        for (const auto& p : idsAndPasswords) AddDtu(p.first, p.second);
    }
    virtual void OpenDtus(const QStringList& ids) {
        for (const QString& id : ids) OpenDtu(id);
    }
    // IsOnline and GetDtuInfo of many DTUs at once: one crossing to the engine's thread
    // instead of two a DTU (the status page and the refresh tick ask about thousands).
    virtual std::vector<DtuState> GetDtuStates(const QStringList& ids) {
        std::vector<DtuState> out;
        out.reserve(static_cast<std::size_t>(ids.size()));
        for (const QString& id : ids) out.push_back({IsOnline(id), GetDtuInfo(id)});
        return out;
    }
    // True when this engine writes field data to the DTUs' ports and sends the ports' bytes
    // itself (the relay's thread): the console is then told with dataDelivered and portDataSent.
    virtual bool deliversToPorts() const { return false; }

signals:
    void OnLoginReply(const QString& id, int result);
    void OnBeatReply(const QString& id, int result);
    void OnDisconnect(const QString& id);
    // A packet of field data, as hex text (made only when something listens).
    void centerDataHex(const QString& id, int dataLen, const QString& dataBuf);
    // A heartbeat packet of the field DTU (its beat topic), as hex text.
    void centerHeartbeat(const QString& id, int dataLen, const QString& dataBuf);
    // Every packet of centerDataHex, as bytes, raised just before it: a listener that
    // does not need the text form is spared making it and reading it back.
    void centerData(const QString& id, const QByteArray& bytes);
    // Field data already written to the DTU's port; the console does the rest (counts,
    // display, capture) without writing it again.
    void dataDelivered(const QString& id, const QByteArray& bytes);
    // Bytes read from a port and handed to this DTU's session; result as SendData's.
    void portDataSent(const QString& id, const QByteArray& bytes, int result);
    // Engine-side events an operator needs to hear about (takeover, TLS trouble...).
    void engineLog(const QString& line);
};

} // namespace dtu
