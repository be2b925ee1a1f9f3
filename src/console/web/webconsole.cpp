#include "console/web/webconsole.h"

#include "console/console.h"
#include "console/context.h"
#include "console/display/refresh.h"
#include "console/history/details.h"
#include "engines/link/linkengine.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QFile>
#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QHttpServerResponse>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLoggingCategory>
#include <QNetworkRequest>
#include <QSysInfo>
#include <QWebSocket>

Q_LOGGING_CATEGORY(lcWeb, "dtu.web", QtInfoMsg)

namespace dtu {

using M = DeviceListModel;

struct WebConsole::Client {
    std::unique_ptr<QWebSocket> socket;
    QByteArray token; // its session: a logout or an expiry ends the socket too
    QString user;
    QString peer;
};

namespace {
constexpr char kCookie[] = "dtu_session";

// No inline script, no framing, no sniffing; the API is never cached.
void secure(QHttpServerResponse& r, bool api) {
    r.setHeader("Content-Security-Policy",
                "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; connect-src 'self'; "
                "form-action 'self'; base-uri 'none'; frame-ancestors 'none'");
    r.setHeader("X-Content-Type-Options", "nosniff");
    r.setHeader("Referrer-Policy", "no-referrer");
    r.setHeader("X-Frame-Options", "DENY");
    if (api) r.setHeader("Cache-Control", "no-store");
}

QHttpServerResponse json(const QJsonObject& o, QHttpServerResponse::StatusCode code = QHttpServerResponse::StatusCode::Ok) {
    QHttpServerResponse r("application/json", QJsonDocument(o).toJson(QJsonDocument::Compact), code);
    secure(r, true);
    return r;
}

// What the console says while a web request runs goes back to that browser.
class CollectingPrompts : public Prompts {
public:
    explicit CollectingPrompts(PromptRouter& router) : router_(router), old_(router.divert(this)) {}
    ~CollectingPrompts() override { router_.divert(old_); }
    void message(const QString& text) override { said << text; }
    void error(const QString& text) override { said << text; }
    std::optional<QString> input(const QString&, const QString&, const QString&) override { return std::nullopt; }
    QStringList said;

private:
    PromptRouter& router_;
    Prompts* old_;
};

QByteArray resource(const QString& name) {
    QFile f(QStringLiteral(":/web/") + name);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QByteArray cookieValue(const QByteArray& header, const QByteArray& name) {
    for (const QByteArray& part : header.split(';')) {
        const QByteArray p = part.trimmed();
        if (p.startsWith(name + '=')) return p.mid(name.size() + 1);
    }
    return {};
}

QJsonObject rowObject(const ConsoleContext& ctx, int r) {
    const M& d = ctx.devices;
    return QJsonObject{
        {QStringLiteral("row"), r},
        {QStringLiteral("id"), d.caption(r)},
        {QStringLiteral("name"), d.subItem(r, M::SubName)},
        {QStringLiteral("online"), d.statePicture(r) == 1},
        {QStringLiteral("lastLogin"), d.subItem(r, M::SubLoginTime)},
        {QStringLiteral("lastData"), d.subItem(r, M::SubUpdateTime)},
        {QStringLiteral("sent"), d.subItem(r, M::SubSent)},
        {QStringLiteral("received"), d.subItem(r, M::SubReceived)},
        {QStringLiteral("portState"), d.subItem(r, M::SubPortState)},
        {QStringLiteral("port"), d.subItem(r, M::SubPort)},
        {QStringLiteral("silent"), d.isSilent(r)},
        {QStringLiteral("recording"), d.isRecording(r)},
    };
}
} // namespace

WebConsole::WebConsole(Console& console, QObject* parent)
    : QObject(parent), console_(console), ctx_(console.ctx),
      sessions_([] { return QDateTime::currentMSecsSinceEpoch(); }, static_cast<qint64>(console.ctx.config.webIdleMinutes) * 60 * 1000),
      logins_([] { return QDateTime::currentMSecsSinceEpoch(); }), base_(console.ctx.config.webBasePath) {
    flushTimer_.setSingleShot(true);
    connect(&flushTimer_, &QTimer::timeout, this, &WebConsole::flush);
}

WebConsole::~WebConsole() = default;

void WebConsole::say(const QString& line) {
    ctx_.logQueue.PostLog(ctx_.stamp() + QLatin1Char(' ') + line);
}

bool WebConsole::attach(QHttpServer& http, const QHostAddress& address, quint16 port, bool tls) {
    tls_ = tls;
    const QString file = ctx_.config.webUsers;
    QString why;
    if (!users_.load(file, &why)) {
        if (QFile::exists(file)) say(QStringLiteral("网页控制台未启用: %1").arg(why));
        else qCInfo(lcWeb).noquote() << "web console off: no users file" << file << "(dtudb web-user add NAME --role admin makes one)";
        return false;
    }
    if (users_.users().isEmpty()) {
        say(QStringLiteral("网页控制台未启用: 用户文件 %1 中没有用户 (dtudb web-user add)").arg(file));
        return false;
    }
    if (!address.isLoopback() && !tls && !ctx_.config.webAllowPlainHttp) {
        say(QStringLiteral("网页控制台未启用: %1 不是本机地址，需要 TLS ([WEB] CertFile, KeyFile)，或明确设 [WEB] AllowPlainHttp=1")
                .arg(address.toString()));
        return false;
    }
    if (!address.isLoopback() && !tls)
        say(QStringLiteral("注意: 网页控制台以明文 HTTP 在 %1 上提供 ([WEB] AllowPlainHttp=1)，密码和会话可被窃听").arg(address.toString()));
    serverNames_ = QStringList{QStringLiteral("localhost"), QStringLiteral("127.0.0.1"), QStringLiteral("::1")} + ctx_.config.webServerNames;
    if (!address.isLoopback() && address != QHostAddress::Any && address != QHostAddress::AnyIPv6) serverNames_ << address.toString();
    http_ = &http;

    auto page = [this](const QByteArray& type, const QString& name) {
        return [this, type, name](const QHttpServerRequest& req) {
            if (!hostAllowed(req)) return refused(403, "unknown host");
            QHttpServerResponse r(type, resource(name));
            secure(r, false);
            return r;
        };
    };
    http.route(base_, QHttpServerRequest::Method::Get, page("text/html; charset=utf-8", QStringLiteral("index.html")));
    http.route(base_ + QStringLiteral("app.js"), QHttpServerRequest::Method::Get, page("text/javascript; charset=utf-8", QStringLiteral("app.js")));
    http.route(base_ + QStringLiteral("app.css"), QHttpServerRequest::Method::Get, page("text/css; charset=utf-8", QStringLiteral("app.css")));

    http.route(base_ + QStringLiteral("api/session"), QHttpServerRequest::Method::Get, [this](const QHttpServerRequest& req) {
        if (!hostAllowed(req)) return refused(403, "unknown host");
        const WebSessions::Session* s = sessionOf(req);
        if (!s) return refused(401, "not logged in");
        return json({{QStringLiteral("user"), s->user}, {QStringLiteral("role"), RoleName(s->role)}, {QStringLiteral("csrf"), QString::fromLatin1(s->csrf)}});
    });

    http.route(base_ + QStringLiteral("api/login"), QHttpServerRequest::Method::Post, [this](const QHttpServerRequest& req) {
        if (!hostAllowed(req)) return refused(403, "unknown host");
        const QString peer = req.remoteAddress().toString();
        if (logins_.banned(peer)) return refused(429, "too many failed logins; try again later");
        const QJsonObject in = QJsonDocument::fromJson(req.body()).object();
        const QString name = in.value(QStringLiteral("user")).toString(), password = in.value(QStringLiteral("password")).toString();
        const WebUser* u = users_.find(name);
        // The hash is worked out for an unknown user too: the answer's time tells nothing.
        static const QByteArray decoy = WebUsers::hashPassword(QStringLiteral("decoy password"));
        const bool ok = WebUsers::verify(password, u ? u->hash : decoy) && u;
        if (!ok) {
            const bool ban = logins_.failed(peer);
            say(ban ? QStringLiteral("网页登录失败: 用户 %1，来自 %2；连续失败%3次，该地址暂停登录%4分钟")
                          .arg(name.left(32), peer).arg(LoginGuard::kMaxFailures).arg(LoginGuard::kBanMs / 60000)
                    : QStringLiteral("网页登录失败: 用户 %1，来自 %2").arg(name.left(32), peer));
            return refused(401, "wrong user or password");
        }
        logins_.succeeded(peer);
        const QByteArray token = sessions_.open(u->name, u->role);
        const WebSessions::Session* s = sessions_.find(token);
        say(QStringLiteral("网页登录: 用户 %1 (%2)，来自 %3").arg(u->name, RoleName(u->role), peer));
        QHttpServerResponse r = json({{QStringLiteral("user"), u->name}, {QStringLiteral("role"), RoleName(u->role)},
                                      {QStringLiteral("csrf"), QString::fromLatin1(s->csrf)}});
        r.addHeader("Set-Cookie", QByteArray(kCookie) + '=' + token + "; Path=" + base_.toUtf8() + "; HttpOnly; SameSite=Strict" +
                                      (tls_ ? "; Secure" : ""));
        return r;
    });

    http.route(base_ + QStringLiteral("api/logout"), QHttpServerRequest::Method::Post, [this](const QHttpServerRequest& req) {
        if (!hostAllowed(req)) return refused(403, "unknown host");
        QByteArray token;
        const WebSessions::Session* s = sessionOf(req, &token);
        if (!s) return refused(401, "not logged in");
        if (!WebSessions::csrfMatches(*s, req.value("X-CSRF-Token"))) return refused(403, "missing or wrong X-CSRF-Token");
        say(QStringLiteral("网页退出: 用户 %1").arg(s->user));
        sessions_.close(token);
        for (auto& c : clients_)
            if (c->token == token) c->socket->close(QWebSocketProtocol::CloseCodeNormal, QStringLiteral("logged out"));
        QHttpServerResponse r = json({{QStringLiteral("ok"), true}});
        r.addHeader("Set-Cookie", QByteArray(kCookie) + "=; Path=" + base_.toUtf8() + "; HttpOnly; SameSite=Strict; Max-Age=0");
        return r;
    });

    http.route(base_ + QStringLiteral("api/devices"), QHttpServerRequest::Method::Get, [this](const QHttpServerRequest& req) {
        if (!hostAllowed(req)) return refused(403, "unknown host");
        if (!sessionOf(req)) return refused(401, "not logged in");
        QHttpServerResponse r("application/json", allRows("snapshot"));
        secure(r, true);
        return r;
    });

    // A DTU's page: what "DTU详情" shows, and its CSVs.
    http.route(base_ + QStringLiteral("api/dtu/<arg>/<arg>"), QHttpServerRequest::Method::Get,
               [this](const QString& id, const QString& what, const QHttpServerRequest& req) {
                   if (!hostAllowed(req)) return refused(403, "unknown host");
                   if (!sessionOf(req)) return refused(401, "not logged in");
                   if (ctx_.devices.findExact(id) < 0) return refused(404, "no such DTU");
                   if (what == QLatin1String("captures")) {
                       QJsonArray files;
                       const QDir dir(ctx_.capture.dir());
                       for (const QString& name : captureFiles(id)) {
                           const QFileInfo f(dir.filePath(name));
                           files.append(QJsonObject{{QStringLiteral("name"), name}, {QStringLiteral("size"), f.size()},
                                                    {QStringLiteral("modified"), f.lastModified().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))}});
                       }
                       return json({{QStringLiteral("recording"), ctx_.capture.isRecording(id)}, {QStringLiteral("files"), files}});
                   }
                   const DtuDetails d = console_.detailsOf(id);
                   if (what == QLatin1String("details")) {
                       QJsonArray periods, minutes, events;
                       for (const OnlinePeriod& p : d.periods) periods.append(QJsonArray{p.fromMs, p.toMs});
                       for (const MinuteCounts& m : d.minutes) minutes.append(QJsonArray{static_cast<qint64>(m.packetsIn), static_cast<qint64>(m.packetsOut)});
                       for (const DtuEvent& e : d.lastEvents)
                           events.append(QJsonObject{{QStringLiteral("at"), e.at.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))},
                                                     {QStringLiteral("event"), e.event}, {QStringLiteral("detail"), e.detail}});
                       return json({{QStringLiteral("id"), d.id}, {QStringLiteral("now"), d.nowMs}, {QStringLiteral("periods"), periods},
                                    {QStringLiteral("firstMinute"), d.firstMinuteMs}, {QStringLiteral("minutes"), minutes},
                                    {QStringLiteral("events"), events}, {QStringLiteral("note"), d.note},
                                    {QStringLiteral("onlineMs"), d.onlineMs()}});
                   }
                   if (what != QLatin1String("events.csv") && what != QLatin1String("minutes.csv")) return refused(404, "no such page");
                   // As the dialog exports it: UTF-8 with a byte-order mark, for spreadsheets.
                   const QByteArray csv = "\xEF\xBB\xBF" + (what == QLatin1String("events.csv") ? d.eventsCsv() : d.minutesCsv()).toUtf8();
                   QHttpServerResponse r("text/csv; charset=utf-8", csv);
                   secure(r, true);
                   r.setHeader("Content-Disposition", "attachment; filename=\"" + id.toUtf8().replace('"', '_') + '-' + what.toUtf8() + '"');
                   return r;
               });
    // A DTU's capture files: listed, and fetched one by one (streamed, they may be large).
    http.route(base_ + QStringLiteral("api/dtu/<arg>/capture/<arg>"), QHttpServerRequest::Method::Get,
               [this](const QString& id, const QString& name, const QHttpServerRequest& req, QHttpServerResponder&& responder) {
                   auto refuse = [&](QHttpServerResponder::StatusCode code, const QByteArray& why) {
                       responder.write(QJsonDocument(QJsonObject{{QStringLiteral("error"), QString::fromUtf8(why)}}), code);
                   };
                   if (!hostAllowed(req)) return refuse(QHttpServerResponder::StatusCode::Forbidden, "unknown host");
                   const WebSessions::Session* s = sessionOf(req);
                   if (!s) return refuse(QHttpServerResponder::StatusCode::Unauthorized, "not logged in");
                   if (static_cast<int>(s->role) < static_cast<int>(WebRole::Operator))
                       return refuse(QHttpServerResponder::StatusCode::Forbidden, "your role may not do this");
                   if (!captureFiles(id).contains(name)) return refuse(QHttpServerResponder::StatusCode::NotFound, "no such file");
                   auto* file = new QFile(QDir(ctx_.capture.dir()).filePath(name));
                   if (!file->open(QIODevice::ReadOnly)) {
                       delete file;
                       return refuse(QHttpServerResponder::StatusCode::NotFound, "cannot read the file");
                   }
                   say(QStringLiteral("网页操作: 用户 %1 下载记录文件 %2").arg(s->user, name));
                   const QByteArray disposition = "attachment; filename=\"" + QFile::encodeName(name) + '"';
                   responder.write(file, {{"Content-Type", "text/plain; charset=utf-8"}, {"Content-Disposition", disposition},
                                          {"X-Content-Type-Options", "nosniff"}, {"Cache-Control", "no-store"}});
               });
    http.route(base_ + QStringLiteral("api/dtu/<arg>/<arg>"), QHttpServerRequest::Method::Post,
               [this](const QString& id, const QString& action, const QHttpServerRequest& req) {
                   return act(req, WebRole::Operator, id, action);
               });
    http.route(base_ + QStringLiteral("api/roster/<arg>"), QHttpServerRequest::Method::Post,
               [this](const QString& action, const QHttpServerRequest& req) { return rosterAction(req, action); });
    // The edit dialog's fields, password included: for admins only.
    http.route(base_ + QStringLiteral("api/roster/<arg>"), QHttpServerRequest::Method::Get, [this](const QString& id, const QHttpServerRequest& req) {
        if (!hostAllowed(req)) return refused(403, "unknown host");
        const WebSessions::Session* s = sessionOf(req);
        if (!s) return refused(401, "not logged in");
        if (s->role != WebRole::Admin) return refused(403, "your role may not do this");
        DtuFields f;
        f.id = id;
        try {
            console_.rosterCommands.loadForEdit(f);
        } catch (const std::exception& e) {
            return json({{QStringLiteral("error"), QString::fromLocal8Bit(e.what())}}, QHttpServerResponse::StatusCode::InternalServerError);
        }
        return json({{QStringLiteral("id"), id}, {QStringLiteral("password"), f.password}, {QStringLiteral("name"), f.name},
                     {QStringLiteral("sim"), f.sim}, {QStringLiteral("port"), f.port}});
    });
    // The three target lists, shared with the window's tabs: read into the tab from a DTU, shown,
    // edited and set back; the push test message.
    http.route(base_ + QStringLiteral("api/targets/<arg>"), QHttpServerRequest::Method::Get, [this](const QString& kind, const QHttpServerRequest& req) {
        if (!hostAllowed(req)) return refused(403, "unknown host");
        if (!sessionOf(req)) return refused(401, "not logged in");
        const auto k = targetKind(kind);
        if (!k) return refused(404, "no such list");
        TargetTab& t = console_.remote.tab(*k);
        QJsonArray targets;
        for (int r = 0; r < t.targets.rowCount(); ++r) targets.append(t.targets.row(r).id);
        return json({{QStringLiteral("source"), t.currentSource}, {QStringLiteral("text"), t.text.toPlainText()},
                     {QStringLiteral("targets"), targets}, {QStringLiteral("status"), ctx_.statusPanel(3)}});
    });
    http.route(base_ + QStringLiteral("api/targets/<arg>/<arg>"), QHttpServerRequest::Method::Post,
               [this](const QString& kind, const QString& action, const QHttpServerRequest& req) {
                   if (!hostAllowed(req)) return refused(403, "unknown host");
                   const WebSessions::Session* s = sessionOf(req);
                   if (!s) return refused(401, "not logged in");
                   if (!WebSessions::csrfMatches(*s, req.value("X-CSRF-Token"))) return refused(403, "missing or wrong X-CSRF-Token");
                   if (static_cast<int>(s->role) < static_cast<int>(WebRole::Operator)) return refused(403, "your role may not do this");
                   const auto k = targetKind(kind);
                   if (!k) return refused(404, "no such list");
                   const QString user = s->user;
                   const QJsonObject in = QJsonDocument::fromJson(req.body()).object();
                   TargetTab& t = console_.remote.tab(*k);
                   CollectingPrompts prompts(ctx_.promptRouter);
                   QString did;
                   if (action == QLatin1String("read")) {
                       const QString id = in.value(QStringLiteral("id")).toString();
                       if (ctx_.devices.findExact(id) < 0) return refused(404, "no such DTU");
                       console_.remote.readOf(*k, id);
                       did = QStringLiteral("读取%1目标列表 %2").arg(kind, id);
                   } else if (action == QLatin1String("set")) {
                       if (*k == TargetKind::Peer) {
                           t.targets.removeRows(0, t.targets.rowCount());
                           for (const QJsonValue v : in.value(QStringLiteral("targets")).toArray()) t.targets.appendRow({v.toString(), {}, {}, -1, -1});
                       } else {
                           t.text.setPlainText(in.value(QStringLiteral("text")).toString());
                       }
                       console_.remote.set(*k);
                       did = QStringLiteral("设置%1目标列表 %2").arg(kind, t.currentSource);
                   } else if (action == QLatin1String("test") && *k == TargetKind::Push) {
                       console_.remote.testPush(in.value(QStringLiteral("message")).toString());
                       did = QStringLiteral("推送测试消息 %1").arg(t.currentSource);
                   } else {
                       return refused(404, "no such action");
                   }
                   if (!prompts.said.isEmpty())
                       return json({{QStringLiteral("error"), prompts.said.join(QLatin1Char('\n'))}}, QHttpServerResponse::StatusCode::BadRequest);
                   say(QStringLiteral("网页操作: 用户 %1 %2").arg(user, did));
                   return json({{QStringLiteral("ok"), true}});
               });
    http.route(base_ + QStringLiteral("api/service/<arg>"), QHttpServerRequest::Method::Post,
               [this](const QString& action, const QHttpServerRequest& req) { return act(req, WebRole::Admin, {}, action); });

    // Qt hands an upgrade to its WebSocket server only when a route takes the request; who may
    // keep the socket is decided once it is one (onWebSocket).
    http.route(base_ + QStringLiteral("ws"), [](const QHttpServerRequest& req, QHttpServerResponder&& responder) {
        if (req.value("Upgrade").compare("websocket", Qt::CaseInsensitive) != 0)
            responder.write(QHttpServerResponder::StatusCode::BadRequest);
    });
    connect(&http, &QHttpServer::newWebSocketConnection, this, [this] {
        while (http_->hasPendingWebSocketConnections()) onWebSocket(http_->nextPendingWebSocketConnection());
    });
    connect(&ctx_.devices, &QAbstractItemModel::dataChanged, this,
            [this](const QModelIndex& a, const QModelIndex& b) { markRows(a.row(), b.row()); });
    connect(&ctx_.devices, &QAbstractItemModel::rowsInserted, this, [this](const QModelIndex&, int a, int b) { markRows(a, b); });
    connect(&ctx_.devices, &QAbstractItemModel::modelReset, this, [this] {
        reset_ = true;
        dirty_.clear();
        if (!flushTimer_.isActive()) flushTimer_.start(kFlushMs);
    });
    serving_ = true;
    say(QStringLiteral("网页控制台: %1://%2:%3%4 (%5个用户)")
            .arg(tls ? QStringLiteral("https") : QStringLiteral("http"),
                 address.protocol() == QAbstractSocket::IPv6Protocol ? QLatin1Char('[') + address.toString() + QLatin1Char(']') : address.toString())
            .arg(port)
            .arg(base_)
            .arg(users_.users().size()));
    return true;
}

