#include "ui/tray/qttrayshell.h"

#include <QApplication>
#include <QCursor>
#include <QMenu>

namespace dtu {

QtTrayShell::QtTrayShell(QWidget* owner) : owner_(owner) {
    connect(&icon_, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason why) {
        if (!tray_) return;
        auto send = [this](unsigned m) { tray_->handleMessage(kTrayCallbackMessage, 0, m); };
        switch (why) {
        case QSystemTrayIcon::Trigger: send(WM_LBUTTONDOWN); send(WM_LBUTTONUP); break;
        case QSystemTrayIcon::DoubleClick: send(WM_LBUTTONDBLCLK); send(WM_LBUTTONUP); break;
        case QSystemTrayIcon::Context: send(WM_RBUTTONDOWN); send(WM_RBUTTONUP); break;
        case QSystemTrayIcon::MiddleClick: send(WM_MBUTTONDOWN); send(WM_MBUTTONUP); break;
        default: break;
        }
    });
}

bool QtTrayShell::add(const TrayRecord& r) {
    if (!available()) return false;
    icon_.setIcon(r.icon);
    icon_.setToolTip(QString::fromLocal8Bit(r.tip));
    icon_.show();
    return true;
}

bool QtTrayShell::modify(const TrayRecord& r) {
    icon_.setIcon(r.icon);
    icon_.setToolTip(QString::fromLocal8Bit(r.tip));
    return true;
}

bool QtTrayShell::remove(const TrayRecord&) {
    icon_.hide();
    return true;
}

QPoint QtTrayShell::cursorPos() { return QCursor::pos(); }

int QtTrayShell::keyState() {
    const auto m = QApplication::queryKeyboardModifiers();
    return (m & Qt::ShiftModifier ? ssShift : 0) | (m & Qt::ControlModifier ? ssCtrl : 0) | (m & Qt::AltModifier ? ssAlt : 0);
}

void QtTrayShell::ownerToForeground() {
    if (owner_) owner_->activateWindow();
}

void QtTrayShell::ownerRestore() {
    if (owner_) owner_->showNormal();
}

void QtTrayShell::ownerFocus() {
    if (owner_) owner_->setFocus();
}

void QtTrayShell::processMessages() { QCoreApplication::processEvents(); }

void QtTrayShell::popup(QMenu* menu, QPoint at, PopupAlign align) {
    QPoint p = at;
    const int w = menu->sizeHint().width();
    if (align == PopupAlign::paRight) p.rx() -= w;
    else if (align == PopupAlign::paCenter) p.rx() -= w / 2;
    menu->popup(p);
}

} // namespace dtu
