// The web console against the real service, broker and field: the login and its guards, the
// device list and its live updates over the WebSocket, and where it refuses to serve.
#include "support/broker.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkCookie>
#include <QNetworkReply>
#include <QProcess>
#include <QSslError>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QWebSocket>
#include <gtest/gtest.h>
#include <csignal>

using namespace dtu::test;

namespace {
const QString A = "0000000000000001", PW = "123456";
QString bin(const QString& name) { return QCoreApplication::applicationDirPath() + "/" + name; }

quint16 freePort() {
    QTcpServer s;
    s.listen(QHostAddress::LocalHost);
    return s.serverPort();
}

struct Reply {
    int status = 0;
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray header(const QByteArray& name) const {
        for (const auto& [k, v] : headers)
            if (k.compare(name, Qt::CaseInsensitive) == 0) return v;
        return {};
    }
    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
};

// The service with a table of one DTU, a users file and the web console on the status listener.
class WebService {
public:
    QTemporaryDir dir;
    quint16 port = freePort();
    QProcess service;
    QByteArray err;
    QNetworkAccessManager net;
    QString scheme = "http";

    void configure(quint16 brokerPort, const QString& extra = {}, const QString& listen = "127.0.0.1") {
        QDir().mkpath(dir.filePath("etc"));
        QFile ini(dir.filePath("etc/center.ini"));
        ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
        ini.write(QString("[LINK]\nPort=%1\n[VPORT]\nDir=%2\n[LISTENER]\nPort=0\n[STATUS]\nListen=%3:%4\n%5")
                      .arg(brokerPort).arg(dir.filePath("ports"), listen).arg(port).arg(extra).toUtf8());
        ini.close();
        QFile ftdb(dir.filePath("etc/ftdb.ini"));
        ASSERT_TRUE(ftdb.open(QIODevice::WriteOnly));
        ftdb.write("Provider=SQLite;Data Source=" + dir.filePath("dtu.db").toUtf8());
        ftdb.close();
        for (const QStringList& args : {QStringList{"init"}, QStringList{"add", A, PW, "--port", "COM3"}}) {
            QProcess db;
            db.setWorkingDirectory(dir.filePath("etc"));
            db.start(bin("dtudb"), args);
            ASSERT_TRUE(db.waitForFinished());
            ASSERT_EQ(db.exitCode(), 0);
        }
    }
    void addUser(const QString& name, const QString& role, const QByteArray& password) {
        QProcess db;
        db.start(bin("dtudb"), {"web-user", "add", name, "--role", role, "--users", dir.filePath("etc/web-users")});
        db.waitForStarted();
        db.write(password + "\n");
        db.closeWriteChannel();
        ASSERT_TRUE(db.waitForFinished(20000));
        ASSERT_EQ(db.exitCode(), 0) << db.readAllStandardError().toStdString();
    }
    bool start() {
        service.start(bin("dtuconsoled"), {"--config", dir.filePath("etc")});
        return service.waitForStarted() && said("启动成功");
    }
    bool said(const QByteArray& text, int ms = 10000) {
        return waitFor([&] {
            err += service.readAllStandardError();
            return err.contains(text);
        }, ms);
    }
    ~WebService() {
        if (service.state() == QProcess::Running) {
            ::kill(static_cast<pid_t>(service.processId()), SIGTERM);
            service.waitForFinished(8000);
        }
    }
    struct Session {
        QByteArray cookie, csrf; // "dtu_session=...", the token for changes
    };
    Session login(const QByteArray& user, const QByteArray& password) {
        Reply r = request("POST", "api/login", "{\"user\":\"" + user + "\",\"password\":\"" + password + "\"}");
        EXPECT_EQ(r.status, 200) << r.body.constData();
        const QByteArray c = r.header("Set-Cookie");
        return {c.left(c.indexOf(';')), r.json().value("csrf").toString().toLatin1()};
    }
    Reply post(const Session& who, const QString& path, const QByteArray& body = "{}") {
        return request("POST", path, body, {{"Cookie", who.cookie}, {"X-CSRF-Token", who.csrf}});
    }
    Reply get(const Session& who, const QString& path) { return request("GET", path, {}, {{"Cookie", who.cookie}}); }
    QString url(const QString& path) const { return QString("%1://127.0.0.1:%2/%3").arg(scheme).arg(port).arg(path); }
    Reply request(const QByteArray& method, const QString& path, const QByteArray& body = {},
                  const QList<QPair<QByteArray, QByteArray>>& headers = {}) {
        QNetworkRequest req{QUrl(url(path))};
        req.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        // The test says which session a request is: no cookie jar of Qt's in between.
        req.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
        req.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
        for (const auto& [k, v] : headers) req.setRawHeader(k, v);
        QNetworkReply* r = net.sendCustomRequest(req, method, body);
        QObject::connect(r, &QNetworkReply::sslErrors, r, [r](const QList<QSslError>&) { r->ignoreSslErrors(); });
        waitFor([r] { return r->isFinished(); }, 10000);
        Reply out{r->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt(), r->readAll(), r->rawHeaderPairs()};
        r->deleteLater();
        return out;
    }
};
} // namespace

