#include "ui/tray/trayicon.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QPainter>
#include <QPixmap>
#include <QSignalSpy>
#include <gtest/gtest.h>

using namespace dtu;

namespace {

class FakeShell : public TrayShell {
public:
    QStringList calls;
    QList<TrayRecord> records;
    bool accept = true;
    bool add(const TrayRecord& r) override { return log("add", r); }
    bool modify(const TrayRecord& r) override { return log("modify", r); }
    bool remove(const TrayRecord& r) override { return log("remove", r); }
    QPoint cursorPos() override { return {10, 20}; }
    int keyState() override { return ssShift; }
    bool ownerEnabled() override { return true; }
    void ownerToForeground() override { calls << "foreground"; }
    bool ownerVisible() override { return true; }
    bool ownerMaximized() override { return false; }
    void ownerRestore() override { calls << "restore"; }
    void ownerFocus() override { calls << "focus"; }
    void processMessages() override { calls << "process"; }
    void popup(QMenu*, QPoint at, PopupAlign) override { calls << QString("popup %1,%2").arg(at.x()).arg(at.y()); }

private:
    bool log(const char* what, const TrayRecord& r) {
        calls << what;
        records << r;
        return accept;
    }
};

QIcon coloured(Qt::GlobalColor c) {
    QPixmap pm(16, 16);
    pm.fill(c);
    return QIcon(pm);
}

// Mouse events in order, as "down L", "click L", "up L", "dbl", with shift flags.
struct Recorder {
    QStringList events;
    explicit Recorder(TrayIcon& t) {
        auto name = [](TrayButton b) { return b == TrayButton::Left ? "L" : b == TrayButton::Right ? "R" : "M"; };
        QObject::connect(&t, &TrayIcon::iconMouseDown, [=, this](TrayButton b, int s, int, int) { events << QString("down %1 %2").arg(name(b)).arg(s); });
        QObject::connect(&t, &TrayIcon::iconMouseUp, [=, this](TrayButton b, int s, int, int) { events << QString("up %1 %2").arg(name(b)).arg(s); });
        QObject::connect(&t, &TrayIcon::iconClick, [=, this](TrayButton b, int s, int, int) { events << QString("click %1 %2").arg(name(b)).arg(s); });
        QObject::connect(&t, &TrayIcon::iconDblClick, [this] { events << "dbl"; });
        QObject::connect(&t, &TrayIcon::iconMouseMove, [this](int s, int x, int y) { events << QString("move %1 %2,%3").arg(s).arg(x).arg(y); });
    }
};

} // namespace

TEST(Tray, HintIsCutTo63Bytes) {
    FakeShell shell;
    TrayIcon tray(shell);
    EXPECT_EQ(tray.hint(), "SysTray Component");
    for (auto [len, kept] : {std::pair{63, 63}, std::pair{64, 63}, std::pair{70, 63}, std::pair{10, 10}}) {
        tray.setHint(QString(len, 'h'));
        EXPECT_EQ(tray.hint().size(), kept) << len;
    }
}

TEST(Tray, IconStateFollowsActiveAndPicture) {
    FakeShell shell;
    TrayIcon tray(shell);
    tray.setIcon(coloured(Qt::blue)); // not active: nothing added
    EXPECT_TRUE(shell.calls.isEmpty());
    TrayIcon empty(shell);
    shell.calls.clear();
    empty.setActive(true);            // added even without a picture
    EXPECT_EQ(shell.calls, QStringList{"add"});
    EXPECT_TRUE(empty.shown());
    empty.setIcon(coloured(Qt::red)); // then modified, not added twice
    EXPECT_EQ(shell.calls.last(), "modify");
    empty.setIcon(QIcon());           // empty picture while shown: removed
    EXPECT_EQ(shell.calls.last(), "remove");
    EXPECT_FALSE(empty.shown());

    FakeShell refusing;
    refusing.accept = false;
    TrayIcon t2(refusing);
    t2.setActive(true);
    EXPECT_FALSE(t2.shown());
    t2.setIcon(coloured(Qt::red));    // tries again: not shown yet, picture present, active
    EXPECT_EQ(refusing.calls, (QStringList{"add", "add"}));
}

