#pragma once
// The table's backends as test parameters: "sqlite" (a file in the test's folder) and
// "postgresql" (the server DTU_TEST_PG names).
#include <QString>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace dtu::test {

// Empty for PostgreSQL when DTU_TEST_PG is not set.
inline QString backendConnection(const QString& backend, const QTemporaryDir& dir) {
    if (backend == QLatin1String("sqlite")) return "Provider=SQLite;Data Source=" + dir.filePath("dtu.db");
    return QString::fromLocal8Bit(qgetenv("DTU_TEST_PG"));
}

} // namespace dtu::test

// Sets conn for the backend; without one the test is skipped, or fails when DTU_REQUIRE_PG
// says the server must be there (as scripts/test does).
#define DTU_BACKEND_OR_SKIP(conn, backend, dir)                                                         \
    conn = ::dtu::test::backendConnection(backend, dir);                                                \
    if (conn.isEmpty()) {                                                                               \
        if (qEnvironmentVariableIsSet("DTU_REQUIRE_PG")) FAIL() << "DTU_TEST_PG is not set but required"; \
        GTEST_SKIP() << "set DTU_TEST_PG to a PostgreSQL connection string to run";                     \
    }
