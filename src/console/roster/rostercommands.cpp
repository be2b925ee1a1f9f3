#include "console/roster/rostercommands.h"

#include "console/context.h"
#include "console/display/refresh.h"
#include "engines/link/linkengine.h"
#include "engines/store/dtustore.h"

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcStore)

namespace dtu {

bool RosterCommands::validate(const DtuFields& f) {
    if (f.id.size() != 16) {
        ctx_.prompts.message(QStringLiteral("DTUID必须为16位"));
        return false;
    }
    if (f.password.size() != 6) {
        ctx_.prompts.message(QStringLiteral("DTU登录密码必须为6位"));
        return false;
    }
    return true;
}

bool RosterCommands::confirmAdd(DtuFields& f) {
    if (!validate(f)) return false;
    if (ctx_.devices.containsCaseless(f.id)) {
        ctx_.prompts.message(QStringLiteral("DTUID重复！"));
        return false;
    }
    ctx_.engine.AddDtu(f.id, f.password);
    ctx_.roster.append(f.id, f.port);
    try {
        ctx_.dm.appendRow({f.id, f.password, f.name, f.sim, f.port, 0, ctx_.clock.now()});
        if (tableChanged) tableChanged(f.id, &f);
    } catch (const Failure& e) {
        // Dropping this silently would leave a DTU that vanishes at the next start.
        qCWarning(lcStore).noquote() << "add" << f.id << "not stored:" << e.text();
        ctx_.prompts.error(QStringLiteral("DTU %1 未能写入数据库: %2").arg(f.id, e.text()));
    }
    f.id.clear();
    f.password.clear();
    RebuildDeviceList(ctx_);
    return true;
}

void RosterCommands::loadForEdit(DtuFields& f) {
    const auto row = ctx_.dm.findRow(f.id);
    f.password = row ? row->password : QString();
    f.name = row ? row->username : QString();
    f.sim = row ? row->teleno : QString();
    f.port = row ? row->vcomport : QString();
}

bool RosterCommands::confirmEdit(DtuFields& f) {
    if (!validate(f)) return false;
    ctx_.engine.RemoveDtu(f.id);
    ctx_.engine.AddDtu(f.id, f.password);
    ctx_.engine.OpenDtu(f.id);
    const QList<int> recs = ctx_.roster.positionsOfId(f.id);
    for (int pos : recs) ctx_.roster.setPortName(pos, f.port);
    try {
        if (!ctx_.dm.updateRow(f.id, {f.id, f.password, f.name, f.sim, f.port, 0, {}}))
            ctx_.prompts.error(QStringLiteral("数据库中没有 DTU %1 的记录，修改未保存").arg(f.id));
        else if (tableChanged)
            tableChanged(f.id, &f);
    } catch (const Failure& e) {
        qCWarning(lcStore).noquote() << "edit" << f.id << "not stored:" << e.text();
        ctx_.prompts.error(QStringLiteral("DTU %1 的修改未能写入数据库: %2").arg(f.id, e.text()));
    }
    f.id.clear();
    f.password.clear();
    RebuildDeviceList(ctx_);
    return true;
}

std::optional<QString> RosterCommands::editSelected() {
    const QList<int> rows = ctx_.selectedRows();
    if (rows.isEmpty()) return std::nullopt;
    return ctx_.devices.caption(rows.first());
}

void RosterCommands::deleteSelected() {
    const QList<int> rows = ctx_.selectedRows();
    if (rows.isEmpty()) {
        ctx_.prompts.message(QStringLiteral("请先选中要删除的DTU"));
        return;
    }
    QStringList ids;
    for (int r : rows) ids << ctx_.devices.caption(r);
    deleteIds(ids);
}

void RosterCommands::deleteIds(const QStringList& ids) {
    for (const QString& id : ids) ctx_.engine.RemoveDtu(id);
    for (const QString& id : ids) {
        try {
            ctx_.dm.deleteRows(id);
            if (tableChanged) tableChanged(id, nullptr);
        } catch (const Failure& e) {
            qCWarning(lcStore).noquote() << "delete" << id << "failed:" << e.text();
        }
    }
    RebuildDeviceList(ctx_);
}

void RosterCommands::closeSelected() {
    const QList<int> rows = ctx_.selectedRows();
    if (rows.isEmpty()) {
        ctx_.prompts.message(QStringLiteral("请先选中要关闭的DTU"));
        return;
    }
    for (int r : rows) ctx_.closeDtu(ctx_.devices.caption(r), QStringLiteral("操作员关闭"));
    RebuildDeviceList(ctx_);
}

void RosterCommands::closeAll() {
    for (int r = 0; r < ctx_.devices.rowCount(); ++r) ctx_.closeDtu(ctx_.devices.caption(r), QStringLiteral("操作员关闭"));
    RebuildDeviceList(ctx_);
}

void RosterCommands::clearStatistics() {
    const QList<int> rows = ctx_.selectedRows();
    if (rows.isEmpty()) {
        ctx_.prompts.message(QStringLiteral("请先选中要关闭的DTU"));
        return;
    }
    for (int r : rows) {
        ctx_.devices.setSubItem(r, DeviceListModel::SubSent, QStringLiteral("0"));
        ctx_.devices.setSubItem(r, DeviceListModel::SubReceived, QStringLiteral("0"));
    }
}

void RosterCommands::reloadDtus() { RebuildDeviceList(ctx_); }

} // namespace dtu
