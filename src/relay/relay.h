#pragma once
// The data path: the link engine's sessions, the virtual ports and the path between them,
// on a thread of their own (RelayThread). Field data is written to its port here and port
// bytes are sent to their DTUs here; the console hears of both afterwards, in order, and
// never holds either up.
#include "relay/portrouter.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QString>
#include <memory>

namespace dtu {

class ILinkEngine;
class IVPort;
class IVPortEngine;

class Relay : public QObject {
    Q_OBJECT
public:
    Relay();
    ~Relay() override;
    // On the relay's thread: the engines it drives from now on.
    void install(std::unique_ptr<ILinkEngine> link, std::unique_ptr<IVPortEngine> ports);
    // On the relay's thread: ports closed, sessions closed, engines gone.
    void shutdown();

    ILinkEngine& link() { return *link_; }
    IVPortEngine& portEngine() { return *portEngine_; }

    int makePort();                // a new port instance; its handle
    IVPort* port(int handle) const; // null once dropped
    void dropPort(int handle);

    // Routes by port handle; -1 or an unknown handle goes nowhere.
    void setRoutes(QHash<QString, int> inbound, QHash<int, QStringList> outbound);
    void setReplyMatchers(std::vector<ReplyMatcher> matchers) { matchers_ = std::move(matchers); }

signals:
    // The engine's events, passed on as they were raised.
    void loginReply(const QString& id, int result);
    void beatReply(const QString& id, int result);
    void disconnected(const QString& id);
    void centerBeat(const QString& id, int dataLen, const QString& dataBuf);
    void engineLog(const QString& line);
    // A reply the console keeps, or field data for which the console does the port part.
    void centerData(const QString& id, const QByteArray& bytes);
    // Field data already written to its DTU's port (when it has one open).
    void dataDelivered(const QString& id, const QByteArray& bytes);
    // A port's bytes were handed to the DTU's session: result as ILinkEngine::SendData.
    void portDataSent(const QString& id, const QByteArray& bytes, int result);

private:
    void onCenterData(const QString& id, const QByteArray& bytes);
    void onPortReadable(int handle, int count);
    bool isReply(const QByteArray& bytes) const;

    std::unique_ptr<IVPortEngine> portEngine_;
    std::unique_ptr<ILinkEngine> link_;
    QHash<int, IVPort*> ports_; // owned
    int nextHandle_ = 1;
    QHash<QString, int> inbound_;
    QHash<int, QStringList> outbound_;
    std::vector<ReplyMatcher> matchers_;
};

} // namespace dtu