QHttpServerResponse WebConsole::act(const QHttpServerRequest& req, WebRole needed, const QString& id, const QString& action) {
    if (!hostAllowed(req)) return refused(403, "unknown host");
    const WebSessions::Session* s = sessionOf(req);
    if (!s) return refused(401, "not logged in");
    if (!WebSessions::csrfMatches(*s, req.value("X-CSRF-Token"))) return refused(403, "missing or wrong X-CSRF-Token");
    if (static_cast<int>(s->role) < static_cast<int>(needed)) {
        say(QStringLiteral("网页操作被拒绝: 用户 %1 (%2) 无权 %3%4").arg(s->user, RoleName(s->role), action, id.isEmpty() ? QString() : QLatin1Char(' ') + id));
        return refused(403, "your role may not do this");
    }
    const QJsonObject in = QJsonDocument::fromJson(req.body()).object();
    const WebSessions::Session copy = *s; // the action may run handlers that open sessions
    return runAction(copy, id, action, in);
}

QHttpServerResponse WebConsole::runAction(const WebSessions::Session& s, const QString& id, const QString& action, const QJsonObject& in) {
    static const QHash<QString, QString> kNames{
        {QStringLiteral("send"), QStringLiteral("发送数据")},       {QStringLiteral("clock-read"), QStringLiteral("读取时钟")},
        {QStringLiteral("clock-set"), QStringLiteral("设置时钟")},  {QStringLiteral("signal"), QStringLiteral("读取信号强度")},
        {QStringLiteral("close"), QStringLiteral("关闭DTU")},       {QStringLiteral("start"), QStringLiteral("启动服务")},
        {QStringLiteral("record-start"), QStringLiteral("开始记录")}, {QStringLiteral("record-stop"), QStringLiteral("停止记录")},
        {QStringLiteral("stop"), QStringLiteral("停止服务")},       {QStringLiteral("reload"), QStringLiteral("重新载入DTU表")},
    };
    const bool dtuAction = !id.isEmpty();
    const QString name = kNames.value(action);
    if (name.isEmpty() || dtuAction != (action != QLatin1String("start") && action != QLatin1String("stop") && action != QLatin1String("reload")))
        return refused(404, "no such action");
    const int row = dtuAction ? ctx_.devices.findExact(id) : -1;
    if (dtuAction && row < 0) return refused(404, "no such DTU");
    const bool needsOnline = action == QLatin1String("send") || action.startsWith(QLatin1String("clock")) || action == QLatin1String("signal");
    if (dtuAction && needsOnline && ctx_.devices.statePicture(row) != 1)
        return json({{QStringLiteral("error"), QStringLiteral("DTU %1 不在线").arg(id)}}, QHttpServerResponse::StatusCode::Conflict);
    // As if done in the window, and who did it.
    say(QStringLiteral("网页操作: 用户 %1 %2%3").arg(s.user, name, dtuAction ? QLatin1Char(' ') + id : QString()));
    if (dtuAction) ctx_.history.record(id, QStringLiteral("web"), s.user + QLatin1Char(' ') + action);
    QString error;
    CollectingPrompts prompts(ctx_.promptRouter);
    try {
        if (action == QLatin1String("send")) {
            error = console_.sendTyped({row}, in.value(QStringLiteral("text")).toString(), in.value(QStringLiteral("hex")).toBool());
        } else if (action == QLatin1String("clock-read")) {
            console_.remote.readClockOf(id);
        } else if (action == QLatin1String("clock-set")) {
            console_.remote.setClockOf(id);
        } else if (action == QLatin1String("signal")) {
            console_.remote.readSignalOf(id);
        } else if (action == QLatin1String("record-start") || action == QLatin1String("record-stop")) {
            console_.setRecording(id, action == QLatin1String("record-start"));
        } else if (action == QLatin1String("close")) {
            ctx_.closeDtu(id, QStringLiteral("操作员关闭"));
            RebuildDeviceList(ctx_);
        } else if (action == QLatin1String("start")) {
            if (ctx_.serviceRunning()) error = QStringLiteral("服务已在运行");
            else console_.serviceStart();
        } else if (action == QLatin1String("stop")) {
            if (!ctx_.serviceRunning()) error = QStringLiteral("服务未运行");
            else console_.serviceStop();
        } else if (action == QLatin1String("reload")) {
            console_.reload();
        }
    } catch (const std::exception& e) {
        const QString why = QString::fromLocal8Bit(e.what());
        ctx_.reportFailure(why);
        return json({{QStringLiteral("error"), why}}, QHttpServerResponse::StatusCode::InternalServerError);
    }
    if (error.isEmpty() && !prompts.said.isEmpty()) error = prompts.said.join(QLatin1Char('\n'));
    if (!error.isEmpty()) return json({{QStringLiteral("error"), error}}, QHttpServerResponse::StatusCode::BadRequest);
    return json({{QStringLiteral("ok"), true}});
}

