#include "console/history/details.h"
#include "console/history/eventlog.h"
#include "console/history/minutetraffic.h"
#include "core/errors.h"
#include "engines/store/dtustore.h"
#include "support/backends.h"
#include "support/broker.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QSet>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <atomic>

using namespace dtu;
using dtu::test::waitFor;

namespace {

const QString A = "0000000000000001";
const qint64 kMin = 60000;
const qint64 kT0 = QDateTime(QDate(2026, 12, 10), QTime(12, 0)).toMSecsSinceEpoch();

QDateTime at(qint64 ms) { return QDateTime::fromMSecsSinceEpoch(ms); }

} // namespace

TEST(MinuteRing, CountsPerMinuteForgetsAfterADayAndSaturates) {
    MinuteRing r;
    const qint64 m0 = kT0 / kMin;
    r.add(m0, true, 100);
    r.add(m0, true, 50);
    r.add(m0, false, 7);
    r.add(m0 + 2, false, 1);
    auto s = r.series(m0 + 2);
    ASSERT_EQ(s.size(), 1440u);
    EXPECT_EQ(s[1437].packetsIn, 2u);
    EXPECT_EQ(s[1437].bytesIn, 150u);
    EXPECT_EQ(s[1437].packetsOut, 1u);
    EXPECT_EQ(s[1438].packetsIn + s[1438].packetsOut, 0u); // a minute without traffic
    EXPECT_EQ(s[1439].bytesOut, 1u);

    // Asked later without new traffic: the old minutes slide left, then fall off.
    s = r.series(m0 + 1000);
    EXPECT_EQ(s[1439 - 1000].packetsIn, 2u);
    s = r.series(m0 + 1440);
    EXPECT_EQ(s[0].packetsIn, 0u);
    EXPECT_EQ(s[1439 - 1438].bytesOut, 1u);

    // New traffic past a day wipes the slots it passed; a minute a day old is gone.
    r.add(m0 + 1440, true, 1);
    s = r.series(m0 + 1440);
    EXPECT_EQ(s[0].packetsIn, 0u) << "minute m0 must not be read back as m0 + 1440";
    EXPECT_EQ(s[1439].packetsIn, 1u);
    r.add(m0 + 5000, true, 1); // days later
    s = r.series(m0 + 5000);
    quint64 sum = 0;
    for (const MinuteCounts& c : s) sum += c.packetsIn + c.packetsOut;
    EXPECT_EQ(sum, 1u);

    r.add(m0 + 5001, false, 5'000'000'000LL); // one huge count stops at the top instead of wrapping
    EXPECT_EQ(r.series(m0 + 5001)[1439].bytesOut, 0xFFFFFFFFu);
    r.add(m0 + 5001, false, 10);
    EXPECT_EQ(r.series(m0 + 5001)[1439].bytesOut, 0xFFFFFFFFu);

    TrafficHistory h;
    EXPECT_EQ(h.series(A, kT0).size(), 1440u); // a DTU that never talked: zeros, nothing held
    EXPECT_EQ(h.trackedDtus(), 0);
    h.countIn(A, 10, kT0);
    EXPECT_EQ(h.trackedDtus(), 1);
    EXPECT_LE(TrafficHistory::bytesPerDtu(), 24u * 1024);
}

TEST(DtuDetails, OnlinePeriodsFromEvents) {
    const qint64 now = kT0;
    const qint64 dayAgo = now - DtuDetails::kWindowMs;
    auto ev = [](const char* e, qint64 ms) { return DtuEvent{A, e, at(ms), ""}; };
    struct Case {
        const char* name;
        std::vector<DtuEvent> events;
        bool onlineNow;
        QVector<OnlinePeriod> expected;
    };
    const std::vector<Case> cases = {
        {"nothing known, offline", {}, false, {}},
        {"nothing known, online now", {}, true, {{dayAgo, now}}},
        {"login, disconnect, login again",
         {ev("login", now - 10 * kMin), ev("disconnect", now - 8 * kMin), ev("login", now - 2 * kMin)}, true,
         {{now - 10 * kMin, now - 8 * kMin}, {now - 2 * kMin, now}}},
        {"online since before the window",
         {ev("login", dayAgo - 60 * kMin), ev("close", now - 60 * kMin)}, false, {{dayAgo, now - 60 * kMin}}},
        {"a period wholly before the window",
         {ev("login", dayAgo - 60 * kMin), ev("disconnect", dayAgo - 30 * kMin)}, false, {}},
        {"the first word is an end: online from the window's start",
         {ev("disconnect", now - 5 * kMin)}, false, {{dayAgo, now - 5 * kMin}}},
        {"repeated logins and alarms do not split a period",
         {ev("login", now - 9 * kMin), ev("silent", now - 7 * kMin), ev("login", now - 6 * kMin),
          ev("recovered", now - 5 * kMin), ev("disconnect", now - 4 * kMin), ev("disconnect", now - 3 * kMin)},
         false, {{now - 9 * kMin, now - 4 * kMin}}},
        {"logged in per the table but offline now: the period ends at the last word",
         {ev("login", now - 9 * kMin)}, false, {}},
    };
    for (const Case& c : cases) {
        const DtuDetails d = DtuDetails::build(A, c.events, std::vector<MinuteCounts>(1440), now, c.onlineNow);
        ASSERT_EQ(d.periods.size(), c.expected.size()) << c.name;
        for (int i = 0; i < c.expected.size(); ++i) {
            EXPECT_EQ(d.periods[i].fromMs, c.expected[i].fromMs) << c.name;
            EXPECT_EQ(d.periods[i].toMs, c.expected[i].toMs) << c.name;
        }
    }
}

TEST(DtuDetails, LastHundredEventsMinutesAndCsv) {
    std::vector<DtuEvent> events;
    for (int i = 0; i < 150; ++i)
        events.push_back({A, i % 2 ? "disconnect" : "login", at(kT0 - (150 - i) * kMin), i == 149 ? "说明, \"引号\"" : ""});
    std::vector<MinuteCounts> minutes(1440);
    minutes[1439] = {3, 1, 300, 10};
    const DtuDetails d = DtuDetails::build(A, events, minutes, kT0 + 30000, true);
    ASSERT_EQ(d.lastEvents.size(), 100u);
    EXPECT_EQ(d.lastEvents.front().at, events.back().at); // newest first
    EXPECT_EQ(d.lastEvents.back().at, events[50].at);
    EXPECT_EQ(d.firstMinuteMs, kT0 - 1439 * kMin);

    const QStringList ev = d.eventsCsv().split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(ev.size(), 101);
    EXPECT_EQ(ev[0], "DTUID,event,at,detail");
    EXPECT_TRUE(ev[1].startsWith(A + ",login,")) << ev[1].toStdString(); // oldest first in the file
    EXPECT_TRUE(ev[100].endsWith(",\"说明, \"\"引号\"\"\"")) << ev[100].toStdString();
    const QStringList mi = d.minutesCsv().split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(mi.size(), 1441);
    EXPECT_EQ(mi[1440], A + "," + at(kT0).toString("yyyy-MM-dd HH:mm:ss") + ",3,1,300,10");

    QTemporaryDir dir;
    const QStringList files = d.exportCsv(dir.path());
    ASSERT_EQ(files.size(), 2);
    QFile f(files[0]);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_TRUE(f.readAll().startsWith("\xEF\xBB\xBF" "DTUID,event"));
    EXPECT_THROW(d.exportCsv(dir.filePath("no/such/folder")), Failure);
}

TEST(DtuDetails, StoredAndUnwrittenEventsMergeWithoutRepeats) {
    const std::vector<DtuEvent> stored{{A, "login", at(kT0), ""}, {A, "disconnect", at(kT0 + 5), ""}};
    const std::vector<DtuEvent> recent{{A, "disconnect", at(kT0 + 5), ""}, {A, "login", at(kT0 + 9), ""}};
    const auto merged = MergeEvents(stored, recent);
    ASSERT_EQ(merged.size(), 3u);
    EXPECT_EQ(merged[2].at, at(kT0 + 9));
}

namespace {

// A database that can be switched off: writes fail while it is down.
struct SwitchSink : EventSink {
    std::atomic<bool>* up;
    std::vector<DtuEvent>* rows;
    std::atomic<int>* writes;
    void open() override {
        if (!*up) throw Failure("connection refused");
    }
    void write(const std::vector<DtuEvent>& events) override {
        if (!*up) throw Failure("server closed the connection");
        rows->insert(rows->end(), events.begin(), events.end());
        ++*writes;
    }
    int prune(const QDateTime&) override { return 0; }
    void close() override {}
};

struct LogFixture {
    Clock clock{[] { return at(kT0); }};
    std::atomic<bool> up{true};
    std::vector<DtuEvent> rows; // read only once the writer has stopped or between flushes
    std::atomic<int> writes{0};
    QStringList lines;
    EventLog log{clock};
    LogFixture() {
        QObject::connect(&log, &EventLog::logLine, &log, [this](const QString& l) { lines << l; });
    }
    void start(HistoryOptions o) {
        log.start([this] {
            auto s = std::make_unique<SwitchSink>();
            s->up = &up, s->rows = &rows, s->writes = &writes;
            return s;
        }, o);
    }
};

} // namespace

TEST(EventLog, OneWriteASecondHoldsWhileDownDropsOldestPastTheBound) {
    LogFixture f;
    HistoryOptions o;
    o.flushMs = 50;
    o.maxHeld = 100;
    f.start(o);
    for (int i = 0; i < 40; ++i) f.log.record(A, "login", QString::number(i));
    ASSERT_TRUE(waitFor([&] { return f.log.written() == 40; }, 3000));
    EXPECT_EQ(f.writes, 1) << "forty events, one transaction";

    f.up = false;
    for (int i = 40; i < 190; ++i) f.log.record(A, "login", QString::number(i));
    ASSERT_TRUE(waitFor([&] { return f.lines.size() >= 2; }, 3000));
    test::pump(300); // several failed flushes: still one line each
    EXPECT_EQ(f.log.held(), 100);
    EXPECT_EQ(f.log.dropped(), 50);
    ASSERT_EQ(f.lines.size(), 2) << f.lines.join('\n').toStdString();
    EXPECT_TRUE(f.lines.join('\n').contains("历史事件写入失败")) << f.lines.join('\n').toStdString();
    EXPECT_TRUE(f.lines.join('\n').contains("最早的事件被丢弃")) << f.lines.join('\n').toStdString();

    f.up = true;
    ASSERT_TRUE(waitFor([&] { return f.log.held() == 0; }, 3000));
    test::pump(200);
    EXPECT_TRUE(f.lines.last().contains("已恢复") && f.lines.last().contains("50")) << f.lines.last().toStdString();

    // A second outage: its overflow is told again, and its recovery counts its own drops.
    f.up = false;
    for (int i = 190; i < 320; ++i) f.log.record(A, "login", QString::number(i));
    ASSERT_TRUE(waitFor([&] { return f.lines.size() >= 5; }, 3000)) << f.lines.join('\n').toStdString();
    EXPECT_EQ(f.lines.filter("最早的事件被丢弃").size(), 2) << f.lines.join('\n').toStdString();
    f.up = true;
    ASSERT_TRUE(waitFor([&] { return f.log.held() == 0; }, 3000));
    test::pump(200);
    EXPECT_TRUE(f.lines.last().contains("丢弃30条")) << f.lines.last().toStdString();
    f.log.stop();
    ASSERT_EQ(f.rows.size(), 240u);
    f.rows.resize(140);
    // The newest hundred of the outage survived, in order, after what was written before it.
    for (std::size_t i = 0; i < f.rows.size(); ++i) {
        const int expected = i < 40 ? static_cast<int>(i) : static_cast<int>(i) + 50;
        ASSERT_EQ(f.rows[i].detail.toInt(), expected) << i;
    }
}

TEST(EventLog, PrunesOnceADayByKeepDays) {
    LogFixture f;
    std::vector<QDateTime> cutoffs;
    struct PruneSink : SwitchSink {
        std::vector<QDateTime>* cut;
        int prune(const QDateTime& before) override { cut->push_back(before); return 0; }
    };
    HistoryOptions o;
    o.flushMs = 20;
    o.keepDays = 7;
    f.log.start([&] {
        auto s = std::make_unique<PruneSink>();
        s->up = &f.up, s->rows = &f.rows, s->writes = &f.writes, s->cut = &cutoffs;
        return s;
    }, o);
    f.log.record(A, "login");
    ASSERT_TRUE(waitFor([&] { return f.log.written() == 1; }, 3000));
    f.log.record(A, "disconnect");
    ASSERT_TRUE(waitFor([&] { return f.log.written() == 2; }, 3000));
    f.log.stop();
    ASSERT_EQ(cutoffs.size(), 1u); // the clock stands still: the next is a day away
    EXPECT_EQ(cutoffs[0], at(kT0).addDays(-7));
}

TEST(EventLog, WhatIsQueuedAtTheEndIsWritten) {
    LogFixture f;
    HistoryOptions o;
    o.flushMs = 60000; // no tick before the end
    f.start(o);
    f.log.record(A, "close", "停止服务");
    f.log.stop();
    ASSERT_EQ(f.rows.size(), 1u);
    EXPECT_EQ(f.rows[0].event, "close");
    EXPECT_EQ(f.log.recent(A, at(kT0 - 1)).size(), 1u);
}

namespace {

// The real writer on a real database, by connection string.
class HistoryOnDatabase : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        DTU_BACKEND_OR_SKIP(conn, QString(GetParam()), dir);
        reader = std::make_unique<DtuStore>(ConfigPaths{dir.path(), dir.path()}, QString("reader-") + GetParam());
        reader->connectTo(conn, true);
        QSqlQuery(reader->database()).exec("drop table if exists dtuevent"); // the writer makes it
    }
    void TearDown() override {
        // A failed run must not leave the shared test database closed to everyone.
        if (reader && QString(GetParam()) == "postgresql")
            QSqlQuery(reader->database()).exec("grant connect on database " + reader->database().databaseName() + " to public, current_user");
    }
    int count() {
        QSqlQuery q(reader->database());
        if (!q.exec("select count(*) from dtuevent") || !q.next()) return -1;
        return q.value(0).toInt();
    }
    QTemporaryDir dir;
    QString conn;
    std::unique_ptr<DtuStore> reader;
    Clock clock;
};

} // namespace

