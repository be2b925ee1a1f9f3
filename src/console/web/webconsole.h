#pragma once
// The web console: the console's pages in a browser, behind a login, on the status page's
// listener. Live changes go out over a WebSocket, gathered like the window's (at most 20
// hand-overs a second); a browser that cannot keep up is let go, never waited for.
#include "console/remote/remote.h"
#include "console/web/websessions.h"
#include "console/web/webusers.h"

#include <QHostAddress>
#include <QObject>
#include <QSet>
#include <QTimer>
#include <memory>
#include <vector>

class QHttpServer;
class QHttpServerRequest;
class QHttpServerResponse;
class QWebSocket;
class QJsonObject;

namespace dtu {

class Console;
class ConsoleContext;

class WebConsole : public QObject {
    Q_OBJECT
public:
    // Every action goes through the console's own commands, as the window's menus do.
    explicit WebConsole(Console& console, QObject* parent = nullptr);
    ~WebConsole() override;

    // Serves the pages on the status page's server; false with the run log told why not (no
    // users file, plain HTTP off loopback...). The status page serves on either way.
    bool attach(QHttpServer& http, const QHostAddress& address, quint16 port, bool tls);
    bool serving() const { return serving_; }
    // The users file again (a reload): a user removed, or given a new password or role, is
    // logged out. A file that cannot be read now keeps the users as they were.
    void reloadUsers();
    int clients() const { return static_cast<int>(clients_.size()); }
    // Past this much unsent, a browser is let go (it comes back with a fresh page).
    static constexpr qint64 kMaxBacklog = 4 * 1024 * 1024;
    static constexpr int kFlushMs = 50;

private:
    struct Client;
    void say(const QString& line);
    bool hostAllowed(const QHttpServerRequest& request);
    const WebSessions::Session* sessionOf(const QHttpServerRequest& request, QByteArray* token = nullptr);
    QHttpServerResponse refused(int status, const QByteArray& message);
    void onWebSocket(std::unique_ptr<QWebSocket> socket);
    void markRows(int first, int last);
    void flush();
    QByteArray rowsJson(const QList<int>& rows, const char* type) const;
    QByteArray allRows(const char* type) const;
    QHttpServerResponse act(const QHttpServerRequest& req, WebRole needed, const QString& id, const QString& action);
    QHttpServerResponse rosterAction(const QHttpServerRequest& req, const QString& action);
    QHttpServerResponse runAction(const WebSessions::Session& s, const QString& id, const QString& action, const QJsonObject& in);
    void watchMessages(bool on);
    QStringList captureFiles(const QString& id) const; // this DTU's files in the capture folder
    static std::optional<TargetKind> targetKind(const QString& name);
    QByteArray linesJson(const char* type, const QStringList& lines) const;

    Console& console_;
    ConsoleContext& ctx_;
    QStringList pendingLines_, pendingLog_;
    bool linesDropped_ = false;
    QMetaObject::Connection displayWatch_, logWatch_;
    WebUsers users_;
    WebSessions sessions_;
    LoginGuard logins_;
    QStringList serverNames_;
    QString base_;
    bool tls_ = false;
    bool serving_ = false;
    std::vector<std::unique_ptr<Client>> clients_;
    QSet<int> dirty_;
    bool reset_ = false;
    QTimer flushTimer_;
    QHttpServer* http_ = nullptr;
};

} // namespace dtu
