#include "engines/store/tablelock.h"

#include "engines/store/dtustore.h"

#include <QFile>
#include <QRegularExpression>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dtu {

namespace {
// The advisory lock's two keys: "DTUC" and the dtuinfo table.
constexpr int kLockClass = 0x44545543, kLockObject = 1;

QString processName(qint64 pid) {
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    QString name;
    if (comm.open(QIODevice::ReadOnly)) name = QString::fromLocal8Bit(comm.readAll()).trimmed();
    return name.isEmpty() ? QStringLiteral("pid %1").arg(pid) : QStringLiteral("%1, pid %2").arg(name).arg(pid);
}
} // namespace

QString FlockHolder(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) return {};
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly)) return {};
    // "1: FLOCK  ADVISORY  WRITE 1234 08:01:5678 0 EOF"
    const QByteArray inode = ':' + QByteArray::number(static_cast<qulonglong>(st.st_ino)) + ' ';
    for (const QByteArray& line : locks.readAll().split('\n')) {
        if (!line.contains("FLOCK") || !line.contains(inode)) continue;
        const QList<QByteArray> f = line.simplified().split(' ');
        if (f.size() < 5 || f[f.size() - 4].isEmpty()) continue;
        const QByteArray dev = f[f.size() - 3]; // major:minor:inode
        if (!dev.endsWith(inode.trimmed())) continue;
        return processName(f[f.size() - 4].toLongLong());
    }
    return {};
}

TableLock::~TableLock() { release(); }

void TableLock::release() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    if (pgOpen_) {
        { QSqlDatabase::database(name_, false).close(); }
        QSqlDatabase::removeDatabase(name_);
        pgOpen_ = false;
    }
}

QString TableLock::acquire(const QString& connectionString, const QString& whoAmI) {
    if (held()) return {};
    const SqlTarget t = TranslateConnectionString(connectionString);
    if (t.driver == QLatin1String("QSQLITE")) {
        const QByteArray file = QFile::encodeName(t.databaseName);
        const int fd = ::open(file.constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return {}; // the store says what is wrong with the file
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            fd_ = fd;
            return {};
        }
        const int e = errno;
        ::close(fd);
        if (e != EWOULDBLOCK) return {};
        const QString holder = FlockHolder(t.databaseName);
        return holder.isEmpty() ? QStringLiteral("另一个进程") : holder;
    }
    if (t.driver != QLatin1String("QPSQL")) return {};
    QString holder = QStringLiteral("另一个连接");
    {
        QString name = whoAmI;
        name.replace(QRegularExpression(QStringLiteral("[^A-Za-z0-9_.@:-]")), QStringLiteral("_"));
        QSqlDatabase db = AddConnection(t, name_, QStringLiteral("application_name=") + name.left(63));
        if (!db.open()) {
            db = QSqlDatabase();
            QSqlDatabase::removeDatabase(name_);
            return {}; // the store reports a server it cannot reach
        }
        QSqlQuery q(db);
        q.prepare(QStringLiteral("select pg_try_advisory_lock(?, ?)"));
        q.addBindValue(kLockClass);
        q.addBindValue(kLockObject);
        if (q.exec() && q.next() && q.value(0).toBool()) {
            pgOpen_ = true;
            return {};
        }
        QSqlQuery who(db);
        who.prepare(QStringLiteral("select a.application_name, coalesce(host(a.client_addr), 'local'), a.pid from pg_locks l "
                                   "join pg_stat_activity a on a.pid = l.pid where l.locktype = 'advisory' and l.granted "
                                   "and l.classid = ? and l.objid = ? and l.database = (select oid from pg_database where datname = current_database())"));
        who.addBindValue(kLockClass);
        who.addBindValue(kLockObject);
        if (who.exec() && who.next())
            holder = QStringLiteral("%1, 来自 %2, 服务器进程 %3").arg(who.value(0).toString(), who.value(1).toString(), who.value(2).toString());
        db.close();
    }
    QSqlDatabase::removeDatabase(name_);
    return holder;
}

} // namespace dtu
