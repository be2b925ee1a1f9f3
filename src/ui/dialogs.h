#pragma once
// The add and edit dialogs: fields and buttons; the steps live in RosterCommands.
#include "console/roster/commands.h"

#include <QDialog>
#include <QLineEdit>
#include <functional>

namespace dtu {

class DtuDialog : public QDialog {
    Q_OBJECT
public:
    DtuDialog(RosterCommands& commands, bool edit, QWidget* parent = nullptr);
    QLineEdit* Edit1;
    QLineEdit* Edit2;
    QLineEdit* Edit3;
    QLineEdit* Edit4;
    QLineEdit* EditCOM;
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

class TfrmAddDTU : public DtuDialog {
    Q_OBJECT
public:
    TfrmAddDTU(RosterCommands& commands, std::function<void()> reconnect, QWidget* parent = nullptr);

protected:
    void activated() override;
    void confirm() override;

private:
    std::function<void()> reconnect_;
};

class TfrmEdit : public DtuDialog {
    Q_OBJECT
public:
    explicit TfrmEdit(RosterCommands& commands, QWidget* parent = nullptr);

protected:
    void activated() override;
    void confirm() override;
};

} // namespace dtu
