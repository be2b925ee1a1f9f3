#include "ui/dialogs.h"

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
    Edit1 = field("Edit1", "DTUID   ", 16);
    Edit2 = field("Edit2", "登录密码  ", 6);
    Edit3 = field("Edit3", "设备名称  ", 200);
    Edit4 = field("Edit4", "SIM卡号码    ", 0);
    EditCOM = field("EditCOM", "VCOMM 端口  ", 0);
    Edit1->setReadOnly(edit);
    auto* ok = new QPushButton(edit ? QStringLiteral("确定") : QStringLiteral("新增"), this);
    ok->setObjectName(QStringLiteral("suiButton1"));
    ok->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("取消"), this);
    cancel->setObjectName(QStringLiteral("suiButton2"));
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
    return {Edit1->text(), Edit2->text(), Edit3->text(), Edit4->text(), EditCOM->text()};
}

void DtuDialog::setFields(const DtuFields& f) {
    Edit1->setText(f.id);
    Edit2->setText(f.password);
    Edit3->setText(f.name);
    Edit4->setText(f.sim);
    EditCOM->setText(f.port);
}

bool DtuDialog::event(QEvent* e) {
    if (e->type() == QEvent::WindowActivate) guard([this] { activated(); });
    return QDialog::event(e);
}

TfrmAddDTU::TfrmAddDTU(RosterCommands& commands, std::function<void()> reconnect, QWidget* parent)
    : DtuDialog(commands, false, parent), reconnect_(std::move(reconnect)) {
    setObjectName(QStringLiteral("frmAddDTU"));
    setWindowTitle(QStringLiteral("新增DTU"));
    EditCOM->setText(QStringLiteral("COM3"));
    setSizeGripEnabled(false);
}

void TfrmAddDTU::activated() {
    if (reconnect_) reconnect_();
}

void TfrmAddDTU::confirm() {
    DtuFields f = fields();
    if (commands_.confirmAdd(f)) setFields(f);
}

TfrmEdit::TfrmEdit(RosterCommands& commands, QWidget* parent) : DtuDialog(commands, true, parent) {
    setObjectName(QStringLiteral("frmEdit"));
    setWindowTitle(QStringLiteral("编辑DTU"));
    setSizeGripEnabled(true);
}

void TfrmEdit::activated() {
    DtuFields f = fields();
    commands_.loadForEdit(f);
    setFields(f);
}

void TfrmEdit::confirm() {
    DtuFields f = fields();
    if (commands_.confirmEdit(f)) {
        setFields(f);
        accept();
    }
}

} // namespace dtu
