#pragma once
// The console's commands and options without a screen: text, enabled and checked states
// with signals. The window binds a QAction to each; a service has none and needs none.
#include <QObject>
#include <QString>

namespace dtu {

class ConsoleAction : public QObject {
    Q_OBJECT
public:
    explicit ConsoleAction(QString text, QObject* parent = nullptr) : QObject(parent), text_(std::move(text)) {}

    QString text() const { return text_; }
    bool isEnabled() const { return enabled_; }
    bool isCheckable() const { return checkable_; }
    bool isChecked() const { return checked_; }
    void setEnabled(bool on);
    void setCheckable(bool on);
    void setChecked(bool on);
    // As a click on it: a disabled one does nothing, a checkable one changes its check mark.
    void trigger();

signals:
    void changed();
    void toggled(bool checked);
    void triggered(bool checked);

private:
    QString text_;
    bool enabled_ = true;
    bool checkable_ = false;
    bool checked_ = false;
};

// A text an operator edits (the send box, a list tab's text); the window mirrors it.
class PlainText : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    QString toPlainText() const { return text_; }
    bool isEmpty() const { return text_.isEmpty(); }
    void setPlainText(const QString& text);
    void clear() { setPlainText(QString()); }

signals:
    void changed(const QString& text);

private:
    QString text_;
};

} // namespace dtu
