#include "console/console.h"

#include "console/databaseadvice.h"
#include "console/web/webconsole.h"

#include "console/display/refresh.h"
#include "core/codec.h"
#include "engines/link/linkengine.h"
#include "engines/store/dtustore.h"
#include "engines/vport/vport.h"

#include <QCoreApplication>
#include <QSysInfo>
#include <QLoggingCategory>
#include <QTcpSocket>
#include <QThread>

Q_DECLARE_LOGGING_CATEGORY(lcConsole)

namespace dtu {

namespace {
constexpr qint64 kIdleReadBuffer = 16 * 1024;
} // namespace

Console::Console(ILinkEngine& engine, IVPortEngine& ports, DtuStore& dm, Prompts& prompts, CenterConfig config,
                 Clock clock, QObject* parent)
    : QObject(parent), ctx(engine, ports, dm, prompts, std::move(config), std::move(clock)),
      status_(ctx, QCoreApplication::applicationName()), servicePort_(ctx.config.servicePort) {
    configKeys_ = CenterConfigKeys(ctx.config.sourceFile);
    events.connectTo(engine);
    remote.registerReplies(events);
    service.portCreationHook = [this] { portControl.createPorts(); };
    rosterCommands.tableChanged = [this](const QString& id, const DtuFields* now) {
        if (!now) {
            loaded_.remove(id);
            return;
        }
        TableEntry& e = loaded_[id];
        e.password = now->password;
        if (e.ports.isEmpty()) e.ports << now->port;
        else e.ports.fill(now->port); // the edit dialog moves every record of the ID
    };
    ctx.busPort = portControl.makeInstance();

    connect(&ctx.actStartService, &ConsoleAction::triggered, this, [this] { serviceStart(); });
    connect(&ctx.actStopService, &ConsoleAction::triggered, this, [this] { serviceStop(); });
    connect(&ctx.hexDisplay, &ConsoleAction::triggered, this, [this] {
        emit sendBoxCaptionChanged(ctx.sendBoxCaption());
        ctx.sendBox.clear();
    });
    connect(&silenceTimer_, &QTimer::timeout, this, [this] { ctx.guard([this] { silence.check(); }); });
    connect(&ctx.refreshTimer, &QTimer::timeout, this, [this] { ctx.guard([this] { refreshTick(ctx); }); });
    ctx.secondStartTimer.setSingleShot(true);
    connect(&ctx.secondStartTimer, &QTimer::timeout, this, [this] {
        if (retryDatabase && !ctx.databaseProblem.isEmpty()) return; // started once the table is read
        if (startOnce && ctx.serviceRunning()) return;
        serviceStart();
    });
    connect(&listener_, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket* s = listener_.nextPendingConnection()) {
            idle_.push_back(s);
            // Nothing ever uses what arrives: read it and drop it, holding little at a time,
            // so a client that floods costs neither kernel nor process memory.
            s->setReadBufferSize(kIdleReadBuffer);
            connect(s, &QTcpSocket::readyRead, this, [s] {
                while (s->bytesAvailable() > 0) s->skip(s->bytesAvailable());
            });
            connect(s, &QTcpSocket::disconnected, this, [this, s] {
                std::erase(idle_, s);
                s->deleteLater();
            });
            // Idle connections are never used; past the cap the oldest goes.
            while (static_cast<int>(idle_.size()) > ctx.config.listenerMaxIdle) {
                QTcpSocket* old = idle_.front();
                idle_.pop_front();
                old->disconnect(this);
                old->abort();
                old->deleteLater();
            }
        }
    });
}

Console::~Console() = default;

void Console::startListener() {
    if (ctx.config.listenerPort == 0) return;
    listener_.setMaxPendingConnections(5);
    const QHostAddress address(ctx.config.listenerAddress);
    QString why;
    if (address.isNull()) {
        why = QStringLiteral("端口%1监听失败: [LISTENER] Address '%2' 不是IP地址").arg(ctx.config.listenerPort).arg(ctx.config.listenerAddress);
    } else if (!listener_.listen(address, static_cast<quint16>(ctx.config.listenerPort))) {
        why = QStringLiteral("端口%1监听失败: %2").arg(ctx.config.listenerPort).arg(listener_.errorString());
        // Ports below 1024 need the capability; the listener serves nothing, so off is fine too.
        if (ctx.config.listenerPort < 1024 && listener_.serverError() == QAbstractSocket::SocketAccessError)
            why += QStringLiteral(" (低于1024的端口需要 CAP_NET_BIND_SERVICE；不需要此监听时设 [LISTENER] Port=0)");
    }
    if (!why.isEmpty()) {
        qCWarning(lcConsole).noquote() << why;
        ctx.messageDisplay.append(ctx.stamp() + QLatin1Char(':') + why);
        ctx.logQueue.PostLog(ctx.stamp() + QLatin1Char(' ') + why);
    }
}

