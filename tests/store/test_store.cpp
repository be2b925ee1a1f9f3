#include "core/errors.h"
#include "engines/store/connstring.h"
#include "engines/store/dtustore.h"
#include "engines/store/tablelock.h"
#include "engines/store/dtucsv.h"
#include "support/backends.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <ctime>
#include <pwd.h>
#include <unistd.h>

using namespace dtu;

namespace {

void writeFile(const QString& path, const QByteArray& text) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(text);
}

void rawExec(DtuStore& dm, const QString& sql) {
    QSqlQuery q(dm.database());
    ASSERT_TRUE(q.exec(sql)) << sql.toStdString();
}

DtuRow row(const QString& id, const QString& name, const QString& port) {
    return {id, "123456", name, "139", port, 0, QDateTime::currentDateTime()};
}

// The same statements on every backend the console supports.
class StoreBackend : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        const QString backend = QString::fromLatin1(GetParam());
        QString conn;
        DTU_BACKEND_OR_SKIP(conn, backend, dir);
        dm = std::make_unique<DtuStore>(ConfigPaths{dir.path(), dir.path() + "/none"}, "test-" + backend);
        dm->connectTo(conn, true);
        rawExec(*dm, "drop table if exists dtuinfo");
        rawExec(*dm, "drop table if exists dtuevent");
        dm->createTable();
    }
    QTemporaryDir dir;
    std::unique_ptr<DtuStore> dm;
};

QStringList ids(DtuStore& dm, bool roster) {
    QStringList out;
    auto fn = [&](const DtuRow& r) { out << r.dtuid; };
    roster ? dm.forEachRosterRow(fn) : dm.forEachListedRow(fn);
    return out;
}

} // namespace

TEST_P(StoreBackend, RosterOrderAndDeletedRows) {
    dm->appendRow(row("000000000000000C", "b", "COM2"));
    dm->appendRow(row("000000000000000A", "a", "COM9"));
    dm->appendRow(row("000000000000000B", "b", "COM1"));
    dm->appendRow(row("000000000000000D", "a", "COM1"));
    rawExec(*dm, "insert into dtuinfo (DTUID,password,username,vcomport,delflag) values ('000000000000000E','1','a','COM0',1)");
    EXPECT_EQ(ids(*dm, true), (QStringList{"000000000000000D", "000000000000000A", "000000000000000B", "000000000000000C"}));
    EXPECT_EQ(ids(*dm, false).size(), 4); // delflag 1 is never listed
}

TEST_P(StoreBackend, FindUpdateDelete) {
    dm->appendRow(row("0000000000000001", "one", "COM3"));
    dm->appendRow(row("0000000000000002", "two", "COM4"));
    auto r = dm->findRow("0000000000000001");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->username, "one");
    EXPECT_EQ(r->vcomport, "COM3");
    EXPECT_FALSE(dm->findRow("0000000000000009"));

    EXPECT_TRUE(dm->updateRow("0000000000000001", {"", "654321", "uno", "138", "COM7", 0, {}}));
    r = dm->findRow("0000000000000001");
    EXPECT_EQ(r->password, "654321");
    EXPECT_EQ(r->username, "uno");
    EXPECT_EQ(r->teleno, "138");
    EXPECT_EQ(r->vcomport, "COM7");
    EXPECT_FALSE(dm->updateRow("0000000000000009", {"", "654321", "x", "", "", 0, {}}));

    EXPECT_EQ(dm->deleteRows("0000000000000001"), 1);
    EXPECT_EQ(ids(*dm, false), QStringList{"0000000000000002"});
}

