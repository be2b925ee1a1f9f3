// The web console's users file, its sessions and its guards, and dtudb web-user.
#include "console/web/websessions.h"
#include "console/web/webusers.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <sys/stat.h>

using namespace dtu;

namespace {
void writeFile(const QString& path, const QByteArray& text, mode_t mode) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(text);
    f.close();
    ::chmod(QFile::encodeName(path).constData(), mode);
}
} // namespace

TEST(WebUsersHash, VerifiesOnlyTheRightPasswordAndAWellFormedHash) {
    const QByteArray h = WebUsers::hashPassword("correct horse", 2000);
    ASSERT_TRUE(h.startsWith("$pbkdf2-sha512$2000$")) << h.constData();
    EXPECT_TRUE(WebUsers::verify("correct horse", h));
    EXPECT_NE(WebUsers::hashPassword("correct horse", 2000), h); // salted
    QByteArray flipped = h;
    flipped[flipped.size() - 3] = flipped[flipped.size() - 3] == 'A' ? 'B' : 'A';
    const QByteArray bad[] = {"", "plain", "$pbkdf2-sha512$2000$c2FsdA", "$pbkdf2-sha512$1$c2FsdA$" + QByteArray(86, 'A'),
                              "$pbkdf2-sha256$2000$c2FsdA$" + QByteArray(86, 'A'), flipped};
    EXPECT_FALSE(WebUsers::verify("correct hors", h));
    EXPECT_FALSE(WebUsers::verify("", h));
    for (const QByteArray& b : bad) EXPECT_FALSE(WebUsers::verify("correct horse", b)) << b.constData();
}

TEST(WebUsersFile, ReadsGoodFilesAndSaysWhatIsWrongWithBadOnes) {
    QTemporaryDir dir;
    const QByteArray hash = WebUsers::hashPassword("password1", 2000);
    const QString path = dir.filePath("web-users");
    writeFile(path, "# users\n\nalice:admin:" + hash + "\nbob:viewer:" + hash + "\n", 0600);
    WebUsers users;
    QString why;
    ASSERT_TRUE(users.load(path, &why)) << why.toStdString();
    ASSERT_EQ(users.users().size(), 2);
    EXPECT_EQ(users.find("alice")->role, WebRole::Admin);
    EXPECT_EQ(users.find("bob")->role, WebRole::Viewer);
    EXPECT_EQ(users.find("carol"), nullptr);

    struct Case { QByteArray text; mode_t mode; QString said; };
    const Case cases[] = {
        {"alice:admin:" + hash + "\n", 0644, "0644"},
        {"alice:admin:" + hash + "\n", 0640, "0640"},
        {"alice:admin:" + hash + "\nbob:root:" + hash + "\n", 0600, "第2行"},
        {"alice:admin\n", 0600, "第1行"},
        {"al ice:admin:" + hash + "\n", 0600, "第1行"},
        {"alice:admin:plaintext\n", 0600, "第1行"},
    };
    for (const Case& c : cases) {
        writeFile(path, c.text, c.mode);
        EXPECT_FALSE(users.load(path, &why)) << c.text.constData();
        EXPECT_TRUE(why.contains(c.said)) << why.toStdString();
        EXPECT_TRUE(users.users().isEmpty()); // nothing half-read
    }
    EXPECT_FALSE(users.load(dir.filePath("none"), &why));
    EXPECT_TRUE(why.contains("不存在"));
}

TEST(WebSessionsAndGuards, SessionsExpireWhenIdleAndCarryTheirOwnToken) {
    qint64 now = 1'000'000;
    WebSessions sessions([&] { return now; }, 60'000);
    const QByteArray a = sessions.open("alice", WebRole::Operator), b = sessions.open("bob", WebRole::Viewer);
    ASSERT_GE(a.size(), 40);
    ASSERT_NE(a, b);
    const WebSessions::Session* s = sessions.find(a);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->user, "alice");
    EXPECT_TRUE(WebSessions::csrfMatches(*s, s->csrf));
    EXPECT_FALSE(WebSessions::csrfMatches(*s, sessions.find(b)->csrf)); // another session's token
    EXPECT_FALSE(WebSessions::csrfMatches(*s, ""));
    EXPECT_EQ(sessions.find("forged"), nullptr);
    EXPECT_EQ(sessions.find(""), nullptr);
    now += 50'000;
    EXPECT_NE(sessions.find(a), nullptr); // used: its idle time starts again
    now += 50'000;
    EXPECT_NE(sessions.find(a), nullptr);
    EXPECT_EQ(sessions.find(b), nullptr); // idle 100 s
    sessions.closeUser("alice");
    EXPECT_EQ(sessions.find(a), nullptr);
}

