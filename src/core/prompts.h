#pragma once
// Operator decisions go through this, so the window answers with dialogs and tests
// with a script.
#include <QString>
#include <optional>

namespace dtu {

class Prompts {
public:
    virtual ~Prompts() = default;
    virtual void message(const QString& text) = 0;
    virtual void error(const QString& text) = 0;
    // nullopt when the operator cancels.
    virtual std::optional<QString> input(const QString& title, const QString& prompt, const QString& value) = 0;
};

} // namespace dtu