TEST_P(StoreBackend, IdIsNeverSplicedIntoTheStatement) {
    dm->appendRow(row("0000000000000001", "one", "COM3"));
    dm->appendRow(row("0000000000000002", "two", "COM4"));
    const QString evil = "x' or '1'='1";
    EXPECT_FALSE(dm->findRow(evil));
    EXPECT_EQ(dm->deleteRows(evil), 0);
    EXPECT_FALSE(dm->updateRow(evil, {"", "000000", "hacked", "", "", 0, {}}));
    EXPECT_EQ(ids(*dm, false).size(), 2);
    EXPECT_EQ(dm->findRow("0000000000000002")->username, "two");
}

TEST_P(StoreBackend, TransactionRollsBackUnlessCommitted) {
    {
        DtuStore::Transaction tx(*dm);
        dm->appendRow(row("0000000000000001", "one", "COM3"));
    }
    EXPECT_TRUE(ids(*dm, false).isEmpty());
    {
        DtuStore::Transaction tx(*dm);
        dm->appendRow(row("0000000000000001", "one", "COM3"));
        tx.commit();
    }
    EXPECT_EQ(ids(*dm, false).size(), 1);
}

// The history: times to the millisecond, local, compared as times on both backends.
TEST_P(StoreBackend, EventsKeepOrderTimeAndDetailAndArePrunedByAge) {
    const QDateTime t0 = QDateTime(QDate(2026, 12, 10), QTime(3, 14, 15, 123));
    const QString a = "0000000000000001", b = "0000000000000002";
    dm->appendEvents({{a, "login", t0, ""},
                      {b, "login", t0.addMSecs(1), ""},
                      {a, "silent", t0.addSecs(1800), "已超过30分钟没有数据, 'quoted'"},
                      {a, "disconnect", t0.addDays(1), ""},
                      {a, "login", t0.addDays(1).addMSecs(5), ""}});
    const auto all = dm->events(QString(), QDateTime());
    ASSERT_EQ(all.size(), 5u);
    EXPECT_EQ(all[0].at, t0);
    EXPECT_EQ(all[1].dtuid, b);
    EXPECT_EQ(all[2].detail, "已超过30分钟没有数据, 'quoted'");

    auto ofA = dm->events(a, t0.addSecs(1));
    ASSERT_EQ(ofA.size(), 3u);
    EXPECT_EQ(ofA.front().event, "silent");
    EXPECT_EQ(ofA.back().at, t0.addDays(1).addMSecs(5));
    ofA = dm->events(a, QDateTime(), 2); // the newest two, still oldest first
    ASSERT_EQ(ofA.size(), 2u);
    EXPECT_EQ(ofA[0].event, "disconnect");
    EXPECT_EQ(ofA[1].event, "login");
    EXPECT_TRUE(dm->events("x' or '1'='1", QDateTime()).empty());

    EXPECT_EQ(dm->pruneEvents(t0.addSecs(3600)), 3);
    EXPECT_EQ(dm->events(QString(), QDateTime()).size(), 2u);
    dm->createEventTable(); // again: nothing lost
    EXPECT_EQ(dm->events(QString(), QDateTime()).size(), 2u);
}

namespace {
// The process's local time zone for one test.
struct LocalZone {
    QByteArray before = qgetenv("TZ");
    bool had = qEnvironmentVariableIsSet("TZ");
    explicit LocalZone(const char* zone) {
        qputenv("TZ", zone);
        ::tzset();
    }
    ~LocalZone() {
        had ? qputenv("TZ", before) : qunsetenv("TZ");
        ::tzset();
    }
};
QDateTime utc(const char* iso) { return QDateTime::fromString(QString::fromLatin1(iso), Qt::ISODate); }
} // namespace

