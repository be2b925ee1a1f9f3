#pragma once
// The notification-area icon: its state, the mouse-message table, the popup rule and
// the animation, with the platform behind TrayShell so the logic runs without a desktop.
#include <QIcon>
#include <QObject>
#include <QPoint>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <atomic>

#include <QMenu>

namespace dtu {

enum class AnimateMode { amTimer, amThread };
enum PopupModeFlag { pmLeftClick = 1, pmRightClick = 2 };
enum class PopupAlign { paLeft, paRight, paCenter };
enum class TrayButton { Left, Right, Middle };
enum ShiftFlag { ssShift = 1, ssAlt = 2, ssCtrl = 4, ssLeft = 8, ssRight = 16, ssMiddle = 32, ssDouble = 64 };

inline constexpr unsigned kTrayCallbackMessage = 0xB064;
enum TrayMouse : unsigned {
    WM_MOUSEMOVE = 0x200, WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_RBUTTONDOWN, WM_RBUTTONUP,
    WM_RBUTTONDBLCLK, WM_MBUTTONDOWN, WM_MBUTTONUP, WM_MBUTTONDBLCLK
};

// What the shell is handed: the notification record.
struct TrayRecord {
    int size = 88;
    int iconId = 0;
    unsigned callbackMessage = kTrayCallbackMessage;
    int flags = 7;
    QIcon icon;
    QByteArray tip; // at most 63 bytes
};

class TrayShell {
public:
    virtual ~TrayShell() = default;
    virtual bool add(const TrayRecord& r) = 0;
    virtual bool modify(const TrayRecord& r) = 0;
    virtual bool remove(const TrayRecord& r) = 0;
    virtual QPoint cursorPos() = 0;
    virtual int keyState() = 0; // ssShift | ssCtrl | ssAlt
    virtual bool ownerEnabled() = 0;
    virtual void ownerToForeground() = 0;
    virtual bool ownerVisible() = 0;
    virtual bool ownerMaximized() = 0;
    virtual void ownerRestore() = 0;
    virtual void ownerFocus() = 0;
    virtual void processMessages() = 0;
    virtual void popup(QMenu* menu, QPoint at, PopupAlign align) = 0;
};

// Pictures for the animation; tells the tray when they change.
class TrayImageList : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    void setIcons(QList<QIcon> icons) {
        icons_ = std::move(icons);
        emit changed();
    }
    const QList<QIcon>& icons() const { return icons_; }
    int count() const { return static_cast<int>(icons_.size()); }

signals:
    void changed();

private:
    QList<QIcon> icons_;
};

class TrayIcon;

// Times the animation off the GUI thread; every step is handed to the GUI thread.
class TTrayAnimateThread : public QThread {
    Q_OBJECT
public:
    explicit TTrayAnimateThread(TrayIcon* tray) : tray_(tray) {}
    void requestEnd() { end_ = true; }

protected:
    void run() override;

private:
    TrayIcon* tray_;
    std::atomic<bool> end_{false};
};

class TrayIcon : public QObject {
    Q_OBJECT
public:
    TrayIcon(TrayShell& shell, QObject* owner = nullptr, bool designMode = false);
    ~TrayIcon() override;

    void setActive(bool v);
    bool active() const { return active_; }
    void setIcon(const QIcon& icon);
    void setHint(const QString& hint);
    QByteArray hint() const { return hint_; }
    void setAnimated(bool v);
    bool animated() const { return animated_; }
    void setAnimateMode(AnimateMode m);
    AnimateMode animateMode() const { return mode_; }
    void setInterval(quint16 ms);
    quint16 interval() const { return interval_.load(); }
    void setShowDesigning(bool v);
    void setImages(TrayImageList* images);
    TrayImageList* images() const { return images_; }
    void setPopupMenu(QMenu* m) { popupMenu_ = m; }
    QMenu* popupMenu() const { return popupMenu_; }
    void setPopupMode(int flags) { popupMode_ = flags; }
    void setPopupAlign(PopupAlign a) { align_ = a; }
    void setEnabled(bool v) { enabled_ = v; }

    bool shown() const { return shown_; }
    int frameIndex() const { return frame_; }
    QIcon currentPicture() const;

    // The hidden window's message procedure: true when the message was ours.
    bool handleMessage(unsigned message, int iconId, unsigned mouseMessage);

    void step(); // one animation step (timer tick, or handed over from the thread)

signals:
    void iconClick(TrayButton button, int shift, int x, int y);
    void iconDblClick();
    void iconMouseMove(int shift, int x, int y);
    void iconMouseDown(TrayButton button, int shift, int x, int y);
    void iconMouseUp(TrayButton button, int shift, int x, int y);

private:
    void update(); // the icon update
    TrayRecord record() const;
    void popupCheck(TrayButton b, QPoint at);
    void stopAnimation();

    TrayShell& shell_;
    bool design_;
    bool destroying_ = false;
    bool active_ = false, animated_ = false, enabled_ = true, showDesigning_ = false, shown_ = false;
    bool leftDown_ = false, rightDown_ = false;
    AnimateMode mode_ = AnimateMode::amTimer;
    std::atomic<quint16> interval_{200}; // read by the animation worker too
    QIcon icon_;
    QByteArray hint_;
    QPointer<TrayImageList> images_;
    QPointer<QMenu> popupMenu_;
    int popupMode_ = pmRightClick;
    PopupAlign align_ = PopupAlign::paRight;
    int frame_ = -1;
    QTimer* timer_ = nullptr;
    TTrayAnimateThread* thread_ = nullptr;
};

} // namespace dtu
