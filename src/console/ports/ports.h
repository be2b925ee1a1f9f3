#pragma once
// Giving each roster record its virtual port, and the path from a port to its DTUs.
#include "relay/portrouter.h"

#include <QString>
#include <QSet>
#include <QStringList>

namespace dtu {
class ConsoleContext;
class IVPort;

class PortControl {
public:
    explicit PortControl(ConsoleContext& ctx) : ctx_(ctx) {}
    ~PortControl();

    void createPorts(); // creation pass over the whole roster
    void resetPorts(); // reset
    void scanSystemPorts();
    bool portExists(const QString& name) const { return portSet_.contains(name); }
    void showPortStatus(const QString& id, const QString& text);
    const QStringList& systemPorts() const { return systemPorts_; }

    // portReadable of every port instance.
    void onPortData(IVPort* sender, int count);
    // Makes an instance whose portReadable comes here through the failure reporter.
    IVPort* makeInstance();

    // Where bytes go, worked out from the roster as writeToPort and onPortData walk it.
    PortRoutes routes() const;
    // From now on the router is told the routes whenever the roster changes (once per
    // pass of the event loop) and the replies it must leave to the console.
    void attachRouter(PortRouter& router, std::vector<ReplyMatcher> replies);

private:
    ConsoleContext& ctx_;
    QStringList systemPorts_; // the serial ports the system has, and our links
    QSet<QString> portSet_;
    PortRouter* router_ = nullptr;
    bool routesDue_ = false;
    void pushRoutes();
};

} // namespace dtu