// Local wall time repeats an hour each autumn: events are kept as instants, so a disconnect
// at 02:10 winter time comes after a login at 02:50 summer time, and since/prune count right.
TEST_P(StoreBackend, EventTimesAreInstantsAcrossTheAutumnClockChange) {
    LocalZone berlin("Europe/Berlin");
    const QString a = "0000000000000001";
    const QDateTime login = utc("2026-10-25T00:50:00Z"), drop = utc("2026-10-25T01:10:00Z"); // 02:50 CEST, 02:10 CET
    ASSERT_EQ(login.toLocalTime().time(), QTime(2, 50));
    ASSERT_EQ(drop.toLocalTime().time(), QTime(2, 10));
    dm->appendEvents({{a, "login", login, ""}, {a, "disconnect", drop, ""}});
    const auto all = dm->events(a, utc("2026-10-25T00:00:00Z"));
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].event, "login");
    EXPECT_EQ(all[0].at, login);
    EXPECT_EQ(all[1].at, drop);
    const auto later = dm->events(a, utc("2026-10-25T01:00:00Z"));
    ASSERT_EQ(later.size(), 1u);
    EXPECT_EQ(later[0].event, "disconnect");
    EXPECT_EQ(dm->pruneEvents(utc("2026-10-25T01:00:00Z")), 1);
}

// A table written before instants were kept: its rows get theirs from their local times.
TEST_P(StoreBackend, EventsWrittenAsLocalTimeBeforeKeepWorking) {
    rawExec(*dm, "drop table if exists dtuevent");
    const bool pg = dm->database().driverName() == "QPSQL";
    rawExec(*dm, QString("create table dtuevent (DTUID varchar(16) not null, event varchar(16) not null, at %1 not null, detail varchar(255))")
                     .arg(pg ? "timestamp(3)" : "datetime"));
    const QDateTime t(QDate(2026, 3, 1), QTime(10, 0, 0, 250));
    rawExec(*dm, "insert into dtuevent (DTUID,event,at,detail) values ('0000000000000001','login','" +
                     t.toString("yyyy-MM-dd HH:mm:ss.zzz") + "','')");
    dm->createEventTable();
    dm->appendEvents({{"0000000000000001", "disconnect", t.addSecs(60), ""}});
    const auto all = dm->events(QString(), QDateTime());
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].at, t);
    EXPECT_EQ(all[0].event, "login");
    EXPECT_EQ(all[1].at, t.addSecs(60));
    EXPECT_EQ(dm->events(QString(), t.addSecs(1)).size(), 1u);
}

// One console per table: the second to ask is told who holds it, and gets it once freed.
TEST_P(StoreBackend, OneHolderOfTheTableAtATime) {
    const QString conn = dm->connectionString();
    TableLock first("lock-first"), second("lock-second");
    EXPECT_EQ(first.acquire(conn, "dtuconsoled@plant:101"), "");
    EXPECT_TRUE(first.held());
    const QString holder = second.acquire(conn, "dtuconsole@desk:202");
    EXPECT_FALSE(second.held());
    const QString expected = QString(GetParam()) == QLatin1String("sqlite")
                                 ? QString("%1, pid %2").arg(QFileInfo(QCoreApplication::applicationFilePath()).fileName().left(15))
                                       .arg(QCoreApplication::applicationPid())
                                 : QString("dtuconsoled@plant:101");
    EXPECT_TRUE(holder.startsWith(expected)) << holder.toStdString();
    first.release();
    EXPECT_EQ(second.acquire(conn, "dtuconsole@desk:202"), "");
    EXPECT_TRUE(second.held());
}

INSTANTIATE_TEST_SUITE_P(Backends, StoreBackend, ::testing::Values("sqlite", "postgresql"));

TEST(Store, ColumnNamesMatchWithoutRegardToCase) {
    QTemporaryDir dir;
    DtuStore dm(ConfigPaths{dir.path(), dir.path()}, "case");
    dm.connectTo("Provider=SQLite;Data Source=" + dir.filePath("x.db"), true);
    rawExec(dm, "create table dtuinfo (DtuId text, PASSWORD text, UserName text, TELENO text, VComPort text, DELFLAG int, AddTime text)");
    rawExec(dm, "insert into dtuinfo values ('0000000000000001','abcdef','n','t','COM1',0,'')");
    const auto r = dm.findRow("0000000000000001");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->password, "abcdef");
    EXPECT_EQ(r->vcomport, "COM1");
}

