#pragma once
// The composition root without widgets: creation steps, activation, the command
// handlers and the exit paths. The main window only draws it and forwards clicks.
#include "console/context.h"
#include "console/service/service.h"
#include "console/service/silence.h"
#include "console/remote/remote.h"
#include "console/roster/rostercommands.h"
#include "console/ports/ports.h"

#include "console/status/statuspage.h"
#include "engines/store/tablelock.h"
#include "console/history/details.h"

#include <QTcpServer>
#include <deque>

namespace dtu {

class WebConsole;

class Console : public QObject {
    Q_OBJECT
public:
    Console(ILinkEngine& engine, IVPortEngine& ports, DtuStore& dm, Prompts& prompts, CenterConfig config,
            Clock clock = {}, QObject* parent = nullptr);
    ~Console() override;

    ConsoleContext ctx;
    Service service{ctx};
    LinkEvents events{ctx};
    PortControl portControl{ctx};
    RemoteFunctions remote{ctx};
    RosterCommands rosterCommands{ctx};
    SilenceWatch silence{ctx};

    // Window creation: listener, secondStartTimer, then the creation steps.
    void create();
    // The engines deliver to the ports themselves (the relay's thread): keep the router told
    // where bytes go. Before create().
    void attachRouter(PortRouter& router) { portControl.attachRouter(router, events.replyMatchers()); }
    void activate(); // every time the main window becomes active

    void serviceStart() { service.start(); }
    void serviceStop() { ctx.guard([this] { service.stop(); }); }
    void setServicePort();  // "设置端口号"
    void showVersion();     // "获取控件版本信息"
    int servicePort() const { return servicePort_; }

    void sendManually(); // "发送数据"
    // The send box's path for these rows: the text as typed (hex or not), its display line,
    // the sends. Answers the hex parser's complaint, empty when it went out.
    QString sendTyped(const QList<int>& rows, const QString& typed, bool hex);
    static bool acceptSendKey(bool hexMode, QChar c); // the send box's key filter
    void toggleHexDisplay() { ctx.hexDisplay.trigger(); }
    void toggleDataTips() { ctx.dataTips.trigger(); }
    void toggleHeartbeats() { ctx.showHeartbeats.trigger(); }
    void clearMessages();        // "清空信息显示区"
    void setRecording(const QString& id, bool on); // "开始记录" / "停止记录"
    DtuDetails detailsOf(const QString& id); // "DTU详情": the table's history and this run's

    // Exit paths. closeWindow answers whether the close may proceed.
    bool closeWindow();
    void exitFromMenu();
    void exitFromTray();
    void portTeardown();
    // Orderly exit on a signal from the system: stop, tear down, close every DTU.
    void shutdownForSignal();
    // The service's reload: the table and center.ini read again. New DTUs are logged in and
    // get ports, removed ones are closed and lose theirs, a new password logs in again, a new
    // port moves; DTUs that did not change are not touched. Returns the run log's line.
    QString reload();

    quint16 listenerPort() const { return listener_.isListening() ? listener_.serverPort() : 0; }
    QHostAddress listenerAddress() const { return listener_.serverAddress(); }
    quint16 statusPort() const { return status_.port(); }
    const WebConsole* web() const { return web_.get(); }
    int idleConnections() const { return static_cast<int>(idle_.size()); }
    int teardownWaitMs = 1000;
    // A service started before its database (a reboot): keep trying with backoff instead of
    // running empty; the window leaves that to the operator, as it always did.
    bool retryDatabase = false;
    // What the program ends with when the console asks it to quit (a refused start says so).
    int exitStatus = 0;
    static constexpr int kExitTableInUse = 3;
    // The second start the window makes after its creation is left out once the service runs.
    bool startOnce = false;
    static constexpr int kRetryFirstMs = 1000, kRetryMaxMs = 30000;
    int databaseRetryMs() const { return retryMs_; }

signals:
    void sendBoxCaptionChanged(const QString& caption);
    void hideWindowRequested();
    void quitRequested();

private:
    void startListener();
    void startStatusPage();
    void creationSteps();
    bool loadRoster();
    void databaseUnavailable(const QString& cause);
    void startHistory();
    void releasePorts(const QString& id);
    QStringList applyConfig(); // the settings that change live; answers those that need a restart
    struct TableEntry {
        QString password;
        QStringList ports; // one per row of the ID, in table order
    };
    QHash<QString, TableEntry> loaded_; // the table as last read
    QMap<QString, QString> configKeys_; // center.ini as last read
    bool claimTable(); // false: another console holds it, and the program ends
    TableLock tableLock_;
    QTimer databaseRetry_;
    int retryMs_ = kRetryFirstMs;
    std::deque<QTcpSocket*> idle_;
    QTcpServer listener_;
    QTimer silenceTimer_;
    StatusServer status_;
    std::unique_ptr<WebConsole> web_;
    int servicePort_;
};

} // namespace dtu
