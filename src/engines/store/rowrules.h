#pragma once
// What keeps the DTU table usable: a 16-character ID that can be a topic level, a 6-character
// password, one row per ID (compared as the add dialog does, case aside) and, unless sharing is
// asked for, one DTU per port.
#include "engines/store/dtustore.h"

#include <QStringList>
#include <vector>

namespace dtu {

// The ID is a topic level in every rule and the user name of its session; empty when it can be.
QString WhyNotATopicLevel(const QString& id);

// The field rules; empty when the row may be stored.
QStringList RowProblems(const DtuRow& row);

// A row of `rows` (other than the ID `self`) that this row would clash with: the same ID, or
// the same port when ports are not shared. Empty when none.
QString RowConflict(const std::vector<DtuRow>& rows, const DtuRow& row, bool sharePorts, const QString& self = {});

// The first of COM3, COM4, ... no row holds.
QString FirstFreePort(const std::vector<DtuRow>& rows);

} // namespace dtu
