#pragma once
// What the console tells the relay about where bytes go: which port a DTU's field data is
// written to, which DTUs a port's bytes are sent to, and which packets are replies the
// console keeps for itself (never written to a port).
#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>
#include <functional>
#include <vector>

namespace dtu {

class IVPort;

struct PortRoutes {
    QHash<QString, IVPort*> inbound;       // DTU ID -> the port its field data goes to
    QHash<IVPort*, QStringList> outbound;  // port -> the DTUs its bytes go to, in order
};

// Runs on the relay's thread: must only look at the bytes.
using ReplyMatcher = std::function<bool(const QByteArray&)>;

class PortRouter {
public:
    virtual ~PortRouter() = default;
    virtual void setRoutes(const PortRoutes& routes) = 0;
    virtual void setReplyMatchers(std::vector<ReplyMatcher> matchers) = 0;
};

} // namespace dtu
