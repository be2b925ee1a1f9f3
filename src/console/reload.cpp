// The service's reload (SIGHUP, systemctl reload): what changed in the table and center.ini
// is applied; a DTU that did not change keeps its session and its port.
#include "console/console.h"

#include "console/display/refresh.h"
#include "console/web/webconsole.h"
#include "engines/link/linkengine.h"
#include "engines/store/dtustore.h"
#include "engines/vport/vport.h"

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcConsole)

namespace dtu {

namespace {
QStringList idList(const QString& value) {
    QStringList ids;
    for (const QString& id : value.split(QLatin1Char(','), Qt::SkipEmptyParts))
        if (!id.trimmed().isEmpty()) ids << id.trimmed();
    return ids;
}

// "+2 (A, B)": the count, and the IDs while they fit a line.
QString counted(QChar sign, const QStringList& ids) {
    constexpr int kNamed = 8;
    QString s = sign + QString::number(ids.size());
    if (ids.isEmpty()) return s;
    s += QStringLiteral(" (") + ids.mid(0, kNamed).join(QStringLiteral(", "));
    if (ids.size() > kNamed) s += QStringLiteral(", …");
    return s + QLatin1Char(')');
}
} // namespace

void Console::releasePorts(const QString& id) {
    for (int pos : QList<int>(ctx.roster.positionsOfId(id))) {
        RosterRecord& r = ctx.roster.at(pos);
        IVPort* port = r.port;
        if (!port) continue;
        if (r.portOpen) {
            try {
                port->DeletePort();
            } catch (const std::exception& e) {
                qCWarning(lcConsole) << "removing the port of" << id << "failed:" << e.what();
            }
        }
        ctx.roster.setPort(pos, nullptr, false);
        if (port != ctx.busPort) std::erase_if(ctx.ports, [port](const std::unique_ptr<IVPort>& p) { return p.get() == port; });
    }
}

QStringList Console::applyConfig() {
    const CenterConfig fresh = ReadCenterConfig(ctx.dm.paths());
    const QMap<QString, QString> keys = CenterConfigKeys(fresh.sourceFile);
    QStringList changed;
    for (auto it = keys.cbegin(); it != keys.cend(); ++it)
        if (configKeys_.value(it.key()) != it.value() || !configKeys_.contains(it.key())) changed << it.key();
    for (auto it = configKeys_.cbegin(); it != configKeys_.cend(); ++it)
        if (!keys.contains(it.key())) changed << it.key();
    QStringList restart;
    for (const QString& key : changed) {
        if (key.compare(QLatin1String("CAPTURE/Ids"), Qt::CaseInsensitive) == 0) {
            const QStringList before = idList(configKeys_.value(key)), after = idList(keys.value(key));
            for (const QString& id : before)
                if (!after.contains(id)) ctx.capture.stop(id);
            for (const QString& id : after) ctx.capture.start(id);
            ctx.config.captureIds = after;
        } else if (key.compare(QLatin1String("ALARM/Silent"), Qt::CaseInsensitive) == 0) {
            ctx.config.silentSeconds = fresh.silentSeconds;
            ctx.config.silentText = fresh.silentText;
            ctx.silenceRecheck = true;
            if (fresh.silentSeconds > 0) silenceTimer_.start(1000);
            else silenceTimer_.stop();
        } else {
            restart << key;
        }
    }
    configKeys_ = keys;
    return restart;
}

QString Console::reload() {
    qCInfo(lcConsole) << "reloading the DTU table and center.ini";
    QStringList restart;
    ctx.guard([&] { restart = applyConfig(); });
    if (!restart.isEmpty())
        ctx.logQueue.PostLog(ctx.stamp() + QStringLiteral(" 需要重启才能生效: ") + restart.join(QStringLiteral(", ")));
    if (web_) web_->reloadUsers();

    if (!ctx.databaseProblem.isEmpty() && retryDatabase) {
        // Still waiting for the database: try now instead of at the next retry.
        databaseRetry_.stop();
        ctx.guard([this] { creationSteps(); });
        return {};
    }
    const QString historyDatabase = ctx.dm.connectionString();
    QStringList order;
    QHash<QString, TableEntry> table;
    try {
        ctx.dm.ReconnectDatabase();
        ctx.dm.forEachRosterRow([&](const DtuRow& r) {
            if (!table.contains(r.dtuid)) {
                order << r.dtuid;
                table[r.dtuid].password = r.password;
            }
            table[r.dtuid].ports << r.vcomport;
        });
    } catch (const std::exception& e) {
        const QString line = ctx.stamp() + QStringLiteral(" 重新载入失败: %1，保持现有的%2个DTU")
                                               .arg(QString::fromLocal8Bit(e.what()).simplified())
                                               .arg(loaded_.size());
        ctx.logQueue.PostLog(line);
        return line;
    }
    if (ctx.dm.connectionString() != historyDatabase && ctx.history.running())
        ctx.logQueue.PostLog(ctx.stamp() + QStringLiteral(" 需要重启才能生效: ftdb.ini (历史记录仍写入原数据库)"));

    const bool running = ctx.serviceRunning();
    QStringList added, removed, changed;
    for (auto it = loaded_.cbegin(); it != loaded_.cend(); ++it)
        if (!table.contains(it.key())) removed << it.key();
    removed.sort();
    ctx.guard([&] {
        for (const QString& id : removed) {
            ctx.closeDtu(id, QStringLiteral("已从DTU表中删除"));
            ctx.engine.RemoveDtu(id);
            releasePorts(id);
            ctx.roster.removeId(id);
            ctx.traffic.remove(id);
        }
        for (const QString& id : order) {
            const TableEntry& now = table[id];
            const auto before = loaded_.constFind(id);
            if (before == loaded_.cend()) {
                added << id;
                ctx.engine.AddDtu(id, now.password);
                for (const QString& port : now.ports) ctx.roster.append(id, port);
                if (running) ctx.engine.OpenDtu(id);
                continue;
            }
            const bool newPassword = before->password != now.password, newPorts = before->ports != now.ports;
            if (!newPassword && !newPorts) continue;
            changed << id;
            if (newPassword) {
                ctx.engine.RemoveDtu(id);
                ctx.engine.AddDtu(id, now.password);
                if (running) ctx.engine.OpenDtu(id);
            }
            if (newPorts) {
                releasePorts(id);
                ctx.roster.removeId(id);
                for (const QString& port : now.ports) ctx.roster.append(id, port);
            }
        }
    });
    loaded_ = table;
    // New and moved ports, and those a removed DTU shared and now free, are made.
    if (running) ctx.guard([this] { portControl.createPorts(); });
    ctx.guard([this] { RebuildDeviceList(ctx); });
    const QString line = ctx.stamp() + QStringLiteral(" 重新载入DTU表: %1 %2 %3，共%4个DTU")
                                           .arg(counted(QLatin1Char('+'), added), counted(QChar(0x2212), removed),
                                                counted(QLatin1Char('~'), changed))
                                           .arg(table.size());
    ctx.logQueue.PostLog(line);
    return line;
}

} // namespace dtu
