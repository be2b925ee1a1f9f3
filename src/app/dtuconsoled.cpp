// dtuconsoled: the console without a window, for a service manager.
#include "console/console.h"
#include "console/exitlatch.h"
#include "console/headless.h"
#include "core/unixsignals.h"
#include "engines/link/mqttengine.h"
#include "engines/store/dtustore.h"
#include "engines/vport/ptyport.h"
#include "relay/relaythread.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QTimer>
#include <systemd/sd-daemon.h>

using namespace dtu;

namespace {
// Tells systemd (Type=notify) when the console is up, how many DTUs are online, and that
// the event loop still turns; outside systemd every call is a no-op.
void notifySystemd(Console& console, QObject* owner) {
    auto status = [&console] {
        if (!console.ctx.databaseProblem.isEmpty()) {
            sd_notifyf(0, "STATUS=degraded: no database (%s)", console.ctx.databaseProblem.toUtf8().constData());
            return;
        }
        const int online = console.ctx.devices.onlineCount(), known = console.ctx.devices.rowCount();
        sd_notifyf(0, "STATUS=%d of %d DTUs online", online, known);
    };
    sd_notify(0, "READY=1");
    status();
    auto* statusTimer = new QTimer(owner);
    QObject::connect(statusTimer, &QTimer::timeout, owner, status);
    statusTimer->start(5000);
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        auto* ping = new QTimer(owner);
        QObject::connect(ping, &QTimer::timeout, owner, [] { sd_notify(0, "WATCHDOG=1"); });
        ping->start(static_cast<int>(std::max<uint64_t>(usec / 2000, 100)));
    }
}
} // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB")) qputenv("QT_NO_GLIB", "1"); // cheaper socket events
    QCoreApplication app(argc, argv);
    journal::installMessageHandler();
    QCoreApplication::setApplicationName(QStringLiteral("dtuconsoled"));
    QCoreApplication::setApplicationVersion(QStringLiteral(DTU_VERSION));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "The DTU console as a service: logs the DTUs of the table in at the relay center, keeps their\n"
        "virtual serial ports and relays both ways. What the window would show goes to stderr."));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption configDir(QStringLiteral("config"),
                                       QStringLiteral("folder of center.ini and ftdb.ini (else the current folder, then /etc/dtuconsole)"),
                                       QStringLiteral("DIR"));
    const QCommandLineOption showData(QStringLiteral("show-data"),
                                      QStringLiteral("also print the data and event lines of the message display (at most 20 a second)"));
    const QCommandLineOption capture(QStringLiteral("capture"),
                                     QStringLiteral("record these DTUs' conversations (beside [CAPTURE] Ids)"), QStringLiteral("ID,..."));
    parser.addOptions({configDir, showData, capture});
    parser.process(app);

    const long files = RaiseFileLimit();
    ConfigPaths paths;
    if (parser.isSet(configDir)) paths.localDir = parser.value(configDir);
    CenterConfig config = ReadCenterConfig(paths);
    for (const QString& id : parser.value(capture).split(QLatin1Char(','), Qt::SkipEmptyParts)) config.captureIds << id.trimmed();
    qInfo().noquote() << "dtuconsoled starting;" << StartupSummary(config) << "open files:" << files;

    DtuStore store(paths);
    // The sessions and the ports live on the relay's thread; the console talks to them there.
    RelayThread relay([&config] { return std::make_unique<MqttLinkEngine>(config.link); },
                      [&config] {
                          return std::make_unique<PtyPortEngine>(config.portDir, config.portDirIsDefault ? PortFolder::Policy::Private
                                                                                                         : PortFolder::Policy::Shared,
                                                                config.portGroup);
                      });
    LoggingPrompts prompts;
    Console console(relay.link(), relay.portEngine(), store, prompts, config);
    console.teardownWaitMs = 0; // nobody looks at the ports going away
    console.retryDatabase = true;   // after a reboot the database may come up later than we do
    console.startOnce = true;       // the window's second start would say "启动成功" twice
    StderrSink sink(console.ctx, parser.isSet(showData));

    ExitLatch ending(console, [] { sd_notify(0, "STOPPING=1"); });
    ending.reloadOnHangup([](bool done) { sd_notify(0, done ? "READY=1" : "RELOADING=1"); });

    console.attachRouter(relay);
    console.create();
    console.activate(); // as the window's first showing: the database again, failures to stderr from now on
    if (!ending.requested()) notifySystemd(console, &app);
    const int rc = ending.requested() ? console.exitStatus : app.exec();
    qInfo() << "dtuconsoled stopped";
    return rc;
}
