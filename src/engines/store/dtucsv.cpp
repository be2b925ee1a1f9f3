#include "engines/store/dtucsv.h"

#include <algorithm>

namespace dtu {

QStringList SplitCsvLine(const QString& line) {
    QStringList fields;
    QString cur;
    bool quoted = false;
    for (qsizetype i = 0; i < line.size(); ++i) {
        const QChar c = line[i];
        if (quoted) {
            if (c == QLatin1Char('"') && i + 1 < line.size() && line[i + 1] == QLatin1Char('"')) {
                cur += c;
                ++i;
            } else if (c == QLatin1Char('"')) {
                quoted = false;
            } else {
                cur += c;
            }
        } else if (c == QLatin1Char('"')) {
            quoted = true;
        } else if (c == QLatin1Char(',')) {
            fields << cur;
            cur.clear();
        } else {
            cur += c;
        }
    }
    fields << cur;
    for (QString& f : fields) f = f.trimmed();
    return fields;
}

namespace {
// A table that may be shared must not get names that break a line of output or a path.
bool hasControl(const QString& s) {
    return std::any_of(s.cbegin(), s.cend(), [](QChar c) { return c.category() == QChar::Other_Control; });
}
} // namespace

DtuCsv ParseDtuCsv(const QByteArray& text, const QString& source) {
    DtuCsv out;
    const QStringList lines = QString::fromUtf8(text).split(QLatin1Char('\n'));
    for (qsizetype i = 0; i < lines.size(); ++i) {
        QString line = lines[i];
        if (line.endsWith(QLatin1Char('\r'))) line.chop(1);
        const qsizetype lineNo = i + 1;
        if (line.trimmed().isEmpty() || line.trimmed().startsWith(QLatin1Char('#'))) continue;
        const QStringList c = SplitCsvLine(line);
        if (lineNo == 1 && c.value(0).compare(QLatin1String("dtuid"), Qt::CaseInsensitive) == 0) continue;
        DtuRow r;
        r.dtuid = c.value(0);
        r.password = c.value(1);
        r.username = c.value(2);
        r.teleno = c.value(3);
        r.vcomport = c.value(4);
        const QString at = QStringLiteral("%1:%2: ").arg(source).arg(lineNo);
        if (r.dtuid.size() != 16) out.problems << at + QStringLiteral("DTU ID '%1' must be 16 characters").arg(r.dtuid);
        if (r.password.size() != 6) out.problems << at + QStringLiteral("password must be 6 characters");
        for (const QString* f : {&r.dtuid, &r.password, &r.username, &r.teleno, &r.vcomport})
            if (hasControl(*f)) {
                out.problems << at + QStringLiteral("control characters are not allowed");
                break;
            }
        out.rows.push_back(r);
    }
    return out;
}

} // namespace dtu