QHttpServerResponse WebConsole::rosterAction(const QHttpServerRequest& req, const QString& action) {
    if (!hostAllowed(req)) return refused(403, "unknown host");
    const WebSessions::Session* s = sessionOf(req);
    if (!s) return refused(401, "not logged in");
    if (!WebSessions::csrfMatches(*s, req.value("X-CSRF-Token"))) return refused(403, "missing or wrong X-CSRF-Token");
    if (s->role != WebRole::Admin) {
        say(QStringLiteral("网页操作被拒绝: 用户 %1 (%2) 无权修改DTU表").arg(s->user, RoleName(s->role)));
        return refused(403, "your role may not do this");
    }
    const QString user = s->user;
    const QJsonObject in = QJsonDocument::fromJson(req.body()).object();
    DtuFields f;
    f.id = in.value(QStringLiteral("id")).toString();
    f.password = in.value(QStringLiteral("password")).toString();
    f.name = in.value(QStringLiteral("name")).toString();
    f.sim = in.value(QStringLiteral("sim")).toString();
    f.port = in.value(QStringLiteral("port")).toString(QStringLiteral("COM3"));
    const QString id = f.id;
    CollectingPrompts prompts(ctx_.promptRouter);
    bool done = false;
    try {
        if (action == QLatin1String("add")) {
            done = console_.rosterCommands.confirmAdd(f);
        } else if (action == QLatin1String("edit")) {
            if (ctx_.devices.findExact(id) < 0) return refused(404, "no such DTU");
            done = console_.rosterCommands.confirmEdit(f);
        } else if (action == QLatin1String("delete")) {
            if (ctx_.devices.findExact(id) < 0) return refused(404, "no such DTU");
            console_.rosterCommands.deleteIds({id});
            done = true;
        } else {
            return refused(404, "no such action");
        }
    } catch (const std::exception& e) {
        prompts.said << QString::fromLocal8Bit(e.what());
    }
    static const QHash<QString, QString> kNames{{QStringLiteral("add"), QStringLiteral("新增DTU")},
                                                {QStringLiteral("edit"), QStringLiteral("修改DTU")},
                                                {QStringLiteral("delete"), QStringLiteral("删除DTU")}};
    if (done) {
        say(QStringLiteral("网页操作: 用户 %1 %2 %3").arg(user, kNames.value(action), id));
        ctx_.history.record(id, QStringLiteral("web"), user + QLatin1Char(' ') + action);
    }
    // The dialogs' own texts: "DTUID必须为16位", "DTUID重复！", a table that refused the row...
    if (!prompts.said.isEmpty())
        return json({{QStringLiteral("ok"), done}, {QStringLiteral("error"), prompts.said.join(QLatin1Char('\n'))}},
                    done ? QHttpServerResponse::StatusCode::Ok : QHttpServerResponse::StatusCode::BadRequest);
    return json({{QStringLiteral("ok"), done}});
}

