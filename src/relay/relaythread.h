#pragma once
// Starts the relay's thread and stands for its engines on the console's thread. Calls from
// the console reach the relay's thread and wait for it (the relay never waits on anyone, so
// the wait is short); the relay's events reach the console queued, in the order they happened.
#include "relay/portrouter.h"
#include "relay/relay.h"

#include <QThread>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>

namespace dtu {

class ILinkEngine;
class IVPortEngine;

class RelayThread : public PortRouter {
public:
    using LinkFactory = std::function<std::unique_ptr<ILinkEngine>()>;
    using PortsFactory = std::function<std::unique_ptr<IVPortEngine>()>;
    // The factories run on the relay's thread: what they make belongs to it.
    RelayThread(LinkFactory link, PortsFactory ports);
    ~RelayThread() override; // closes the ports and sessions on their thread, then ends it

    ILinkEngine& link();        // for the console: every call runs on the relay's thread
    IVPortEngine& portEngine();
    Relay& relay() { return *relay_; } // only to be touched through call()
    QThread& thread() { return thread_; }

    void setRoutes(const PortRoutes& routes) override;
    void setReplyMatchers(std::vector<ReplyMatcher> matchers) override;

    // Runs fn on the relay's thread and returns its result (or rethrows what it threw).
    template <class F>
    auto call(F&& fn) -> std::invoke_result_t<F> {
        using R = std::invoke_result_t<F>;
        if (QThread::currentThread() == &thread_) return fn();
        std::exception_ptr failure;
        if constexpr (std::is_void_v<R>) {
            invoke([&] {
                try {
                    fn();
                } catch (...) {
                    failure = std::current_exception();
                }
            });
            if (failure) std::rethrow_exception(failure);
        } else {
            std::optional<R> result;
            invoke([&] {
                try {
                    result.emplace(fn());
                } catch (...) {
                    failure = std::current_exception();
                }
            });
            if (failure) std::rethrow_exception(failure);
            return std::move(*result);
        }
    }

private:
    void invoke(const std::function<void()>& fn);
    QThread thread_;
    Relay* relay_ = nullptr; // lives on thread_
    std::unique_ptr<ILinkEngine> linkProxy_;
    std::unique_ptr<IVPortEngine> portsProxy_;
};

} // namespace dtu
