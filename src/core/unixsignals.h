#pragma once
// SIGTERM, SIGINT and SIGHUP handed to the GUI thread through a self-pipe.
#include <QObject>

class QSocketNotifier;

namespace dtu {

class UnixSignalWatcher : public QObject {
    Q_OBJECT
public:
    explicit UnixSignalWatcher(QObject* parent = nullptr);
    ~UnixSignalWatcher() override;

signals:
    void terminationRequested(int signal);

private:
    QSocketNotifier* notifier_ = nullptr;
};

// Raises the open-file limit to the hard limit; returns the new soft limit.
long RaiseFileLimit();

} // namespace dtu