std::optional<TargetKind> WebConsole::targetKind(const QString& name) {
    if (name == QLatin1String("peer")) return TargetKind::Peer;
    if (name == QLatin1String("push")) return TargetKind::Push;
    if (name == QLatin1String("forward")) return TargetKind::Forward;
    return std::nullopt;
}

QStringList WebConsole::captureFiles(const QString& id) const {
    // The writer's own names: "<ID>-<yyyyMMdd>[.<part>].cap", a slash in the ID made '_'.
    QString safe = id;
    safe.replace(QLatin1Char('/'), QLatin1Char('_'));
    const QRegularExpression mine(QLatin1Char('^') + QRegularExpression::escape(safe) + QStringLiteral("-\\d{8}(\\.\\d+)?\\.cap$"));
    QStringList names;
    const QDir dir(ctx_.capture.dir());
    for (const QFileInfo& f : dir.entryInfoList({QStringLiteral("*.cap")}, QDir::Files | QDir::NoSymLinks, QDir::Name))
        if (mine.match(f.fileName()).hasMatch()) names << f.fileName();
    return names;
}

void WebConsole::watchMessages(bool on) {
    // The display makes its lines only for someone who watches: only while a browser does.
    if (on && !displayWatch_) {
        displayWatch_ = connect(&ctx_.messageDisplay, &MessageDisplay::changed, this, [this](int, const QStringList& added) {
            pendingLines_ += added;
            if (pendingLines_.size() > MessageDisplay::kHardLimit) {
                pendingLines_ = pendingLines_.mid(pendingLines_.size() - MessageDisplay::kHardLimit);
                linesDropped_ = true;
            }
            if (!flushTimer_.isActive()) flushTimer_.start(kFlushMs);
        });
        logWatch_ = connect(&ctx_.logQueue, &LogQueue::posted, this, [this](const QString& line) {
            pendingLog_ << line;
            if (pendingLog_.size() > LogQueue::kLimit) pendingLog_.removeFirst();
            if (!flushTimer_.isActive()) flushTimer_.start(kFlushMs);
        });
    } else if (!on && displayWatch_) {
        disconnect(displayWatch_);
        disconnect(logWatch_);
        displayWatch_ = {};
        logWatch_ = {};
        pendingLines_.clear();
        pendingLog_.clear();
    }
}

