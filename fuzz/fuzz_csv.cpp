// The CSV that `dtudb import` takes: a row is only accepted well formed.
#include "engines/store/dtucsv.h"

#include <cstdlib>

using namespace dtu;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const DtuCsv csv = ParseDtuCsv(QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)),
                                   QStringLiteral("f.csv"));
    if (!csv.problems.isEmpty()) return 0;
    for (const DtuRow& r : csv.rows) {
        if (r.dtuid.size() != 16 || r.password.size() != 6) std::abort();
        for (const QString* f : {&r.dtuid, &r.password, &r.username, &r.teleno, &r.vcomport})
            for (QChar ch : *f)
                if (ch.category() == QChar::Other_Control) std::abort();
    }
    return 0;
}
