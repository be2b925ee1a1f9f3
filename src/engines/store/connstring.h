#pragma once
// The one place that knows how an ftdb.ini connection string maps to a Qt SQL backend.
#include <QString>

namespace dtu {

struct SqlTarget {
    QString driver;   // QSQLITE, QPSQL, QODBC
    QString databaseName;
    QString host;
    int port = -1;
    QString user;
    QString password;
    QString options;
};

// Throws Failure with a message that names the supported providers.
SqlTarget TranslateConnectionString(const QString& text);

} // namespace dtu