TEST(Store, MissingTableGivesAClearError) {
    QTemporaryDir dir;
    DtuStore dm(ConfigPaths{dir.path(), dir.path()}, "missing");
    dm.connectTo("Provider=SQLite;Data Source=" + dir.filePath("empty.db"), true);
    try {
        dm.forEachListedRow([](const DtuRow&) {});
        FAIL() << "expected a failure";
    } catch (const Failure& f) {
        EXPECT_TRUE(f.text().contains("dtuinfo")) << f.text().toStdString();
        EXPECT_TRUE(f.text().contains("dtudb init")) << f.text().toStdString();
    }
}

TEST(ConnectionString, Translation) {
    auto s = TranslateConnectionString("Provider=SQLite;Data Source=/var/lib/dtu.db\r\n");
    EXPECT_EQ(s.driver, "QSQLITE");
    EXPECT_EQ(s.databaseName, "/var/lib/dtu.db");
    s = TranslateConnectionString("provider=postgresql;HOST=db;port=5433;Database=plant;User ID=ops;Password=p;w");
    EXPECT_EQ(s.driver, "QPSQL");
    EXPECT_EQ(s.host, "db");
    EXPECT_EQ(s.port, 5433);
    EXPECT_EQ(s.databaseName, "plant");
    EXPECT_EQ(s.user, "ops");
    s = TranslateConnectionString("Driver={PostgreSQL Unicode};Server=x");
    EXPECT_EQ(s.driver, "QODBC");
    EXPECT_EQ(TranslateConnectionString("DSN=plant").driver, "QODBC");
}

TEST(ConnectionString, QuotedValuesMayHoldSeparators) {
    struct Case { const char* text; const char* password; const char* user; };
    const Case cases[] = {
        {R"(Provider=PostgreSQL;User ID=ops;Password="ab;cd")", "ab;cd", "ops"},
        {R"(Provider=PostgreSQL;Password='ab;cd';User ID=ops)", "ab;cd", "ops"},
        {R"(Provider=PostgreSQL;Password={ab;c}}d};User ID=ops)", "ab;c}d", "ops"},
        {R"(Provider=PostgreSQL;Password="say ""hi"";=";User ID= ops )", R"(say "hi";=)", "ops"},
        {R"(Provider=PostgreSQL;Password=  " spaced " ;User ID=ops)", " spaced ", "ops"},
        {R"(Provider=PostgreSQL;User ID=ops;Password="unterminated;x=y)", "unterminated;x=y", "ops"},
        {"Provider=PostgreSQL;;junk;User ID=ops;Password=", "", "ops"},
    };
    for (const auto& c : cases) {
        const SqlTarget t = TranslateConnectionString(QString::fromUtf8(c.text));
        EXPECT_EQ(t.driver, "QPSQL") << c.text;
        EXPECT_EQ(t.password, QString::fromUtf8(c.password)) << c.text;
        EXPECT_EQ(t.user, QString::fromUtf8(c.user)) << c.text;
    }
    EXPECT_EQ(TranslateConnectionString(R"(Provider=SQLite;Data Source="/srv/a;b/dtu.db")").databaseName, "/srv/a;b/dtu.db");
}

TEST(ConnectionString, UnsupportedProvidersNameWhatIsSupported) {
    for (const char* text : {"Provider=Microsoft.Jet.OLEDB.4.0;Data Source=c:\\dtu.mdb",
                             "Provider=Microsoft.ACE.OLEDB.12.0;Data Source=x.accdb", "Provider=Oracle;x=y", "garbage"}) {
        try {
            TranslateConnectionString(text);
            FAIL() << text;
        } catch (const Failure& f) {
            EXPECT_TRUE(f.text().contains("SQLite") && f.text().contains("PostgreSQL") && f.text().contains("ODBC"))
                << f.text().toStdString();
        }
    }
}

