// Command frames and the signal reply: recognised only when well formed, and every frame
// the console builds reads back as itself.
#include "core/frame.h"

#include <cstdlib>

using namespace dtu;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    (void)LooksLikeSignalReply(bytes);
    const auto value = SignalValue(bytes);
    if (value && (bytes.size() != 9 || *value < 0 || *value > 255)) std::abort();
    if (size >= 2) {
        const std::uint16_t word = static_cast<std::uint16_t>(data[0] << 8 | data[1]);
        const QByteArray payload = bytes.mid(2, 300);
        const QByteArray frame = BuildCommandFrame(word, payload);
        if (frame.size() != payload.size() + 8 || !frame.startsWith("\xAA\x55")) std::abort();
        if (word == CommandWord(kCmdReadSignal) && payload.size() == 1) {
            const auto v = SignalValue(frame);
            if (!v || *v != static_cast<std::uint8_t>(payload[0])) std::abort();
        }
    }
    return 0;
}
