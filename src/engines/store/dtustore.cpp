#include "engines/store/dtustore.h"

#include "engines/store/connstring.h"

#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <unistd.h>
#include <sys/stat.h>
#include <pwd.h>
#include <grp.h>
#include <QLoggingCategory>
#include <QSqlError>
#include <QSqlRecord>
#include <algorithm>

Q_LOGGING_CATEGORY(lcStore, "dtu.store", QtInfoMsg)

namespace dtu {

namespace {

QString field(const QSqlRecord& rec, const char* name) {
    const int i = rec.indexOf(QLatin1String(name)); // Qt matches field names without regard to case
    return i < 0 ? QString() : rec.value(i).toString();
}

DtuRow rowFrom(const QSqlRecord& rec) {
    DtuRow r;
    r.dtuid = field(rec, "dtuid");
    r.password = field(rec, "password");
    r.username = field(rec, "username");
    r.teleno = field(rec, "teleno");
    r.vcomport = field(rec, "vcomport");
    r.delflag = field(rec, "delflag").toInt();
    const int i = rec.indexOf(QStringLiteral("addtime"));
    if (i >= 0) r.addtime = rec.value(i).toDateTime();
    return r;
}

bool readWhole(const QString& path, QString& out) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return false;
    out = QString::fromLocal8Bit(f.readAll());
    return true;
}

QString describe(const QSqlError& e, const QString& sql) {
    QString msg = QStringLiteral("数据库操作失败: %1").arg(e.text().trimmed());
    const bool missing = e.text().contains(QLatin1String("no such table"), Qt::CaseInsensitive) ||
                         e.text().contains(QLatin1String("does not exist"), Qt::CaseInsensitive);
    if (missing && sql.contains(QLatin1String("dtuevent")))
        msg += QStringLiteral(" (表 dtuevent 不存在? 控制台写入第一条历史时创建，也可用 dtudb init 创建)");
    else if (missing && e.text().contains(QLatin1String("dtuinfo"), Qt::CaseInsensitive))
        msg += QStringLiteral(" (表 dtuinfo 不存在或不完整? 可用 dtudb init 创建)");
    return msg + QStringLiteral(" [") + sql.simplified() + QLatin1Char(']');
}

} // namespace

DtuStore::DtuStore(ConfigPaths paths, const QString& connectionName)
    : paths_(std::move(paths)), name_(connectionName) {}

DtuStore::~DtuStore() {
    query_.reset();
    if (QSqlDatabase::contains(name_)) {
        { QSqlDatabase db = QSqlDatabase::database(name_, false); db.close(); }
        QSqlDatabase::removeDatabase(name_);
    }
}

QSqlDatabase DtuStore::database() const { return QSqlDatabase::database(name_, false); }

bool DtuStore::isOpen() const { return QSqlDatabase::contains(name_) && database().isOpen(); }

Failure DtuStore::failed(const QSqlError& e, const QString& sql) {
    // A statement that failed may have found the connection broken: the next activation
    // connects again instead of trusting it.
    suspect_ = true;
    return Failure(describe(e, sql));
}

void DtuStore::ReconnectDatabase() {
    QString text;
    if (!readWhole(paths_.local(QStringLiteral("ftdb.ini")), text) &&
        !readWhole(paths_.system(QStringLiteral("ftdb.ini")), text))
        throw ConnectionFileFailure(QStringLiteral("无法读取数据库连接文件 %1 或 %2")
                                        .arg(paths_.local(QStringLiteral("ftdb.ini")),
                                             paths_.system(QStringLiteral("ftdb.ini"))));
    // The same file and a connection that works: keep it. Connecting again on every
    // activation would put the window at the mercy of a server that does not answer.
    if (!text.isEmpty() && (text != connectionString_ || !isOpen() || suspect_)) {
        if (isOpen()) database().close();
        connectionString_ = text;
        configured_ = true;
        createSqlite_ = false;
        resetConnection(TranslateConnectionString(text));
    }
    open();
}

void DtuStore::connectTo(const QString& connectionString, bool createSqliteFile) {
    connectionString_ = connectionString;
    configured_ = true;
    createSqlite_ = createSqliteFile;
    resetConnection(TranslateConnectionString(connectionString));
    open();
}

