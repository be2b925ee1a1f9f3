#pragma once
// Calls into outside systems (engines, database) fail with this; the handler entry
// points catch it and hand it to the failure reporter.
#include <QString>
#include <stdexcept>

namespace dtu {

class Failure : public std::runtime_error {
public:
    explicit Failure(const QString& message) : std::runtime_error(message.toStdString()) {}
    QString text() const { return QString::fromStdString(what()); }
};

} // namespace dtu
