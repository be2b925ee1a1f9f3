#include "console/status/statuspage.h"

#include <QFile>
#include <QSslCertificate>
#include <QSslKey>

#include "console/context.h"
#include "console/status/httpguard.h"
#include "engines/link/linkengine.h"
#include "engines/vport/vport.h"

#include <QHostAddress>
#include <QHttpServer>
#include <QHttpServerResponse>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>

namespace dtu {

namespace {
using M = DeviceListModel;

// Label values in the text format: backslash, quote and line feed escaped.
QByteArray label(const QString& v) {
    QByteArray out;
    const QByteArray u = v.toUtf8();
    out.reserve(u.size());
    for (char c : u) {
        if (c == '\\') out += "\\\\";
        else if (c == '"') out += "\\\"";
        else if (c == '\n') out += "\\n";
        else out += c;
    }
    return out;
}

struct Family {
    const char* name;
    const char* type;
    const char* help;
};

// What one DTU's lines are made of.
struct DtuFigures {
    QByteArray labels;
    bool online;
    bool silent;
    DtuInfo info;
    ConsoleContext::Traffic traffic;
};

// A per-DTU family and where its value comes from; failures have one line per reason.
struct DtuFamily {
    Family family;
    qint64 (*value)(const DtuFigures&);
};
constexpr DtuFamily kPerDtu[] = {
    {{"dtu_online", "gauge", "1 while the DTU's session is logged in at the center"},
     [](const DtuFigures& d) -> qint64 { return d.online ? 1 : 0; }},
    {{"dtu_packets_received_total", "counter", "packets from the field DTU"},
     [](const DtuFigures& d) -> qint64 { return d.info.received; }},
    {{"dtu_bytes_received_total", "counter", "bytes from the field DTU"},
     [](const DtuFigures& d) -> qint64 { return d.traffic.bytesIn; }},
    {{"dtu_packets_sent_total", "counter", "packets to the field DTU accepted by the link"},
     [](const DtuFigures& d) -> qint64 { return d.info.sent; }},
    {{"dtu_packets_acknowledged_total", "counter", "packets to the field DTU the broker acknowledged"},
     [](const DtuFigures& d) -> qint64 { return d.info.acknowledged; }},
    {{"dtu_packets_dropped_total", "counter", "packets to the field DTU never acknowledged and past the bound of what is sent again after a lost session"},
     [](const DtuFigures& d) -> qint64 { return d.info.dropped; }},
    {{"dtu_bytes_sent_total", "counter", "bytes to the field DTU accepted by the link"},
     [](const DtuFigures& d) -> qint64 { return d.traffic.bytesOut; }},
    {{"dtu_send_failures_total", "counter", "sends refused, by reason"}, nullptr},
    {{"dtu_last_login_timestamp_seconds", "gauge", "time of the last login, 0 when never"},
     [](const DtuFigures& d) -> qint64 { return d.info.loginMs / 1000; }},
    {{"dtu_last_data_timestamp_seconds", "gauge", "time of the last packet from the field, 0 when never"},
     [](const DtuFigures& d) -> qint64 { return d.traffic.lastDataMs / 1000; }},
    {{"dtu_silent", "gauge", "1 while the silent-DTU alarm holds ([ALARM] Silent)"},
     [](const DtuFigures& d) -> qint64 { return d.silent ? 1 : 0; }},
};
// In the order of Traffic::failures.
constexpr const char* kReasons[4] = {"timeout", "offline", "unknown", "other"};
} // namespace

QByteArray MetricsText(ConsoleContext& ctx, const QString& program) {
    std::vector<DtuFigures> rows;
    const int n = ctx.devices.rowCount();
    rows.reserve(static_cast<size_t>(n));
    int online = 0;
    QStringList ids;
    for (int r = 0; r < n; ++r) ids << ctx.devices.caption(r);
    const std::vector<DtuState> states = ctx.engine.GetDtuStates(ids);
    // An ID twice in the table is one DTU to the link; a second sample would make a
    // scraper refuse the whole page.
    QSet<QString> seen;
    for (int r = 0; r < n; ++r) {
        const QString& id = ids[r];
        if (seen.contains(id)) continue;
        seen.insert(id);
        const DtuState& st = states[static_cast<size_t>(r)];
        DtuFigures row{"id=\"" + label(id) + "\",name=\"" + label(ctx.devices.subItem(r, M::SubName)) + "\",port=\"" +
                           label(ctx.devices.subItem(r, M::SubPort)) + '"',
                       st.online, ctx.devices.isSilent(r), st.info, ctx.traffic.value(id)};
        online += row.online;
        rows.push_back(std::move(row));
    }
    QByteArray out;
    out.reserve(static_cast<qsizetype>(rows.size()) * 900 + 1024);
    auto head = [&out](const Family& f) {
        out += QByteArray("# HELP ") + f.name + ' ' + f.help + "\n# TYPE " + f.name + ' ' + f.type + '\n';
    };
    auto line = [&out](const char* name, const QByteArray& labels, qint64 value) {
        out += QByteArray(name) + '{' + labels + "} " + QByteArray::number(value) + '\n';
    };
    for (const DtuFamily& f : kPerDtu) {
        head(f.family);
        for (const DtuFigures& d : rows) {
            if (f.value) {
                line(f.family.name, d.labels, f.value(d));
                continue;
            }
            for (int k = 0; k < 4; ++k) line(f.family.name, d.labels + ",reason=\"" + kReasons[k] + '"', d.traffic.failures[k]);
        }
    }
    int portsOpen = 0;
    qint64 dropped = 0;
    for (int i = 0; i < ctx.roster.count(); ++i) {
        const RosterRecord& rec = ctx.roster.at(i);
        if (rec.portOpen && rec.port) {
            ++portsOpen;
            dropped += rec.port->droppedBytes();
        }
    }
    head({"dtuconsole_dtus", "gauge", "DTUs registered with the link"});
    out += "dtuconsole_dtus " + QByteArray::number(ctx.engine.GetDtuCount()) + '\n';
    head({"dtuconsole_dtus_online", "gauge", "DTUs of the device list logged in"});
    out += "dtuconsole_dtus_online " + QByteArray::number(online) + '\n';
    head({"dtuconsole_ports_open", "gauge", "virtual serial ports made"});
    out += "dtuconsole_ports_open " + QByteArray::number(portsOpen) + '\n';
    head({"dtuconsole_port_dropped_bytes_total", "counter", "field bytes dropped at ports nobody had open"});
    out += "dtuconsole_port_dropped_bytes_total " + QByteArray::number(dropped) + '\n';
    head({"dtuconsole_capture_failed_records_total", "counter", "capture records the folder or the file refused (see the run log)"});
    out += "dtuconsole_capture_failed_records_total " + QByteArray::number(ctx.capture.failedRecords()) + '\n';
    head({"dtuconsole_capture_dropped_bytes_total", "counter", "captured bytes dropped because the writer fell behind"});
    out += "dtuconsole_capture_dropped_bytes_total " + QByteArray::number(ctx.capture.droppedBytes()) + '\n';
    head({"dtuconsole_database_up", "gauge", "1 while the DTU table can be read, 0 while the console waits for it"});
    out += QByteArray("dtuconsole_database_up ") + (ctx.databaseProblem.isEmpty() ? "1" : "0") + '\n';
    head({"dtuconsole_build_info", "gauge", "the program and its version"});
    out += "dtuconsole_build_info{program=\"" + label(program) + "\",version=\"" DTU_VERSION "\"} 1\n";
    return out;
}

QByteArray DtusJson(ConsoleContext& ctx) {
    QJsonArray list;
    QStringList ids;
    for (int r = 0; r < ctx.devices.rowCount(); ++r) ids << ctx.devices.caption(r);
    const std::vector<DtuState> states = ctx.engine.GetDtuStates(ids);
    for (int r = 0; r < ids.size(); ++r) {
        const QString& id = ids[r];
        const DtuInfo& info = states[static_cast<size_t>(r)].info;
        list.append(QJsonObject{
            {QStringLiteral("id"), id},
            {QStringLiteral("name"), ctx.devices.subItem(r, M::SubName)},
            {QStringLiteral("port"), ctx.devices.subItem(r, M::SubPort)},
            {QStringLiteral("online"), states[static_cast<size_t>(r)].online},
            {QStringLiteral("lastLogin"), info.loginTime},
            {QStringLiteral("lastData"), info.updateTime},
            {QStringLiteral("sent"), info.sent},
            {QStringLiteral("received"), info.received},
            {QStringLiteral("portState"), ctx.devices.subItem(r, M::SubPortState)},
        });
    }
    return QJsonDocument(list).toJson(QJsonDocument::Compact);
}

StatusServer::StatusServer(ConsoleContext& ctx, QString program, QObject* parent)
    : QObject(parent), ctx_(ctx), program_(std::move(program)) {}

StatusServer::~StatusServer() = default;

bool StatusServer::useTls(const QString& certFile, const QString& keyFile, QString* why) {
    QFile cert(certFile), key(keyFile);
    if (!cert.open(QIODevice::ReadOnly) || !key.open(QIODevice::ReadOnly)) {
        *why = QStringLiteral("[WEB] CertFile %1 或 KeyFile %2 无法读取").arg(certFile, keyFile);
        return false;
    }
    const QByteArray c = cert.readAll(), k = key.readAll();
    if (QSslCertificate::fromData(c, QSsl::Pem).isEmpty() || QSslKey(k, QSsl::Rsa).isNull() && QSslKey(k, QSsl::Ec).isNull()) {
        *why = QStringLiteral("[WEB] CertFile %1 或 KeyFile %2 不是 PEM 证书和私钥").arg(certFile, keyFile);
        return false;
    }
    tlsCert_ = c;
    tlsKey_ = k;
    return true;
}

bool StatusServer::listen(const QString& address, QString* why) {
    const QString s = address.trimmed();
    if (s.isEmpty() || s == QLatin1String("0")) return true;
    QHostAddress host(QHostAddress::LocalHost);
    QString portText = s;
    if (const qsizetype colon = s.lastIndexOf(QLatin1Char(':')); colon >= 0) {
        host = QHostAddress(s.left(colon).remove(QLatin1Char('[')).remove(QLatin1Char(']')));
        portText = s.mid(colon + 1);
    }
    bool ok = false;
    const int port = portText.toInt(&ok);
    if (host.isNull() || !ok || port < 0 || port > 65535) {
        *why = QStringLiteral("[STATUS] Listen=%1 不是 地址:端口").arg(s);
        return false;
    }
    if (port == 0) return true;
    http_ = std::make_unique<QHttpServer>();
    http_->route(QStringLiteral("/metrics"), [this] {
        return QHttpServerResponse("text/plain; version=0.0.4; charset=utf-8", MetricsText(ctx_, program_));
    });
    http_->route(QStringLiteral("/dtus"), [this] { return QHttpServerResponse("application/json", DtusJson(ctx_)); });
    // Up but relaying nothing is not healthy: a monitor must see it.
    http_->route(QStringLiteral("/healthz"), [this] {
        if (!ctx_.databaseProblem.isEmpty())
            return QHttpServerResponse("text/plain", QByteArray("degraded: no database\n"), QHttpServerResponse::StatusCode::ServiceUnavailable);
        return QHttpServerResponse("text/plain", QByteArray("ok\n"));
    });
    guard_ = new HttpGuard(HttpLimits{}, this);
    if (!tlsCert_.isEmpty()) guard_->useTls(tlsCert_, tlsKey_);
    address_ = host;
    connect(guard_, &HttpGuard::refusedRequest, this, [this](const QString& line) { ctx_.logQueue.PostLog(ctx_.stamp() + QLatin1Char(' ') + line); });
    port_ = guard_->listen(host, static_cast<quint16>(port)) ? guard_->serverPort() : 0;
    if (port_ != 0) http_->bind(guard_);
    if (port_ == 0) {
        delete guard_;
        guard_ = nullptr;
        http_.reset();
        *why = QStringLiteral("状态页 %1 无法监听 (端口被占用或无权限)，不提供监控数据").arg(s);
        return false;
    }
    return true;
}

} // namespace dtu
