#include "console/web/webusers.h"

#include <QFile>
#include <QRegularExpression>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>
#include <sys/stat.h>

namespace dtu {

namespace {
const char kScheme[] = "$pbkdf2-sha512$";
constexpr int kSaltBytes = 16, kKeyBytes = 64;

QByteArray derive(const QString& password, const QByteArray& salt, int iterations) {
    const QByteArray pw = password.toUtf8();
    QByteArray key(kKeyBytes, '\0');
    if (PKCS5_PBKDF2_HMAC(pw.constData(), static_cast<int>(pw.size()), reinterpret_cast<const unsigned char*>(salt.constData()),
                          static_cast<int>(salt.size()), iterations, EVP_sha512(), kKeyBytes,
                          reinterpret_cast<unsigned char*>(key.data())) != 1)
        return {};
    return key;
}
} // namespace

QString RoleName(WebRole role) {
    switch (role) {
    case WebRole::Viewer: return QStringLiteral("viewer");
    case WebRole::Operator: return QStringLiteral("operator");
    case WebRole::Admin: return QStringLiteral("admin");
    }
    return {};
}

std::optional<WebRole> ParseRole(const QString& name) {
    for (WebRole r : {WebRole::Viewer, WebRole::Operator, WebRole::Admin})
        if (name == RoleName(r)) return r;
    return std::nullopt;
}

QByteArray WebUsers::hashPassword(const QString& password, int iterations) {
    QByteArray salt(kSaltBytes, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(salt.data()), kSaltBytes) != 1) return {};
    const QByteArray key = derive(password, salt, iterations);
    if (key.isEmpty()) return {};
    return kScheme + QByteArray::number(iterations) + '$' + salt.toBase64(QByteArray::OmitTrailingEquals) + '$' +
           key.toBase64(QByteArray::OmitTrailingEquals);
}

bool WebUsers::verify(const QString& password, const QByteArray& hash) {
    if (!hash.startsWith(kScheme)) return false;
    const QList<QByteArray> parts = hash.mid(static_cast<qsizetype>(sizeof kScheme) - 1).split('$');
    if (parts.size() != 3) return false;
    bool ok = false;
    const int iterations = parts[0].toInt(&ok);
    if (!ok || iterations < 1000 || iterations > 10000000) return false;
    const QByteArray salt = QByteArray::fromBase64(parts[1]), want = QByteArray::fromBase64(parts[2]);
    if (salt.isEmpty() || want.size() != kKeyBytes) return false;
    const QByteArray got = derive(password, salt, iterations);
    return got.size() == want.size() && CRYPTO_memcmp(got.constData(), want.constData(), static_cast<size_t>(got.size())) == 0;
}

bool WebUsers::validName(const QString& name) {
    static const QRegularExpression re(QStringLiteral("^[A-Za-z0-9_.-]{1,32}$"));
    return re.match(name).hasMatch();
}

bool WebUsers::load(const QString& path, QString* why) {
    users_.clear();
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0) {
        *why = QStringLiteral("用户文件 %1 不存在").arg(path);
        return false;
    }
    if (st.st_mode & (S_IRWXG | S_IRWXO)) {
        *why = QStringLiteral("用户文件 %1 的权限 %2 允许其他人读取，请改为 0600 (chmod 600)")
                   .arg(path)
                   .arg(st.st_mode & 0777, 4, 8, QLatin1Char('0'));
        return false;
    }
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        *why = QStringLiteral("用户文件 %1 无法读取: %2").arg(path, f.errorString());
        return false;
    }
    const QList<QByteArray> lines = f.readAll().split('\n');
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        if (line.isEmpty() || line.startsWith('#')) continue;
        const QList<QByteArray> f3 = line.split(':');
        const auto role = f3.size() == 3 ? ParseRole(QString::fromUtf8(f3[1])) : std::nullopt;
        if (f3.size() != 3 || !validName(QString::fromUtf8(f3[0])) || !role || !f3[2].startsWith(kScheme)) {
            *why = QStringLiteral("用户文件 %1 第%2行格式不对 (应为 名称:角色:哈希)").arg(path).arg(i + 1);
            users_.clear();
            return false;
        }
        put({QString::fromUtf8(f3[0]), *role, f3[2]});
    }
    return true;
}

QByteArray WebUsers::text() const {
    QByteArray t("# DTU console web users: name:role:hash (dtudb web-user manages this file)\n");
    for (const WebUser& u : users_) t += u.name.toUtf8() + ':' + RoleName(u.role).toUtf8() + ':' + u.hash + '\n';
    return t;
}

const WebUser* WebUsers::find(const QString& name) const {
    for (const WebUser& u : users_)
        if (u.name == name) return &u;
    return nullptr;
}

void WebUsers::put(const WebUser& user) {
    for (WebUser& u : users_)
        if (u.name == user.name) {
            u = user;
            return;
        }
    users_.append(user);
}

bool WebUsers::remove(const QString& name) {
    return users_.removeIf([&](const WebUser& u) { return u.name == name; }) > 0;
}

} // namespace dtu
