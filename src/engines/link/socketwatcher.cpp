#include "engines/link/socketwatcher.h"

#include <QLoggingCategory>
#include <QSocketNotifier>
#include <cerrno>
#include <cstring>
#include <sys/epoll.h>
#include <unistd.h>

Q_LOGGING_CATEGORY(lcWatch, "dtu.mqtt.watch", QtInfoMsg)

namespace dtu {

namespace {
quint64 key(int fd, quint32 generation) { return (static_cast<quint64>(generation) << 32) | static_cast<quint32>(fd); }
} // namespace

SocketWatcher::SocketWatcher(QObject* parent) : QObject(parent) {
    ep_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (ep_ < 0) {
        qCWarning(lcWatch) << "epoll_create1:" << std::strerror(errno) << "- sessions use one notifier each";
        return;
    }
    notifier_ = new QSocketNotifier(ep_, QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &SocketWatcher::dispatch);
}

SocketWatcher::~SocketWatcher() {
    delete notifier_;
    if (ep_ >= 0) ::close(ep_);
}

void SocketWatcher::watch(int fd, const void* owner, std::function<void()> onRead, std::function<void()> onWrite) {
    if (ep_ < 0 || fd < 0) return;
    Entry& e = entries_[fd]; // an entry of a closed socket with this number is replaced
    e.owner = owner;
    e.generation = ++generation_;
    e.write = false;
    e.onRead = std::move(onRead);
    e.onWrite = std::move(onWrite);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = key(fd, e.generation);
    if (::epoll_ctl(ep_, EPOLL_CTL_ADD, fd, &ev) != 0 && (errno != EEXIST || ::epoll_ctl(ep_, EPOLL_CTL_MOD, fd, &ev) != 0))
        qCWarning(lcWatch) << "epoll_ctl add" << fd << std::strerror(errno);
}

void SocketWatcher::setWriteWanted(int fd, const void* owner, bool wanted) {
    auto it = entries_.find(fd);
    if (it == entries_.end() || it->owner != owner || it->write == wanted) return;
    it->write = wanted;
    epoll_event ev{};
    ev.events = EPOLLIN | (wanted ? static_cast<uint32_t>(EPOLLOUT) : 0u);
    ev.data.u64 = key(fd, it->generation);
    if (::epoll_ctl(ep_, EPOLL_CTL_MOD, fd, &ev) != 0) qCDebug(lcWatch) << "epoll_ctl mod" << fd << std::strerror(errno);
}

void SocketWatcher::unwatch(int fd, const void* owner) {
    auto it = entries_.find(fd);
    if (it == entries_.end() || it->owner != owner) return; // already another session's
    entries_.erase(it);
    // A socket closed before we got here has left the set by itself.
    ::epoll_ctl(ep_, EPOLL_CTL_DEL, fd, nullptr);
}

void SocketWatcher::dispatch() {
    epoll_event events[256];
    // One batch per activation: the notifier fires again while anything is left.
    const int n = ::epoll_wait(ep_, events, 256, 0);
    for (int i = 0; i < n; ++i) {
        const int fd = static_cast<int>(events[i].data.u64 & 0xffffffffu);
        const quint32 generation = static_cast<quint32>(events[i].data.u64 >> 32);
        // A callback may have unwatched this socket, or one later in the batch.
        auto it = entries_.find(fd);
        if (it == entries_.end() || it->generation != generation) continue;
        if (events[i].events & (EPOLLIN | EPOLLERR | EPOLLHUP)) {
            const std::function<void()> read = it->onRead; // the entry may go inside
            if (read) read();
            it = entries_.find(fd);
            if (it == entries_.end() || it->generation != generation) continue;
        }
        if ((events[i].events & EPOLLOUT) && it->write) {
            const std::function<void()> write = it->onWrite;
            if (write) write();
        }
    }
}

} // namespace dtu
