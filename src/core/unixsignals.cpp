#include "core/unixsignals.h"

#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

namespace dtu {

namespace {
int g_pipe[2] = {-1, -1};
int g_guard[2] = {-1, -1}; // wakes the exit guard, which waits on it blocking
volatile sig_atomic_t g_hangupReloads = 0;

void onSignal(int sig) {
    const char c = static_cast<char>(sig);
    [[maybe_unused]] auto n = ::write(g_pipe[1], &c, 1);
    // A reload is no exit: the guard's deadline is not started by it.
    if (g_guard[1] >= 0 && !(sig == SIGHUP && g_hangupReloads)) n = ::write(g_guard[1], &c, 1);
}

// Not a QThread: it must run on whatever the event loop is stuck in.
void startExitGuard(int deadlineMs) {
    if (g_guard[0] >= 0 || ::pipe2(g_guard, O_CLOEXEC) != 0) return;
    ::fcntl(g_guard[1], F_SETFL, O_NONBLOCK);
    std::thread([deadlineMs] {
        char c = 0;
        while (::read(g_guard[0], &c, 1) < 0 && errno == EINTR) {}
        std::this_thread::sleep_for(std::chrono::milliseconds(deadlineMs));
        char line[160];
        const int n = std::snprintf(line, sizeof line,
                                    "orderly exit after signal %d did not finish within %d s (a database or disk that does not answer?): ending now\n",
                                    c, deadlineMs / 1000);
        [[maybe_unused]] auto w = ::write(STDERR_FILENO, line, static_cast<size_t>(std::max(n, 0)));
        ::_exit(0);
    }).detach();
}
} // namespace

UnixSignalWatcher::UnixSignalWatcher(QObject* parent, int hardDeadlineMs) : QObject(parent) {
    if (hardDeadlineMs > 0) startExitGuard(hardDeadlineMs);
    if (g_pipe[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, g_pipe) != 0) return;
    notifier_ = new QSocketNotifier(g_pipe[0], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] {
        char c = 0;
        while (::read(g_pipe[0], &c, 1) == 1) {
            if (c == SIGHUP && g_hangupReloads) emit reloadRequested();
            else emit terminationRequested(c);
        }
    });
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGHUP, &sa, nullptr); // the session or terminal went away: end in order too (the window)
}

void UnixSignalWatcher::setHangupReloads(bool on) { g_hangupReloads = on ? 1 : 0; }

UnixSignalWatcher::~UnixSignalWatcher() {
    g_hangupReloads = 0;
    ::signal(SIGTERM, SIG_DFL);
    ::signal(SIGINT, SIG_DFL);
    ::signal(SIGHUP, SIG_DFL);
}

long RaiseFileLimit() {
    rlimit rl{};
    if (::getrlimit(RLIMIT_NOFILE, &rl) != 0) return -1;
    if (rl.rlim_cur < rl.rlim_max) {
        rl.rlim_cur = rl.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &rl);
        ::getrlimit(RLIMIT_NOFILE, &rl);
    }
    return static_cast<long>(rl.rlim_cur);
}

} // namespace dtu
