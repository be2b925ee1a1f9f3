#pragma once
// Shared by the fuzz targets: a console over fake engines with a small SQLite table, for
// the targets that drive the inbound dispatch.
#include "console/console.h"
#include "engines/store/dtustore.h"
#include "support/fakes.h"

#include <QFile>
#include <QCoreApplication>
#include <QTemporaryDir>
#include <memory>

namespace dtu::fuzz {

inline const QString kA = QStringLiteral("0000000000000001");
inline const QString kB = QStringLiteral("0000000000000002");

struct FakeConsole {
    QTemporaryDir dir;
    test::FakeLinkEngine engine;
    test::FakePortEngine ports;
    test::ScriptedPrompts prompts;
    std::unique_ptr<DtuStore> dm;
    std::unique_ptr<Console> console;

    FakeConsole() {
        const ConfigPaths paths{dir.path(), dir.path() + QStringLiteral("/none")};
        {
            DtuStore mk(paths, QStringLiteral("fuzz-maker"));
            mk.connectTo(QStringLiteral("Provider=SQLite;Data Source=") + dir.filePath(QStringLiteral("dtu.db")), true);
            mk.createTable();
            mk.appendRow({kA, QStringLiteral("123456"), QStringLiteral("a"), {}, QStringLiteral("COM5"), 0, QDateTime::currentDateTime()});
            mk.appendRow({kB, QStringLiteral("123456"), QStringLiteral("b"), {}, QStringLiteral("COM5"), 0, QDateTime::currentDateTime()});
        }
        QFile f(dir.filePath(QStringLiteral("ftdb.ini")));
        f.open(QIODevice::WriteOnly);
        f.write("Provider=SQLite;Data Source=" + dir.filePath(QStringLiteral("dtu.db")).toUtf8());
        f.close();
        CenterConfig config;
        config.listenerPort = 0;
        config.statusListen.clear();
        dm = std::make_unique<DtuStore>(paths, QStringLiteral("fuzz-console"));
        console = std::make_unique<Console>(engine, ports, *dm, prompts, config);
        console->teardownWaitMs = 0;
        console->ctx.reporterInstalled = true;
        console->create();
        console->ctx.secondStartTimer.stop();
        engine.online.insert(kA);
        engine.online.insert(kB);
    }
    // What a run leaves behind must not pile up over millions of runs.
    void tidy() {
        engine.calls.clear();
        engine.sent.clear();
        for (test::FakePort* p : ports.made)
            if (p) p->written.clear();
        console->ctx.messageDisplay.flush();
        console->ctx.refreshQueue.clear();
    }
};

inline void startApp() {
    static int argc = 1;
    static char name[] = "fuzz";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
}

} // namespace dtu::fuzz
