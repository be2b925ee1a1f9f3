#pragma once
// The silent-DTU alarm: a DTU online that has sent nothing for [ALARM] Silent, or offline
// that long while the service runs, is silent until data or its login comes back. One
// line per change, never one per look.
#include <QHash>
#include <QSet>
#include <QObject>
#include <QString>

namespace dtu {

class ConsoleContext;

class SilenceWatch : public QObject {
    Q_OBJECT
public:
    explicit SilenceWatch(ConsoleContext& ctx, QObject* parent = nullptr);
    void check(); // once a second from the console's timer; tests call it with their clock
    bool isSilent(const QString& id) const { return state_.value(id).silent; }

signals:
    // silent: the line said it went silent; else it recovered
    void silenceChanged(const QString& id, bool silent, const QString& line);

private:
    struct State {
        bool silent = false;
        qint64 offlineSinceMs = 0; // while the service runs, 0 when online or not looked at yet
        qint64 watchedSinceMs = 0; // first look online without any login or data time
    };
    void checkRow(int row, const QString& id, qint64 now, qint64 limitMs, bool running);
    ConsoleContext& ctx_;
    QHash<QString, State> state_;
    // Until then no row can go silent without an event that sets ctx.silenceRecheck;
    // the silent ones are looked at every time, for their recovery.
    qint64 nextDueMs_ = 0;
    QSet<QString> silent_;
};

} // namespace dtu