QSqlDatabase AddConnection(const SqlTarget& t, const QString& name, const QString& extraOptions) {
    QSqlDatabase db = QSqlDatabase::addDatabase(t.driver, name);
    db.setDatabaseName(t.databaseName);
    if (!t.host.isEmpty()) db.setHostName(t.host);
    if (t.port > 0) db.setPort(t.port);
    if (!t.user.isEmpty()) db.setUserName(t.user);
    if (!t.password.isEmpty()) db.setPassword(t.password);
    if (t.driver == QLatin1String("QSQLITE")) db.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=5000"));
    // libpq waits on a vanished server until TCP gives up, many minutes by default: give up
    // on a connect after 5 s and on a silent established connection within about 10 s.
    if (t.driver == QLatin1String("QPSQL"))
        db.setConnectOptions(QLatin1String(kPostgresBounds) + (extraOptions.isEmpty() ? QString() : QLatin1Char(';') + extraOptions));
    return db;
}

void DtuStore::resetConnection(const SqlTarget& t) {
    if (!QSqlDatabase::isDriverAvailable(t.driver))
        throw DatabaseOpenFailure(QStringLiteral("数据库驱动 %1 不可用 (可用: %2)")
                                      .arg(t.driver, QSqlDatabase::drivers().join(QLatin1Char(','))));
    query_.reset();
    if (QSqlDatabase::contains(name_)) {
        { QSqlDatabase old = QSqlDatabase::database(name_, false); old.close(); }
        QSqlDatabase::removeDatabase(name_);
    }
    QSqlDatabase db = AddConnection(t, name_);
    suspect_ = false;
    query_ = std::make_unique<QSqlQuery>(db);
}

namespace {
QString ownerAndMode(const struct stat& st) {
    const passwd* pw = ::getpwuid(st.st_uid);
    const group* gr = ::getgrgid(st.st_gid);
    return QStringLiteral("属于 %1:%2，权限 %3")
        .arg(pw ? QString::fromLocal8Bit(pw->pw_name) : QString::number(st.st_uid),
             gr ? QString::fromLocal8Bit(gr->gr_name) : QString::number(st.st_gid))
        .arg(st.st_mode & 07777, 4, 8, QLatin1Char('0'));
}
} // namespace

// A file that is there but closed to this user is not "missing": say whose it is.
QString DtuStore::sqliteAccessProblem(const QString& path) {
    const QByteArray file = QFile::encodeName(path);
    struct stat st {};
    if (::stat(file.constData(), &st) == 0) {
        if (::access(file.constData(), R_OK) == 0) return {};
        const passwd* me = ::getpwuid(::geteuid());
        return QStringLiteral("SQLite 数据库文件 %1 %2，本用户 %3 无法读取")
            .arg(path, ownerAndMode(st), me ? QString::fromLocal8Bit(me->pw_name) : QString::number(::geteuid()));
    }
    if (errno != EACCES) return {};
    const QString folder = QFileInfo(path).absolutePath();
    struct stat dir {};
    if (::stat(QFile::encodeName(folder).constData(), &dir) != 0) return QStringLiteral("无法访问 SQLite 数据库文件 %1 所在的目录").arg(path);
    return QStringLiteral("无法访问 SQLite 数据库文件 %1: 目录 %2 %3").arg(path, folder, ownerAndMode(dir));
}

void DtuStore::open() {
    if (!configured_)
        throw DatabaseOpenFailure(QStringLiteral("数据库连接串为空: 默认的 Microsoft.Jet.OLEDB.4.0 (Access) 在此平台不可用"));
    QSqlDatabase db = database();
    if (db.isOpen()) return;
    // Opening a mistyped SQLite path would silently create an empty database.
    if (db.driverName() == QLatin1String("QSQLITE")) {
        if (const QString why = sqliteAccessProblem(db.databaseName()); !why.isEmpty()) throw DatabaseOpenFailure(why);
        if (!createSqlite_ && !QFileInfo::exists(db.databaseName()))
            throw DatabaseOpenFailure(QStringLiteral("SQLite 数据库文件不存在: %1").arg(db.databaseName()));
    }
    if (!db.open())
        throw DatabaseOpenFailure(QStringLiteral("数据库打开失败: %1").arg(db.lastError().text().trimmed()));
    qCDebug(lcStore) << "database open:" << db.driverName() << db.databaseName();
}

