#include "core/inbox.h"

#include <QSocketNotifier>
#include <cstdint>
#include <stdexcept>
#include <sys/eventfd.h>
#include <unistd.h>

namespace dtu {

Inbox::Inbox(QObject* parent) : QObject(parent) {
    fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd_ < 0) throw std::runtime_error("eventfd failed");
    notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, [this] { drain(); });
}

Inbox::~Inbox() {
    delete notifier_;
    ::close(fd_);
}

void Inbox::post(std::function<void()> fn) {
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(fn));
        wake = !signalled_;
        signalled_ = true;
    }
    if (wake) wakeOwner();
}

void Inbox::wakeOwner() {
    const std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(fd_, &one, sizeof one);
}

void Inbox::post(std::vector<std::function<void()>>& many) {
    if (many.empty()) return;
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        for (auto& fn : many) queue_.push_back(std::move(fn));
        wake = !signalled_;
        signalled_ = true;
    }
    many.clear();
    if (wake) wakeOwner();
}

void Inbox::drain() {
    for (;;) {
        std::function<void()> fn;
        {
            std::lock_guard lock(mutex_);
            if (queue_.empty()) {
                // Taken only once empty: until then a nested event loop is woken too.
                std::uint64_t v = 0;
                [[maybe_unused]] auto n = ::read(fd_, &v, sizeof v);
                signalled_ = false;
                return;
            }
            fn = std::move(queue_.front());
            queue_.pop_front();
        }
        fn();
    }
}

std::size_t Inbox::waiting() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
}

} // namespace dtu