QByteArray WebConsole::linesJson(const char* type, const QStringList& lines) const {
    return QJsonDocument(QJsonObject{{QStringLiteral("type"), QLatin1String(type)}, {QStringLiteral("lines"), QJsonArray::fromStringList(lines)}})
        .toJson(QJsonDocument::Compact);
}

void WebConsole::reloadUsers() {
    WebUsers fresh;
    QString why;
    if (!fresh.load(ctx_.config.webUsers, &why)) {
        say(QStringLiteral("网页用户未重新读取，沿用原有的%1个用户: %2").arg(users_.users().size()).arg(why));
        return;
    }
    for (const WebUser& old : users_.users()) {
        const WebUser* now = fresh.find(old.name);
        if (!now || now->hash != old.hash || now->role != old.role) {
            sessions_.closeUser(old.name);
            for (auto& c : clients_)
                if (c->user == old.name) c->socket->close(QWebSocketProtocol::CloseCodeNormal, QStringLiteral("user changed"));
        }
    }
    users_ = fresh;
    say(QStringLiteral("网页用户已重新读取 (%1个)").arg(users_.users().size()));
}

bool WebConsole::hostAllowed(const QHttpServerRequest& request) {
    const QByteArray host = request.value("Host");
    if (HostAllowed(host, serverNames_)) return true;
    say(QStringLiteral("网页控制台拒绝了 Host \"%1\" (来自 %2)；经反向代理访问时把这个名字加入 [WEB] ServerNames")
            .arg(QString::fromLatin1(host.left(100)), request.remoteAddress().toString()));
    return false;
}

