#pragma once
// Closures handed from any thread to the thread that made the inbox, run there by its event
// loop in the order they were posted. The hand-over is a std::mutex and an eventfd, so a
// thread checker sees it (Qt's own queued calls go through locks it cannot see), and a
// burst costs one wake-up. A nested event loop (a message box) keeps taking them in order.
#include <QObject>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

class QSocketNotifier;

namespace dtu {

class Inbox : public QObject {
public:
    explicit Inbox(QObject* parent = nullptr);
    ~Inbox() override;

    void post(std::function<void()> fn); // any thread; never blocks on the receiver
    void post(std::vector<std::function<void()>>& many); // in order, one wake-up; leaves many empty
    void drain();                        // the owner's thread: runs what is waiting
    std::size_t waiting() const;

private:
    void wakeOwner(); // one wake-up in the eventfd
    int fd_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    mutable std::mutex mutex_;
    std::deque<std::function<void()>> queue_;
    bool signalled_ = false; // the eventfd holds a wake-up not yet taken
};

} // namespace dtu
