// The main window's frame, offscreen: what the operator sees and the close rules.
#include "ui/mainwindow.h"
#include "support/consolefixture.h"

#include <QMenuBar>
#include <QSignalSpy>
#include <QStatusBar>
#include <QSystemTrayIcon>

using namespace dtu;
using namespace dtu::test;

class Window : public ConsoleFixture {
protected:
    std::unique_ptr<MainWindow> window;
    void open() {
        start({{"0000000000000001", "a", "COM3"}});
        window = std::make_unique<MainWindow>(*console);
    }
    QStringList menuTexts(int top) {
        QStringList out;
        const QList<QAction*> tops = window->menuBar()->actions();
        for (QAction* a : tops[top]->menu()->actions()) out << (a->isSeparator() ? "-" : a->text());
        return out;
    }
};

TEST_F(Window, Frame) {
    open();
    EXPECT_EQ(window->windowTitle(), "ZorbelinDTU管理软件 V1.2");
    ASSERT_EQ(window->tabs->count(), 4);
    EXPECT_EQ(window->tabs->tabText(0), "云透传  ");
    EXPECT_EQ(window->tabs->tabText(1), "云组网  ");
    EXPECT_FALSE(window->tabs->isTabVisible(1));
    EXPECT_EQ(window->tabs->tabText(2), "云推送");
    EXPECT_EQ(window->tabs->tabText(3), "云转发");
    EXPECT_EQ(window->statusPanels[0]->text(), "在线设备总数");
    EXPECT_EQ(window->statusPanels[2]->text(), "操作结果");
    EXPECT_EQ(menuTexts(0), (QStringList{"启动服务", "停止服务", "设置端口号", "获取控件版本信息", "退出系统"}));
    EXPECT_EQ(menuTexts(1), (QStringList{"新增DTU", "编辑DTU", "-", "删除DTU", "-", "关闭DTU", "关闭全部DTU", "-", "-",
                                         "数据统计清零", "HEX格式显示", "显示数据附加提示", "清空信息显示区",
                                         "显示心跳信息", "重新载入DTU记录"}));
    QStringList popup;
    for (QAction* a : window->deviceMenu->actions()) popup << a->text();
    EXPECT_EQ(popup, (QStringList{"读取时钟", "设置时钟", "读取信号强度"}));
    EXPECT_EQ(window->showWindowAction->text(), "显示主窗口");
    EXPECT_EQ(window->trayExitAction->text(), "退出");
    EXPECT_EQ(window->deviceView->model()->headerData(0, Qt::Horizontal).toString(), "DTU身份ID");
    EXPECT_TRUE(window->deviceView->isColumnHidden(3));
    EXPECT_EQ(window->deviceView->model()->rowCount(), 1);
}

TEST_F(Window, ClosingWhileRunningNeverLeavesAnUnreachableProgram) {
    open();
    window->show();
    ASSERT_TRUE(ctx().serviceRunning());
    EXPECT_FALSE(window->close()); // refused: the service runs
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        EXPECT_FALSE(window->isVisible()); // lives on in the tray
    } else {
        EXPECT_TRUE(window->isVisible()); // no tray: minimised, and the log says why
        EXPECT_TRUE(ctx().logQueue.lines().front().contains("托盘"));
    }
    console->serviceStop();
    QSignalSpy quit(console.get(), &Console::quitRequested);
    EXPECT_TRUE(window->close());
    EXPECT_EQ(ctx().roster.count(), 0); // ports torn down on the way out
    EXPECT_EQ(quit.count(), 1);          // and the program ends: nothing could bring the window back
}

TEST_F(Window, MessageDisplayAndLogShowUp) {
    open();
    ctx().logQueue.PostLog("first");
    ctx().logQueue.PostLog("second");
    EXPECT_EQ(window->logView->item(0)->text(), "second");
    ctx().messageDisplay.append("line");
    ctx().messageDisplay.flush();
    EXPECT_TRUE(window->messageView->toPlainText().endsWith("line"));
}

// The view is edited in place (oldest lines cut from the top, new ones added at the end),
// never rebuilt: after any mix of both it must read exactly as the display's lines.
TEST_F(Window, MessageViewStaysInStepWithTheDisplay) {
    open();
    MessageDisplay& d = ctx().messageDisplay;
    d.clear();
    const auto shown = [&] { return window->messageView->toPlainText(); };
    int n = 0;
    const auto add = [&](int count) {
        for (int i = 0; i < count; ++i) d.append(QStringLiteral("line %1").arg(++n));
    };
    struct Step {
        int append;
        int trims;
    };
    // first lines; a few cut from the top; more cut than were shown; everything replaced
    for (const Step s : {Step{3, 0}, Step{60, 1}, Step{5, 3}, Step{200, 3}, Step{1, 0}}) {
        add(s.append);
        d.trim(s.trims);
        d.flush();
        EXPECT_EQ(shown(), d.lines().join('\n')) << "after " << s.append << " lines, " << s.trims << " trims";
    }
}
