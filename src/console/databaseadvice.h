#pragma once
// What an administrator should do about a DTU table that cannot be read: a missing table,
// a file the program's user may not read (whose it is and its mode), a server not up yet.
#include <QString>

namespace dtu {

struct ConfigPaths;
class DtuStore;

QString DatabaseAdvice(const QString& cause, const ConfigPaths& paths, const DtuStore& store);

} // namespace dtu
