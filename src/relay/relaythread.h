#pragma once
// Starts the relay's thread and stands for its engines on the console's thread. Calls from
// the console are posted to the relay's thread and wait for it (the relay never waits on
// anyone, so the wait is short); the relay's events reach the console through an inbox of
// its own, in the order they happened. Nothing crosses through Qt's queued calls.
#include "relay/portrouter.h"
#include "relay/relay.h"

#include <condition_variable>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>

class QThread;

namespace dtu {

class ILinkEngine;
class IVPortEngine;
class Inbox;

class RelayThread : public PortRouter {
public:
    using LinkFactory = std::function<std::unique_ptr<ILinkEngine>()>;
    using PortsFactory = std::function<std::unique_ptr<IVPortEngine>()>;
    // The factories run on the relay's thread: what they make belongs to it. Made on the
    // console's thread, which then receives the relay's events.
    RelayThread(LinkFactory link, PortsFactory ports);
    ~RelayThread() override; // closes the ports and sessions on their thread, then ends it

    ILinkEngine& link();        // for the console: every call runs on the relay's thread
    IVPortEngine& portEngine();
    Relay& relay() { return *relay_; } // only to be touched through call()
    QThread* thread() const;

    void setRoutes(const PortRoutes& routes) override;
    void setReplyMatchers(std::vector<ReplyMatcher> matchers) override;

    // Runs fn on the relay's thread and returns its result (or rethrows what it threw).
    // Throws once the relay has stopped.
    template <class F>
    auto call(F&& fn) -> std::invoke_result_t<F> {
        using R = std::invoke_result_t<F>;
        if (onRelayThread()) return fn();
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

    // Hands fn to the console's thread (from the relay's), behind every earlier event. What a
    // pass of the relay's loop raised goes over at the pass's end, with one wake-up.
    void toConsole(std::function<void()> fn);

private:
    class Runner;
    bool onRelayThread() const;
    void invoke(const std::function<void()>& fn);

    std::unique_ptr<Inbox> consoleInbox_; // on the console's thread
    std::unique_ptr<Runner> thread_;
    Relay* relay_ = nullptr;      // lives on the relay's thread
    Inbox* relayInbox_ = nullptr; // likewise
    std::vector<std::function<void()>> outgoing_; // the relay's thread: this pass's events
    std::mutex stopMutex_;
    bool stopped_ = false;
    std::unique_ptr<ILinkEngine> linkProxy_;
    std::unique_ptr<IVPortEngine> portsProxy_;
};

} // namespace dtu
