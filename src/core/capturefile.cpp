#include "core/capturefile.h"

#include <QFile>
#include <QFileInfo>

namespace dtu {

CaptureFile ParseCapture(const QByteArray& text, const QString& name, bool strict) {
    CaptureFile out;
    int lineNo = 0;
    qsizetype start = 0;
    while (start < text.size()) {
        qsizetype end = text.indexOf('\n', start);
        if (end < 0) end = text.size();
        const QByteArray line = text.mid(start, end - start);
        start = end + 1;
        ++lineNo;
        if (line.trimmed().isEmpty()) continue;
        CaptureRecord r;
        QString why;
        if (!ParseCaptureLine(line, &r, &why)) {
            const QString where = QStringLiteral("%1:%2: %3").arg(name).arg(lineNo).arg(why);
            if (!strict) {
                out.skipped << where;
                continue;
            }
            out.records.clear();
            out.error = where;
            return out;
        }
        out.records.push_back(std::move(r));
    }
    return out;
}

CaptureFile ReadCaptureFile(const QString& path, bool strict) {
    CaptureFile out;
    // Only a file has an end: a device or a pipe (/dev/zero) would be read for ever.
    const QFileInfo info(path);
    if (info.exists() && !info.isFile()) {
        out.error = QStringLiteral("%1: 不是普通文件 (not a regular file)").arg(path);
        return out;
    }
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        out.error = QStringLiteral("%1: %2").arg(path, f.errorString());
        return out;
    }
    return ParseCapture(f.readAll(), path, strict);
}

} // namespace dtu
