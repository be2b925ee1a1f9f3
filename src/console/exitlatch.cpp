#include "console/exitlatch.h"

#include "console/console.h"

#include <QCoreApplication>
#include <QLoggingCategory>

namespace dtu {

ExitLatch::ExitLatch(Console& console, std::function<void()> onSignal) {
    connect(&console, &Console::quitRequested, this, [this] {
        requested_ = true;
        QCoreApplication::exit(0);
    }, Qt::QueuedConnection);
    connect(&signals_, &UnixSignalWatcher::terminationRequested, &console, [&console, onSignal](int sig) {
        qInfo() << "signal" << sig << "received";
        if (onSignal) onSignal();
        console.shutdownForSignal();
    });
}

} // namespace dtu
