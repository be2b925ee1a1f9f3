#include "console/display/refresh.h"

#include "console/context.h"
#include "core/codec.h"
#include "engines/link/linkengine.h"
#include "engines/store/dtustore.h"

namespace dtu {

using M = DeviceListModel;

void RebuildDeviceList(ConsoleContext& ctx) {
    ctx.silenceRecheck = true;
    ctx.selection.clear();
    ctx.devices.clear();
    ctx.dm.forEachListedRow([&](const DtuRow& rec) {
        QString caption = rec.dtuid;
        if (caption.size() == 8) caption = QString::fromLatin1(BytesToHex(caption.toLatin1()));
        const int row = ctx.devices.appendRow(caption);
        RefreshDeviceRow(ctx, caption);
        ctx.devices.setSubItem(row, M::SubPassword, rec.password);
        ctx.devices.setSubItem(row, M::SubPort, rec.vcomport);
        ctx.devices.setSubItem(row, M::SubName, rec.username);
        ctx.devices.setRecording(row, ctx.capture.isRecording(caption));
    });
}

namespace {
void showRow(ConsoleContext& ctx, int row, const QString& id, const DtuInfo& info, bool online) {
    ctx.devices.setPictures(row, online ? 1 : 0, online ? 0 : -1);
    ctx.devices.setSubItem(row, M::SubLoginTime, info.loginTime);
    ctx.devices.setSubItem(row, M::SubUpdateTime, info.updateTime);
    ctx.devices.setSubItem(row, M::SubSent, QString::number(info.sent));
    ctx.devices.setSubItem(row, M::SubReceived, QString::number(info.received));
    const auto& recs = ctx.roster.positionsOfId(id);
    if (!recs.isEmpty()) ctx.devices.setSubItem(row, M::SubPortState, ctx.roster.at(recs.last()).portState);
}
} // namespace

void RefreshDeviceRow(ConsoleContext& ctx, const QString& id) {
    const int row = ctx.devices.findExact(id);
    if (row < 0) return;
    showRow(ctx, row, id, ctx.engine.GetDtuInfo(id), ctx.engine.IsOnline(ctx.devices.caption(row)));
}

void refreshTick(ConsoleContext& ctx) {
    QStringList ids;
    QList<int> rows;
    for (const QString& id : ctx.refreshQueue.ids()) {
        const int row = ctx.devices.findExact(id);
        if (row < 0) continue;
        ids << id;
        rows << row;
    }
    // A failure keeps the queue for the next tick.
    const std::vector<DtuState> states = ctx.engine.GetDtuStates(ids);
    for (int i = 0; i < ids.size(); ++i) showRow(ctx, rows[i], ids[i], states[static_cast<size_t>(i)].info, states[static_cast<size_t>(i)].online);
    ctx.refreshQueue.clear();
}

} // namespace dtu
