#pragma once
// A whole capture file read at once: every line must parse, or nothing is used.
#include "core/capture.h"

#include <QString>
#include <vector>

namespace dtu {

struct CaptureFile {
    std::vector<CaptureRecord> records;
    QString error; // "FILE:LINE: why", empty when every line parsed
};

CaptureFile ReadCaptureFile(const QString& path);
CaptureFile ParseCapture(const QByteArray& text, const QString& name);

} // namespace dtu
