#pragma once
// Thousands of sessions' sockets behind one descriptor in the Qt event loop. Qt's loop
// polls every socket notifier on every pass; with 5,000 sessions that poll was most of
// an idle console's CPU. Here the sockets sit in one epoll set, level-triggered, and only
// the epoll descriptor is a notifier: a pass costs the same for 5 sessions or 5,000.
#include <QHash>
#include <QObject>
#include <functional>

class QSocketNotifier;

namespace dtu {

class SocketWatcher : public QObject {
    Q_OBJECT
public:
    explicit SocketWatcher(QObject* parent = nullptr);
    ~SocketWatcher() override;
    bool isValid() const { return ep_ >= 0; }

    // The owner tells its registrations apart from a later one on the same descriptor
    // number: a socket libmosquitto closed may come back as another session's.
    void watch(int fd, const void* owner, std::function<void()> onRead, std::function<void()> onWrite);
    void setWriteWanted(int fd, const void* owner, bool wanted);
    void unwatch(int fd, const void* owner);
    int watched() const { return static_cast<int>(entries_.size()); }

private:
    struct Entry {
        const void* owner = nullptr;
        quint32 generation = 0;
        bool write = false;
        std::function<void()> onRead, onWrite;
    };
    void dispatch();
    int ep_ = -1;
    quint32 generation_ = 0;
    QSocketNotifier* notifier_ = nullptr;
    QHash<int, Entry> entries_;
};

} // namespace dtu
