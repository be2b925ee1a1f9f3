#pragma once
// center.ini: the COMMON section the console has always read, plus our own
// sections for the link, the ports, the idle listener and the display.
#include <QMap>
#include <QString>
#include <QStringList>

namespace dtu {

// Where the console looks for center.ini and ftdb.ini: the working folder first,
// then the system folder (which stands for the old "c:\").
struct ConfigPaths {
    QString localDir = QStringLiteral(".");
    QString systemDir = QStringLiteral("/etc/dtuconsole");
    QString local(const QString& file) const;
    QString system(const QString& file) const;
};

struct LinkConfig {
    QString host = QStringLiteral("127.0.0.1"); // one broker, or a list "host[:port],host[:port]..."

    int port = 1883;
    QString topicPrefix = QStringLiteral("dtu");
    QString clientPrefix = QStringLiteral("vdtu-");
    int keepAlive = 60;
    int beatInterval = 30;
    QString caFile, certFile, keyFile;
    int maxQueued = 1000;    // unacknowledged messages a session may hold before SendData says -1
    int maxPending = 100;    // connection attempts in flight at once
};

struct CenterConfig {
    // [COMMON]
    int servicePort = 65000;
    QString serverIp;
    int natExPort = 65000;
    QString dataDispMode = QStringLiteral("ASIIC");
    QString workMode = QStringLiteral("MASTER");
    // ours
    LinkConfig link;
    QString portDir;         // [VPORT] Dir
    bool portDirIsDefault = true; // ours under /tmp or the runtime folder: held to stricter rules
    QString portGroup;       // [VPORT] Group: its members may open the ports
    int listenerPort = 502;  // [LISTENER] Port, 0 = off
    int listenerMaxIdle = 64;
    QString listenerAddress = QStringLiteral("127.0.0.1"); // [LISTENER] Address; 0.0.0.0 or :: for every interface
    QString statusListen = QStringLiteral("127.0.0.1:9502"); // [STATUS] Listen, empty or 0 = off
    QString encoding;        // [DISPLAY] Encoding, empty = locale
    // [ALARM] Silent: a DTU online without data, or offline while the service runs, this long
    int silentSeconds = 1800; // 0 = off
    QString silentText = QStringLiteral("30分钟"); // as configured, for the alarm's line
    // [DATABASE] Shared: another console may use the same table (each then needs DTUs of its
    // own at the broker, or they throw each other off)
    bool shareTable = false;
    // [HISTORY]: the dtuevent table
    int historyKeepDays = 90;    // KeepDays, 0 = keep for ever
    int historyMaxHeld = 100000; // MaxHeld: events held in memory while the database is away
    // [CAPTURE]
    QStringList captureIds;      // Ids: recorded from the start
    QString captureDir;          // Dir
    int captureMaxMB = 100;      // MaxMB: a new file past this size
    int captureKeepDays = 90;    // KeepDays: older files are removed (0: kept for ever)
    int captureMaxTotalMB = 10240; // MaxTotalMB: past this, the oldest files go (0: no bound)

    // [WEB]: the web console on the status page's listener
    QString webUsers;            // Users: the users file (default: web-users beside center.ini)
    QStringList webServerNames;  // ServerNames: Host headers accepted besides the loopback names
    QString webCertFile, webKeyFile; // CertFile, KeyFile: TLS
    bool webAllowPlainHttp = false;  // AllowPlainHttp: plain HTTP off loopback
    QString webBasePath = QStringLiteral("/"); // BasePath: under a reverse proxy's path
    int webIdleMinutes = 30;     // IdleMinutes: a session unused this long ends

    bool hexDisplay() const { return dataDispMode == QLatin1String("HEX"); }
    QString sourceFile;      // which file was read, empty when none
};

// [LINK] Host as a list: "a", "a:1884,b", "[::1]:1883"; an entry without a port takes
// defaultPort; blank entries and entries whose port is not 1..65535 are left out.
struct BrokerEndpoint {
    QString host;
    int port = 1883;
};
QList<BrokerEndpoint> BrokerEndpoints(const QString& hosts, int defaultPort);

QString defaultPortDir();
QString defaultCaptureDir();

// "30m", "45s", "2h" (a bare number is seconds), at most maxSeconds (a month of silence is no
// alarm); false for anything else.
bool ParseDuration(const QString& text, int* seconds, QString* shown, qint64 maxSeconds = 30LL * 24 * 3600);

// What a program says of its configuration as it starts: the file read, the broker(s), the ports.
QString StartupSummary(const CenterConfig& c);

// Never throws: a missing, broken or binary file leaves the defaults in place.
CenterConfig ReadCenterConfig(const ConfigPaths& paths);

// Every "SECTION/Key" of a center.ini with its value as written; empty for no file. What a
// reload compares to name the settings that changed.
QMap<QString, QString> CenterConfigKeys(const QString& file);

} // namespace dtu
