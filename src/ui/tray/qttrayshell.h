#pragma once
// The tray shell on a desktop: QSystemTrayIcon, its clicks turned into mouse messages.
#include "ui/tray/trayicon.h"

#include <QPointer>
#include <QSystemTrayIcon>
#include <QWidget>

namespace dtu {

class QtTrayShell : public QObject, public TrayShell {
    Q_OBJECT
public:
    explicit QtTrayShell(QWidget* owner);
    void bind(TrayIcon* tray) { tray_ = tray; }
    // A notification from the icon, where the desktop has a notification area.
    void showBalloon(const QString& title, const QString& text) {
        if (icon_.isVisible()) icon_.showMessage(title, text, QSystemTrayIcon::Warning);
    }
    static bool available() { return QSystemTrayIcon::isSystemTrayAvailable(); }

    bool add(const TrayRecord& r) override;
    bool modify(const TrayRecord& r) override;
    bool remove(const TrayRecord& r) override;
    QPoint cursorPos() override;
    int keyState() override;
    bool ownerEnabled() override { return owner_ && owner_->isEnabled(); }
    void ownerToForeground() override;
    bool ownerVisible() override { return owner_ && owner_->isVisible(); }
    bool ownerMaximized() override { return owner_ && owner_->isMaximized(); }
    void ownerRestore() override;
    void ownerFocus() override;
    void processMessages() override;
    void popup(QMenu* menu, QPoint at, PopupAlign align) override;

private:
    QSystemTrayIcon icon_;
    QPointer<QWidget> owner_;
    TrayIcon* tray_ = nullptr;
};

} // namespace dtu