TEST(WebConsole, LogsInServesTheDevicesLiveAndGuardsEveryDoor) {
    Broker broker{{A + ":" + PW}};
    ASSERT_TRUE(broker.start());
    WebService web;
    ASSERT_NO_FATAL_FAILURE(web.configure(broker.port()));
    ASSERT_NO_FATAL_FAILURE(web.addUser("op", "operator", "operator password"));
    ASSERT_TRUE(web.start()) << web.err.constData();
    ASSERT_TRUE(web.said("网页控制台: http://127.0.0.1")) << web.err.constData();

    Reply page = web.request("GET", "");
    EXPECT_EQ(page.status, 200);
    EXPECT_TRUE(page.body.contains("<title>DTU控制台</title>"));
    EXPECT_TRUE(page.header("Content-Security-Policy").contains("frame-ancestors 'none'"));
    EXPECT_TRUE(page.header("Content-Security-Policy").contains("script-src 'self'"));
    EXPECT_EQ(page.header("X-Content-Type-Options"), "nosniff");
    EXPECT_EQ(web.request("GET", "api/devices").status, 401);

    Reply wrong = web.request("POST", "api/login", R"({"user":"op","password":"nope"})");
    EXPECT_EQ(wrong.status, 401);
    EXPECT_TRUE(web.said("网页登录失败: 用户 op，来自 127.0.0.1"));
    Reply login = web.request("POST", "api/login", R"({"user":"op","password":"operator password"})");
    ASSERT_EQ(login.status, 200) << login.body.constData();
    const QByteArray cookie = login.header("Set-Cookie");
    EXPECT_TRUE(cookie.startsWith("dtu_session=")) << cookie.constData();
    EXPECT_TRUE(cookie.contains("HttpOnly") && cookie.contains("SameSite=Strict")) << cookie.constData();
    EXPECT_FALSE(cookie.contains("Secure")); // plain HTTP on loopback
    const QByteArray csrf = login.json().value("csrf").toString().toLatin1();
    const QByteArray session = cookie.left(cookie.indexOf(';'));
    EXPECT_EQ(login.json().value("role").toString(), "operator");

    // The device list, and its row changing live when the field sends.
    ASSERT_TRUE(waitFor([&] {
        const QJsonArray rows = web.request("GET", "api/devices", {}, {{"Cookie", session}}).json().value("rows").toArray();
        return !rows.isEmpty() && rows[0].toObject().value("online").toBool();
    }, 10000));
    QWebSocket ws;
    QList<QJsonObject> pushed;
    QObject::connect(&ws, &QWebSocket::textMessageReceived, [&](const QString& m) { pushed << QJsonDocument::fromJson(m.toUtf8()).object(); });
    QNetworkRequest wsReq(QUrl(QString("ws://127.0.0.1:%1/ws").arg(web.port)));
    wsReq.setRawHeader("Cookie", cookie.left(cookie.indexOf(';')));
    wsReq.setRawHeader("Origin", QString("http://127.0.0.1:%1").arg(web.port).toUtf8());
    ws.open(wsReq);
    ASSERT_TRUE(waitFor([&] { return !pushed.isEmpty(); }, 5000)) << ws.errorString().toStdString() << " " << web.err.constData();
    EXPECT_EQ(pushed[0].value("type").toString(), "snapshot");
    EXPECT_EQ(pushed[0].value("rows").toArray()[0].toObject().value("id").toString(), A);
    ASSERT_TRUE(fieldPublish(broker.port(), "dtu/" + A + "/up", "HELLO", A, PW));
    ASSERT_TRUE(waitFor([&] {
        for (const QJsonObject& m : pushed)
            if (m.value("type") == "rows" && m.value("rows").toArray()[0].toObject().value("received").toString() == "1") return true;
        return false;
    }, 5000)) << QJsonDocument(pushed.last()).toJson().constData();

    // A socket another site opened with the operator's cookie, or without a session: closed.
    for (const QByteArray& origin : {QByteArray("http://evil.example"), QByteArray()}) {
        QWebSocket other;
        bool closed = false, got = false;
        QObject::connect(&other, &QWebSocket::disconnected, [&] { closed = true; });
        QObject::connect(&other, &QWebSocket::textMessageReceived, [&] { got = true; });
        QNetworkRequest r(QUrl(QString("ws://127.0.0.1:%1/ws").arg(web.port)));
        if (!origin.isEmpty()) {
            r.setRawHeader("Cookie", cookie.left(cookie.indexOf(';')));
            r.setRawHeader("Origin", origin);
        }
        other.open(r);
        EXPECT_TRUE(waitFor([&] { return closed; }, 5000)) << origin.constData();
        EXPECT_FALSE(got);
    }

    // An unlisted Host (DNS rebinding) is refused and named.
    EXPECT_EQ(web.request("GET", "api/session", {}, {{"Host", "rebound.example"}}).status, 403);
    EXPECT_TRUE(web.said("Host \"rebound.example\""));

    // A change without the session's token is refused; with it, the logout ends the socket too.
    EXPECT_EQ(web.request("POST", "api/logout", {}, {{"Cookie", session}}).status, 403);
    EXPECT_EQ(web.request("POST", "api/logout", {}, {{"Cookie", session}, {"X-CSRF-Token", "forged"}}).status, 403);
    EXPECT_EQ(web.request("POST", "api/logout", {}, {{"Cookie", session}, {"X-CSRF-Token", csrf}}).status, 200);
    EXPECT_EQ(web.request("GET", "api/session", {}, {{"Cookie", session}}).status, 401);
    EXPECT_TRUE(waitFor([&] { return ws.state() == QAbstractSocket::UnconnectedState; }, 5000));

    // The fifth wrong password in a row bans the address, the right one included.
    for (int i = 0; i < 4; ++i) EXPECT_EQ(web.request("POST", "api/login", R"({"user":"op","password":"guess"})").status, 401) << i;
    EXPECT_EQ(web.request("POST", "api/login", R"({"user":"nobody","password":"guess"})").status, 401);
    EXPECT_TRUE(web.said("连续失败5次，该地址暂停登录15分钟"));
    EXPECT_EQ(web.request("POST", "api/login", R"({"user":"op","password":"operator password"})").status, 429);
}

