// dtuconsoled: the console without a window, for a service manager.
#include "console/console.h"
#include "console/headless.h"
#include "core/unixsignals.h"
#include "engines/link/mqttengine.h"
#include "engines/store/dtustore.h"
#include "engines/vport/ptyport.h"

#include <QCommandLineParser>
#include <QCoreApplication>

using namespace dtu;

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB")) qputenv("QT_NO_GLIB", "1"); // cheaper socket events
    QCoreApplication app(argc, argv);
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
    parser.addOptions({configDir, showData});
    parser.process(app);

    const long files = RaiseFileLimit();
    ConfigPaths paths;
    if (parser.isSet(configDir)) paths.localDir = parser.value(configDir);
    const CenterConfig config = ReadCenterConfig(paths);
    qInfo().noquote() << "dtuconsoled starting; center.ini:" << (config.sourceFile.isEmpty() ? QStringLiteral("(none, defaults)") : config.sourceFile)
                      << "broker:" << config.link.host << config.link.port << "ports:" << config.portDir << "open files:" << files;

    DtuStore store(paths);
    MqttLinkEngine engine(config.link);
    PtyPortEngine ports(config.portDir, config.portDirIsDefault ? PortFolder::Policy::Private : PortFolder::Policy::Shared);
    LoggingPrompts prompts;
    Console console(engine, ports, store, prompts, config);
    console.teardownWaitMs = 0; // nobody looks at the ports going away
    StderrSink sink(console.ctx, parser.isSet(showData));

    bool quitting = false;
    QObject::connect(&console, &Console::quitRequested, &app, [&] {
        quitting = true;
        QCoreApplication::exit(0);
    }, Qt::QueuedConnection);
    UnixSignalWatcher termination;
    QObject::connect(&termination, &UnixSignalWatcher::terminationRequested, &console, [&](int sig) {
        qInfo() << "signal" << sig << "received";
        console.shutdownForSignal();
    });

    console.create();
    console.activate(); // as the window's first showing: the database again, failures to stderr from now on
    const int rc = quitting ? 0 : app.exec();
    qInfo() << "dtuconsoled stopped";
    return rc;
}