TEST(Tray, MouseMessageTable) {
    FakeShell shell;
    TrayIcon tray(shell);
    QMenu menu;
    tray.setPopupMenu(&menu);
    Recorder r(tray);
    for (unsigned m : {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_LBUTTONUP})
        EXPECT_TRUE(tray.handleMessage(kTrayCallbackMessage, 0, m));
    const int S = ssShift;
    EXPECT_EQ(r.events, (QStringList{QString("down L %1").arg(S | ssLeft), QString("click L %1").arg(S | ssLeft),
                                     QString("up L %1").arg(S | ssLeft), "dbl", QString("down L %1").arg(S | ssDouble),
                                     QString("up L %1").arg(S | ssLeft)}));
    EXPECT_FALSE(shell.calls.join(",").contains("popup")); // left press opens no menu by default

    r.events.clear();
    tray.handleMessage(kTrayCallbackMessage, 0, WM_RBUTTONDOWN);
    EXPECT_EQ(r.events, QStringList{QString("down R %1").arg(S | ssRight)});
    EXPECT_EQ(shell.calls.mid(shell.calls.size() - 5), (QStringList{"foreground", "restore", "focus", "process", "popup 10,20"}));

    r.events.clear();
    tray.handleMessage(kTrayCallbackMessage, 0, WM_MBUTTONDOWN);
    tray.handleMessage(kTrayCallbackMessage, 0, WM_MBUTTONUP);
    tray.handleMessage(kTrayCallbackMessage, 0, WM_MOUSEMOVE);
    EXPECT_EQ(r.events, (QStringList{QString("down M %1").arg(S | ssMiddle), QString("up M %1").arg(S | ssMiddle),
                                     QString("move %1 10,20").arg(S)}));

    r.events.clear();
    EXPECT_TRUE(tray.handleMessage(kTrayCallbackMessage, 1, WM_LBUTTONDOWN)); // icon 1: ignored
    EXPECT_FALSE(tray.handleMessage(0x400, 0, WM_LBUTTONDOWN));               // not ours
    tray.setEnabled(false);
    EXPECT_FALSE(tray.handleMessage(kTrayCallbackMessage, 0, WM_RBUTTONDOWN));
    EXPECT_TRUE(r.events.isEmpty());

    tray.setEnabled(true);
    tray.setPopupMode(0);
    shell.calls.clear();
    tray.handleMessage(kTrayCallbackMessage, 0, WM_RBUTTONDOWN);
    EXPECT_FALSE(shell.calls.join(",").contains("popup"));
}

TEST(Tray, TimerAnimationCyclesFrames) {
    FakeShell shell;
    TrayIcon tray(shell);
    TrayImageList images;
    images.setIcons({coloured(Qt::red), coloured(Qt::green), coloured(Qt::blue)});
    tray.setImages(&images);
    const QIcon still = coloured(Qt::black);
    tray.setIcon(still);
    tray.setActive(true);
    tray.setAnimated(true);
    QList<int> frames{tray.frameIndex()};
    for (int i = 0; i < 4; ++i) {
        tray.step();
        frames << tray.frameIndex();
    }
    EXPECT_EQ(frames, (QList<int>{0, 1, 2, 0, 1}));
    tray.setAnimated(false);
    EXPECT_EQ(tray.currentPicture().cacheKey(), still.cacheKey()); // the still icon again
    EXPECT_EQ(tray.frameIndex(), 0);

    tray.setAnimated(true);
    tray.setAnimateMode(AnimateMode::amThread); // changing the mode stops the animation
    EXPECT_FALSE(tray.animated());
}

TEST(Tray, ThreadAnimationStepsOnTheGuiThreadAndStopsCleanly) {
    FakeShell shell;
    auto tray = std::make_unique<TrayIcon>(shell);
    TrayImageList images;
    images.setIcons({coloured(Qt::red), coloured(Qt::green)});
    tray->setImages(&images);
    tray->setActive(true);
    tray->setAnimateMode(AnimateMode::amThread);
    tray->setInterval(5);
    tray->setAnimated(true);
    QElapsedTimer t;
    t.start();
    int modifies = 0;
    while (t.elapsed() < 300 && modifies < 5) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        modifies = static_cast<int>(shell.calls.count("modify"));
    }
    EXPECT_GE(modifies, 5);
    tray.reset(); // waits for the worker
    SUCCEED();
}

TEST(Tray, ForgetsDestroyedImagesAndMenu) {
    FakeShell shell;
    TrayIcon tray(shell);
    auto* images = new TrayImageList;
    auto* menu = new QMenu;
    tray.setImages(images);
    tray.setPopupMenu(menu);
    delete images;
    delete menu;
    EXPECT_EQ(tray.images(), nullptr);
    EXPECT_EQ(tray.popupMenu(), nullptr);
}