TEST(WebSessionsAndGuards, TheFifthFailedLoginInARowBansTheAddressForAWhile) {
    qint64 now = 0;
    LoginGuard guard([&] { return now; });
    for (int i = 1; i < LoginGuard::kMaxFailures; ++i) EXPECT_FALSE(guard.failed("10.0.0.5")) << i;
    EXPECT_FALSE(guard.banned("10.0.0.5"));
    EXPECT_TRUE(guard.failed("10.0.0.5"));
    EXPECT_TRUE(guard.banned("10.0.0.5"));
    EXPECT_FALSE(guard.banned("10.0.0.6")); // per address
    now += LoginGuard::kBanMs + 1;
    EXPECT_FALSE(guard.banned("10.0.0.5"));
    // Failures far apart do not add up; a success clears the count.
    for (int i = 0; i < 10; ++i) {
        now += LoginGuard::kWindowMs + 1;
        EXPECT_FALSE(guard.failed("10.0.0.7"));
    }
    for (int i = 1; i < LoginGuard::kMaxFailures; ++i) guard.failed("10.0.0.8");
    guard.succeeded("10.0.0.8");
    EXPECT_FALSE(guard.failed("10.0.0.8"));
}

TEST(WebSessionsAndGuards, HostHeaderMustNameTheServer) {
    const QStringList names{"localhost", "127.0.0.1", "::1", "scada.plant.example"};
    struct Case { QByteArray host; bool allowed; };
    const Case cases[] = {
        {"localhost:9502", true}, {"LOCALHOST", true}, {"127.0.0.1:9502", true}, {"[::1]:9502", true},
        {"scada.plant.example", true}, {"evil.example:9502", false}, {"127.0.0.1.evil.example", false},
        {"", false}, {"[::1", false}, {"localhost:9502:1", false}, {"scada.plant.example.", false},
    };
    for (const Case& c : cases) EXPECT_EQ(HostAllowed(c.host, names), c.allowed) << c.host.constData();
}

// dtudb web-user: the password from standard input when it is no terminal; the file kept to
// its owner; refusals that change nothing.
TEST(WebUserCommand, AddPasswdDelListAndRefusals) {
    QTemporaryDir dir;
    const QString file = dir.filePath("web-users");
    auto run = [&](const QStringList& args, const QByteArray& input = {}, QString* out = nullptr) {
        QProcess p;
        p.start(QCoreApplication::applicationDirPath() + "/dtudb", QStringList{"web-user"} + args + QStringList{"--users", file});
        p.waitForStarted();
        p.write(input);
        p.closeWriteChannel();
        p.waitForFinished(20000);
        if (out) *out = QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError());
        return p.exitCode();
    };
    QString said;
    ASSERT_EQ(run({"add", "alice", "--role", "operator"}, "first password\n", &said), 0) << said.toStdString();
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(file).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    WebUsers users;
    QString why;
    ASSERT_TRUE(users.load(file, &why)) << why.toStdString();
    EXPECT_TRUE(WebUsers::verify("first password", users.find("alice")->hash));
    EXPECT_EQ(users.find("alice")->role, WebRole::Operator);

    struct Case { QStringList args; QByteArray input; QString said; };
    const Case refused[] = {
        {{"add", "alice"}, "another password\n", "exists"},
        {{"add", "bob"}, "short\n", "at least 8"},
        {{"add", "bob", "--role", "root"}, "long enough\n", "--role 'root'"},
        {{"add", "b b"}, "long enough\n", "user name 'b b'"},
        {{"passwd", "carol"}, "long enough\n", "no web user carol"},
        {{"del", "carol"}, "", "no web user carol"},
        {{"add", "bob"}, "", "no password"},
    };
    for (const Case& c : refused) {
        EXPECT_EQ(run(c.args, c.input, &said), 1) << c.args.join(' ').toStdString();
        EXPECT_TRUE(said.contains(c.said)) << c.args.join(' ').toStdString() << ": " << said.toStdString();
    }
    ASSERT_EQ(run({"passwd", "alice"}, "second password\n", &said), 0) << said.toStdString();
    ASSERT_EQ(run({"add", "bob"}, "bob's password\n", &said), 0) << said.toStdString();
    ASSERT_TRUE(users.load(file, &why));
    EXPECT_TRUE(WebUsers::verify("second password", users.find("alice")->hash));
    EXPECT_EQ(users.find("alice")->role, WebRole::Operator); // kept without --role
    EXPECT_EQ(users.find("bob")->role, WebRole::Viewer);     // the default
    ASSERT_EQ(run({"del", "alice"}, {}, &said), 0);
    ASSERT_EQ(run({"list"}, {}, &said), 0);
    EXPECT_EQ(said, "bob\tviewer\n");
}
