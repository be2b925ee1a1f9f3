#include "console/display/consoleaction.h"

namespace dtu {

void ConsoleAction::setEnabled(bool on) {
    if (enabled_ == on) return;
    enabled_ = on;
    emit changed();
}

void ConsoleAction::setCheckable(bool on) {
    if (checkable_ == on) return;
    checkable_ = on;
    if (!on) checked_ = false;
    emit changed();
}

void ConsoleAction::setChecked(bool on) {
    if (!checkable_ || checked_ == on) return;
    checked_ = on;
    emit changed();
    emit toggled(on);
}

void ConsoleAction::trigger() {
    if (!enabled_) return;
    if (checkable_) setChecked(!checked_);
    emit triggered(checked_);
}

void PlainText::setPlainText(const QString& text) {
    // As a text box holds it: one kind of line break, plain blanks.
    QString t = text;
    t.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    for (QChar c : {QChar(QLatin1Char('\r')), QChar(QChar::ParagraphSeparator), QChar(QChar::LineSeparator)})
        t.replace(c, QLatin1Char('\n'));
    t.replace(QChar::Nbsp, QLatin1Char(' '));
    if (text_ == t) return;
    text_ = t;
    emit changed(text_);
}

} // namespace dtu