void Console::startStatusPage() {
    QString why;
    if (!ctx.config.webCertFile.isEmpty() && !status_.useTls(ctx.config.webCertFile, ctx.config.webKeyFile, &why)) {
        qCWarning(lcConsole).noquote() << why;
        ctx.logQueue.PostLog(ctx.stamp() + QLatin1Char(' ') + why);
        why.clear();
    }
    if (status_.listen(ctx.config.statusListen, &why)) {
        if (status_.port()) {
            qCInfo(lcConsole) << "status page on port" << status_.port();
            web_ = std::make_unique<WebConsole>(*this);
            if (!web_->attach(*status_.server(), status_.address(), status_.port(), status_.tls())) web_.reset();
        }
        return;
    }
    qCWarning(lcConsole).noquote() << why;
    ctx.logQueue.PostLog(ctx.stamp() + QLatin1Char(' ') + why);
}

void Console::create() {
    ctx.capture.configure(ctx.config.captureDir, static_cast<qint64>(ctx.config.captureMaxMB) * 1024 * 1024,
                          ctx.config.captureKeepDays, static_cast<qint64>(ctx.config.captureMaxTotalMB) * 1024 * 1024);
    for (const QString& id : ctx.config.captureIds) ctx.capture.start(id);
    startListener();
    startStatusPage();
    if (ctx.config.silentSeconds > 0) silenceTimer_.start(1000); // nothing to look for when it is off
    ctx.secondStartTimer.start();
    if (ctx.hexDisplay.isChecked()) emit sendBoxCaptionChanged(ctx.sendBoxCaption());
    try {
        creationSteps();
    } catch (const std::exception& e) {
        ctx.prompts.error(QString::fromLocal8Bit(e.what()));
    }
}

void Console::creationSteps() {
    ctx.engine.Prepare();
    ctx.engine.SetSendMode(2);
    ctx.engine.ClearDtus();
    if (!loadRoster()) return;
    RebuildDeviceList(ctx);
    service.start();
}

bool Console::loadRoster() {
    try {
        ctx.dm.ReconnectDatabase();
    } catch (const DatabaseOpenFailure& e) {
        if (retryDatabase) return databaseUnavailable(e.text()), false;
        qCWarning(lcConsole).noquote() << "database:" << e.text();
        ctx.logQueue.PostLog(ctx.stamp() + QLatin1Char(' ') + e.text());
        ctx.logQueue.PostLog(QStringLiteral("数据库打开失败，请检查数据库设置"));
        return false;
    } catch (const ConnectionFileFailure& e) {
        if (retryDatabase) return databaseUnavailable(e.text()), false;
        throw; // no connection string at all: the box says which files were tried
    } catch (const Failure& e) {
        if (retryDatabase) return databaseUnavailable(e.text()), false;
        // A connection string that cannot be used (an Access provider, say) is a failed
        // open too: the line is posted and the reason still goes to the box.
        qCWarning(lcConsole).noquote() << "database:" << e.text();
        ctx.logQueue.PostLog(QStringLiteral("数据库打开失败，请检查数据库设置"));
        throw;
    }
    if (!claimTable()) return false;
    startHistory();
    QList<QPair<QString, QString>> logins; // handed to the engine in one call
    QList<QPair<QString, QString>> ports;
    try {
        ctx.dm.forEachRosterRow([&](const DtuRow& r) {
            logins.append({r.dtuid, r.password});
            ports.append({r.dtuid, r.vcomport});
        });
    } catch (const std::exception& e) {
        if (retryDatabase) return databaseUnavailable(QString::fromLocal8Bit(e.what())), false;
        for (const auto& [id, port] : ports) ctx.roster.append(id, port);
        ctx.engine.AddDtus(logins); // the rows read so far, as one by one would have
        throw;
    }
    for (const auto& [id, port] : ports) ctx.roster.append(id, port);
    ctx.engine.AddDtus(logins);
    loaded_.clear();
    for (const auto& [id, password] : logins) loaded_[id].password = password;
    for (const auto& [id, port] : ports) loaded_[id].ports << port;
    qCInfo(lcConsole) << ctx.roster.count() << "DTU(s) loaded";
    if (!ctx.databaseProblem.isEmpty()) {
        ctx.databaseProblem.clear();
        retryMs_ = kRetryFirstMs;
        ctx.logQueue.PostLog(ctx.stamp() + QStringLiteral(" 数据库已可用，载入%1个DTU").arg(ctx.roster.count()));
    }
    return true;
}