const WebSessions::Session* WebConsole::sessionOf(const QHttpServerRequest& request, QByteArray* token) {
    const QByteArray t = cookieValue(request.value("Cookie"), kCookie);
    if (token) *token = t;
    return sessions_.find(t);
}

QHttpServerResponse WebConsole::refused(int status, const QByteArray& message) {
    return json({{QStringLiteral("error"), QString::fromUtf8(message)}}, static_cast<QHttpServerResponse::StatusCode>(status));
}

void WebConsole::onWebSocket(std::unique_ptr<QWebSocket> socket) {
    if (!socket) return;
    const QNetworkRequest req = socket->request();
    const QString peer = socket->peerAddress().toString();
    const QByteArray host = req.rawHeader("Host"), origin = req.rawHeader("Origin");
    const QByteArray token = cookieValue(req.rawHeader("Cookie"), kCookie);
    const WebSessions::Session* s = sessions_.find(token);
    // Another site's page cannot use the operator's cookie: the Origin must be this server.
    const QByteArray originHost = origin.mid(origin.indexOf("://") + 3);
    const bool sameOrigin = !origin.isEmpty() && originHost == host;
    if (req.url().path() != base_ + QStringLiteral("ws") || !HostAllowed(host, serverNames_) || !sameOrigin || !s) {
        say(QStringLiteral("网页控制台拒绝了来自 %1 的 WebSocket (%2)")
                .arg(peer, !s ? QStringLiteral("未登录") : !sameOrigin ? QStringLiteral("Origin 不符") : QStringLiteral("地址不符")));
        socket->close(QWebSocketProtocol::CloseCodePolicyViolated, QStringLiteral("refused"));
        socket.release()->deleteLater();
        return;
    }
    socket->setParent(this);
    socket->setMaxAllowedIncomingMessageSize(64 * 1024);
    auto client = std::make_unique<Client>(Client{std::move(socket), token, s->user, peer});
    QWebSocket* raw = client->socket.get();
    // Queued: a socket let go while the clients are walked must not change the list under the walk.
    connect(raw, &QWebSocket::disconnected, this, [this, raw] {
        for (auto it = clients_.begin(); it != clients_.end(); ++it)
            if ((*it)->socket.get() == raw) {
                (*it)->socket.release()->deleteLater();
                clients_.erase(it);
                if (clients_.empty()) watchMessages(false);
                return;
            }
    }, Qt::QueuedConnection);
    raw->sendTextMessage(QString::fromUtf8(allRows("snapshot")));
    raw->sendTextMessage(QString::fromUtf8(linesJson("display", ctx_.messageDisplay.lines())));
    QStringList log = ctx_.logQueue.lines(); // newest first
    std::reverse(log.begin(), log.end());
    raw->sendTextMessage(QString::fromUtf8(linesJson("logSnapshot", log)));
    clients_.push_back(std::move(client));
    watchMessages(true);
}

