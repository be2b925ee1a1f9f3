#pragma once
// One console per DTU table: two would log the same DTUs in with the same client IDs and throw
// each other off the broker. SQLite: flock(2) on the database file (SQLite's own locks are
// fcntl locks, which flock does not touch), so anyone who may read the table may take it.
// PostgreSQL: a session advisory lock on a connection of its own, which names this program in
// application_name for the other to see.
#include "engines/store/connstring.h"

#include <QString>

namespace dtu {

class TableLock {
public:
    explicit TableLock(QString connectionName = QStringLiteral("table-lock")) : name_(std::move(connectionName)) {}
    ~TableLock();
    TableLock(const TableLock&) = delete;
    TableLock& operator=(const TableLock&) = delete;

    // Empty once held (or for a table it cannot be taken on: nothing to compare then); else who
    // holds it, as well as can be told ("dtuconsoled, pid 1234").
    QString acquire(const QString& connectionString, const QString& whoAmI);
    void release();
    bool held() const { return fd_ >= 0 || pgOpen_; }

private:
    QString name_;
    int fd_ = -1;
    bool pgOpen_ = false;
};

// "name, pid N" of the process that holds a flock on this file, from /proc/locks; empty when
// it cannot be told.
QString FlockHolder(const QString& path);

} // namespace dtu
