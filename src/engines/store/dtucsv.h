#pragma once
// The CSV that `dtudb import` takes: ID,PASSWORD[,NAME[,SIM[,PORT]]] a line, an optional
// header line, blank lines and # comments skipped.
#include "engines/store/dtustore.h"

#include <QByteArray>
#include <QStringList>
#include <vector>

namespace dtu {

struct DtuCsv {
    std::vector<DtuRow> rows;
    QStringList problems; // "<source>:<line>: ..." one a bad field; nothing is imported when any
};

// Splits one CSV line; quotes may hold commas and doubled quotes.
QStringList SplitCsvLine(const QString& line);
DtuCsv ParseDtuCsv(const QByteArray& text, const QString& source);

} // namespace dtu
