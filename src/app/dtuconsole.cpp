// dtuconsole: the DTU management console.
#include "console/console.h"
#include "console/exitlatch.h"
#include "ui/mainwindow.h"
#include "ui/qtprompts.h"
#include "core/unixsignals.h"
#include "engines/link/mqttengine.h"
#include "engines/store/dtustore.h"
#include "engines/vport/ptyport.h"
#include "relay/relaythread.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QLoggingCategory>

using namespace dtu;

int main(int argc, char** argv) {
    // Qt's own poll dispatcher costs less per socket event than the GLib one, and every
    // packet is a socket event here. QT_NO_GLIB=0 in the environment brings GLib back.
    if (!qEnvironmentVariableIsSet("QT_NO_GLIB")) qputenv("QT_NO_GLIB", "1");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("dtuconsole"));
    QApplication::setApplicationDisplayName(QStringLiteral("Zorbelin管理软件"));
    QApplication::setQuitOnLastWindowClosed(false); // closing while running only hides the window
    QApplication::setApplicationVersion(QStringLiteral(DTU_VERSION));
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("The DTU console. Reads center.ini and ftdb.ini from the current folder, then /etc/dtuconsole."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.process(app);
    const long files = RaiseFileLimit();

    const ConfigPaths paths;
    const CenterConfig config = ReadCenterConfig(paths);
    qInfo().noquote() << "dtuconsole starting;" << StartupSummary(config) << "open files:" << files;

    DtuStore dataModule1(paths);
    // The sessions and the ports live on the relay's thread; the console talks to them there.
    RelayThread relay([&config] { return std::make_unique<MqttLinkEngine>(config.link); },
                      [&config] {
                          // [VPORT] Group is the service's: a desktop user is seldom in it.
                          return std::make_unique<PtyPortEngine>(config.portDir, config.portDirIsDefault ? PortFolder::Policy::Private
                                                                                                         : PortFolder::Policy::Shared);
                      });
    QtPrompts prompts;
    Console console(relay.link(), relay.portEngine(), dataModule1, prompts, config);
    MainWindow window(console);
    prompts.setParent(&window);

    ExitLatch ending(console);

    console.attachRouter(relay);
    console.create();
    int rc = console.exitStatus;
    if (!ending.requested()) {
        window.show();
        rc = app.exec();
    }
    qInfo() << "dtuconsole stopped";
    return rc;
}
