#include "ui/qtprompts.h"

#include <QApplication>
#include <QInputDialog>
#include <QMessageBox>

namespace dtu {

void QtPrompts::message(const QString& text) {
    QMessageBox::information(parent_, QApplication::applicationDisplayName(), text);
}

void QtPrompts::error(const QString& text) {
    QMessageBox::critical(parent_, QApplication::applicationDisplayName(), text);
}

std::optional<QString> QtPrompts::input(const QString& title, const QString& prompt, const QString& value) {
    bool ok = false;
    const QString v = QInputDialog::getText(parent_, title, prompt, QLineEdit::Normal, value, &ok);
    if (!ok) return std::nullopt;
    return v;
}

} // namespace dtu