void DtuStore::exec(const QString& sql, const QVariantList& binds) {
    open();
    QSqlQuery& q = *query_;
    q.finish();
    if (!q.prepare(sql)) throw failed(q.lastError(), sql);
    for (const QVariant& b : binds) q.addBindValue(b);
    if (!q.exec()) throw failed(q.lastError(), sql);
}

void DtuStore::select(const QString& sql, const QVariantList& binds,
                          const std::function<void(const DtuRow&)>& fn) {
    exec(sql, binds);
    QSqlQuery& q = *query_;
    while (q.next()) fn(rowFrom(q.record()));
}

void DtuStore::forEachRosterRow(const std::function<void(const DtuRow&)>& fn) {
    select(QStringLiteral("select * from dtuinfo where delflag=0 order by USERNAME,VCOMPORT"), {}, fn);
}

void DtuStore::forEachListedRow(const std::function<void(const DtuRow&)>& fn) {
    select(QStringLiteral("select * from  dtuinfo where  delflag=0"), {}, fn);
}

void DtuStore::appendRow(const DtuRow& r) {
    exec(QStringLiteral("insert into dtuinfo (DTUID,password,username,delflag,addtime,teleno,vcomport) "
                        "values (?,?,?,?,?,?,?)"),
         {r.dtuid, r.password, r.username, 0, r.addtime.isValid() ? r.addtime : QDateTime::currentDateTime(),
          r.teleno, r.vcomport});
}

std::optional<DtuRow> DtuStore::findRow(const QString& dtuid) {
    std::optional<DtuRow> found;
    select(QStringLiteral("select * from dtuinfo where dtuid=?"), {dtuid}, [&](const DtuRow& r) {
        if (!found) found = r;
    });
    return found;
}

bool DtuStore::updateRow(const QString& dtuid, const DtuRow& v) {
    exec(QStringLiteral("update dtuinfo set password=?, username=?, teleno=?, delflag=0, vcomport=? where dtuid=?"),
         {v.password, v.username, v.teleno, v.vcomport, dtuid});
    return query_->numRowsAffected() > 0;
}

int DtuStore::deleteRows(const QString& dtuid) {
    exec(QStringLiteral("delete from dtuinfo where dtuid=?"), {dtuid});
    return query_->numRowsAffected();
}

void DtuStore::createTable() {
    const bool pg = database().driverName() == QLatin1String("QPSQL");
    exec(QStringLiteral("create table if not exists dtuinfo (DTUID varchar(16) not null, password varchar(6), "
                        "username varchar(200), teleno varchar(64), vcomport varchar(255), "
                        "delflag integer default 0, addtime %1)")
             .arg(pg ? QStringLiteral("timestamp") : QStringLiteral("datetime")));
    exec(QStringLiteral("create index if not exists dtuinfo_dtuid on dtuinfo (DTUID)"));
    createEventTable();
}