// Where it does not serve: no users file (no default password), and plain HTTP off loopback
// unless asked for; TLS when given a certificate, the cookie then Secure.
TEST(WebConsole, ServesOnlyWithUsersAndOffLoopbackOnlyWithTls) {
    Broker broker{{A + ":" + PW}};
    ASSERT_TRUE(broker.start());
    {
        WebService none;
        ASSERT_NO_FATAL_FAILURE(none.configure(broker.port()));
        ASSERT_TRUE(none.start()) << none.err.constData();
        EXPECT_EQ(none.request("GET", "").status, 404);
        EXPECT_EQ(none.request("GET", "metrics").status, 200); // the status page serves on
    }
    {
        WebService open;
        ASSERT_NO_FATAL_FAILURE(open.configure(broker.port(), {}, "0.0.0.0"));
        ASSERT_NO_FATAL_FAILURE(open.addUser("admin", "admin", "admin password"));
        ASSERT_TRUE(open.start()) << open.err.constData();
        EXPECT_TRUE(open.said("需要 TLS")) << open.err.constData();
        EXPECT_EQ(open.request("GET", "").status, 404);
    }
    {
        WebService plain;
        ASSERT_NO_FATAL_FAILURE(plain.configure(broker.port(), "[WEB]\nAllowPlainHttp=1\n", "0.0.0.0"));
        ASSERT_NO_FATAL_FAILURE(plain.addUser("admin", "admin", "admin password"));
        ASSERT_TRUE(plain.start()) << plain.err.constData();
        EXPECT_TRUE(plain.said("以明文 HTTP")) << plain.err.constData();
        EXPECT_EQ(plain.request("GET", "").status, 200);
    }
    {
        // Behind a reverse proxy under a path: the pages, the API and the cookie live there.
        WebService proxied;
        ASSERT_NO_FATAL_FAILURE(proxied.configure(broker.port(), "[WEB]\nBasePath=/dtu\nServerNames=plant.example\n"));
        ASSERT_NO_FATAL_FAILURE(proxied.addUser("admin", "admin", "admin password"));
        ASSERT_TRUE(proxied.start()) << proxied.err.constData();
        EXPECT_EQ(proxied.request("GET", "dtu/").status, 200);
        EXPECT_EQ(proxied.request("GET", "").status, 404);
        Reply login = proxied.request("POST", "dtu/api/login", R"({"user":"admin","password":"admin password"})",
                                      {{"Host", "plant.example"}});
        EXPECT_EQ(login.status, 200) << login.body.constData();
        EXPECT_TRUE(login.header("Set-Cookie").contains("; Path=/dtu/;")) << login.header("Set-Cookie").constData();
    }
    WebService tls;
    const QString cert = tls.dir.filePath("cert.pem"), key = tls.dir.filePath("key.pem");
    QProcess openssl;
    openssl.start("openssl", {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=127.0.0.1"});
    ASSERT_TRUE(openssl.waitForFinished(30000));
    ASSERT_EQ(openssl.exitCode(), 0) << openssl.readAllStandardError().toStdString();
    ASSERT_NO_FATAL_FAILURE(tls.configure(broker.port(), QString("[WEB]\nCertFile=%1\nKeyFile=%2\n").arg(cert, key), "0.0.0.0"));
    ASSERT_NO_FATAL_FAILURE(tls.addUser("admin", "admin", "admin password"));
    ASSERT_TRUE(tls.start()) << tls.err.constData();
    ASSERT_TRUE(tls.said("网页控制台: https://0.0.0.0")) << tls.err.constData();
    tls.scheme = "https";
    Reply login = tls.request("POST", "api/login", R"({"user":"admin","password":"admin password"})");
    ASSERT_EQ(login.status, 200) << login.body.constData();
    EXPECT_TRUE(login.header("Set-Cookie").contains("; Secure"));
    EXPECT_EQ(tls.request("GET", "metrics").status, 200);
}

// Actions go through the console's own commands, as the window's menus do, under the roles:
// a viewer's send reaches nobody, an operator's hex frame reaches the field byte for byte, the
// send box's parser speaks for bad hex, only an admin stops and starts the service; each action
// is a run log line and a history row naming the user.
TEST(WebConsole, ActionsGoThroughTheConsoleUnderTheRoles) {
    Broker broker{{A + ":" + PW}};
    ASSERT_TRUE(broker.start());
    WebService web;
    ASSERT_NO_FATAL_FAILURE(web.configure(broker.port()));
    ASSERT_NO_FATAL_FAILURE(web.addUser("viewer", "viewer", "viewer password"));
    ASSERT_NO_FATAL_FAILURE(web.addUser("op", "operator", "operator password"));
    ASSERT_NO_FATAL_FAILURE(web.addUser("boss", "admin", "admin password"));
    ASSERT_TRUE(web.start()) << web.err.constData();
    const auto viewer = web.login("viewer", "viewer password"), op = web.login("op", "operator password"),
               boss = web.login("boss", "admin password");
    auto post = [&](const WebService::Session& who, const QString& path, const QByteArray& body = "{}") { return web.post(who, path, body); };
    ASSERT_TRUE(waitFor([&] { return web.get(op, "api/devices").body.contains("\"online\":true"); }, 10000));

    QProcess field; // what reaches the field DTU, as hex
    field.start("mosquitto_sub", {"-p", QString::number(broker.port()), "-t", "dtu/" + A + "/down", "-u", A, "-P", PW, "-F", "%x", "-i", "field-watch"});
    ASSERT_TRUE(field.waitForStarted());
    pump(500);
    const QString send = "api/dtu/" + A + "/send";
    EXPECT_EQ(post(viewer, send, R"({"text":"41 42","hex":true})").status, 403);
    EXPECT_TRUE(web.said("网页操作被拒绝: 用户 viewer (viewer)"));
    Reply bad = post(op, send, R"({"text":"0G","hex":true})");
    EXPECT_EQ(bad.status, 400);
    EXPECT_FALSE(bad.json().value("error").toString().isEmpty()) << bad.body.constData();
    EXPECT_EQ(post(op, send, R"({"text":"01 03 00 00 00 01 84 0A","hex":true})").status, 200);
    EXPECT_EQ(post(op, "api/dtu/0000000000000009/send", R"({"text":"41","hex":true})").status, 404);
    EXPECT_EQ(web.request("POST", send, R"({"text":"41","hex":true})", {{"Cookie", op.cookie}}).status, 403); // no token
    ASSERT_TRUE(waitFor([&] { return field.readAllStandardOutput().trimmed() == "010300000001840a"; }, 5000));
    pump(300);
    EXPECT_TRUE(field.readAllStandardOutput().isEmpty()); // the viewer's, the bad and the tokenless: nothing
    field.kill();
    field.waitForFinished();
    EXPECT_TRUE(web.said(QString("网页操作: 用户 op 发送数据 %1").arg(A).toUtf8()));

    EXPECT_EQ(post(op, "api/service/stop").status, 403);
    EXPECT_EQ(post(boss, "api/service/stop").status, 200);
    EXPECT_TRUE(web.said("停止"));
    EXPECT_EQ(post(boss, "api/service/stop").status, 400); // not running: said, nothing done
    web.err.clear();
    EXPECT_EQ(post(boss, "api/service/start").status, 200);
    EXPECT_TRUE(web.said("启动成功"));
    EXPECT_EQ(post(op, "api/dtu/" + A + "/close").status, 200);
    EXPECT_TRUE(web.said(QString("网页操作: 用户 op 关闭DTU %1").arg(A).toUtf8()));

    // The history names the user (the writer runs behind: give it its moment).
    ASSERT_TRUE(waitFor([&] {
        QProcess db;
        db.setWorkingDirectory(web.dir.filePath("etc"));
        db.start(bin("dtudb"), {"events", A});
        db.waitForFinished();
        const QByteArray out = db.readAllStandardOutput();
        return out.contains("\tweb\top send") && out.contains("\tweb\top close");
    }, 10000));
}

// The window's program serves the same pages from its own status listener.
TEST(WebConsole, TheWindowServesTheSamePages) {
    Broker broker{{A + ":" + PW}};
    ASSERT_TRUE(broker.start());
    WebService web;
    ASSERT_NO_FATAL_FAILURE(web.configure(broker.port()));
    ASSERT_NO_FATAL_FAILURE(web.addUser("op", "operator", "operator password"));
    QProcess window;
    window.setWorkingDirectory(web.dir.filePath("etc")); // the window reads center.ini where it starts
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("QT_QPA_PLATFORM", "offscreen");
    window.setProcessEnvironment(env);
    window.start(bin("dtuconsole"));
    ASSERT_TRUE(window.waitForStarted());
    QByteArray err;
    ASSERT_TRUE(waitFor([&] {
        err += window.readAllStandardError();
        return web.request("GET", "").status == 200;
    }, 15000)) << err.constData();
    Reply login = web.request("POST", "api/login", R"({"user":"op","password":"operator password"})");
    EXPECT_EQ(login.status, 200) << login.body.constData();
    const QByteArray c = login.header("Set-Cookie");
    EXPECT_TRUE(web.request("GET", "api/devices", {}, {{"Cookie", c.left(c.indexOf(';'))}}).body.contains(A.toUtf8()));
    ::kill(static_cast<pid_t>(window.processId()), SIGTERM);
    window.waitForFinished(10000);
}

// The roster from the browser, for admins: the add and edit dialogs' own checks and texts come
// back to the browser (no box on the console's screen), the table follows, and a reload
// afterwards finds nothing the console does not know of.
TEST(WebConsole, TheRosterChangesThroughTheDialogsChecks) {
    Broker broker{{A + ":" + PW, "0000000000000002:" + PW}};
    ASSERT_TRUE(broker.start());
    WebService web;
    ASSERT_NO_FATAL_FAILURE(web.configure(broker.port()));
    ASSERT_NO_FATAL_FAILURE(web.addUser("op", "operator", "operator password"));
    ASSERT_NO_FATAL_FAILURE(web.addUser("boss", "admin", "admin password"));
    ASSERT_TRUE(web.start()) << web.err.constData();
    const auto op = web.login("op", "operator password"), boss = web.login("boss", "admin password");
    auto post = [&](const WebService::Session& who, const QString& path, const QByteArray& body) { return web.post(who, path, body); };
    const QByteArray B = "0000000000000002";
    EXPECT_EQ(post(op, "api/roster/add", "{\"id\":\"" + B + "\",\"password\":\"123456\"}").status, 403);
    struct Case { QByteArray body; QString said; };
    const Case refused[] = {
        {R"({"id":"123","password":"123456"})", "DTUID必须为16位"},
        {"{\"id\":\"" + B + "\",\"password\":\"12\"}", "DTU登录密码必须为6位"},
        {"{\"id\":\"" + A.toUtf8() + "\",\"password\":\"123456\"}", "DTUID重复！"},
    };
    for (const Case& c : refused) {
        Reply r = post(boss, "api/roster/add", c.body);
        EXPECT_EQ(r.status, 400) << c.body.constData();
        EXPECT_EQ(r.json().value("error").toString(), c.said) << r.body.constData();
    }
    Reply added = post(boss, "api/roster/add", "{\"id\":\"" + B + "\",\"password\":\"123456\",\"name\":\"2号泵站\",\"port\":\"COM4\"}");
    EXPECT_EQ(added.status, 200) << added.body.constData();
    EXPECT_TRUE(web.said("网页操作: 用户 boss 新增DTU " + B));
    // As the window's dialog does: registered and listed; logged in and given its port at the next start.
    EXPECT_TRUE(web.get(boss, "api/devices").body.contains(B));
    Reply fields = web.get(boss, "api/roster/" + B);
    EXPECT_EQ(fields.json().value("name").toString(), "2号泵站");
    EXPECT_EQ(web.get(op, "api/roster/" + B).status, 403); // the password is in it
    EXPECT_EQ(post(boss, "api/roster/edit", "{\"id\":\"" + B + "\",\"password\":\"654321\",\"name\":\"二号\",\"port\":\"COM4\"}").status, 200);

    QProcess db;
    db.setWorkingDirectory(web.dir.filePath("etc"));
    db.start(bin("dtudb"), {"list"});
    db.waitForFinished();
    EXPECT_TRUE(db.readAllStandardOutput().contains(B + "\t654321\t二号\t\tCOM4"));

    // The console's own changes are not news to a reload.
    ::kill(static_cast<pid_t>(web.service.processId()), SIGHUP);
    EXPECT_TRUE(web.said("重新载入DTU表: +0 \xe2\x88\x92" "0 ~0，共2个DTU")) << web.err.constData();
    EXPECT_TRUE(web.said("网页用户已重新读取 (2个)")) << web.err.constData();
    EXPECT_EQ(post(boss, "api/roster/delete", "{\"id\":\"" + B + "\"}").status, 200);
    // A user removed from the file is logged out at the next reload.
    QProcess del;
    del.start(bin("dtudb"), {"web-user", "del", "op", "--users", web.dir.filePath("etc/web-users")});
    ASSERT_TRUE(del.waitForFinished());
    ::kill(static_cast<pid_t>(web.service.processId()), SIGHUP);
    EXPECT_TRUE(web.said("网页用户已重新读取 (1个)")) << web.err.constData();
    EXPECT_EQ(web.get(op, "api/session").status, 401);
    EXPECT_EQ(web.get(boss, "api/session").status, 200);
    db.start(bin("dtudb"), {"list"});
    db.waitForFinished();
    EXPECT_FALSE(db.readAllStandardOutput().contains(B));
}

// Recording from the browser: started and stopped as the window's menu does, the DTU's files
// listed and fetched, and only its own files (no other name, no other folder).
TEST(WebConsole, RecordingIsStartedAndItsFilesFetched) {
    Broker broker{{A + ":" + PW}};
    ASSERT_TRUE(broker.start());
    WebService web;
    ASSERT_NO_FATAL_FAILURE(web.configure(broker.port(), QString("[CAPTURE]\nDir=%1\n").arg(web.dir.filePath("captures"))));
    ASSERT_NO_FATAL_FAILURE(web.addUser("viewer", "viewer", "viewer password"));
    ASSERT_NO_FATAL_FAILURE(web.addUser("op", "operator", "operator password"));
    ASSERT_TRUE(web.start()) << web.err.constData();
    const auto viewer = web.login("viewer", "viewer password"), op = web.login("op", "operator password");
    EXPECT_EQ(web.post(op, "api/dtu/" + A + "/record-start").status, 200);
    EXPECT_TRUE(web.said(QString("开始记录%1").arg(A).toUtf8()));
    ASSERT_TRUE(waitFor([&] { return web.get(op, "api/devices").body.contains("\"online\":true"); }, 10000));
    ASSERT_TRUE(fieldPublish(broker.port(), "dtu/" + A + "/up", "HELLO", A, PW));
    QString name;
    ASSERT_TRUE(waitFor([&] {
        const QJsonArray files = web.get(op, "api/dtu/" + A + "/captures").json().value("files").toArray();
        if (files.isEmpty() || files[0].toObject().value("size").toInt() == 0) return false;
        name = files[0].toObject().value("name").toString();
        return true;
    }, 5000));
    EXPECT_TRUE(name.startsWith(A + "-")) << name.toStdString();
    Reply file = web.get(op, "api/dtu/" + A + "/capture/" + name);
    EXPECT_EQ(file.status, 200);
    EXPECT_TRUE(file.body.contains(" " + A.toUtf8() + " < data 48454C4C4F\n")) << file.body.constData();
    EXPECT_TRUE(file.header("Content-Disposition").contains(name.toUtf8()));
    EXPECT_EQ(web.get(viewer, "api/dtu/" + A + "/capture/" + name).status, 403);
    QFile other(web.dir.filePath("captures/0000000000000009-20260101.cap"));
    ASSERT_TRUE(other.open(QIODevice::WriteOnly));
    other.close();
    for (const QString& bad : {QString("0000000000000009-20260101.cap"), QString("..%2Fetc%2Fweb-users"), QString("center.ini")})
        EXPECT_EQ(web.get(op, "api/dtu/" + A + "/capture/" + bad).status, 404) << bad.toStdString();
    EXPECT_EQ(web.post(op, "api/dtu/" + A + "/record-stop").status, 200);
    EXPECT_TRUE(web.said(QString("停止记录%1").arg(A).toUtf8()));
}

// The target lists against the simulated field DTU, through the tabs' own commands: read into
// the shared tab, set, read back; the tabs' complaints come back to the browser.
TEST(WebConsole, TargetListsAreReadAndSetOnTheField) {
    Broker broker{{A + ":" + PW}};
    ASSERT_TRUE(broker.start());
    WebService web;
    ASSERT_NO_FATAL_FAILURE(web.configure(broker.port()));
    ASSERT_NO_FATAL_FAILURE(web.addUser("op", "operator", "operator password"));
    ASSERT_TRUE(web.start()) << web.err.constData();
    QProcess sim;
    sim.start(bin("dtusim"), {"--port", QString::number(broker.port()), "--ids", A, "--password", PW, "--mode", "quiet", "--beat", "0"});
    ASSERT_TRUE(sim.waitForStarted());
    const auto op = web.login("op", "operator password");
    auto post = [&](const QString& path, const QByteArray& body) { return web.post(op, path, body); };
    auto list = [&] { return web.get(op, "api/targets/push").json(); };
    // Before a source is read, setting says what the tab says.
    Reply early = post("api/targets/push/set", R"({"text":"x"})");
    EXPECT_EQ(early.status, 400);
    EXPECT_EQ(early.json().value("error").toString(), "请先确定当前源ID");
    ASSERT_TRUE(waitFor([&] { return post("api/targets/push/read", "{\"id\":\"" + A.toUtf8() + "\"}").status == 200; }, 10000));
    ASSERT_TRUE(waitFor([&] { return list().value("status").toString() == A + ":读取微信目标ID列表成功"; }, 5000));
    EXPECT_EQ(list().value("source").toString(), A);
    EXPECT_EQ(post("api/targets/push/set", R"({"text":"wx-one\nwx-two"})").status, 200);
    ASSERT_TRUE(waitFor([&] { return list().value("status").toString() == A + ":设置微信目标ID列表成功"; }, 5000));
    EXPECT_EQ(post("api/targets/push/read", "{\"id\":\"" + A.toUtf8() + "\"}").status, 200);
    EXPECT_TRUE(waitFor([&] { return list().value("text").toString() == "wx-one\nwx-two"; }, 5000)) << QJsonDocument(list()).toJson().constData();
    EXPECT_TRUE(web.said(QString("网页操作: 用户 op 设置push目标列表 %1").arg(A).toUtf8()));
    Reply badPeer = post("api/targets/peer/read", "{\"id\":\"" + A.toUtf8() + "\"}");
    EXPECT_EQ(badPeer.status, 200);
    Reply notHex = post("api/targets/peer/set", R"({"targets":["not-an-id"]})");
    EXPECT_EQ(notHex.status, 400);
    EXPECT_TRUE(notHex.json().value("error").toString().contains("不是16位十六进制数字")) << notHex.body.constData();
    sim.terminate();
    sim.waitForFinished(3000);
}
