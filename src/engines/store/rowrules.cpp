#include "engines/store/rowrules.h"

#include <QSet>

namespace dtu {

QString WhyNotATopicLevel(const QString& id) {
    if (id.isEmpty()) return QStringLiteral("empty ID");
    for (QChar c : id) {
        if (c == QLatin1Char('+') || c == QLatin1Char('#') || c == QLatin1Char('/'))
            return QStringLiteral("ID '%1' holds '%2', which cannot be in a topic level").arg(id, c);
        if (c.unicode() < 0x20 || c == QLatin1Char(':'))
            return QStringLiteral("ID '%1' holds a control character or ':'").arg(id);
    }
    return {};
}

QStringList RowProblems(const DtuRow& r) {
    QStringList problems;
    if (r.dtuid.size() != 16) problems << QStringLiteral("DTU ID must be 16 characters: '%1'").arg(r.dtuid);
    else if (const QString why = WhyNotATopicLevel(r.dtuid); !why.isEmpty()) problems << why;
    if (r.password.size() != 6) problems << QStringLiteral("password must be 6 characters");
    return problems;
}

QString RowConflict(const std::vector<DtuRow>& rows, const DtuRow& row, bool sharePorts, const QString& self) {
    for (const DtuRow& other : rows) {
        if (!self.isEmpty() && other.dtuid.compare(self, Qt::CaseInsensitive) == 0) continue;
        if (other.dtuid.compare(row.dtuid, Qt::CaseInsensitive) == 0)
            return QStringLiteral("DTU %1 is in the table already").arg(other.dtuid);
        if (!sharePorts && !row.vcomport.isEmpty() && other.vcomport == row.vcomport)
            return QStringLiteral("port %1 belongs to DTU %2 (--share-port lets two DTUs share it)").arg(row.vcomport, other.dtuid);
    }
    return {};
}

QString FirstFreePort(const std::vector<DtuRow>& rows) {
    QSet<QString> held;
    for (const DtuRow& r : rows) held.insert(r.vcomport);
    for (int n = 3;; ++n)
        if (const QString name = QStringLiteral("COM%1").arg(n); !held.contains(name)) return name;
}

} // namespace dtu