// ftdb.ini: read anew on each call, local before system, empty leaves the connection alone.
class FtdbIni : public ::testing::Test {
protected:
    QTemporaryDir local, system, data;
    ConfigPaths paths() const { return {local.path(), system.path()}; }
    QByteArray conn() const { return "Provider=SQLite;Data Source=" + data.filePath("dtu.db").toUtf8(); }
    void SetUp() override {
        DtuStore mk(paths(), "mk");
        mk.connectTo(QString::fromUtf8(conn()), true);
        mk.createTable();
        mk.appendRow(row("0000000000000001", "one", "COM3"));
    }
};

TEST_F(FtdbIni, NeitherFileIsAReadFailure) {
    DtuStore dm(paths(), "t1");
    EXPECT_THROW(dm.ReconnectDatabase(), ConnectionFileFailure);
}

TEST_F(FtdbIni, SystemFileWhenLocalMissing) {
    writeFile(system.filePath("ftdb.ini"), conn());
    DtuStore dm(paths(), "t2");
    dm.ReconnectDatabase();
    EXPECT_TRUE(dm.isOpen());
    EXPECT_EQ(dm.connectionString(), QString::fromUtf8(conn()));
}

TEST_F(FtdbIni, EmptyLocalFileNamesNoDatabaseAndSkipsSystemFile) {
    writeFile(local.filePath("ftdb.ini"), "");
    writeFile(system.filePath("ftdb.ini"), conn());
    DtuStore dm(paths(), "t3");
    EXPECT_THROW(dm.ReconnectDatabase(), DatabaseOpenFailure);
    EXPECT_FALSE(dm.isOpen());
}

TEST_F(FtdbIni, EmptyFileKeepsAnOpenConnectionNonEmptyReopens) {
    writeFile(local.filePath("ftdb.ini"), conn() + "\r\n");
    DtuStore dm(paths(), "t4");
    dm.ReconnectDatabase();
    EXPECT_TRUE(dm.connectionString().endsWith("\r\n")); // the line break is part of the string
    rawExec(dm, "create temp table marker (x int)");       // lives only as long as the connection

    writeFile(local.filePath("ftdb.ini"), "");
    dm.ReconnectDatabase();
    EXPECT_TRUE(dm.isOpen());
    EXPECT_TRUE(QSqlQuery(dm.database()).exec("select * from marker"));

    writeFile(local.filePath("ftdb.ini"), conn());
    dm.ReconnectDatabase(); // same text, still closed and reopened
    EXPECT_TRUE(dm.isOpen());
    EXPECT_FALSE(QSqlQuery(dm.database()).exec("select * from marker"));
    EXPECT_TRUE(dm.findRow("0000000000000001"));
}

TEST_F(FtdbIni, MissingSqliteFileIsNotSilentlyCreated) {
    writeFile(local.filePath("ftdb.ini"), "Provider=SQLite;Data Source=" + data.filePath("typo.db").toUtf8());
    DtuStore dm(paths(), "t5");
    EXPECT_THROW(dm.ReconnectDatabase(), DatabaseOpenFailure);
    EXPECT_FALSE(QFile::exists(data.filePath("typo.db")));
}

// dtudb, the table's command-line tool.
class Dtudb : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString conn() const { return "Provider=SQLite;Data Source=" + dir.filePath("t.db"); }
    int run(const QStringList& args, QString* err = nullptr, QString* out = nullptr) {
        QProcess p;
        p.setWorkingDirectory(dir.path());
        p.start(QCoreApplication::applicationDirPath() + "/dtudb", QStringList{"--connection", conn()} + args);
        p.waitForFinished(10000);
        if (err) *err = QString::fromUtf8(p.readAllStandardError());
        if (out) *out = QString::fromUtf8(p.readAllStandardOutput());
        return p.exitCode();
    }
    void csv(const QByteArray& text) { writeFile(dir.filePath("in.csv"), text); }
};

