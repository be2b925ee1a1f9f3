#pragma once
// Everything the handlers share: the roster and queues, the engines, the table, the
// views' models and the operator's options. Created once by the composition root and
// handed to every handler; there are no globals.
#include "console/display/devicelist.h"
#include "console/display/messagedisplay.h"
#include "core/config.h"
#include "core/prompts.h"
#include "core/roster.h"
#include "core/timestamp.h"

#include "console/display/consoleaction.h"
#include "console/capture/capturelog.h"
#include "console/history/eventlog.h"
#include "console/history/minutetraffic.h"

#include <QHash>
#include <QItemSelectionModel>
#include <QStringDecoder>
#include <QTimer>
#include <functional>
#include <memory>
#include <vector>

namespace dtu {

class ILinkEngine;
class IVPortEngine;
class IVPort;
class DtuStore;

class ConsoleContext : public QObject {
    Q_OBJECT
public:
    ConsoleContext(ILinkEngine& engine, IVPortEngine& ports, DtuStore& dm, Prompts& prompts,
                   CenterConfig config, Clock clock = {}, QObject* parent = nullptr);
    ~ConsoleContext() override;

    ILinkEngine& engine;
    IVPortEngine& portEngine;
    DtuStore& dm;
    PromptRouter promptRouter; // before prompts: it is what prompts names
    Prompts& prompts;
    CenterConfig config;
    Clock clock;

    // What crossed the link per DTU beyond the engine's packet counts, for the status page.
    struct Traffic {
        qint64 bytesIn = 0, bytesOut = 0;
        qint64 lastDataMs = 0; // the last packet from the field (not a heartbeat)
        qint64 loginMs = 0;    // the last accepted login
        qint64 failures[4] = {0, 0, 0, 0}; // no answer in time, not online, not registered, other
    };
    QHash<QString, Traffic> traffic;
    TrafficHistory minutes; // per minute, the last day
    EventLog history{clock};  // login, disconnect, close, silent, recovered -> dtuevent
    CaptureLog capture;       // recorded DTUs' byte strings, both ways
    // Set where a DTU's online state or the list changes: the silent-DTU alarm then looks at
    // every row; otherwise only when a deadline is due or at the silent ones.
    bool silenceRecheck = true;

    DtuList roster;
    RefreshQueue refreshQueue;
    LogQueue logQueue;
    DeviceListModel devices;
    QItemSelectionModel selection{&devices};
    MessageDisplay messageDisplay;
    PlainText sendBox; // what the operator typed to send

    // Service state lives in the enabled state of these two commands.
    ConsoleAction actStartService{QStringLiteral("启动服务")};
    ConsoleAction actStopService{QStringLiteral("停止服务")};
    // Display options live in the check marks of these commands.
    ConsoleAction hexDisplay{QStringLiteral("HEX格式显示")};
    ConsoleAction dataTips{QStringLiteral("显示数据附加提示")};
    ConsoleAction showHeartbeats{QStringLiteral("显示心跳信息")};

    QTimer refreshTimer;
    QTimer secondStartTimer;

    IVPort* busPort = nullptr;               // never makes a port; resets the bus
    std::vector<std::unique_ptr<IVPort>> ports; // every instance made, owned here

    bool serviceRunning() const { return actStopService.isEnabled(); }
    bool rowSelected(int row) const;
    bool anySelected() const { return selection.hasSelection(); }
    QList<int> selectedRows() const; // top to bottom

    QString statusPanel(int i) const { return status_[i]; }
    void setStatusPanel(int i, const QString& text);
    // Closes a DTU's session and puts the close in its history, saying who closed it.
    void closeDtu(const QString& id, const QString& why);
    QString sendBoxCaption() const { return hexDisplay.isChecked() ? QStringLiteral("HEX") : QString(); }

    QString stamp() const { return clock.stamp(); }
    // Why the DTU table cannot be read now; empty while it can (a service retries meanwhile).
    QString databaseProblem;
    QString displayText(const QByteArray& bytes); // received bytes as text in the display encoding
    // How many line breaks displayText(bytes) will hold, worked out from the bytes; -1 when
    // the display encoding does not keep CR and LF as their own bytes.
    int displayBreaks(const QByteArray& bytes) const;
    QByteArray displayEncode(const QString& text); // the operator's text as bytes, same encoding

    // The failure reporter: one line in messageView, or a message box before the window is active.
    void reportFailure(const QString& message);
    bool reporterInstalled = false;
    // Runs one handler; what it throws ends up with the failure reporter.
    void guard(const std::function<void()>& fn);

signals:
    void statusChanged(int panel, const QString& text);
    void failureReported(const QString& line); // what the failure reporter put in the display

private:
    QString status_[4];
    QStringDecoder decoder_;
    bool utf8_ = true, breaksAreBytes_ = true;
    QStringEncoder encoder_;
};

} // namespace dtu
