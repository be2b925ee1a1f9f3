#include "console/web/websessions.h"

#include <openssl/crypto.h>
#include <openssl/rand.h>

namespace dtu {

namespace {
QByteArray randomToken() {
    QByteArray b(32, '\0');
    if (RAND_bytes(reinterpret_cast<unsigned char*>(b.data()), static_cast<int>(b.size())) != 1) return {};
    return b.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}
} // namespace

WebSessions::WebSessions(std::function<qint64()> nowMs, qint64 idleMs) : now_(std::move(nowMs)), idleMs_(idleMs) {}

QByteArray WebSessions::open(const QString& user, WebRole role) {
    const QByteArray token = randomToken(), csrf = randomToken();
    if (token.isEmpty() || csrf.isEmpty()) return {};
    // Expired sessions go when a new one comes: the table never grows with old logins.
    const qint64 now = now_();
    sessions_.removeIf([&](const auto& it) { return now - it.value().lastMs > idleMs_; });
    sessions_.insert(token, Session{user, role, csrf, now});
    return token;
}

const WebSessions::Session* WebSessions::find(const QByteArray& token) {
    auto it = sessions_.find(token);
    if (token.isEmpty() || it == sessions_.end()) return nullptr;
    const qint64 now = now_();
    if (now - it->lastMs > idleMs_) {
        sessions_.erase(it);
        return nullptr;
    }
    it->lastMs = now;
    return &*it;
}

void WebSessions::close(const QByteArray& token) { sessions_.remove(token); }

void WebSessions::closeUser(const QString& user) {
    sessions_.removeIf([&](const auto& it) { return it.value().user == user; });
}

bool WebSessions::csrfMatches(const Session& s, const QByteArray& header) {
    return !header.isEmpty() && header.size() == s.csrf.size() &&
           CRYPTO_memcmp(header.constData(), s.csrf.constData(), static_cast<size_t>(header.size())) == 0;
}

bool LoginGuard::banned(const QString& address) {
    auto it = entries_.find(address);
    if (it == entries_.end()) return false;
    const qint64 now = now_();
    if (it->bannedUntilMs > now) return true;
    if (it->bannedUntilMs != 0 || now - it->firstMs > kWindowMs) entries_.erase(it); // served, or old
    return false;
}

bool LoginGuard::failed(const QString& address) {
    const qint64 now = now_();
    Entry& e = entries_[address];
    if (e.failures == 0 || now - e.firstMs > kWindowMs) e = Entry{0, now, 0};
    if (++e.failures < kMaxFailures) return false;
    e.bannedUntilMs = now + kBanMs;
    return true;
}

bool HostAllowed(const QByteArray& host, const QStringList& serverNames) {
    QByteArray name = host.trimmed();
    if (name.startsWith('[')) {
        const qsizetype end = name.indexOf(']');
        if (end < 0) return false;
        name = name.mid(1, end - 1);
    } else if (name.count(':') == 1) {
        name = name.left(name.indexOf(':'));
    }
    if (name.isEmpty()) return false;
    const QString n = QString::fromLatin1(name);
    for (const QString& allowed : serverNames)
        if (n.compare(allowed, Qt::CaseInsensitive) == 0) return true;
    return false;
}

} // namespace dtu