TEST_F(Dtudb, InitAddListImport) {
    ASSERT_EQ(run({"init"}), 0);
    ASSERT_EQ(run({"add", "0000000000000001", "123456", "--name", "泵站", "--port", "COM7"}), 0);
    QString err;
    EXPECT_EQ(run({"add", "short", "123456"}, &err), 1);
    EXPECT_TRUE(err.contains("16")) << err.toStdString();
    csv("DTUID,password,name,sim,port\n0000000000000002,222222,b,139,COM8\n\"0000000000000003\",333333,\"c, d\",,COM9\n");
    ASSERT_EQ(run({"import", "in.csv"}, &err), 0) << err.toStdString();
    QString out;
    ASSERT_EQ(run({"list"}, nullptr, &out), 0);
    EXPECT_EQ(out.count('\n'), 3);
    EXPECT_TRUE(out.contains("0000000000000003\t333333\tc, d\t\tCOM9")) << out.toStdString();
}

TEST_F(Dtudb, ImportWithABadRowWritesNothingAndNamesTheLine) {
    ASSERT_EQ(run({"init"}), 0);
    csv("0000000000000002,222222\n0000000000000003,33\n00000000003,333333\n");
    QString err;
    EXPECT_EQ(run({"import", "in.csv"}, &err), 1);
    EXPECT_TRUE(err.contains("in.csv:2:")) << err.toStdString();
    EXPECT_TRUE(err.contains("in.csv:3:")) << err.toStdString();
    EXPECT_TRUE(err.contains("nothing imported")) << err.toStdString();
    QString out;
    run({"list"}, nullptr, &out);
    EXPECT_TRUE(out.trimmed().isEmpty()) << out.toStdString();
}

// The table stays usable: one row per ID, one DTU per port unless shared, and a change names
// what it refused; nothing half-done.
TEST_F(Dtudb, AddSetRemoveKeepTheTableConsistent) {
    ASSERT_EQ(run({"init"}), 0);
    QString out, err;
    ASSERT_EQ(run({"add", "0000000000000001", "111111"}, &err, &out), 0) << err.toStdString();
    EXPECT_TRUE(out.contains("on port COM3")) << out.toStdString();
    ASSERT_EQ(run({"add", "0000000000000002", "222222"}, &err, &out), 0);
    EXPECT_TRUE(out.contains("on port COM4")) << out.toStdString(); // not COM3 again
    struct Case { QStringList args; QString said; };
    const Case refused[] = {
        {{"add", "0000000000000001", "999999", "--port", "COM9"}, "in the table already"},
        {{"add", "0000000000000003", "999999", "--port", "COM4"}, "port COM4 belongs to DTU 0000000000000002"},
        {{"add", "00000000000000/3", "999999"}, "cannot be in a topic level"},
        {{"set", "0000000000000001", "--port", "COM4"}, "port COM4 belongs to DTU 0000000000000002"},
        {{"set", "0000000000000001", "--password", "12"}, "password must be 6 characters"},
        {{"set", "0000000000000001"}, "usage: dtudb set"},
        {{"set", "0000000000000009", "--name", "x"}, "no DTU 0000000000000009"},
        {{"remove", "0000000000000009"}, "no DTU 0000000000000009"},
    };
    for (const Case& c : refused) {
        EXPECT_EQ(run(c.args, &err), 1) << c.args.join(' ').toStdString();
        EXPECT_TRUE(err.contains(c.said)) << c.args.join(' ').toStdString() << ": " << err.toStdString();
    }
    ASSERT_EQ(run({"list"}, nullptr, &out), 0);
    EXPECT_EQ(out.toStdString(), "0000000000000001\t111111\t\t\tCOM3\n0000000000000002\t222222\t\t\tCOM4\n");

    ASSERT_EQ(run({"set", "0000000000000001", "--password", "654321", "--port", "COM7", "--name", "泵站"}, &err), 0) << err.toStdString();
    ASSERT_EQ(run({"add", "0000000000000003", "333333", "--port", "COM7", "--share-port"}, &err), 0) << err.toStdString();
    ASSERT_EQ(run({"remove", "0000000000000002"}, &err, &out), 0) << err.toStdString();
    EXPECT_TRUE(out.contains("systemctl reload dtuconsoled")) << out.toStdString();
    ASSERT_EQ(run({"list"}, nullptr, &out), 0);
    EXPECT_EQ(out.toStdString(), "0000000000000001\t654321\t泵站\t\tCOM7\n0000000000000003\t333333\t\t\tCOM7\n");

    // import: against the table and within the file
    csv("0000000000000001,111111,,,COM8\n0000000000000005,555555,,,COM9\n0000000000000006,666666,,,COM9\n");
    EXPECT_EQ(run({"import", "in.csv"}, &err), 1);
    EXPECT_TRUE(err.contains("0000000000000001: DTU 0000000000000001 is in the table already")) << err.toStdString();
    EXPECT_TRUE(err.contains("0000000000000006: port COM9 belongs to DTU 0000000000000005")) << err.toStdString();

    // IDs compared as the window's add dialog does: case aside.
    ASSERT_EQ(run({"add", "00000000000000AB", "111111"}), 0);
    EXPECT_EQ(run({"add", "00000000000000ab", "111111"}, &err), 1);
    EXPECT_TRUE(err.contains("DTU 00000000000000AB is in the table already")) << err.toStdString();
}

