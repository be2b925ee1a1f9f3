#include "engines/store/connstring.h"

#include "core/errors.h"

#include <QHash>

namespace dtu {

namespace {

const char kSupported[] = "支持的连接方式: Provider=SQLite;Data Source=文件 | "
                          "Provider=PostgreSQL;Host=..;Port=..;Database=..;User ID=..;Password=.. | "
                          "Driver={..};... 或 DSN=.. (ODBC)";

// Key=Value pairs separated by ';'. A value may be quoted so that it can hold ';' and
// '=': "..." or '...' (the quote doubled inside), or {...} ('}' doubled inside), as OLE DB
// and ODBC connection strings allow. Blanks around keys and unquoted values are dropped.
QHash<QString, QString> parseKeys(const QString& text) {
    QHash<QString, QString> keys;
    const qsizetype n = text.size();
    qsizetype i = 0;
    while (i < n) {
        const qsizetype eq = text.indexOf(QLatin1Char('='), i);
        const qsizetype semi = text.indexOf(QLatin1Char(';'), i);
        if (eq < 0 || (semi >= 0 && semi < eq)) { // a piece without '=' is skipped
            if (semi < 0) break;
            i = semi + 1;
            continue;
        }
        const QString key = text.mid(i, eq - i).trimmed().toLower();
        i = eq + 1;
        while (i < n && text[i].isSpace()) ++i;
        QString value;
        const QChar open = i < n ? text[i] : QChar();
        if (open == QLatin1Char('"') || open == QLatin1Char('\'') || open == QLatin1Char('{')) {
            const QChar close = open == QLatin1Char('{') ? QLatin1Char('}') : open;
            ++i;
            while (i < n) {
                if (text[i] == close) {
                    if (i + 1 < n && text[i + 1] == close) { // doubled: the character itself
                        value += close;
                        i += 2;
                        continue;
                    }
                    ++i;
                    break;
                }
                value += text[i++];
            }
            const qsizetype end = text.indexOf(QLatin1Char(';'), i); // anything after the quote is ignored
            i = end < 0 ? n : end + 1;
        } else {
            const qsizetype end = text.indexOf(QLatin1Char(';'), i);
            value = text.mid(i, (end < 0 ? n : end) - i).trimmed();
            i = end < 0 ? n : end + 1;
        }
        if (!key.isEmpty()) keys.insert(key, value);
    }
    return keys;
}

QString first(const QHash<QString, QString>& k, std::initializer_list<const char*> names) {
    for (const char* n : names) {
        auto it = k.constFind(QLatin1String(n));
        if (it != k.cend()) return *it;
    }
    return {};
}

} // namespace

SqlTarget TranslateConnectionString(const QString& text) {
    const QHash<QString, QString> k = parseKeys(text);
    const QString provider = first(k, {"provider"}).toLower();
    SqlTarget t;
    if (k.contains(QStringLiteral("driver")) || k.contains(QStringLiteral("dsn"))) {
        t.driver = QStringLiteral("QODBC");
        t.databaseName = text.trimmed();
        return t;
    }
    if (provider == QLatin1String("sqlite") || provider == QLatin1String("sqlite3")) {
        t.driver = QStringLiteral("QSQLITE");
        t.databaseName = first(k, {"data source", "database", "datasource"});
        if (t.databaseName.isEmpty())
            throw Failure(QStringLiteral("SQLite 连接串缺少 Data Source: ") + text.trimmed());
        return t;
    }
    if (provider == QLatin1String("postgresql") || provider == QLatin1String("postgres") ||
        provider == QLatin1String("psql") || provider == QLatin1String("npgsql")) {
        t.driver = QStringLiteral("QPSQL");
        t.host = first(k, {"host", "server", "data source"});
        bool ok = false;
        const int port = first(k, {"port"}).toInt(&ok);
        t.port = ok ? port : -1;
        t.databaseName = first(k, {"database", "initial catalog", "dbname"});
        t.user = first(k, {"user id", "user", "username", "uid"});
        t.password = first(k, {"password", "pwd"});
        return t;
    }
    if (provider.startsWith(QLatin1String("microsoft.jet.oledb")) ||
        provider.startsWith(QLatin1String("microsoft.ace.oledb")))
        throw Failure(QStringLiteral("此平台不支持 Access 数据库 (%1)。").arg(first(k, {"provider"})) +
                      QString::fromUtf8(kSupported));
    throw Failure(QStringLiteral("无法识别的数据库连接串 (Provider=%1)。").arg(first(k, {"provider"})) +
                  QString::fromUtf8(kSupported));
}

} // namespace dtu
