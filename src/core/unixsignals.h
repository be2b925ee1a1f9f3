#pragma once
// SIGTERM, SIGINT and SIGHUP handed to the GUI thread through a self-pipe. A daemon may
// take SIGHUP as "read your configuration again" instead, as daemons do.
#include <QObject>

class QSocketNotifier;

namespace dtu {

class UnixSignalWatcher : public QObject {
    Q_OBJECT
public:
    // hardDeadlineMs > 0: a termination signal ends the process after that long even when
    // the orderly exit is stuck (a database that does not answer, say), with a line on stderr.
    explicit UnixSignalWatcher(QObject* parent = nullptr, int hardDeadlineMs = 0);
    void setHangupReloads(bool on);
    ~UnixSignalWatcher() override;

signals:
    void terminationRequested(int signal);
    void reloadRequested(); // SIGHUP, when hangupReloads

private:
    QSocketNotifier* notifier_ = nullptr;
};

// Raises the open-file limit to the hard limit; returns the new soft limit.
long RaiseFileLimit();

} // namespace dtu
