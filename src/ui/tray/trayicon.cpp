#include "ui/tray/trayicon.h"

#include <QCoreApplication>
#include <QMetaObject>

namespace dtu {

void TTrayAnimateThread::run() {
    while (!end_) {
        QMetaObject::invokeMethod(tray_, &TrayIcon::step, Qt::QueuedConnection);
        QThread::msleep(tray_->interval());
    }
}

TrayIcon::TrayIcon(TrayShell& shell, QObject* owner, bool designMode)
    : QObject(owner), shell_(shell), design_(designMode) {
    setHint(QStringLiteral("SysTray Component"));
}

TrayIcon::~TrayIcon() {
    destroying_ = true;
    setAnimated(false);
    stopAnimation();
    if (shown_ && shell_.remove(record())) shown_ = false;
}

QIcon TrayIcon::currentPicture() const {
    if (images_ && images_->count() > 0 && animated_) {
        const int i = frame_ >= 0 && frame_ < images_->count() ? frame_ : 0;
        return images_->icons()[i];
    }
    return icon_;
}

TrayRecord TrayIcon::record() const {
    TrayRecord r;
    r.icon = currentPicture();
    r.tip = hint_;
    return r;
}

void TrayIcon::update() {
    const QIcon pic = currentPicture();
    const bool present = !pic.isNull();
    if (shown_) {
        if (present) shell_.modify(record());
        else if (shell_.remove(record())) shown_ = false;
        return;
    }
    if (present && ((design_ && showDesigning_) || (!design_ && active_))) {
        if (shell_.add(record())) shown_ = true;
    }
}

void TrayIcon::setActive(bool v) {
    if (v == active_) return;
    active_ = v;
    leftDown_ = rightDown_ = false;
    if (design_) return;
    if (!v) {
        if (shell_.remove(record())) shown_ = false;
    } else if (shell_.add(record())) {
        shown_ = true;
    }
}

void TrayIcon::setIcon(const QIcon& icon) {
    icon_ = icon;
    update();
}

void TrayIcon::setHint(const QString& hint) {
    hint_ = hint.toLocal8Bit();
    if (hint_.size() >= 64) hint_.truncate(63);
    update();
}

void TrayIcon::setShowDesigning(bool v) {
    if (!design_ || v == showDesigning_) return;
    showDesigning_ = v;
    if (!v) {
        if (shell_.remove(record())) shown_ = false;
    } else {
        update();
    }
}

void TrayIcon::setImages(TrayImageList* images) {
    if (images_) images_->disconnect(this);
    images_ = images;
    if (images) {
        connect(images, &TrayImageList::changed, this, &TrayIcon::update);
        connect(images, &QObject::destroyed, this, [this] { setImages(nullptr); });
    }
}

void TrayIcon::setInterval(quint16 ms) {
    interval_ = ms;
    if (timer_) timer_->setInterval(ms);
}

void TrayIcon::stopAnimation() {
    delete timer_;
    timer_ = nullptr;
    if (thread_) {
        thread_->requestEnd();
        thread_->wait(); // the worker must be gone before the tray can go
        delete thread_;
        thread_ = nullptr;
    }
}

void TrayIcon::setAnimated(bool v) {
    if (v == animated_) return;
    animated_ = v;
    if (v) {
        if (mode_ == AnimateMode::amThread) {
            thread_ = new TTrayAnimateThread(this);
            thread_->start();
        } else {
            timer_ = new QTimer(this);
            timer_->setInterval(interval_.load());
            connect(timer_, &QTimer::timeout, this, &TrayIcon::step);
            timer_->start();
        }
    } else {
        stopAnimation();
    }
    frame_ = 0;
    if (!destroying_) update();
}

void TrayIcon::setAnimateMode(AnimateMode m) {
    if (m == mode_) return;
    if (animated_) setAnimated(false);
    mode_ = m;
}

void TrayIcon::step() {
    if (destroying_ || !animated_) return;
    ++frame_;
    if (!images_ || frame_ >= images_->count()) frame_ = 0;
    update();
}

void TrayIcon::popupCheck(TrayButton b, QPoint at) {
    if (!popupMenu_) return;
    const bool wanted = (b == TrayButton::Left && (popupMode_ & pmLeftClick)) ||
                        (b == TrayButton::Right && (popupMode_ & pmRightClick));
    if (!wanted) return;
    if (shell_.ownerEnabled()) shell_.ownerToForeground();
    if (shell_.ownerVisible()) {
        if (!shell_.ownerMaximized()) shell_.ownerRestore();
        shell_.ownerFocus();
    }
    shell_.processMessages();
    if (popupMenu_) shell_.popup(popupMenu_, at, align_);
}

bool TrayIcon::handleMessage(unsigned message, int iconId, unsigned mouse) {
    if (message != kTrayCallbackMessage || !enabled_) return false;
    if (iconId != 0) return true;
    const QPoint p = shell_.cursorPos();
    const int keys = shell_.keyState();
    const int x = p.x(), y = p.y();
    switch (mouse) {
    case WM_MOUSEMOVE: emit iconMouseMove(keys, x, y); break;
    case WM_LBUTTONDOWN:
        leftDown_ = true;
        emit iconMouseDown(TrayButton::Left, keys | ssLeft, x, y);
        popupCheck(TrayButton::Left, p);
        break;
    case WM_LBUTTONUP:
        if (leftDown_) {
            leftDown_ = false;
            emit iconClick(TrayButton::Left, keys | ssLeft, x, y);
        }
        emit iconMouseUp(TrayButton::Left, keys | ssLeft, x, y);
        break;
    case WM_LBUTTONDBLCLK:
        emit iconDblClick();
        emit iconMouseDown(TrayButton::Left, keys | ssDouble, x, y);
        break;
    case WM_RBUTTONDOWN:
        rightDown_ = true;
        emit iconMouseDown(TrayButton::Right, keys | ssRight, x, y);
        popupCheck(TrayButton::Right, p);
        break;
    case WM_RBUTTONUP:
        if (rightDown_) {
            rightDown_ = false;
            emit iconClick(TrayButton::Right, keys | ssRight, x, y);
        }
        emit iconMouseUp(TrayButton::Right, keys | ssRight, x, y);
        break;
    case WM_RBUTTONDBLCLK:
        emit iconDblClick();
        emit iconMouseDown(TrayButton::Right, keys | ssDouble, x, y);
        break;
    case WM_MBUTTONDOWN: emit iconMouseDown(TrayButton::Middle, keys | ssMiddle, x, y); break;
    case WM_MBUTTONUP: emit iconMouseUp(TrayButton::Middle, keys | ssMiddle, x, y); break;
    case WM_MBUTTONDBLCLK:
        emit iconDblClick();
        emit iconMouseDown(TrayButton::Middle, keys | ssDouble, x, y);
        break;
    default: break;
    }
    return true;
}

} // namespace dtu
