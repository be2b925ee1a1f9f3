#include "core/config.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <unistd.h>

namespace dtu {

QString ConfigPaths::local(const QString& file) const { return QDir(localDir).filePath(file); }
QString ConfigPaths::system(const QString& file) const { return QDir(systemDir).filePath(file); }

QString defaultPortDir() {
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    if (!runtime.isEmpty() && QFileInfo(QString::fromLocal8Bit(runtime)).isDir())
        return QString::fromLocal8Bit(runtime) + QStringLiteral("/dtuconsole/ports");
    return QStringLiteral("/tmp/dtuconsole-%1/ports").arg(getuid());
}

QList<BrokerEndpoint> BrokerEndpoints(const QString& hosts, int defaultPort) {
    QList<BrokerEndpoint> out;
    for (const QString& raw : hosts.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QString entry = raw.trimmed();
        if (entry.isEmpty()) continue;
        BrokerEndpoint e;
        e.port = defaultPort;
        QString portText;
        if (entry.startsWith(QLatin1Char('['))) { // [v6 address]:port
            const qsizetype close = entry.indexOf(QLatin1Char(']'));
            if (close < 0) continue;
            e.host = entry.mid(1, close - 1);
            if (entry.size() > close + 1) {
                if (entry.at(close + 1) != QLatin1Char(':')) continue;
                portText = entry.mid(close + 2);
            }
        } else if (entry.count(QLatin1Char(':')) == 1) {
            e.host = entry.section(QLatin1Char(':'), 0, 0).trimmed();
            portText = entry.section(QLatin1Char(':'), 1).trimmed();
        } else {
            e.host = entry; // a name, an IPv4 address or a bare IPv6 address
        }
        if (!portText.isNull()) {
            bool ok = false;
            e.port = portText.toInt(&ok);
            if (!ok || e.port < 1 || e.port > 65535) continue;
        }
        if (!e.host.isEmpty()) out << e;
    }
    return out;
}

QString defaultCaptureDir() {
    const QByteArray data = qgetenv("XDG_DATA_HOME");
    const QString base = !data.isEmpty() ? QString::fromLocal8Bit(data) : QDir::homePath() + QStringLiteral("/.local/share");
    return base + QStringLiteral("/dtuconsole/captures");
}

namespace {

QString text(const QSettings& s, const char* key, const QString& def) {
    const QVariant v = s.value(QLatin1String(key));
    if (!v.isValid()) return def;
    // An unquoted value with commas comes back as a list; keep what was written.
    if (v.userType() == QMetaType::QStringList) return v.toStringList().join(QLatin1Char(','));
    return v.toString();
}

int integer(const QSettings& s, const char* key, int def) {
    bool ok = false;
    const int v = text(s, key, QString()).trimmed().toInt(&ok);
    return ok ? v : def;
}

} // namespace

bool ParseDuration(const QString& text, int* seconds, QString* shown, qint64 maxSeconds) {
    static const QRegularExpression re(QStringLiteral("^\\s*(\\d{1,7})\\s*([smhSMH]?)\\s*$"));
    const QRegularExpressionMatch m = re.match(text);
    if (!m.hasMatch()) return false;
    const long long n = m.captured(1).toLongLong();
    const QChar unit = m.captured(2).isEmpty() ? QLatin1Char('s') : m.captured(2).at(0).toLower();
    const long long factor = unit == QLatin1Char('h') ? 3600 : unit == QLatin1Char('m') ? 60 : 1;
    if (n * factor > maxSeconds) return false;
    *seconds = static_cast<int>(n * factor);
    *shown = QString::number(n) + (unit == QLatin1Char('h') ? QStringLiteral("小时") : unit == QLatin1Char('m') ? QStringLiteral("分钟") : QStringLiteral("秒"));
    return true;
}

QString StartupSummary(const CenterConfig& c) {
    return QStringLiteral("center.ini: %1 broker: %2 %3 ports: %4")
        .arg(c.sourceFile.isEmpty() ? QStringLiteral("(none, defaults)") : c.sourceFile, c.link.host)
        .arg(c.link.port)
        .arg(c.portDir);
}

QMap<QString, QString> CenterConfigKeys(const QString& file) {
    QMap<QString, QString> keys;
    if (file.isEmpty()) return keys;
    QSettings s(file, QSettings::IniFormat);
    for (const QString& k : s.allKeys()) {
        const QVariant v = s.value(k);
        keys.insert(k, v.userType() == QMetaType::QStringList ? v.toStringList().join(QLatin1Char(',')) : v.toString());
    }
    return keys;
}

CenterConfig ReadCenterConfig(const ConfigPaths& paths) {
    CenterConfig c;
    c.portDir = defaultPortDir();
    c.captureDir = defaultCaptureDir();
    QString file = paths.local(QStringLiteral("center.ini"));
    if (!QFileInfo(file).isFile()) file = paths.system(QStringLiteral("center.ini"));
    if (!QFileInfo(file).isFile()) return c;
    c.sourceFile = file;

    QSettings s(file, QSettings::IniFormat);
    s.beginGroup(QStringLiteral("COMMON"));
    c.servicePort = integer(s, "ServicePort", c.servicePort);
    c.serverIp = text(s, "ServerIP", c.serverIp);
    c.natExPort = integer(s, "NatExPort", c.natExPort);
    c.dataDispMode = text(s, "DataDispMode", c.dataDispMode);
    c.workMode = text(s, "WorkMode", c.workMode);
    s.endGroup();

    s.beginGroup(QStringLiteral("LINK"));
    LinkConfig& l = c.link;
    l.host = text(s, "Host", l.host);
    l.port = integer(s, "Port", l.port);
    l.topicPrefix = text(s, "TopicPrefix", l.topicPrefix);
    l.clientPrefix = text(s, "ClientPrefix", l.clientPrefix);
    l.keepAlive = integer(s, "KeepAlive", l.keepAlive);
    l.beatInterval = integer(s, "BeatInterval", l.beatInterval);
    l.caFile = text(s, "CAFile", l.caFile);
    l.certFile = text(s, "CertFile", l.certFile);
    l.keyFile = text(s, "KeyFile", l.keyFile);
    l.maxQueued = integer(s, "MaxQueued", l.maxQueued);
    l.maxPending = integer(s, "MaxPending", l.maxPending);
    s.endGroup();

    s.beginGroup(QStringLiteral("VPORT"));
    c.portDir = text(s, "Dir", c.portDir);
    c.portDirIsDefault = c.portDir == defaultPortDir();
    c.portGroup = text(s, "Group", c.portGroup).trimmed();
    s.endGroup();
    s.beginGroup(QStringLiteral("LISTENER"));
    c.listenerPort = integer(s, "Port", c.listenerPort);
    c.listenerMaxIdle = integer(s, "MaxIdle", c.listenerMaxIdle);
    c.listenerAddress = text(s, "Address", c.listenerAddress).trimmed();
    s.endGroup();
    s.beginGroup(QStringLiteral("STATUS"));
    c.statusListen = text(s, "Listen", c.statusListen).trimmed();
    s.endGroup();
    s.beginGroup(QStringLiteral("ALARM"));
    if (const QString silent = text(s, "Silent", QString()); !silent.isEmpty() && !ParseDuration(silent, &c.silentSeconds, &c.silentText))
        c.silentSeconds = 1800, c.silentText = QStringLiteral("30分钟"); // unreadable: the default
    s.endGroup();
    s.beginGroup(QStringLiteral("DATABASE"));
    c.shareTable = integer(s, "Shared", 0) != 0;
    s.endGroup();
    s.beginGroup(QStringLiteral("HISTORY"));
    c.historyKeepDays = integer(s, "KeepDays", c.historyKeepDays);
    c.historyMaxHeld = integer(s, "MaxHeld", c.historyMaxHeld);
    s.endGroup();
    s.beginGroup(QStringLiteral("CAPTURE"));
    for (const QString& id : text(s, "Ids", QString()).split(QLatin1Char(','), Qt::SkipEmptyParts))
        if (!id.trimmed().isEmpty()) c.captureIds << id.trimmed();
    c.captureDir = text(s, "Dir", c.captureDir).trimmed();
    c.captureMaxMB = integer(s, "MaxMB", c.captureMaxMB);
    c.captureKeepDays = integer(s, "KeepDays", c.captureKeepDays);
    c.captureMaxTotalMB = integer(s, "MaxTotalMB", c.captureMaxTotalMB);
    s.endGroup();
    s.beginGroup(QStringLiteral("DISPLAY"));
    c.encoding = text(s, "Encoding", c.encoding);
    s.endGroup();
    s.beginGroup(QStringLiteral("WEB"));
    c.webUsers = text(s, "Users", QString()).trimmed();
    for (const QString& n : text(s, "ServerNames", QString()).split(QLatin1Char(','), Qt::SkipEmptyParts))
        if (!n.trimmed().isEmpty()) c.webServerNames << n.trimmed();
    c.webCertFile = text(s, "CertFile", QString()).trimmed();
    c.webKeyFile = text(s, "KeyFile", QString()).trimmed();
    c.webAllowPlainHttp = integer(s, "AllowPlainHttp", 0) != 0;
    c.webBasePath = text(s, "BasePath", c.webBasePath).trimmed();
    c.webIdleMinutes = integer(s, "IdleMinutes", c.webIdleMinutes);
    s.endGroup();

    // Nonsense numbers would make later code misbehave; fall back instead.
    if (l.port <= 0 || l.port > 65535) l.port = 1883;
    if (l.keepAlive < 5) l.keepAlive = 60;
    if (l.beatInterval < 1) l.beatInterval = 30;
    if (l.maxQueued < 1) l.maxQueued = 1000;
    if (l.maxPending < 1) l.maxPending = 100;
    if (c.listenerPort < 0 || c.listenerPort > 65535) c.listenerPort = 502;
    if (c.listenerMaxIdle < 1) c.listenerMaxIdle = 64;
    if (c.historyKeepDays < 0) c.historyKeepDays = 90;
    if (c.historyMaxHeld < 1) c.historyMaxHeld = 100000;
    if (c.captureMaxMB < 1) c.captureMaxMB = 100;
    if (c.captureKeepDays < 0) c.captureKeepDays = 90;
    if (c.captureMaxTotalMB < 0) c.captureMaxTotalMB = 10240;
    if (c.captureDir.isEmpty()) c.captureDir = defaultCaptureDir();
    if (c.webIdleMinutes < 1) c.webIdleMinutes = 30;
    // "/dtu", "dtu/", "/" all become "/dtu/" or "/": the pages' links are relative to it.
    if (!c.webBasePath.startsWith(QLatin1Char('/'))) c.webBasePath.prepend(QLatin1Char('/'));
    if (!c.webBasePath.endsWith(QLatin1Char('/'))) c.webBasePath.append(QLatin1Char('/'));
    if (c.webUsers.isEmpty())
        c.webUsers = QFileInfo(c.sourceFile.isEmpty() ? paths.system(QStringLiteral("center.ini")) : c.sourceFile).absolutePath() +
                     QStringLiteral("/web-users");
    if (c.portDir.trimmed().isEmpty()) {
        c.portDir = defaultPortDir();
        c.portDirIsDefault = true;
    }
    return c;
}

} // namespace dtu
