#pragma once
// The add and edit dialogs: fields and buttons; the steps live in RosterCommands.
#include "console/roster/rostercommands.h"

#include <QDialog>
#include <QLineEdit>
#include <functional>

namespace dtu {

class DtuDialog : public QDialog {
    Q_OBJECT
public:
    DtuDialog(RosterCommands& commands, bool edit, QWidget* parent = nullptr);
    QLineEdit* idEdit;
    QLineEdit* passwordEdit;
    QLineEdit* nameEdit;
    QLineEdit* simEdit;
    QLineEdit* portEdit;
    // Runs each step through the failure reporter.
    std::function<void(const std::function<void()>&)> guard = [](const std::function<void()>& f) { f(); };
    DtuFields fields() const;
    void setFields(const DtuFields& f);

protected:
    bool event(QEvent* e) override;
    virtual void activated() = 0;
    virtual void confirm() = 0;
    RosterCommands& commands_;
};

class AddDtuDialog : public DtuDialog {
    Q_OBJECT
public:
    AddDtuDialog(RosterCommands& commands, std::function<void()> reconnect, QWidget* parent = nullptr);

protected:
    void activated() override;
    void confirm() override;

private:
    std::function<void()> reconnect_;
};

class EditDtuDialog : public DtuDialog {
    Q_OBJECT
public:
    explicit EditDtuDialog(RosterCommands& commands, QWidget* parent = nullptr);

protected:
    void activated() override;
    void confirm() override;
};

} // namespace dtu
