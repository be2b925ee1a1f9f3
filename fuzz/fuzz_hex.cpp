// Hex text from outside: the engine's data events, the operator's send box.
#include "core/codec.h"

#include <cstdlib>

using namespace dtu;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    // Every byte string survives the trip through the engine's hex text.
    if (HexToBytes(QStringView(HexText(bytes))) != bytes) std::abort();
    if (HexToBytes(BytesToHex(bytes)) != bytes) std::abort();
    // The console's own spaced form is good operator input for the same bytes.
    const HexInput spaced = ParseHexInput(QString::fromLatin1(BytesToHexSpaced(bytes)));
    if (!spaced.error.isEmpty() || spaced.bytes != bytes) std::abort();
    // Arbitrary text: decoded by position, or checked and named.
    if (HexToBytes(bytes).size() != bytes.size() / 2) std::abort();
    const QString text = QString::fromUtf8(bytes);
    if (HexToBytes(QStringView(text)).size() != text.size() / 2) std::abort();
    const HexInput typed = ParseHexInput(text);
    if (typed.error.isEmpty() == false && !typed.bytes.isEmpty()) std::abort();
    if (typed.error.isEmpty() && typed.bytes.size() * 2 > text.size()) std::abort();
    (void)HexToInt(bytes);
    return 0;
}
