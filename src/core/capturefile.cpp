#include "core/capturefile.h"

#include <QFile>

namespace dtu {

CaptureFile ParseCapture(const QByteArray& text, const QString& name) {
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
            out.records.clear();
            out.error = QStringLiteral("%1:%2: %3").arg(name).arg(lineNo).arg(why);
            return out;
        }
        out.records.push_back(std::move(r));
    }
    return out;
}

CaptureFile ReadCaptureFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        CaptureFile out;
        out.error = QStringLiteral("%1: %2").arg(path, f.errorString());
        return out;
    }
    return ParseCapture(f.readAll(), path);
}

} // namespace dtu
