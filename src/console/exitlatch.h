#pragma once
// How both programs end: SIGTERM, SIGINT or SIGHUP run the console's orderly shutdown (the
// service takes SIGHUP as a reload), and
// a quit the console asks for leaves every event loop (also one a message box runs before
// exec() is reached) and is remembered, since QCoreApplication::quit() does nothing outside
// exec().
#include "core/unixsignals.h"

#include <QObject>
#include <functional>

namespace dtu {

class Console;

class ExitLatch : public QObject {
    Q_OBJECT
public:
    // onSignal runs first when a signal arrives (a service tells its manager it stops).
    explicit ExitLatch(Console& console, std::function<void()> onSignal = {});
    // SIGHUP reads the table and center.ini again instead of ending; onReload runs around it
    // (a service tells its manager it reloads, then that it is ready again).
    void reloadOnHangup(std::function<void(bool done)> onReload);
    bool requested() const { return requested_; }

private:
    // A signal ends the process within 10 s whatever the database does.
    static constexpr int kHardDeadlineMs = 9000;
    UnixSignalWatcher signals_{nullptr, kHardDeadlineMs};
    Console& console_;
    bool requested_ = false;
};

} // namespace dtu