TEST(DtuCsvParse, Cases) {
    struct Case { QByteArray text; int rows; QStringList problems; };
    const Case cases[] = {
        {"0000000000000002,222222,b,139,COM8\r\n", 1, {}},
        {"dtuid,pw\n# note\n\n0000000000000002,222222\n", 1, {}},
        {"\"0000000000000003\",333333,\"c, \"\"d\"\"\",,COM9", 1, {}},
        {"0000000000000002,22\n", 1, {"f.csv:1: password must be 6 characters"}},
        {"x\n0000000000000002", 2, {"f.csv:1: DTU ID 'x' must be 16 characters", "f.csv:1: password must be 6 characters",
                                   "f.csv:2: password must be 6 characters"}},
        {QByteArray("0000000000000002,222222,a\x01b"), 1, {"f.csv:1: control characters are not allowed"}},
        {"\"unterminated,123456", 1, {"f.csv:1: DTU ID 'unterminated,123456' must be 16 characters",
                                       "f.csv:1: password must be 6 characters"}},
    };
    for (const auto& c : cases) {
        const DtuCsv r = ParseDtuCsv(c.text, "f.csv");
        EXPECT_EQ(static_cast<int>(r.rows.size()), c.rows) << c.text.constData();
        EXPECT_EQ(r.problems, c.problems) << c.text.constData();
    }
    const DtuCsv quoted = ParseDtuCsv("\"0000000000000003\",333333,\"c, \"\"d\"\"\",,COM9", "f.csv");
    EXPECT_EQ(quoted.rows[0].username, "c, \"d\"");
    EXPECT_EQ(quoted.rows[0].vcomport, "COM9");
}

