#include "console/service/service.h"

#include "console/context.h"
#include "core/codec.h"
#include "engines/link/linkengine.h"
#include "engines/vport/vport.h"

#include <QLoggingCategory>

Q_LOGGING_CATEGORY(lcLink, "dtu.link", QtInfoMsg)

namespace dtu {

using M = DeviceListModel;

void CountSend(ConsoleContext& ctx, const QString& id, const QByteArray& data, int result, SendSource source) {
    ConsoleContext::Traffic& t = ctx.traffic[id];
    if (result >= 0) {
        t.bytesOut += data.size();
        ctx.minutes.countOut(id, data.size(), ctx.clock.msecs());
        if (ctx.capture.any())
            ctx.capture.toField(id, source == SendSource::Port ? "port" : source == SendSource::Manual ? "manual" : "command", data);
        return;
    }
    // The failures' order is Traffic::failures'; any other result is counted, not logged.
    const char* tail = nullptr;
    int reason = 3;
    switch (result) {
    case SendQueueFull: reason = 0, tail = " TCP响应超时"; break;
    case SendNotOnline: reason = 1, tail = "不在线"; break;
    case SendNotRegistered: reason = 2, tail = "不在DTU列表中"; break;
    default: break;
    }
    ++t.failures[reason];
    if (tail) ctx.logQueue.PostLog(QStringLiteral("发送失败,") + id + QString::fromUtf8(tail));
}

void SendToDtu(ConsoleContext& ctx, int row, const QString& id, const QByteArray& data, SendSource source) {
    bool sent = false;
    int result = 0;
    if (ctx.engine.IsOnline(id)) {
        result = ctx.engine.SendData(id, data);
        sent = true;
        CountSend(ctx, id, data, result, source);
    }
    if (row < 0 || row >= ctx.devices.rowCount()) return;
    QString cell = ctx.devices.subItem(row, M::SubSent);
    if (cell.isEmpty()) {
        cell = QStringLiteral("0");
        ctx.devices.setSubItem(row, M::SubSent, cell);
    }
    if (sent && result >= 0) ctx.devices.setSubItem(row, M::SubSent, QString::number(cell.toLongLong() + 1));
}

void SendBracketed(ConsoleContext& ctx, int row, const QString& id, const QByteArray& data, SendSource source) {
    ctx.engine.SetSendMode(0);
    try {
        SendToDtu(ctx, row, id, data, source);
    } catch (...) {
        ctx.engine.SetSendMode(2);
        throw;
    }
    ctx.engine.SetSendMode(2);
}

void Service::start() {
    try {
        ctx_.refreshTimer.start();
        ctx_.silenceRecheck = true;
        ctx_.actStartService.setEnabled(false);
        ctx_.actStopService.setEnabled(true);
        ctx_.engine.OpenDtus(ctx_.engine.GetDtuIds());
        ctx_.logQueue.PostLog(ctx_.stamp() + QStringLiteral(" 启动成功"));
    } catch (const std::exception& e) {
        qCWarning(lcLink) << "service start failed:" << e.what();
        ctx_.logQueue.PostLog(ctx_.stamp() + QStringLiteral(" 启动失败"));
    }
    if (portCreationHook) {
        try {
            portCreationHook();
        } catch (const std::exception& e) {
            qCWarning(lcLink) << "port creation at service start failed:" << e.what();
        }
    }
}

void Service::stop() {
    const int n = ctx_.engine.GetDtuCount();
    for (int i = 0; i < n; ++i) {
        const QString id = ctx_.engine.GetDtuId(i);
        ctx_.closeDtu(id, QStringLiteral("停止服务"));
        ctx_.refreshQueue.MarkForRefresh(id);
    }
    ctx_.actStartService.setEnabled(true);
    ctx_.actStopService.setEnabled(false);
    ctx_.silenceRecheck = true;
    ctx_.logQueue.PostLog(ctx_.stamp() + QStringLiteral(" 停止"));
}

void LinkEvents::onLoginReply(const QString& id, int result) {
    if (id.isEmpty()) return;
    ctx_.silenceRecheck = true;
    if (result >= 0) {
        ctx_.traffic[id].loginMs = ctx_.clock.msecs();
        ctx_.history.record(id, QStringLiteral("login"));
    }
    const int row = ctx_.devices.findCaseless(id);
    if (row >= 0 && ctx_.rowSelected(row) && result >= 0) {
        ctx_.messageDisplay.append(ctx_.stamp() + QLatin1Char(' ') + id + QStringLiteral("登录成功"));
        ctx_.messageDisplay.trim(1);
    }
    ctx_.refreshQueue.MarkForRefresh(id);
}

void LinkEvents::onBeatReply(const QString& id, int result) {
    if (id.isEmpty()) return;
    if (ctx_.devices.containsCaseless(id) && result >= 100) {
        ctx_.messageDisplay.append(ctx_.stamp() + QLatin1Char(' ') + id + QStringLiteral("心跳成功"));
        ctx_.messageDisplay.trim(1);
    }
    ctx_.refreshQueue.MarkForRefresh(id);
}

void LinkEvents::onDisconnect(const QString& id) {
    if (id.isEmpty()) return;
    ctx_.silenceRecheck = true;
    ctx_.history.record(id, QStringLiteral("disconnect"));
    ctx_.refreshQueue.MarkForRefresh(id);
}

void LinkEvents::onCenterBeat(const QString& id, int, const QString& dataBuf) {
    if (ctx_.capture.any() && ctx_.capture.isRecording(id)) ctx_.capture.fromField(id, "beat", HexToBytes(QStringView(dataBuf)));
    if (!ctx_.showHeartbeats.isChecked() || id.isEmpty()) return;
    if (dataBuf == QLatin1String(kHeartbeatMarker))
        ctx_.messageDisplay.append(ctx_.stamp() + QStringLiteral(" 收到") + id + QStringLiteral("心跳"));
    ctx_.messageDisplay.trim(3);
}

void LinkEvents::writeToPort(const QString& id, const QByteArray& bytes) {
    const RosterRecord* rec = ctx_.roster.firstById(id);
    if (!rec || rec->portName.isEmpty()) return;
    for (int pos : ctx_.roster.positionsOfPort(rec->portName)) {
        RosterRecord& owner = ctx_.roster.at(pos);
        if (!owner.portOpen) continue;
        if (owner.port) {
            try {
                owner.port->WriteData(bytes);
            } catch (const std::exception& e) {
                qCDebug(lcLink) << "port write failed for" << id << e.what();
            }
        }
        return;
    }
}

void LinkEvents::onCenterData(const QString& id, int, const QString& dataBuf) {
    if (id.isEmpty()) return;
    if (dataBuf.isEmpty()) return;
    const QByteArray bytes = HexToBytes(QStringView(dataBuf));
    if (bytes.isEmpty()) return;
    dispatchData(id, bytes, dataBuf, false);
}

void LinkEvents::onCenterBytes(const QString& id, const QByteArray& bytes) {
    if (id.isEmpty() || bytes.isEmpty()) return;
    dispatchData(id, bytes, QString(), false);
}

void LinkEvents::onDelivered(const QString& id, const QByteArray& bytes) {
    if (id.isEmpty() || bytes.isEmpty()) return;
    dispatchData(id, bytes, QString(), true);
}

void LinkEvents::onPortSent(const QString& id, const QByteArray& bytes, int result) {
    CountSend(ctx_, id, bytes, result, SendSource::Port);
}

std::vector<ReplyMatcher> LinkEvents::replyMatchers() const {
    std::vector<ReplyMatcher> out;
    for (const ReplyRecognizer& r : replyRecognizers) {
        if (!r.endsDispatch) continue;
        if (r.match) out.push_back(r.match);
        else out.push_back([prefix = r.prefix](const QByteArray& b) { return b.startsWith(prefix); });
    }
    return out;
}

void LinkEvents::dispatchData(const QString& id, const QByteArray& bytes, const QString& dataBuf, bool delivered) {
    ConsoleContext::Traffic& traffic = ctx_.traffic[id];
    traffic.bytesIn += bytes.size();
    traffic.lastDataMs = ctx_.clock.msecs();
    ctx_.minutes.countIn(id, bytes.size(), traffic.lastDataMs);

    const ReplyRecognizer* late = nullptr;
    for (const ReplyRecognizer& r : replyRecognizers) {
        const bool hit = r.match ? r.match(bytes) : bytes.startsWith(r.prefix);
        if (!hit) continue;
        if (!r.endsDispatch) {
            if (!late) late = &r;
            continue;
        }
        if (ctx_.capture.any()) ctx_.capture.fromField(id, "reply", bytes);
        if (r.accepts && !r.accepts(id)) return;
        if (r.action) r.action(id, bytes.mid(r.prefix.size()));
        ctx_.setStatusPanel(3, id + r.statusText);
        return;
    }
    if (late && late->action) late->action(id, bytes.mid(late->prefix.size()));
    if (ctx_.capture.any()) ctx_.capture.fromField(id, "data", bytes);

    if (!delivered) writeToPort(id, bytes);

    // The line's parts are kept and joined only if the line is still there when shown.
    const QString stamp = ctx_.stamp();
    const auto head = [stamp, id] { return stamp + QStringLiteral(" 收到") + id + QStringLiteral("数据:"); };
    // Laying out one huge line takes the display minutes: show the start and the length.
    const bool cut = bytes.size() > kShownPacketBytes;
    const QString tail = cut ? QStringLiteral("...[共%1字节]").arg(bytes.size()) : QString();
    if (ctx_.hexDisplay.isChecked()) {
        if (dataBuf.isEmpty()) {
            const QByteArray shown = cut ? bytes.left(kShownPacketBytes) : bytes;
            ctx_.messageDisplay.appendLazy([head, shown, tail] { return head() + HexText(shown) + tail; });
        } else {
            const QString shown = cut ? dataBuf.left(2 * kShownPacketBytes) + tail : dataBuf;
            ctx_.messageDisplay.appendLazy([head, shown] { return head() + shown; });
        }
    } else if (ctx_.devices.containsCaseless(id)) {
        const QByteArray shown = cut ? bytes.left(kShownPacketBytes) : bytes;
        const int breaks = ctx_.displayBreaks(shown);
        if (breaks < 0) {
            ctx_.messageDisplay.append(head() + ctx_.displayText(shown) + tail); // the encoding's breaks are not the bytes'
        } else if (breaks > 0 || shown.contains('\0')) {
            // Several lines (or a NUL to stand in for); made, like a plain line, only if one
            // of them is still there when shown.
            ConsoleContext* ctx = &ctx_;
            ctx_.messageDisplay.appendLazyLines(breaks + 1, [head, shown, tail, ctx] { return head() + ctx->displayText(shown) + tail; });
        } else {
            ConsoleContext* ctx = &ctx_;
            ctx_.messageDisplay.appendLazy([head, shown, tail, ctx] { return head() + ctx->displayText(shown) + tail; });
        }
    }
    ctx_.messageDisplay.trim(3);
    ctx_.refreshQueue.MarkForRefresh(id);
}

void LinkEvents::connectTo(ILinkEngine& engine) {
    QObject::connect(&engine, &ILinkEngine::OnLoginReply, &ctx_, [this](const QString& id, int r) {
        ctx_.guard([&] { onLoginReply(id, r); });
    });
    QObject::connect(&engine, &ILinkEngine::OnBeatReply, &ctx_, [this](const QString& id, int r) {
        ctx_.guard([&] { onBeatReply(id, r); });
    });
    QObject::connect(&engine, &ILinkEngine::OnDisconnect, &ctx_, [this](const QString& id) {
        ctx_.guard([&] { onDisconnect(id); });
    });
    QObject::connect(&engine, &ILinkEngine::centerData, &ctx_, [this](const QString& id, const QByteArray& bytes) {
        ctx_.guard([&] { onCenterBytes(id, bytes); });
    });
    QObject::connect(&engine, &ILinkEngine::dataDelivered, &ctx_, [this](const QString& id, const QByteArray& bytes) {
        ctx_.guard([&] { onDelivered(id, bytes); });
    });
    QObject::connect(&engine, &ILinkEngine::portDataSent, &ctx_, [this](const QString& id, const QByteArray& bytes, int r) {
        ctx_.guard([&] { onPortSent(id, bytes, r); });
    });
    QObject::connect(&engine, &ILinkEngine::centerHeartbeat, &ctx_, [this](const QString& id, int n, const QString& b) {
        ctx_.guard([&] { onCenterBeat(id, n, b); });
    });
    QObject::connect(&engine, &ILinkEngine::engineLog, &ctx_, [this](const QString& line) {
        ctx_.logQueue.PostLog(ctx_.stamp() + QLatin1Char(' ') + line);
    });
}

} // namespace dtu
