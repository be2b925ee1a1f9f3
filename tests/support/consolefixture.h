#pragma once
// A console over fake engines and a real SQLite table in a temporary folder.
#include "console/console.h"
#include "console/display/refresh.h"
#include "engines/store/dtustore.h"
#include "support/fakes.h"

#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>

namespace dtu::test {

inline const QDateTime kNow(QDate(2016, 3, 5), QTime(8, 9, 10));

class ConsoleFixture : public ::testing::Test {
protected:
    QTemporaryDir dir;
    FakeLinkEngine engine;
    FakePortEngine ports;
    ScriptedPrompts prompts;
    std::unique_ptr<DtuStore> dm;
    std::unique_ptr<Console> console;
    CenterConfig config;

    ConfigPaths paths() const { return {dir.path(), dir.path() + "/nosystem"}; }
    QString dbPath() const { return dir.filePath("dtu.db"); }

    void writeFtdb(const QByteArray& text) {
        QFile f(dir.filePath("ftdb.ini"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
    }
    // A table with these rows (ID, name, port); ftdb.ini points at it.
    void makeTable(const QList<std::tuple<QString, QString, QString>>& rows) {
        DtuStore mk(paths(), "maker");
        mk.connectTo("Provider=SQLite;Data Source=" + dbPath(), true);
        mk.createTable();
        for (const auto& [id, name, port] : rows) mk.appendRow({id, "123456", name, "", port, 0, kNow});
        writeFtdb("Provider=SQLite;Data Source=" + dbPath().toUtf8());
    }
    void makeConsole() {
        config.listenerPort = 0;
        config.statusListen.clear();
        dm = std::make_unique<DtuStore>(paths(), "console-db");
        console = std::make_unique<Console>(engine, ports, *dm, prompts, config, Clock{[] { return kNow; }});
        console->teardownWaitMs = 0;
        console->ctx.reporterInstalled = true;
    }
    // Table, console, creation steps; the engine's calls recorded so far are dropped.
    void start(const QList<std::tuple<QString, QString, QString>>& rows) {
        makeTable(rows);
        makeConsole();
        console->create();
        console->ctx.secondStartTimer.stop();
        engine.calls.clear();
    }
    ConsoleContext& ctx() { return console->ctx; }
    void select(int row) {
        ctx().selection.select(ctx().devices.index(row, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }
    void setOnline(const QString& id) {
        engine.online.insert(id);
        RefreshDeviceRow(ctx(), id);
    }
    QStringList memo() const { return console->ctx.messageDisplay.lines(); }
    void fillMemo(int n) {
        for (int i = 0; i < n; ++i) console->ctx.messageDisplay.append(QString("old %1").arg(i));
    }
};

} // namespace dtu::test