TEST_P(HistoryOnDatabase, ADatabaseThatGoesAwayAndComesBackLosesNothing) {
    EventLog log(clock);
    QStringList lines;
    QObject::connect(&log, &EventLog::logLine, &log, [&](const QString& l) { lines << l; });
    HistoryOptions o;
    o.flushMs = 100;
    log.startOnDatabase(conn, o);
    log.record(A, "login");
    ASSERT_TRUE(waitFor([&] { return count() == 1; }, 5000));

    const bool pg = QString(GetParam()) == "postgresql";
    QSqlQuery q(reader->database());
    QString db;
    if (pg) {
        // Nobody may connect, and the writer's session is cut.
        ASSERT_TRUE(q.exec("select current_database()") && q.next());
        db = q.value(0).toString();
        ASSERT_TRUE(q.exec("revoke connect on database " + db + " from public, current_user")) << q.lastError().text().toStdString();
        ASSERT_TRUE(q.exec("select pg_terminate_backend(pid) from pg_stat_activity where datname = current_database() "
                           "and pid <> pg_backend_pid()")) << q.lastError().text().toStdString();
    } else {
        // Another program holds the file locked for longer than the writer waits.
        ASSERT_TRUE(q.exec("begin exclusive")) << q.lastError().text().toStdString();
    }
    for (int i = 0; i < 200; ++i) log.record(A, i % 2 ? "disconnect" : "login", QString::number(i));
    EXPECT_TRUE(waitFor([&] { return !lines.isEmpty(); }, 15000)) << "the outage is logged";
    EXPECT_GT(log.held(), 0);
    if (pg) {
        ASSERT_TRUE(q.exec("grant connect on database " + db + " to public, current_user")) << q.lastError().text().toStdString();
    } else {
        ASSERT_TRUE(q.exec("rollback"));
    }
    ASSERT_TRUE(waitFor([&] { return log.held() == 0; }, 20000)) << log.held();
    EXPECT_EQ(log.dropped(), 0);
    ASSERT_TRUE(waitFor([&] { return count() == 201; }, 5000)) << count();
    EXPECT_TRUE(waitFor([&] { return lines.last().contains("已恢复"); }, 3000)) << lines.join('\n').toStdString();
    QSet<QString> details; // events of the same millisecond have no order in the table
    for (const DtuEvent& e : reader->events(A, QDateTime())) details.insert(e.detail);
    for (int i = 0; i < 200; ++i) ASSERT_TRUE(details.contains(QString::number(i))) << i;
}

INSTANTIATE_TEST_SUITE_P(Backends, HistoryOnDatabase, ::testing::Values("sqlite", "postgresql"));
