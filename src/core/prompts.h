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

// Forwards to the operator's prompts, unless someone else answers for a while: a web request's
// messages go back to its browser, not into a box on the console's screen.
class PromptRouter : public Prompts {
public:
    explicit PromptRouter(Prompts& operatorPrompts) : target_(&operatorPrompts) {}
    void message(const QString& text) override { target_->message(text); }
    void error(const QString& text) override { target_->error(text); }
    std::optional<QString> input(const QString& title, const QString& prompt, const QString& value) override {
        return target_->input(title, prompt, value);
    }
    // Until the returned one is put back.
    Prompts* divert(Prompts* to) {
        Prompts* old = target_;
        target_ = to;
        return old;
    }

private:
    Prompts* target_;
};

} // namespace dtu
