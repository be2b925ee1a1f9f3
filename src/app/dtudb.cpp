// dtudb: administration of the dtuinfo table outside the console.
#include "core/config.h"
#include "engines/store/dtustore.h"
#include "engines/store/dtucsv.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <cstdio>

using namespace dtu;

namespace {

void out(const QString& s) { std::fputs(qPrintable(s + QLatin1Char('\n')), stdout); }
void err(const QString& s) { std::fputs(qPrintable(s + QLatin1Char('\n')), stderr); }

QString readConnection(const QString& explicitConn) {
    if (!explicitConn.isEmpty()) return explicitConn;
    ConfigPaths paths;
    for (const QString& p : {paths.local(QStringLiteral("ftdb.ini")), paths.system(QStringLiteral("ftdb.ini"))}) {
        QFile f(p);
        if (f.open(QIODevice::ReadOnly)) return QString::fromLocal8Bit(f.readAll());
    }
    throw Failure(QStringLiteral("no ftdb.ini in the current folder or /etc/dtuconsole, and no --connection"));
}

int importCsv(DtuStore& dm, const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) throw Failure(QStringLiteral("cannot read %1: %2").arg(path, f.errorString()));
    const DtuCsv csv = ParseDtuCsv(f.readAll(), path);
    const std::vector<DtuRow>& rows = csv.rows;
    if (!csv.problems.isEmpty()) {
        for (const QString& p : csv.problems) err(p);
        throw Failure(QStringLiteral("%1 bad row(s); nothing imported").arg(csv.problems.size()));
    }
    DtuStore::Transaction tx(dm);
    for (const DtuRow& r : rows) dm.appendRow(r);
    tx.commit();
    return static_cast<int>(rows.size());
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("dtudb"));
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Administer the dtuinfo table named by ftdb.ini.\n\n"
        "Commands:\n  init                      create the dtuinfo table\n"
        "  add ID PASSWORD           add a DTU (16-character ID, 6-character password)\n"
        "  list                      list the DTUs in use\n"
        "  import FILE.csv           add every row of a CSV (ID,PASSWORD[,NAME[,SIM[,PORT]]]) in one transaction"));
    p.addHelpOption();
    QCommandLineOption conn(QStringLiteral("connection"), QStringLiteral("connection string instead of ftdb.ini"), QStringLiteral("string"));
    QCommandLineOption name(QStringLiteral("name"), QStringLiteral("device name"), QStringLiteral("name"));
    QCommandLineOption sim(QStringLiteral("sim"), QStringLiteral("SIM card number"), QStringLiteral("number"));
    QCommandLineOption port(QStringLiteral("port"), QStringLiteral("virtual port name"), QStringLiteral("port"), QStringLiteral("COM3"));
    p.addOptions({conn, name, sim, port});
    p.addPositionalArgument(QStringLiteral("command"), QStringLiteral("init | add | list | import"));
    p.process(app);
    const QStringList args = p.positionalArguments();
    if (args.isEmpty()) { p.showHelp(2); }
    try {
        DtuStore dm(ConfigPaths{}, QStringLiteral("dtudb"));
        const QString cmd = args[0];
        dm.connectTo(readConnection(p.value(conn)), cmd == QLatin1String("init"));
        if (cmd == QLatin1String("init")) {
            dm.createTable();
            out(QStringLiteral("dtuinfo ready"));
        } else if (cmd == QLatin1String("add")) {
            if (args.size() != 3) throw Failure(QStringLiteral("usage: dtudb add ID PASSWORD [--name N] [--sim S] [--port P]"));
            DtuRow r{args[1], args[2], p.value(name), p.value(sim), p.value(port), 0, QDateTime::currentDateTime()};
            if (r.dtuid.size() != 16) throw Failure(QStringLiteral("DTU ID must be 16 characters: '%1'").arg(r.dtuid));
            if (r.password.size() != 6) throw Failure(QStringLiteral("password must be 6 characters"));
            dm.appendRow(r);
            out(QStringLiteral("added %1").arg(r.dtuid));
        } else if (cmd == QLatin1String("list")) {
            dm.forEachListedRow([](const DtuRow& r) {
                out(QStringList{r.dtuid, r.password, r.username, r.teleno, r.vcomport}.join(QLatin1Char('\t')));
            });
        } else if (cmd == QLatin1String("import")) {
            if (args.size() != 2) throw Failure(QStringLiteral("usage: dtudb import FILE.csv"));
            out(QStringLiteral("imported %1 row(s)").arg(importCsv(dm, args[1])));
        } else {
            throw Failure(QStringLiteral("unknown command '%1' (init, add, list, import)").arg(cmd));
        }
    } catch (const Failure& f) {
        err(QStringLiteral("dtudb: ") + f.text());
        return 1;
    }
    return 0;
}
