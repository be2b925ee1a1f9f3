// dtudb: administration of the dtuinfo table outside the console.
#include "core/config.h"
#include "engines/store/connstring.h"
#include "engines/store/dtustore.h"
#include "engines/store/brokerauth.h"
#include "engines/store/dtucsv.h"
#include "engines/store/rowrules.h"
#include "console/web/webusers.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <cstring>
#include <cerrno>
#include <unistd.h>
#include <sys/stat.h>
#include <pwd.h>
#include <termios.h>
#include <grp.h>
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

// Who may read the broker's credentials: an explicit USER[:GROUP], or, for root on a machine
// with a mosquitto user, that user (Debian's broker starts as root and reads them as mosquitto).
struct SecretOwner {
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
    bool groupReads = false;
    QString shown;
};

SecretOwner secretOwner(const QString& named, const char* defaultUser = "mosquitto") {
    SecretOwner o;
    QString user = named, group;
    if (named.isEmpty()) {
        if (::geteuid() != 0 || !::getpwnam(defaultUser)) return o; // this user, as before
        user = QString::fromLatin1(defaultUser);
    } else if (const qsizetype colon = named.indexOf(QLatin1Char(':')); colon >= 0) {
        user = named.left(colon);
        group = named.mid(colon + 1);
    }
    const passwd* pw = ::getpwnam(user.toLocal8Bit().constData());
    if (!pw) throw Failure(QStringLiteral("--owner: no user '%1'").arg(user));
    o.uid = pw->pw_uid;
    o.gid = pw->pw_gid;
    if (!group.isEmpty()) {
        const struct group* gr = ::getgrnam(group.toLocal8Bit().constData());
        if (!gr) throw Failure(QStringLiteral("--owner: no group '%1'").arg(group));
        o.gid = gr->gr_gid;
        o.groupReads = true;
    }
    o.shown = group.isEmpty() ? user : user + QLatin1Char(':') + group;
    return o;
}

// Credentials: readable by their owner only (and a named group), replaced whole or not at
// all, so a broker reloading meanwhile reads the old file or the new one.
void writeSecret(const QString& path, const QByteArray& text, const SecretOwner& owner) {
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly)) throw Failure(QStringLiteral("cannot write %1: %2").arg(path, f.errorString()));
    f.write(text);
    if (owner.uid != static_cast<uid_t>(-1) && ::fchown(f.handle(), owner.uid, owner.gid) != 0)
        throw Failure(QStringLiteral("cannot give %1 to %2: %3").arg(path, owner.shown, QString::fromLocal8Bit(std::strerror(errno))));
    if (::fchmod(f.handle(), owner.groupReads ? 0640 : 0600) != 0)
        throw Failure(QStringLiteral("cannot set the mode of %1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno))));
    if (!f.commit()) throw Failure(QStringLiteral("cannot write %1: %2").arg(path, f.errorString()));
}

// Root writing a SQLite table in a folder that belongs to another user (the service's,
// /var/lib/dtuconsole) would leave files that user cannot write: history then fails with
// "attempt to write a readonly database". Refused, with the command to use instead.
void refuseRootOnAnotherUsersTable(const QString& connection, const QString& cmd) {
    if (::geteuid() != 0 || cmd == QLatin1String("broker-auth")) return;
    const SqlTarget t = TranslateConnectionString(connection);
    if (t.driver != QLatin1String("QSQLITE")) return;
    struct stat st {};
    const QString folder = QFileInfo(t.databaseName).absolutePath();
    if (::stat(QFile::encodeName(folder).constData(), &st) != 0 || st.st_uid == 0) return;
    const passwd* pw = ::getpwuid(st.st_uid);
    const QString user = pw ? QString::fromLocal8Bit(pw->pw_name) : QString::number(st.st_uid);
    throw Failure(QStringLiteral("%1 belongs to %2: as root this would leave files %2 cannot write. "
                                 "Run it as that user: runuser -u %2 -- dtudb %3")
                      .arg(folder, user, QCoreApplication::arguments().mid(1).join(QLatin1Char(' '))));
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

std::vector<DtuRow> tableRows(DtuStore& dm) {
    std::vector<DtuRow> rows;
    dm.forEachListedRow([&](const DtuRow& r) { rows.push_back(r); });
    return rows;
}

// A running service takes the change at its next reload.
const char kReloadHint[] = "; a running dtuconsoled takes it on: systemctl reload dtuconsoled";

int importCsv(DtuStore& dm, const QString& path, bool sharePorts) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) throw Failure(QStringLiteral("cannot read %1: %2").arg(path, f.errorString()));
    DtuCsv csv = ParseDtuCsv(f.readAll(), path);
    const std::vector<DtuRow>& rows = csv.rows;
    std::vector<DtuRow> held = tableRows(dm);
    for (const DtuRow& r : rows) {
        // Against the table and the rows above it in the file.
        if (const QString clash = RowConflict(held, r, sharePorts); !clash.isEmpty())
            csv.problems << QStringLiteral("%1: %2: %3").arg(path, r.dtuid, clash);
        held.push_back(r);
    }
    if (!csv.problems.isEmpty()) {
        for (const QString& p : csv.problems) err(p);
        throw Failure(QStringLiteral("%1 bad row(s); nothing imported").arg(csv.problems.size()));
    }
    DtuStore::Transaction tx(dm);
    for (const DtuRow& r : rows) dm.appendRow(r);
    tx.commit();
    return static_cast<int>(rows.size());
}

