#include "core/workerthread.h"

#include <chrono>

namespace dtu {

WorkerThread::~WorkerThread() {
    if (isRunning()) stopAndWait();
}

void WorkerThread::run() {
    if (onStart) onStart();
    exec();
    if (onEnd) onEnd();
    std::lock_guard lock(mutex_);
    done_ = true;
    ended_.notify_all();
}

bool WorkerThread::stopAndWait(int waitMs) {
    if (!isRunning()) return true;
    quit();
    {
        std::unique_lock lock(mutex_);
        const auto done = [this] { return done_; };
        if (waitMs < 0) ended_.wait(lock, done);
        else if (!ended_.wait_for(lock, std::chrono::milliseconds(waitMs), done)) return false;
    }
    wait(); // only the thread's own exit is left
    return true;
}

} // namespace dtu
