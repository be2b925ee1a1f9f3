#include "console/databaseadvice.h"

#include "core/config.h"
#include "engines/store/dtustore.h"

#include <QFile>
#include <QFileInfo>
#include <QSqlDatabase>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dtu {

namespace {
QString userName(uid_t uid) {
    const passwd* p = ::getpwuid(uid);
    return p ? QString::fromLocal8Bit(p->pw_name) : QString::number(uid);
}

QString groupName(gid_t gid) {
    const group* g = ::getgrgid(gid);
    return g ? QString::fromLocal8Bit(g->gr_name) : QString::number(gid);
}

// "FILE 属于 owner:group，权限 0600，用户 me 无法读取" for a file that is there but closed to us.
QString unreadable(const QString& path) {
    const QByteArray p = QFile::encodeName(path);
    struct stat st {};
    if (path.isEmpty() || ::stat(p.constData(), &st) != 0 || ::access(p.constData(), R_OK) == 0) return {};
    return QStringLiteral("%1 属于 %2:%3，权限 %4，本程序的用户 %5 无法读取")
        .arg(path, userName(st.st_uid), groupName(st.st_gid))
        .arg(st.st_mode & 07777, 4, 8, QLatin1Char('0'))
        .arg(userName(::geteuid()));
}
} // namespace

QString DatabaseAdvice(const QString& cause, const ConfigPaths& paths, const DtuStore& store) {
    for (const QString& f : {paths.local(QStringLiteral("ftdb.ini")), paths.system(QStringLiteral("ftdb.ini"))})
        if (const QString why = unreadable(f); !why.isEmpty()) return why;
    const QSqlDatabase db = store.database();
    if (db.isValid() && db.driverName() == QLatin1String("QSQLITE")) {
        if (const QString why = unreadable(db.databaseName()); !why.isEmpty()) return why;
    }
    if (cause.contains(QLatin1String("no such table")) || cause.contains(QLatin1String("does not exist")))
        return QStringLiteral("DTU表不存在: 请用 dtudb init 创建");
    if (cause.contains(QStringLiteral("不存在")))
        return QStringLiteral("请用 dtudb init 创建，或检查 ftdb.ini 中的路径");
    if (cause.contains(QStringLiteral("连接文件")))
        return QStringLiteral("请创建 ftdb.ini (见 README)");
    return QStringLiteral("请检查数据库服务器是否已启动、ftdb.ini 中的连接设置是否正确");
}

} // namespace dtu
