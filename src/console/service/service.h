#pragma once
// The console's side of the link: service start and stop, the one way out
// (SendToDtu), the engine's events and the dispatch of inbound data.
#include "relay/portrouter.h"

#include <QByteArray>
#include <QString>
#include <functional>
#include <vector>

namespace dtu {
class ConsoleContext;

// Who asked for a send; a recording names it.
enum class SendSource { Port, Manual, Command };

// row: a device-list row whose sent-packet cell counts the send, or -1 for none.
// The console's side of a send that was made: counts, the failure line, the recording.
void CountSend(ConsoleContext& ctx, const QString& id, const QByteArray& data, int result, SendSource source);

void SendToDtu(ConsoleContext& ctx, int row, const QString& id, const QByteArray& data,
               SendSource source = SendSource::Port);

// Runs SendToDtu inside SetSendMode(0) ... SetSendMode(2); the standing mode comes back
// even when the send fails.
void SendBracketed(ConsoleContext& ctx, int row, const QString& id, const QByteArray& data,
                   SendSource source = SendSource::Port);

class Service {
public:
    explicit Service(ConsoleContext& ctx) : ctx_(ctx) {}
    // Runs at the end of every start; its failures are dropped.
    std::function<void()> portCreationHook;
    void start();
    void stop();

private:
    ConsoleContext& ctx_;
};

// One entry of the ordered reply list.
struct ReplyRecognizer {
    QByteArray prefix;                          // matched at the first byte, case-sensitive
    std::function<bool(const QByteArray&)> match; // instead of a prefix
    bool endsDispatch = true;
    QString statusText;                         // after the DTU ID in the fourth status panel
    std::function<void(const QString& id, const QByteArray& rest)> action;
    // When set and false, the reply is not for us (asked of another DTU): consumed and
    // dropped, the decision logged by the check itself.
    std::function<bool(const QString& id)> accepts;
};

class LinkEvents {
public:
    explicit LinkEvents(ConsoleContext& ctx) : ctx_(ctx) {}
    void onLoginReply(const QString& id, int result);
    void onBeatReply(const QString& id, int result);
    void onDisconnect(const QString& id);
    void onCenterBeat(const QString& id, int dataLen, const QString& dataBuf);
    void onCenterData(const QString& id, int dataLen, const QString& dataBuf);
    // The same packet as bytes, as the engine hands it over besides the text form.
    void onCenterBytes(const QString& id, const QByteArray& bytes);
    // From an engine that delivers to the ports itself: the port part is done.
    void onDelivered(const QString& id, const QByteArray& bytes);
    void onPortSent(const QString& id, const QByteArray& bytes, int result);
    // What the relay must recognise as a reply kept here: the entries that end the dispatch.
    std::vector<ReplyMatcher> replyMatchers() const;

    // Entries that end the dispatch are tried first, in order; the others only when none matched.
    std::vector<ReplyRecognizer> replyRecognizers;

    void connectTo(class ILinkEngine& engine); // every event through the failure reporter

private:
    void writeToPort(const QString& id, const QByteArray& bytes);
    // hex: the packet as received in text form; empty when it came as bytes (made from
    // them only if its line is shown).
    // delivered: the engine wrote it to the port already.
    void dispatchData(const QString& id, const QByteArray& bytes, const QString& hex, bool delivered);
    ConsoleContext& ctx_;
};

inline const char kHeartbeatMarker[] = "4EAA4BEA";
// A received packet's line shows at most this many bytes; the port always gets them all.
inline constexpr int kShownPacketBytes = 1024;

} // namespace dtu
