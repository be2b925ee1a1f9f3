// The whole inbound dispatch over arbitrary packets: reply recognisers, the signal entry,
// the port write and the data line, in both display modes, from known and unknown DTUs.
#include "common.h"
#include "core/codec.h"

using namespace dtu;
using namespace dtu::fuzz;

namespace {
FakeConsole* g = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    startApp();
    g = new FakeConsole;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t control = data[0];
    const QByteArray packet(reinterpret_cast<const char*>(data + 1), static_cast<qsizetype>(size - 1));
    ConsoleContext& ctx = g->console->ctx;
    ctx.hexDisplay.setChecked(control & 1);
    ctx.showHeartbeats.setChecked(control & 2);
    static const QString ids[] = {kA, kB, kA.toLower(), QStringLiteral("FFFFFFFFFFFFFFFF")};
    const QString& id = ids[(control >> 2) & 3];
    // The engine hands over upper-case hex; anything else must not hurt either.
    const QString text = control & 16 ? QString::fromLatin1(packet) : HexText(packet);
    if (control & 32) g->console->events.onCenterBeat(id, static_cast<int>(packet.size()), text);
    else g->console->events.onCenterData(id, static_cast<int>(packet.size()), text);
    g->tidy();
    return 0;
}
