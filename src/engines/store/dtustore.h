#pragma once
// The DTU table: one connection, one query, and every statement the console issues.
#include "core/config.h"
#include "core/errors.h"

#include <QDateTime>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace dtu {

struct SqlTarget;

// Neither ftdb.ini could be read.
class ConnectionFileFailure : public Failure {
    using Failure::Failure;
};
// The connection could not be opened.
class DatabaseOpenFailure : public Failure {
    using Failure::Failure;
};

struct DtuRow {
    QString dtuid, password, username, teleno, vcomport;
    int delflag = 0;
    QDateTime addtime;
};

// One line of a DTU's history (table dtuevent).
struct DtuEvent {
    QString dtuid, event; // login, disconnect, close, silent, recovered
    QDateTime at;
    QString detail;
};

// libpq's own bounds for every PostgreSQL connection (Qt passes them on as given).
inline constexpr char kPostgresBounds[] =
    "connect_timeout=5;keepalives=1;keepalives_idle=5;keepalives_interval=2;keepalives_count=2;tcp_user_timeout=10000";

// A connection named `name` for the target, with the bounds every connection of ours has (SQLite's
// busy timeout; libpq's connect and keepalive bounds, plus `extraOptions` for PostgreSQL).
QSqlDatabase AddConnection(const SqlTarget& target, const QString& name, const QString& extraOptions = {});

class DtuStore {
public:
    explicit DtuStore(ConfigPaths paths, const QString& connectionName = QStringLiteral("database"));
    ~DtuStore();
    DtuStore(const DtuStore&) = delete;
    DtuStore& operator=(const DtuStore&) = delete;

    // Re-reads ftdb.ini every call; an empty file leaves the connection alone.
    void ReconnectDatabase();
    // Opens the connection for an explicit string (dtudb --connection).
    void connectTo(const QString& connectionString, bool createSqliteFile = false);

    bool isOpen() const;
    QString connectionString() const { return connectionString_; }
    const ConfigPaths& paths() const { return paths_; }
    // Why a SQLite file cannot be used by this user (whose it is, its mode); empty when it can
    // or when it is simply not there.
    static QString sqliteAccessProblem(const QString& path);
    QSqlDatabase database() const;
    QSqlQuery& Query1() { return *query_; }

    // Statements. Each throws Failure with the database's error.
    void forEachRosterRow(const std::function<void(const DtuRow&)>& fn);  // delflag=0, by name and port
    void forEachListedRow(const std::function<void(const DtuRow&)>& fn);  // delflag=0, table order
    void appendRow(const DtuRow& row);
    std::optional<DtuRow> findRow(const QString& dtuid);
    bool updateRow(const QString& dtuid, const DtuRow& values); // false when no row has the ID
    int deleteRows(const QString& dtuid);

    void createTable(); // dtudb only; the console never creates or alters dtuinfo

    // The history table lives beside dtuinfo; it is ours, so it is made when missing.
    void createEventTable();
    void appendEvents(const std::vector<DtuEvent>& events); // one transaction
    int pruneEvents(const QDateTime& before);
    // Oldest first; an empty id means every DTU; limit <= 0 means all (the newest are kept).
    std::vector<DtuEvent> events(const QString& dtuid, const QDateTime& since, int limit = 0);

    // Rolls back unless committed.
    class Transaction {
    public:
        explicit Transaction(DtuStore& dm);
        ~Transaction();
        void commit();
    private:
        DtuStore& dm_;
        bool done_ = false;
    };

private:
    void open();
    void exec(const QString& sql, const QVariantList& binds = {});
    void select(const QString& sql, const QVariantList& binds, const std::function<void(const DtuRow&)>& fn);
    void resetConnection(const SqlTarget& target);
    Failure failed(const QSqlError& e, const QString& sql);

    ConfigPaths paths_;
    QString name_;
    QString connectionString_;
    bool configured_ = false; // until a connection string arrives, only the old default provider is named
    bool createSqlite_ = false;
    bool suspect_ = false; // a statement failed since the connection was made
    std::unique_ptr<QSqlQuery> query_;
};

} // namespace dtu
