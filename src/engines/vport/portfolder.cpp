#include "engines/vport/portfolder.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

namespace dtu {

namespace {
QString errnoText() { return QString::fromLocal8Bit(std::strerror(errno)); }
QString octal(mode_t m) { return QStringLiteral("%1").arg(m & 07777, 4, 8, QLatin1Char('0')); }
} // namespace

PortFolder::PortFolder(QString path, Policy policy, QString group)
    : path_(QDir::cleanPath(std::move(path))), policy_(policy), group_(std::move(group)) {}

PortFolder::~PortFolder() { close(); }

void PortFolder::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

bool PortFolder::fail(const QString& why) {
    problem_ = QStringLiteral("串口目录 %1 不可用: %2，不在其中创建串口").arg(path_, why);
    return false;
}

bool PortFolder::open() {
    close();
    problem_.clear();
    gid_ = -1;
    if (!group_.isEmpty()) {
        const struct group* gr = ::getgrnam(QFile::encodeName(group_).constData());
        if (!gr) return fail(QStringLiteral("[VPORT] Group 指定的组 %1 不存在").arg(group_));
        gid_ = static_cast<long>(gr->gr_gid);
    }
    const int fd = policy_ == Policy::Private ? openPrivate() : openShared();
    if (fd < 0) return false;
    fd_ = fd;
    return true;
}

int PortFolder::openPrivate() {
    // <place>/<ours>/<ports>: <place> (/tmp, the runtime folder) is followed as it is;
    // <ours> and <ports> are made 0700 and must be ours, real and closed to others.
    const QFileInfo portsInfo(path_);
    const QFileInfo oursInfo(portsInfo.absolutePath());
    const QByteArray place = QFile::encodeName(oursInfo.absolutePath());
    const int placeFd = ::open(place.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (placeFd < 0) {
        fail(QStringLiteral("%1: %2").arg(oursInfo.absolutePath(), errnoText()));
        return -1;
    }
    int parent = placeFd;
    int fd = -1;
    for (const QString& name : {oursInfo.fileName(), portsInfo.fileName()}) {
        const QByteArray n = QFile::encodeName(name);
        if (::mkdirat(parent, n.constData(), 0700) != 0 && errno != EEXIST) {
            fail(QStringLiteral("无法创建 %1: %2").arg(name, errnoText()));
            break;
        }
        fd = ::openat(parent, n.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0) {
            fail(errno == ELOOP || errno == ENOTDIR ? QStringLiteral("%1 不是目录而是链接或文件").arg(name)
                                                    : QStringLiteral("%1: %2").arg(name, errnoText()));
            break;
        }
        struct stat st {};
        if (::fstat(fd, &st) != 0 || st.st_uid != ::geteuid()) {
            fail(QStringLiteral("%1 属于另一用户 (uid %2)").arg(name).arg(st.st_uid));
        } else if (st.st_mode & (S_IWGRP | S_IWOTH)) {
            fail(QStringLiteral("%1 组或其他用户可写 (权限 %2)").arg(name, octal(st.st_mode)));
        } else if (gid_ >= 0 && ::fchown(fd, static_cast<uid_t>(-1), static_cast<gid_t>(gid_)) != 0) {
            fail(QStringLiteral("无法把 %1 交给组 %2: %3 (本用户须是该组成员)").arg(name, group_, errnoText()));
        } else {
            // Ours; the ports' group may look inside and open them, nobody else.
            ::fchmod(fd, gid_ >= 0 ? 0750 : 0700);
            if (parent != placeFd) ::close(parent);
            parent = fd;
            continue;
        }
        ::close(fd);
        fd = -1;
        break;
    }
    if (fd < 0 && parent != placeFd) ::close(parent);
    ::close(placeFd);
    return fd;
}

int PortFolder::openShared() {
    if (!QDir().mkpath(path_)) {
        fail(QStringLiteral("无法创建目录"));
        return -1;
    }
    const int fd = ::open(QFile::encodeName(path_).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        fail(errnoText());
        return -1;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || ((st.st_mode & S_IWOTH) && !(st.st_mode & S_ISVTX))) {
        fail(QStringLiteral("所有人可写且没有粘滞位 (权限 %1)").arg(octal(st.st_mode)));
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace dtu
