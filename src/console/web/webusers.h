#pragma once
// The web console's users: a file of its own ([WEB] Users, beside center.ini), one line a user,
// "name:role:$pbkdf2-sha512$<count>$<salt>$<key>", readable by the console's user only. No user,
// no web console: there is no default password.
#include <QByteArray>
#include <QList>
#include <QString>
#include <optional>

namespace dtu {

// viewer sees; operator also sends, commands, records and closes; admin also changes the roster
// and starts and stops the service.
enum class WebRole { Viewer = 0, Operator = 1, Admin = 2 };
QString RoleName(WebRole role);
std::optional<WebRole> ParseRole(const QString& name);

struct WebUser {
    QString name;
    WebRole role = WebRole::Viewer;
    QByteArray hash; // "$pbkdf2-sha512$..."
};

class WebUsers {
public:
    // OpenSSL's PBKDF2-HMAC-SHA512; the count is written into each hash, so raising it later
    // leaves the old hashes usable.
    static constexpr int kIterations = 210000;
    static QByteArray hashPassword(const QString& password, int iterations = kIterations);
    static bool verify(const QString& password, const QByteArray& hash);
    // 1..32 of A-Z a-z 0-9 _ . -
    static bool validName(const QString& name);

    // False with why: a file that is not there, is open to group or others, or has a bad line
    // (named by its number). A missing file leaves the list empty.
    bool load(const QString& path, QString* why);
    // The file's text; the writer replaces the file whole and keeps it to its owner.
    QByteArray text() const;

    const QList<WebUser>& users() const { return users_; }
    const WebUser* find(const QString& name) const;
    void put(const WebUser& user); // added, or replaced by name
    bool remove(const QString& name);

private:
    QList<WebUser> users_;
};

} // namespace dtu