bool Console::claimTable() {
    if (ctx.config.shareTable || tableLock_.held()) return true;
    const QString me = QStringLiteral("%1@%2:%3").arg(QCoreApplication::applicationName(), QSysInfo::machineHostName())
                           .arg(QCoreApplication::applicationPid());
    const QString holder = tableLock_.acquire(ctx.dm.connectionString(), me);
    if (holder.isEmpty()) return true;
    const QString why = QStringLiteral("另一个控制台 (%1) 正在使用此DTU表。两个控制台会以相同的ID登录同一批DTU并互相挤下线，"
                                       "请先停止它；确需共用此表时在 center.ini 的 [DATABASE] 设 Shared=1")
                            .arg(holder);
    ctx.prompts.error(why);
    ctx.logQueue.PostLog(ctx.stamp() + QLatin1Char(' ') + why);
    exitStatus = kExitTableInUse;
    emit quitRequested();
    return false;
}

void Console::databaseUnavailable(const QString& reported) {
    const QString cause = reported.simplified(); // libpq's text spans lines; the journal wants one
    if (ctx.databaseProblem.isEmpty()) {
        // Once, with what to do; the retries are quiet until it works.
        const QString line = QStringLiteral("数据库不可用: %1。%2。稍后自动重试，期间没有DTU上线")
                                 .arg(cause, DatabaseAdvice(cause, ctx.dm.paths(), ctx.dm));
        ctx.logQueue.PostLog(ctx.stamp() + QLatin1Char(' ') + line); // the service's stderr has it too
    }
    ctx.databaseProblem = cause;
    if (!databaseRetry_.isActive()) {
        databaseRetry_.setSingleShot(true);
        databaseRetry_.disconnect();
        connect(&databaseRetry_, &QTimer::timeout, this, [this] { ctx.guard([this] { creationSteps(); }); });
        databaseRetry_.start(retryMs_);
        retryMs_ = std::min(retryMs_ * 2, kRetryMaxMs);
    }
}

void Console::activate() {
    ctx.reporterInstalled = true;
    if (retryDatabase && !ctx.databaseProblem.isEmpty()) return; // the retry reports and loads
    ctx.guard([this] {
        ctx.dm.ReconnectDatabase();
        startHistory(); // when the database was away at creation
        ctx.engine.Prepare();
    });
}

void Console::startHistory() {
    if (ctx.history.running() || ctx.dm.connectionString().isEmpty()) return;
    HistoryOptions o;
    o.keepDays = ctx.config.historyKeepDays;
    o.maxHeld = ctx.config.historyMaxHeld;
    ctx.history.startOnDatabase(ctx.dm.connectionString(), o);
}

void Console::setServicePort() {
    const auto entry = ctx.prompts.input(QStringLiteral("服务端口号设置"), QStringLiteral("请输入服务端口号(1025-65535):"),
                                         QString::number(servicePort_));
    if (!entry) return;
    bool ok = false;
    const int v = entry->trimmed().toInt(&ok);
    if (!ok || v < 1025 || v > 65535) {
        ctx.prompts.message(QStringLiteral("输入非法,请输入1025-65535之间的整数"));
        return;
    }
    servicePort_ = v;
}

void Console::showVersion() {
    ctx.guard([this] { ctx.prompts.message(ctx.engine.GetVersion()); });
}

bool Console::acceptSendKey(bool hexMode, QChar c) {
    if (!hexMode || c.unicode() == 8) return true;
    return QStringLiteral("0123456789ABCDEFabcdef").contains(c);
}

void Console::sendManually() {
    if (!ctx.anySelected()) return;
    // The box does not change during the command: read and convert it once.
    const QString error = sendTyped(ctx.selectedRows(), ctx.sendBox.toPlainText(), ctx.hexDisplay.isChecked());
    if (!error.isEmpty()) ctx.prompts.message(error);
}

