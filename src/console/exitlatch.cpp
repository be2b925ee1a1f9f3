#include "console/exitlatch.h"

#include "console/console.h"

#include <QCoreApplication>
#include <QLoggingCategory>

namespace dtu {

ExitLatch::ExitLatch(Console& console, std::function<void()> onSignal) : console_(console) {
    connect(&console, &Console::quitRequested, this, [this, &console] {
        requested_ = true;
        QCoreApplication::exit(console.exitStatus);
    }, Qt::QueuedConnection);
    connect(&signals_, &UnixSignalWatcher::terminationRequested, &console, [&console, onSignal](int sig) {
        qInfo() << "signal" << sig << "received";
        if (onSignal) onSignal();
        console.shutdownForSignal();
    });
}

void ExitLatch::reloadOnHangup(std::function<void(bool)> onReload) {
    signals_.setHangupReloads(true);
    connect(&signals_, &UnixSignalWatcher::reloadRequested, &console_, [this, onReload] {
        if (onReload) onReload(false);
        console_.reload();
        if (onReload) onReload(true);
    });
}

} // namespace dtu
