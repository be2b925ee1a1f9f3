// dtudb: administration of the dtuinfo table outside the console.
#include "core/config.h"
#include "engines/store/dtustore.h"
#include "engines/store/brokerauth.h"
#include "engines/store/dtucsv.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QSaveFile>
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

// Credentials: readable by this user only, written whole or not at all.
void writeSecret(const QString& path, const QByteArray& text) {
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly)) throw Failure(QStringLiteral("cannot write %1: %2").arg(path, f.errorString()));
    f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    f.write(text);
    if (!f.commit()) throw Failure(QStringLiteral("cannot write %1: %2").arg(path, f.errorString()));
}

// "2h", "30m", "45s" back from now, or a local date with an optional time.
QDateTime parseSince(const QString& text) {
    int seconds = 0;
    QString shown;
    // History keeps 90 days by default and may keep all: allow ten years back.
    if (ParseDuration(text, &seconds, &shown, 3650LL * 24 * 3600)) return QDateTime::currentDateTime().addSecs(-seconds);
    for (const char* format : {"yyyy-MM-dd HH:mm:ss", "yyyy-MM-ddTHH:mm:ss", "yyyy-MM-dd HH:mm", "yyyy-MM-ddTHH:mm", "yyyy-MM-dd"}) {
        const QDateTime t = QDateTime::fromString(text.trimmed(), QLatin1String(format));
        if (t.isValid()) return t;
    }
    throw Failure(QStringLiteral("--since '%1': give a duration (2h, 30m, 45s) or a time (2026-12-10, '2026-12-10 03:00')").arg(text));
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
        "  events [ID] [--since T]   print the DTUs' history, oldest first (T: 2h, 30m, 2026-12-10, '2026-12-10 03:00')\n"
        "  import FILE.csv           add every row of a CSV (ID,PASSWORD[,NAME[,SIM[,PORT]]]) in one transaction\n"
        "  broker-auth --passwd F --acl F   write a mosquitto password file and an ACL confining each DTU to its topics"));
    p.addHelpOption();
    QCommandLineOption conn(QStringLiteral("connection"), QStringLiteral("connection string instead of ftdb.ini"), QStringLiteral("string"));
    QCommandLineOption name(QStringLiteral("name"), QStringLiteral("device name"), QStringLiteral("name"));
    QCommandLineOption sim(QStringLiteral("sim"), QStringLiteral("SIM card number"), QStringLiteral("number"));
    QCommandLineOption port(QStringLiteral("port"), QStringLiteral("virtual port name"), QStringLiteral("port"), QStringLiteral("COM3"));
    QCommandLineOption passwdFile(QStringLiteral("passwd"), QStringLiteral("broker-auth: mosquitto password file to write"), QStringLiteral("file"));
    QCommandLineOption aclFile(QStringLiteral("acl"), QStringLiteral("broker-auth: mosquitto ACL file to write"), QStringLiteral("file"));
    QCommandLineOption since(QStringLiteral("since"), QStringLiteral("events: from this time on (a duration back from now, or a date and time)"), QStringLiteral("time"));
    QCommandLineOption prefix(QStringLiteral("prefix"), QStringLiteral("broker-auth: topic prefix ([LINK] TopicPrefix)"), QStringLiteral("prefix"), QStringLiteral("dtu"));
    p.addOptions({conn, name, sim, port, passwdFile, aclFile, prefix, since});
    p.addPositionalArgument(QStringLiteral("command"), QStringLiteral("init | add | list | events | import | broker-auth"));
    p.process(app);
    const QStringList args = p.positionalArguments();
    if (args.isEmpty()) { p.showHelp(2); }
    try {
        DtuStore dm(ConfigPaths{}, QStringLiteral("dtudb"));
        const QString cmd = args[0];
        dm.connectTo(readConnection(p.value(conn)), cmd == QLatin1String("init"));
        if (cmd == QLatin1String("init")) {
            dm.createTable();
            out(QStringLiteral("dtuinfo and dtuevent ready"));
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
        } else if (cmd == QLatin1String("events")) {
            if (args.size() > 2) throw Failure(QStringLiteral("usage: dtudb events [ID] [--since T]"));
            const QDateTime from = p.isSet(since) ? parseSince(p.value(since)) : QDateTime();
            for (const DtuEvent& e : dm.events(args.value(1), from))
                out(QStringList{e.at.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")), e.dtuid, e.event, e.detail}.join(QLatin1Char('\t')));
        } else if (cmd == QLatin1String("import")) {
            if (args.size() != 2) throw Failure(QStringLiteral("usage: dtudb import FILE.csv"));
            out(QStringLiteral("imported %1 row(s)").arg(importCsv(dm, args[1])));
        } else if (cmd == QLatin1String("broker-auth")) {
            if (!p.isSet(passwdFile) || !p.isSet(aclFile))
                throw Failure(QStringLiteral("usage: dtudb broker-auth --passwd FILE --acl FILE [--prefix dtu]"));
            std::vector<DtuRow> rows;
            dm.forEachListedRow([&](const DtuRow& r) { rows.push_back(r); });
            const BrokerAuth auth = MakeBrokerAuth(rows, p.value(prefix));
            if (!auth.problems.isEmpty()) {
                for (const QString& problem : auth.problems) err(problem);
                throw Failure(QStringLiteral("%1 row(s) cannot log in at the broker; nothing written").arg(auth.problems.size()));
            }
            writeSecret(p.value(passwdFile), auth.passwd);
            writeSecret(p.value(aclFile), auth.acl);
            out(QStringLiteral("%1 DTU(s) in %2, ACL in %3").arg(auth.passwd.count('\n')).arg(p.value(passwdFile), p.value(aclFile)));
        } else {
            throw Failure(QStringLiteral("unknown command '%1' (init, add, list, events, import, broker-auth)").arg(cmd));
        }
    } catch (const Failure& f) {
        err(QStringLiteral("dtudb: ") + f.text());
        return 1;
    }
    return 0;
}
