// A capture file handed to dtusim --replay or dtucap: every accepted record writes back
// as a line that reads the same.
#include "core/capturefile.h"

#include <cstdlib>

using namespace dtu;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const CaptureFile file = ParseCapture(QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)),
                                          QStringLiteral("f.cap"));
    if (!file.error.isEmpty()) {
        if (!file.records.empty() || !file.error.startsWith(QLatin1String("f.cap:"))) std::abort();
        return 0;
    }
    for (const CaptureRecord& r : file.records) {
        CaptureRecord back;
        QString why;
        if (!ParseCaptureLine(FormatCaptureLine(r), &back, &why)) std::abort();
        if (back.bytes != r.bytes || back.usecs != r.usecs || back.toField != r.toField || back.source != r.source)
            std::abort();
    }
    return 0;
}
