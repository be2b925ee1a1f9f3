#pragma once
#include "core/prompts.h"

#include <QPointer>
#include <QWidget>

namespace dtu {

// Operator decisions as modal dialogs.
class QtPrompts : public Prompts {
public:
    void setParent(QWidget* w) { parent_ = w; }
    void message(const QString& text) override;
    void error(const QString& text) override;
    std::optional<QString> input(const QString& title, const QString& prompt, const QString& value) override;

private:
    QPointer<QWidget> parent_;
};

} // namespace dtu
