#pragma once
// A thread with an event loop whose start and end work run on it, and whose stop can wait
// with a bound. The end is told through a std::mutex and condition variable, which a thread
// checker sees (Qt's own wait is built on locks it cannot see in a Qt built without it).
#include <QThread>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace dtu {

class WorkerThread : public QThread {
public:
    using QThread::QThread;
    ~WorkerThread() override;
    std::function<void()> onStart, onEnd; // run on the thread, before and after its loop

    // Ends the loop and waits for the end work; waitMs < 0 waits for ever. False when it did
    // not end in time: the thread is left to finish on its own and must not be deleted.
    bool stopAndWait(int waitMs = -1);

protected:
    void run() override;

private:
    std::mutex mutex_;
    std::condition_variable ended_;
    bool done_ = false;
};

} // namespace dtu