// A password from the terminal, asked twice without echo; from standard input (one line) when
// that is no terminal, as chpasswd takes it.
QString readPassword() {
    if (!::isatty(STDIN_FILENO)) {
        char line[1024];
        if (!std::fgets(line, sizeof line, stdin)) throw Failure(QStringLiteral("no password on standard input"));
        return QString::fromUtf8(line).remove(QLatin1Char('\n')).remove(QLatin1Char('\r'));
    }
    auto ask = [](const char* prompt) {
        std::fputs(prompt, stderr);
        termios old {};
        ::tcgetattr(STDIN_FILENO, &old);
        termios quiet = old;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
        char line[1024] = {};
        const bool got = std::fgets(line, sizeof line, stdin) != nullptr;
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &old);
        std::fputs("\n", stderr);
        if (!got) throw Failure(QStringLiteral("no password given"));
        return QString::fromUtf8(line).remove(QLatin1Char('\n'));
    };
    const QString first = ask("password: ");
    if (ask("again: ") != first) throw Failure(QStringLiteral("the two passwords differ; nothing changed"));
    return first;
}

// dtudb web-user add|passwd|del|list [NAME] [--role R]: the web console's users file.
void webUser(const QStringList& args, const QString& file, const QString& roleName, bool roleSet, const QString& owner) {
    const QString action = args.value(1);
    const QString name = args.value(2);
    WebUsers users;
    QString why;
    if (!users.load(file, &why) && QFileInfo::exists(file)) throw Failure(why);
    if (action == QLatin1String("list")) {
        if (args.size() != 2) throw Failure(QStringLiteral("usage: dtudb web-user list"));
        for (const WebUser& u : users.users()) out(u.name + QLatin1Char('\t') + RoleName(u.role));
        return;
    }
    if (args.size() != 3 || !(action == QLatin1String("add") || action == QLatin1String("passwd") || action == QLatin1String("del")))
        throw Failure(QStringLiteral("usage: dtudb web-user add|passwd|del|list NAME [--role viewer|operator|admin] [--users FILE]"));
    if (!WebUsers::validName(name)) throw Failure(QStringLiteral("user name '%1': 1 to 32 of A-Z a-z 0-9 _ . -").arg(name));
    const WebUser* existing = users.find(name);
    WebUser u = existing ? *existing : WebUser{name, WebRole::Viewer, {}};
    if (action == QLatin1String("del")) {
        if (!users.remove(name)) throw Failure(QStringLiteral("no web user %1; nothing changed").arg(name));
    } else {
        if (action == QLatin1String("add") && existing) throw Failure(QStringLiteral("web user %1 exists (passwd changes the password)").arg(name));
        if (action == QLatin1String("passwd") && !existing) throw Failure(QStringLiteral("no web user %1 (add makes one)").arg(name));
        if (roleSet) {
            const auto role = ParseRole(roleName);
            if (!role) throw Failure(QStringLiteral("--role '%1': viewer, operator or admin").arg(roleName));
            u.role = *role;
        }
        const QString password = readPassword();
        if (password.size() < 8) throw Failure(QStringLiteral("a web password needs at least 8 characters; nothing changed"));
        u.hash = WebUsers::hashPassword(password);
        if (u.hash.isEmpty()) throw Failure(QStringLiteral("hashing the password failed; nothing changed"));
        users.put(u);
    }
    const SecretOwner o = secretOwner(owner, "dtuconsole");
    writeSecret(file, users.text(), o);
    out(QStringLiteral("%1 %2 in %3%4").arg(action == QLatin1String("del") ? QStringLiteral("removed") : QStringLiteral("saved"), name, file,
                                          o.shown.isEmpty() ? QString() : QStringLiteral(", readable by %1 only").arg(o.shown)));
}

