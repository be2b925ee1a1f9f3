#pragma once
// A whole capture file read at once. A line that does not parse (torn by a full disk, say)
// is skipped and named in `skipped`; strict, it makes the whole file an error instead.
#include "core/capture.h"

#include <QString>
#include <QStringList>
#include <vector>

namespace dtu {

struct CaptureFile {
    std::vector<CaptureRecord> records;
    QString error;       // "FILE:LINE: why" (strict) or why the file cannot be read
    QStringList skipped; // "FILE:LINE: why" of each line left out
};

CaptureFile ReadCaptureFile(const QString& path, bool strict = false);
CaptureFile ParseCapture(const QByteArray& text, const QString& name, bool strict = false);

} // namespace dtu