void WebConsole::markRows(int first, int last) {
    if (clients_.empty()) return;
    for (int r = first; r <= last; ++r) dirty_.insert(r);
    if (!flushTimer_.isActive()) flushTimer_.start(kFlushMs);
}

void WebConsole::flush() {
    if (clients_.empty()) {
        dirty_.clear();
        reset_ = false;
        return;
    }
    QByteArray message;
    if (reset_) {
        message = allRows("snapshot");
    } else if (!dirty_.isEmpty()) {
        QList<int> rows(dirty_.cbegin(), dirty_.cend());
        std::sort(rows.begin(), rows.end());
        message = rowsJson(rows, "rows");
    }
    reset_ = false;
    dirty_.clear();
    QStringList messages;
    if (!message.isEmpty()) messages << QString::fromUtf8(message);
    if (!pendingLines_.isEmpty()) {
        if (linesDropped_) pendingLines_.prepend(QStringLiteral("...(更新太快，部分行未显示)"));
        messages << QString::fromUtf8(linesJson("lines", pendingLines_));
    }
    if (!pendingLog_.isEmpty()) messages << QString::fromUtf8(linesJson("log", pendingLog_));
    pendingLines_.clear();
    pendingLog_.clear();
    linesDropped_ = false;
    if (messages.isEmpty()) return;
    for (auto it = clients_.begin(); it != clients_.end();) {
        Client& c = **it;
        if (!sessions_.find(c.token)) { // logged out or expired
            c.socket->close(QWebSocketProtocol::CloseCodeNormal, QStringLiteral("session ended"));
            ++it;
            continue;
        }
        if (c.socket->bytesToWrite() > kMaxBacklog) {
            say(QStringLiteral("网页控制台: %1 (用户 %2) 跟不上更新，已断开；页面会重新连接").arg(c.peer, c.user));
            c.socket->abort();
            ++it;
            continue;
        }
        for (const QString& m : messages) c.socket->sendTextMessage(m);
        ++it;
    }
}

QByteArray WebConsole::rowsJson(const QList<int>& rows, const char* type) const {
    QJsonArray list;
    for (int r : rows)
        if (r >= 0 && r < ctx_.devices.rowCount()) list.append(rowObject(ctx_, r));
    return QJsonDocument(QJsonObject{{QStringLiteral("type"), QLatin1String(type)},
                                     {QStringLiteral("online"), ctx_.devices.onlineCount()},
                                     {QStringLiteral("total"), ctx_.devices.rowCount()},
                                     {QStringLiteral("rows"), list}})
        .toJson(QJsonDocument::Compact);
}

QByteArray WebConsole::allRows(const char* type) const {
    QList<int> rows;
    rows.reserve(ctx_.devices.rowCount());
    for (int r = 0; r < ctx_.devices.rowCount(); ++r) rows << r;
    return rowsJson(rows, type);
}

} // namespace dtu