TEST_F(Dtudb, EventsByIdAndSince) {
    ASSERT_EQ(run({"init"}), 0);
    {
        DtuStore dm(ConfigPaths{dir.path(), dir.path()}, "events");
        dm.connectTo(conn());
        const QDateTime now = QDateTime::currentDateTime();
        dm.appendEvents({{"0000000000000001", "login", now.addDays(-2), ""},
                         {"0000000000000001", "disconnect", now.addSecs(-60), ""},
                         {"0000000000000002", "login", now.addSecs(-30), "x"}});
    }
    QString out, err;
    ASSERT_EQ(run({"events"}, &err, &out), 0) << err.toStdString();
    EXPECT_EQ(out.count('\n'), 3) << out.toStdString();
    ASSERT_EQ(run({"events", "0000000000000001", "--since", "1h"}, &err, &out), 0) << err.toStdString();
    EXPECT_EQ(out.count('\n'), 1) << out.toStdString();
    EXPECT_TRUE(out.contains("\t0000000000000001\tdisconnect\t")) << out.toStdString();
    ASSERT_EQ(run({"events", "--since", QDate::currentDate().addDays(-1).toString("yyyy-MM-dd")}, &err, &out), 0);
    EXPECT_EQ(out.count('\n'), 2) << out.toStdString();
    EXPECT_EQ(run({"events", "--since", "yesterday"}, &err), 1);
    EXPECT_TRUE(err.contains("--since 'yesterday'")) << err.toStdString();
}

TEST_F(Dtudb, MissingTableAndUnsupportedProviderAreClear) {
    QString err;
    EXPECT_EQ(run({"list"}, &err), 1);
    QFile(dir.filePath("t.db")).open(QIODevice::WriteOnly); // an empty database
    EXPECT_EQ(run({"events"}, &err), 1);
    EXPECT_TRUE(err.contains("dtuevent") && err.contains("dtudb init")) << err.toStdString();
    QProcess p;
    p.start(QCoreApplication::applicationDirPath() + "/dtudb",
            {"--connection", "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=x.mdb", "list"});
    p.waitForFinished(10000);
    EXPECT_EQ(p.exitCode(), 1);
    EXPECT_TRUE(QString::fromUtf8(p.readAllStandardError()).contains("SQLite"));
}

// Root on a table in a folder of the service's user would leave files that user cannot
// write: refused, with the command to use instead.
TEST_F(Dtudb, RootIsSentToTheTablesOwner) {
    if (::geteuid() != 0) GTEST_SKIP() << "only root is refused";
    const QString folder = dir.filePath("service");
    ASSERT_TRUE(QDir().mkpath(folder));
    const passwd* nobody = ::getpwnam("nobody");
    ASSERT_NE(nobody, nullptr);
    ASSERT_EQ(::chown(QFile::encodeName(folder).constData(), nobody->pw_uid, nobody->pw_gid), 0);
    QProcess p;
    p.start(QCoreApplication::applicationDirPath() + "/dtudb", {"--connection", "Provider=SQLite;Data Source=" + folder + "/dtu.db", "init"});
    ASSERT_TRUE(p.waitForFinished(10000));
    EXPECT_NE(p.exitCode(), 0);
    const QString err = QString::fromUtf8(p.readAllStandardError());
    EXPECT_TRUE(err.contains("runuser -u nobody -- dtudb")) << err.toStdString();
    EXPECT_FALSE(QFile::exists(folder + "/dtu.db"));
}

// A table file that is there but closed to this user is named with its owner and mode,
// not called missing.
TEST_F(Dtudb, ATableClosedToThisUserIsNamedWithItsOwner) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run dtudb as another user";
    ASSERT_EQ(run({"init"}), 0);
    ::chmod(QFile::encodeName(dir.path()).constData(), 0755);
    ::chmod(QFile::encodeName(dir.filePath("t.db")).constData(), 0600);
    QProcess p;
    p.setWorkingDirectory("/");
    p.start("runuser", {"-u", "nobody", "--", QCoreApplication::applicationDirPath() + "/dtudb", "--connection", conn(), "list"});
    ASSERT_TRUE(p.waitForFinished(10000));
    const QString err = QString::fromUtf8(p.readAllStandardError());
    EXPECT_NE(p.exitCode(), 0);
    EXPECT_TRUE(err.contains("t.db 属于 root:root，权限 0600，本用户 nobody 无法读取")) << err.toStdString();
}
