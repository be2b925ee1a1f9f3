#include "console/ports/ports.h"

#include "console/context.h"
#include "console/service/service.h"
#include "engines/vport/vport.h"

#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcPorts, "dtu.vport", QtInfoMsg)

namespace dtu {

void PortControl::scanSystemPorts() {
    systemPorts_.clear();
    portSet_.clear();
    try {
        systemPorts_ = ctx_.portEngine.systemPorts();
    } catch (const std::exception& e) {
        qCDebug(lcPorts) << "port scan failed:" << e.what();
    }
    portSet_ = QSet<QString>(systemPorts_.cbegin(), systemPorts_.cend());
}

void PortControl::showPortStatus(const QString& id, const QString& text) {
    const int row = ctx_.devices.findExact(id);
    if (row >= 0) ctx_.devices.setSubItem(row, DeviceListModel::SubPortState, text);
}

IVPort* PortControl::makeInstance() {
    auto port = ctx_.portEngine.makePort();
    IVPort* raw = port.get();
    QObject::connect(raw, &IVPort::portReadable, &ctx_, [this, raw](int count) {
        ctx_.guard([&] { onPortData(raw, count); });
    });
    ctx_.ports.push_back(std::move(port));
    return raw;
}

void PortControl::createPorts() {
    // A ports folder that is not safely ours is said once a pass, not once a port.
    const QString folderProblem = ctx_.portEngine.folderProblem();
    if (!folderProblem.isEmpty()) {
        ctx_.messageDisplay.append(ctx_.stamp() + QLatin1Char(':') + folderProblem);
        ctx_.logQueue.PostLog(ctx_.stamp() + QLatin1Char(' ') + folderProblem);
    }
    const int n = ctx_.roster.count();
    for (int i = 0; i < n; ++i) {
        RosterRecord& rec = ctx_.roster.at(i);
        if (rec.portName.isEmpty() || rec.portOpen) continue;
        scanSystemPorts(); // before each port: the last one made is in the list
        if (!folderProblem.isEmpty() && !rec.portName.contains(QLatin1Char('/'))) {
            rec.portState = QStringLiteral("串口创建失败");
            showPortStatus(rec.dtuId, rec.portState);
            continue;
        }
        if (portExists(rec.portName) || ctx_.portEngine.occupied(rec.portName)) {
            rec.portState = QStringLiteral("串口已经存在");
            showPortStatus(rec.dtuId, rec.portState);
            continue;
        }
        IVPort* port = makeInstance();
        ctx_.roster.setPort(i, port, false);
        if (port->CreatePort(rec.portName)) {
            ctx_.roster.setPort(i, port, true);
            rec.portState = QStringLiteral("串口创建成功！");
            qCInfo(lcPorts).noquote() << "port" << rec.portName << "made for" << rec.dtuId;
        } else {
            rec.portState = QStringLiteral("串口创建失败");
            ctx_.logQueue.PostLog(ctx_.stamp() + QStringLiteral(" 串口创建失败 ") + rec.dtuId + QLatin1Char(' ') +
                                  rec.portName + QStringLiteral(": ") + port->lastError());
        }
        showPortStatus(rec.dtuId, rec.portState);
    }
}

void PortControl::resetPorts() {
    ctx_.busPort->ResetBus();
    // The ports are gone: the records must say so, or no creation pass would make them
    // again and field data for them would vanish without a word.
    for (int i = 0; i < ctx_.roster.count(); ++i) {
        RosterRecord& rec = ctx_.roster.at(i);
        if (!rec.port && !rec.portOpen) continue;
        ctx_.roster.setPort(i, nullptr, false);
        if (rec.portName.isEmpty()) continue;
        rec.portState = QStringLiteral("串口已复位");
        showPortStatus(rec.dtuId, rec.portState);
    }
    // Only the bus instance outlives a reset; the others held ports that are gone.
    std::erase_if(ctx_.ports, [this](const std::unique_ptr<IVPort>& p) { return p.get() != ctx_.busPort; });
    ctx_.portEngine.rescan();
    qCInfo(lcPorts) << "ports reset";
}

PortControl::~PortControl() {
    if (router_) ctx_.roster.changed = nullptr;
}

PortRoutes PortControl::routes() const {
    PortRoutes r;
    const DtuList& roster = ctx_.roster;
    for (int i = 0; i < roster.count(); ++i) {
        const RosterRecord& rec = roster.at(i);
        // Field data: the first record of the ID names the port, its first open holder writes.
        if (roster.positionsOfId(rec.dtuId).first() == i && !rec.portName.isEmpty()) {
            for (int pos : roster.positionsOfPort(rec.portName)) {
                const RosterRecord& owner = roster.at(pos);
                if (!owner.portOpen) continue;
                if (owner.port) r.inbound.insert(rec.dtuId, owner.port);
                break;
            }
        }
        // Port bytes: the first open holder of a port names the DTUs that get them.
        if (rec.portOpen && rec.port && !rec.portName.isEmpty() && !r.outbound.contains(rec.port)) {
            QStringList ids;
            for (int pos : roster.positionsOfPort(rec.portName)) ids << roster.at(pos).dtuId;
            r.outbound.insert(rec.port, ids);
        }
    }
    return r;
}

void PortControl::attachRouter(PortRouter& router, std::vector<ReplyMatcher> replies) {
    router_ = &router;
    router.setReplyMatchers(std::move(replies));
    ctx_.roster.changed = [this] {
        if (routesDue_) return;
        routesDue_ = true;
        QMetaObject::invokeMethod(&ctx_, [this] { pushRoutes(); }, Qt::QueuedConnection);
    };
    pushRoutes();
}

void PortControl::pushRoutes() {
    routesDue_ = false;
    if (router_) router_->setRoutes(routes());
}

void PortControl::onPortData(IVPort* sender, int count) {
    if (!sender || count == 0) return;
    QByteArray buf;
    if (sender->ReadData(buf, count) == 0) return;
    const RosterRecord* owner = ctx_.roster.ownerOf(sender);
    if (!owner || owner->portName.isEmpty()) return;
    const QString name = owner->portName;
    // Copy: a send may run handlers that touch the roster.
    const QList<int> targets = ctx_.roster.positionsOfPort(name);
    for (int pos : targets) SendBracketed(ctx_, -1, ctx_.roster.at(pos).dtuId, buf);
}

} // namespace dtu