void DtuStore::createEventTable() {
    const bool pg = database().driverName() == QLatin1String("QPSQL");
    exec(QStringLiteral("create table if not exists dtuevent (DTUID varchar(16) not null, event varchar(16) not null, "
                        "at %1 not null, detail varchar(255), utcms bigint)")
             .arg(pg ? QStringLiteral("timestamp(3)") : QStringLiteral("datetime")));
    exec(QStringLiteral("create index if not exists dtuevent_at on dtuevent (at)"));
    exec(QStringLiteral("create index if not exists dtuevent_dtuid_at on dtuevent (DTUID, at)"));
    // `at` is local wall time, which repeats an hour each autumn: the instant is kept beside
    // it (milliseconds since the epoch), and a table from before gets the column and its
    // rows their instants, read as the local time they were written in.
    bool hasUtc = false;
    if (pg) {
        exec(QStringLiteral("alter table dtuevent add column if not exists utcms bigint"));
        hasUtc = true;
    } else {
        exec(QStringLiteral("pragma table_info(dtuevent)"));
        while (query_->next())
            if (query_->value(1).toString().compare(QLatin1String("utcms"), Qt::CaseInsensitive) == 0) hasUtc = true;
        query_->finish();
        if (!hasUtc) exec(QStringLiteral("alter table dtuevent add column utcms bigint"));
    }
    exec(QStringLiteral("create index if not exists dtuevent_utc on dtuevent (utcms)"));
    exec(QStringLiteral("create index if not exists dtuevent_dtuid_utc on dtuevent (DTUID, utcms)"));
    std::vector<QVariant> local;
    exec(QStringLiteral("select distinct at from dtuevent where utcms is null"));
    while (query_->next()) local.push_back(query_->value(0));
    query_->finish();
    if (local.empty()) return;
    Transaction tx(*this);
    for (const QVariant& at : local) {
        QDateTime t = at.toDateTime();
        if (!t.isValid()) t = QDateTime::fromString(at.toString(), QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
        if (!t.isValid()) continue;
        exec(QStringLiteral("update dtuevent set utcms = ? where utcms is null and at = ?"), {t.toMSecsSinceEpoch(), at});
    }
    tx.commit();
}

namespace {
// The local time as it has always been written, for whoever reads `at`.
QString storedTime(const QDateTime& t) {
    return t.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz"));
}
} // namespace

void DtuStore::appendEvents(const std::vector<DtuEvent>& events) {
    if (events.empty()) return;
    Transaction tx(*this);
    const QString sql = QStringLiteral("insert into dtuevent (DTUID,event,at,detail,utcms) values (?,?,?,?,?)");
    open();
    QSqlQuery& q = *query_;
    q.finish();
    if (!q.prepare(sql)) throw failed(q.lastError(), sql);
    for (const DtuEvent& e : events) {
        q.addBindValue(e.dtuid.left(16));
        q.addBindValue(e.event.left(16));
        q.addBindValue(storedTime(e.at));
        q.addBindValue(e.detail.left(255));
        q.addBindValue(e.at.toMSecsSinceEpoch());
        if (!q.exec()) throw failed(q.lastError(), sql);
    }
    q.finish();
    tx.commit();
}

int DtuStore::pruneEvents(const QDateTime& before) {
    exec(QStringLiteral("delete from dtuevent where utcms < ?"), {before.toMSecsSinceEpoch()});
    return query_->numRowsAffected();
}

std::vector<DtuEvent> DtuStore::events(const QString& dtuid, const QDateTime& since, int limit) {
    QString sql = QStringLiteral("select DTUID,event,utcms,detail from dtuevent where utcms >= ?");
    QVariantList binds{since.isValid() ? since.toMSecsSinceEpoch() : qint64(0)};
    if (!dtuid.isEmpty()) {
        sql += QStringLiteral(" and DTUID = ?");
        binds << dtuid;
    }
    sql += QStringLiteral(" order by utcms desc");
    if (limit > 0) sql += QStringLiteral(" limit %1").arg(limit);
    exec(sql, binds);
    std::vector<DtuEvent> out;
    QSqlQuery& q = *query_;
    while (q.next()) {
        out.push_back({q.value(0).toString(), q.value(1).toString(), QDateTime::fromMSecsSinceEpoch(q.value(2).toLongLong()),
                       q.value(3).toString()});
    }
    q.finish();
    std::reverse(out.begin(), out.end());
    return out;
}

DtuStore::Transaction::Transaction(DtuStore& dm) : dm_(dm) {
    dm_.open();
    if (!dm_.database().transaction())
        throw Failure(QStringLiteral("无法开始事务: %1").arg(dm_.database().lastError().text()));
}

DtuStore::Transaction::~Transaction() {
    if (!done_) dm_.database().rollback();
}

void DtuStore::Transaction::commit() {
    if (!dm_.database().commit())
        throw Failure(QStringLiteral("提交失败: %1").arg(dm_.database().lastError().text()));
    done_ = true;
}

} // namespace dtu
