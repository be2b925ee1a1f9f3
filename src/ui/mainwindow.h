#pragma once
// TfrmMain: draws the console and forwards the operator's commands to it.
#include "console/console.h"

#include <QGroupBox>
#include <QLabel>
#include <QListWidget>
#include <QMainWindow>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTableView>

namespace dtu {

class TfrmAddDTU;
class TfrmEdit;
class TSysTray;
class QtTrayShell;

class TfrmMain : public QMainWindow {
    Q_OBJECT
public:
    explicit TfrmMain(Console& console, QWidget* parent = nullptr);
    ~TfrmMain() override;

    QTabWidget* PageControl1;
    QTableView* ListView1;
    QPlainTextEdit* Memo1;
    QPlainTextEdit* Memo2;
    QListWidget* LogView;
    QLabel* statusPanels[4];
    QMenu* PopupMenu1;
    QMenu* PopupMenu2;
    QAction* MenuExit;
    QAction* N18; // 显示主窗口
    QAction* N19; // 退出
    TfrmAddDTU* frmAddDTU;
    TfrmEdit* frmEdit;
    TSysTray* SysTray1 = nullptr;

protected:
    bool event(QEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    bool eventFilter(QObject* o, QEvent* e) override;

private:
    void buildMenus();
    QWidget* buildFirstTab();
    QWidget* buildTargetTab(TargetKind kind);
    void buildTray();
    void showMainWindow();
    void run(const std::function<void()>& fn) { console_.ctx.guard(fn); }

    Console& console_;
    QtTrayShell* trayShell_ = nullptr;
    QWidget* groupBox2_ = nullptr;
    QGroupBox* sendBox_ = nullptr;
};

} // namespace dtu