QString Console::sendTyped(const QList<int>& rows, const QString& typed, bool hex) {
    constexpr int kShown = 1024;
    const QString repeat = QStringLiteral("1"); // ComboBox2's text; nothing changes it
    QByteArray data;
    if (hex) {
        // Pasted text passes no key filter: a frame with blanks must not go out shifted.
        HexInput parsed = ParseHexInput(typed);
        if (!parsed.error.isEmpty()) return parsed.error;
        data = std::move(parsed.bytes);
    } else {
        data = ctx.displayEncode(QString(typed).replace(QChar::ParagraphSeparator, QLatin1Char('\n'))
                                     .replace(QLatin1Char('\n'), QLatin1String("\r\n")));
    }
    const QString tag = hex ? QStringLiteral(" [HEX:") + QString::fromLatin1(BytesToHexSpaced(data)) + QLatin1Char(']') : QString();
    const bool cut = data.size() > kShown;
    const QString body = ctx.displayText(cut ? data.left(kShown) : data) +
                         (cut ? QStringLiteral("...[") : QStringLiteral("[")) + repeat + QStringLiteral("次]");
    for (int row : rows) {
        if (row < 0 || row >= ctx.devices.rowCount() || ctx.devices.statePicture(row) != 1) continue;
        if (data.isEmpty()) return {};
        const QString id = ctx.devices.caption(row);
        if (ctx.dataTips.isChecked())
            ctx.messageDisplay.append(ctx.stamp() + QStringLiteral(" 发送数据到") + id + QStringLiteral("的COM1,数据内容:") + tag + body);
        else
            ctx.messageDisplay.append(tag + body);
        const int times = repeat.toInt();
        for (int i = 0; i < times; ++i) SendBracketed(ctx, row, id, data, SendSource::Manual);
    }
    return {};
}

void Console::setRecording(const QString& id, bool on) {
    if (on) {
        ctx.capture.start(id);
        ctx.logQueue.PostLog(ctx.stamp() + QStringLiteral(" 开始记录%1，文件夹 %2").arg(id, ctx.capture.dir()));
    } else {
        ctx.capture.stop(id);
        ctx.logQueue.PostLog(ctx.stamp() + QStringLiteral(" 停止记录%1").arg(id));
    }
}

void Console::clearMessages() {
    ctx.messageDisplay.clear();
    ctx.logQueue.clear();
}

DtuDetails Console::detailsOf(const QString& id) {
    const qint64 now = ctx.clock.msecs();
    const QDateTime dayAgo = QDateTime::fromMSecsSinceEpoch(now - DtuDetails::kWindowMs);
    std::vector<DtuEvent> events;
    QString note;
    try {
        // The latest hundred even when older, and the whole day for the timeline: a second
        // query only when the hundred do not reach back a day.
        events = ctx.dm.events(id, QDateTime(), DtuDetails::kShownEvents);
        if (events.size() == static_cast<std::size_t>(DtuDetails::kShownEvents) && events.front().at >= dayAgo)
            events = MergeEvents(ctx.dm.events(id, dayAgo), events);
    } catch (const std::exception& e) {
        note = QStringLiteral("历史表读取失败，仅显示本次运行的事件: ") + QString::fromLocal8Bit(e.what());
    }
    events = MergeEvents(events, ctx.history.recent(id, dayAgo)); // not yet written, or the table unreadable
    DtuDetails d = DtuDetails::build(id, events, ctx.minutes.series(id, now), now, ctx.engine.IsOnline(id));
    d.note = note;
    return d;
}

void Console::portTeardown() {
    for (int i = 0; i < ctx.roster.count(); ++i) {
        RosterRecord& r = ctx.roster.at(i);
        if (r.portOpen && r.port) r.port->DeletePort();
    }
    ctx.busPort->ResetBus();
    // Gives local programs that still hold a port the moment to see it go.
    if (teardownWaitMs > 0) QThread::msleep(static_cast<unsigned long>(teardownWaitMs));
    ctx.roster.clear();
}

bool Console::closeWindow() {
    if (ctx.serviceRunning()) {
        emit hideWindowRequested();
        return false;
    }
    bool done = false;
    ctx.guard([&] {
        ctx.refreshTimer.stop();
        portTeardown();
        done = true;
    });
    // Closing the window is an exit path: nothing would bring a closed window back.
    if (done) emit quitRequested();
    return done;
}

void Console::exitFromMenu() {
    if (ctx.serviceRunning()) {
        ctx.prompts.message(QStringLiteral("请先停止服务，才能退出"));
        return;
    }
    ctx.guard([&] {
        portTeardown();
        emit quitRequested();
    });
}

void Console::exitFromTray() {
    if (ctx.serviceRunning()) {
        ctx.prompts.message(QStringLiteral("请先停止服务，才能退出"));
        return;
    }
    emit quitRequested();
}

void Console::shutdownForSignal() {
    qCInfo(lcConsole) << "orderly exit on a termination signal";
    ctx.refreshTimer.stop();
    ctx.secondStartTimer.stop();
    ctx.guard([this] {
        if (ctx.serviceRunning()) service.stop();
    });
    ctx.guard([this] {
        // Every registered DTU, opened or not, so each presence topic reads offline.
        const int n = ctx.engine.GetDtuCount();
        for (int i = 0; i < n; ++i) ctx.engine.CloseDtu(ctx.engine.GetDtuId(i));
    });
    teardownWaitMs = 0; // nobody waits on a signal-driven exit
    ctx.guard([this] { portTeardown(); });
    emit quitRequested();
}

} // namespace dtu
