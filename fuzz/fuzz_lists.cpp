// The three list replies (peer IDs, push IDs, forwarding servers) with arbitrary contents,
// from the DTU they were asked of and from another.
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
    RemoteFunctions& remote = g->console->remote;
    for (TargetKind k : {TargetKind::Peer, TargetKind::Push, TargetKind::Forward}) {
        remote.load(k);
        TargetTab& t = remote.tab(k);
        t.sourceSelection.select(t.sources.index(0, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
        remote.pick(k); // A becomes the tab's source
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    static const char* const prefixes[] = {"DSTLIST=", "WXIDS=", "JPIDS="};
    const QByteArray reply = QByteArray(prefixes[data[0] % 3]) +
                             QByteArray(reinterpret_cast<const char*>(data + 1), static_cast<qsizetype>(size - 1));
    const QString& from = data[0] & 0x80 ? kB : kA;
    g->console->events.onCenterData(from, static_cast<int>(reply.size()), HexText(reply));
    // What a reply filled in must make a well-formed "设置" command again.
    if (from == kA && (data[0] & 0x40)) g->console->remote.set(static_cast<TargetKind>(data[0] % 3));
    { auto& t = g->console->remote.tab(TargetKind::Peer).targets; t.removeRows(0, t.rowCount()); }
    g->tidy();
    return 0;
}
