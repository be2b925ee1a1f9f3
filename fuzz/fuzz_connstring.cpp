// ftdb.ini's connection string, whatever the file holds.
#include "core/errors.h"
#include "engines/store/connstring.h"

using namespace dtu;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    try {
        (void)TranslateConnectionString(text);
    } catch (const Failure&) {
        // refused with a message: fine
    }
    return 0;
}
