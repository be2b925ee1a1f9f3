#include "ui/dtudialogs.h"

#include <QEvent>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QPushButton>

namespace dtu {

DtuDialog::DtuDialog(RosterCommands& commands, bool edit, QWidget* parent) : QDialog(parent), commands_(commands) {
    auto* form = new QFormLayout;
    auto field = [&](const char* name, const char* label, int max) {
        auto* e = new QLineEdit(this);
        e->setObjectName(QLatin1String(name));
        if (max > 0) e->setMaxLength(max);
        form->addRow(QString::fromUtf8(label), e);
        e->setAccessibleName(QString::fromUtf8(label).trimmed());
        return e;
    };
    idEdit = field("idEdit", "DTUID   ", 16);
    passwordEdit = field("passwordEdit", "登录密码  ", 6);
    nameEdit = field("nameEdit", "设备名称  ", 200);
    simEdit = field("simEdit", "SIM卡号码    ", 0);
    portEdit = field("portEdit", "VCOMM 端口  ", 0);
    idEdit->setReadOnly(edit);
    auto* ok = new QPushButton(edit ? QStringLiteral("确定") : QStringLiteral("新增"), this);
    ok->setObjectName(QStringLiteral("okButton"));
    ok->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("取消"), this);
    cancel->setObjectName(QStringLiteral("cancelButton"));
    connect(ok, &QPushButton::clicked, this, [this] { this->guard([this] { confirm(); }); });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok);
    buttons->addWidget(cancel);
    auto* top = new QVBoxLayout(this);
    top->addLayout(form);
    top->addLayout(buttons);
    setModal(true);
}

DtuFields DtuDialog::fields() const {
    return {idEdit->text(), passwordEdit->text(), nameEdit->text(), simEdit->text(), portEdit->text()};
}

void DtuDialog::setFields(const DtuFields& f) {
    idEdit->setText(f.id);
    passwordEdit->setText(f.password);
    nameEdit->setText(f.name);
    simEdit->setText(f.sim);
    portEdit->setText(f.port);
}

bool DtuDialog::event(QEvent* e) {
    if (e->type() == QEvent::WindowActivate) guard([this] { activated(); });
    return QDialog::event(e);
}

AddDtuDialog::AddDtuDialog(RosterCommands& commands, std::function<void()> reconnect, QWidget* parent)
    : DtuDialog(commands, false, parent), reconnect_(std::move(reconnect)) {
    setObjectName(QStringLiteral("addDialog"));
    setWindowTitle(QStringLiteral("新增DTU"));
    portEdit->setText(QStringLiteral("COM3"));
    setSizeGripEnabled(false);
}

void AddDtuDialog::activated() {
    if (reconnect_) reconnect_();
}

void AddDtuDialog::confirm() {
    DtuFields f = fields();
    if (commands_.confirmAdd(f)) setFields(f);
}

EditDtuDialog::EditDtuDialog(RosterCommands& commands, QWidget* parent) : DtuDialog(commands, true, parent) {
    setObjectName(QStringLiteral("editDialog"));
    setWindowTitle(QStringLiteral("编辑DTU"));
    setSizeGripEnabled(true);
}

void EditDtuDialog::activated() {
    DtuFields f = fields();
    commands_.loadForEdit(f);
    setFields(f);
}

void EditDtuDialog::confirm() {
    DtuFields f = fields();
    if (commands_.confirmEdit(f)) {
        setFields(f);
        accept();
    }
}

} // namespace dtu