// The users file when --users does not name one: beside the center.ini the console would read.
QString defaultUsersFile() {
    const ConfigPaths paths;
    return QFileInfo::exists(paths.local(QStringLiteral("center.ini"))) ? paths.local(QStringLiteral("web-users"))
                                                                        : paths.system(QStringLiteral("web-users"));
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("dtudb"));
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral(
        "Administer the dtuinfo table named by ftdb.ini.\n\n"
        "Commands:\n  init                      create the dtuinfo table\n"
        "  add ID PASSWORD           add a DTU (16-character ID, 6-character password; the port: the first free COMn)\n"
        "  set ID [--password P] [--name N] [--sim S] [--port P]   change a DTU\n"
        "  remove ID                 remove a DTU\n"
        "  list                      list the DTUs in use\n"
        "  events [ID] [--since T]   print the DTUs' history, oldest first (T: 2h, 30m, 2026-12-10, '2026-12-10 03:00')\n"
        "  import FILE.csv           add every row of a CSV (ID,PASSWORD[,NAME[,SIM[,PORT]]]) in one transaction\n"
        "  broker-auth --passwd F --acl F [--owner U[:G]]   write a mosquitto password file and an ACL confining each DTU to its topics\n"
        "  web-user add|passwd|del|list [NAME] [--role viewer|operator|admin] [--users F]   the web console's users\n"
        "                            (the password from the terminal, or one line of standard input)"));
    p.addHelpOption();
    QCommandLineOption conn(QStringLiteral("connection"), QStringLiteral("connection string instead of ftdb.ini"), QStringLiteral("string"));
    QCommandLineOption name(QStringLiteral("name"), QStringLiteral("device name"), QStringLiteral("name"));
    QCommandLineOption sim(QStringLiteral("sim"), QStringLiteral("SIM card number"), QStringLiteral("number"));
    QCommandLineOption port(QStringLiteral("port"), QStringLiteral("virtual port name (add: the first of COM3, COM4... no DTU holds)"), QStringLiteral("port"));
    QCommandLineOption password(QStringLiteral("password"), QStringLiteral("set: the new password (6 characters)"), QStringLiteral("password"));
    QCommandLineOption sharePort(QStringLiteral("share-port"), QStringLiteral("add, set, import: let a DTU use a port another DTU holds"));
    QCommandLineOption passwdFile(QStringLiteral("passwd"), QStringLiteral("broker-auth: mosquitto password file to write"), QStringLiteral("file"));
    QCommandLineOption aclFile(QStringLiteral("acl"), QStringLiteral("broker-auth: mosquitto ACL file to write"), QStringLiteral("file"));
    QCommandLineOption since(QStringLiteral("since"), QStringLiteral("events: from this time on (a duration back from now, or a date and time)"), QStringLiteral("time"));
    QCommandLineOption prefix(QStringLiteral("prefix"), QStringLiteral("broker-auth: topic prefix ([LINK] TopicPrefix)"), QStringLiteral("prefix"), QStringLiteral("dtu"));
    QCommandLineOption ownerOption(QStringLiteral("owner"),
                                   QStringLiteral("broker-auth: the files' owner (default for root: mosquitto, when that user exists)"),
                                   QStringLiteral("user[:group]"));
    QCommandLineOption roleOption(QStringLiteral("role"), QStringLiteral("web-user: viewer (default), operator or admin"), QStringLiteral("role"),
                                  QStringLiteral("viewer"));
    QCommandLineOption usersOption(QStringLiteral("users"), QStringLiteral("web-user: the users file (default: web-users beside center.ini)"),
                                   QStringLiteral("file"));
    p.addOptions({conn, name, sim, port, password, sharePort, passwdFile, aclFile, prefix, since, ownerOption, roleOption, usersOption});
    p.addPositionalArgument(QStringLiteral("command"), QStringLiteral("init | add | set | remove | list | events | import | broker-auth | web-user"));
    p.process(app);
    const QStringList args = p.positionalArguments();
    if (args.isEmpty()) { p.showHelp(2); }
    try {
        if (args[0] == QLatin1String("web-user")) { // no table involved
            webUser(args, p.isSet(usersOption) ? p.value(usersOption) : defaultUsersFile(), p.value(roleOption), p.isSet(roleOption),
                    p.value(ownerOption));
            return 0;
        }
        DtuStore dm(ConfigPaths{}, QStringLiteral("dtudb"));
        const QString cmd = args[0];
        const QString connection = readConnection(p.value(conn));
        refuseRootOnAnotherUsersTable(connection, cmd);
        dm.connectTo(connection, cmd == QLatin1String("init"));
        if (cmd == QLatin1String("init")) {
            dm.createTable();
            out(QStringLiteral("dtuinfo and dtuevent ready"));
        } else if (cmd == QLatin1String("add")) {
            if (args.size() != 3) throw Failure(QStringLiteral("usage: dtudb add ID PASSWORD [--name N] [--sim S] [--port P]"));
            DtuRow r{args[1], args[2], p.value(name), p.value(sim), p.value(port), 0, QDateTime::currentDateTime()};
            if (const QStringList problems = RowProblems(r); !problems.isEmpty()) throw Failure(problems.join(QStringLiteral("; ")));
            const std::vector<DtuRow> rows = tableRows(dm);
            if (!p.isSet(port)) r.vcomport = FirstFreePort(rows);
            if (const QString clash = RowConflict(rows, r, p.isSet(sharePort)); !clash.isEmpty()) throw Failure(clash + QStringLiteral("; nothing added"));
            dm.appendRow(r);
            out(QStringLiteral("added %1 on port %2").arg(r.dtuid, r.vcomport) + QLatin1String(kReloadHint));
        } else if (cmd == QLatin1String("set")) {
            if (args.size() != 2 || !(p.isSet(password) || p.isSet(name) || p.isSet(sim) || p.isSet(port)))
                throw Failure(QStringLiteral("usage: dtudb set ID [--password P] [--name N] [--sim S] [--port P]"));
            std::optional<DtuRow> r = dm.findRow(args[1]);
            if (!r) throw Failure(QStringLiteral("no DTU %1 in the table; nothing changed").arg(args[1]));
            if (p.isSet(password)) r->password = p.value(password);
            if (p.isSet(name)) r->username = p.value(name);
            if (p.isSet(sim)) r->teleno = p.value(sim);
            if (p.isSet(port)) r->vcomport = p.value(port);
            if (const QStringList problems = RowProblems(*r); !problems.isEmpty()) throw Failure(problems.join(QStringLiteral("; ")));
            if (const QString clash = RowConflict(tableRows(dm), *r, p.isSet(sharePort), r->dtuid); !clash.isEmpty())
                throw Failure(clash + QStringLiteral("; nothing changed"));
            if (!dm.updateRow(r->dtuid, *r)) throw Failure(QStringLiteral("no DTU %1 in the table; nothing changed").arg(args[1]));
            out(QStringLiteral("changed %1").arg(r->dtuid) + QLatin1String(kReloadHint));
        } else if (cmd == QLatin1String("remove")) {
            if (args.size() != 2) throw Failure(QStringLiteral("usage: dtudb remove ID"));
            if (dm.deleteRows(args[1]) == 0) throw Failure(QStringLiteral("no DTU %1 in the table; nothing removed").arg(args[1]));
            out(QStringLiteral("removed %1").arg(args[1]) + QLatin1String(kReloadHint));
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
            out(QStringLiteral("imported %1 row(s)").arg(importCsv(dm, args[1], p.isSet(sharePort))) + QLatin1String(kReloadHint));
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
            const SecretOwner owner = secretOwner(p.value(ownerOption));
            writeSecret(p.value(passwdFile), auth.passwd, owner);
            writeSecret(p.value(aclFile), auth.acl, owner);
            out(QStringLiteral("%1 DTU(s) in %2, ACL in %3%4; reload the broker to use them (Debian: systemctl reload mosquitto)")
                    .arg(auth.passwd.count('\n'))
                    .arg(p.value(passwdFile), p.value(aclFile),
                         owner.shown.isEmpty() ? QString() : QStringLiteral(", readable by %1 only").arg(owner.shown)));
        } else {
            throw Failure(QStringLiteral("unknown command '%1' (init, add, set, remove, list, events, import, broker-auth)").arg(cmd));
        }
    } catch (const Failure& f) {
        err(QStringLiteral("dtudb: ") + f.text());
        return 1;
    }
    return 0;
}
