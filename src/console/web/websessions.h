#pragma once
// The web console's guards, without HTTP: sessions (a random cookie, idle expiry, a CSRF token
// each), failed logins counted per address with a ban, and the Host check against DNS rebinding.
#include "console/web/webusers.h"

#include <QByteArray>
#include <QHash>
#include <QStringList>
#include <functional>

namespace dtu {

class WebSessions {
public:
    struct Session {
        QString user;
        WebRole role = WebRole::Viewer;
        QByteArray csrf;    // sent back in a header on every change
        qint64 lastMs = 0;  // last request
    };
    explicit WebSessions(std::function<qint64()> nowMs, qint64 idleMs = 30 * 60 * 1000);

    QByteArray open(const QString& user, WebRole role); // the cookie's value
    // The live session of a cookie (its idle time restarted), or null: unknown or expired.
    const Session* find(const QByteArray& token);
    void close(const QByteArray& token);
    void closeUser(const QString& user); // a user removed or given a new password
    static bool csrfMatches(const Session& s, const QByteArray& header);
    int count() const { return static_cast<int>(sessions_.size()); }

private:
    std::function<qint64()> now_;
    qint64 idleMs_;
    QHash<QByteArray, Session> sessions_;
};

class LoginGuard {
public:
    static constexpr int kMaxFailures = 5;
    static constexpr qint64 kWindowMs = 10 * 60 * 1000, kBanMs = 15 * 60 * 1000;
    explicit LoginGuard(std::function<qint64()> nowMs) : now_(std::move(nowMs)) {}
    bool banned(const QString& address);
    // Counts a failed login; true when this one starts a ban.
    bool failed(const QString& address);
    void succeeded(const QString& address) { entries_.remove(address); }

private:
    struct Entry {
        int failures = 0;
        qint64 firstMs = 0;
        qint64 bannedUntilMs = 0;
    };
    std::function<qint64()> now_;
    QHash<QString, Entry> entries_;
};

// A Host header ("name", "name:port", "[::1]:port") that names one of serverNames (case aside).
bool HostAllowed(const QByteArray& host, const QStringList& serverNames);

} // namespace dtu
