#pragma once
// MainWindow: draws the console and forwards the operator's commands to it.
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

class AddDtuDialog;
class EditDtuDialog;
class TrayIcon;
class QtTrayShell;

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(Console& console, QWidget* parent = nullptr);
    ~MainWindow() override;

    QTabWidget* tabs;
    QTableView* deviceView;
    QPlainTextEdit* messageView;
    QPlainTextEdit* sendEdit;
    QListWidget* logView;
    QLabel* statusPanels[4];
    QMenu* deviceMenu;     // the remote functions, on every list of DTUs
    QMenu* deviceListMenu; // the same, then what concerns one row of the device list
    QMenu* trayMenu;
    QAction* exitAction;
    QAction* showWindowAction; // 显示主窗口
    QAction* trayExitAction; // 退出
    AddDtuDialog* addDialog;
    EditDtuDialog* editDialog;
    TrayIcon* trayIcon = nullptr;

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
    QAction* bind(ConsoleAction* a); // a QAction that shows and drives one of the console's
    void showMessages(int removed, const QStringList& added);
    QString menuDtu() const; // the row the device list's menu was opened on, else the selected one
    void showDetails();
    void setRecording(bool on);

    Console& console_;
    QtTrayShell* trayShell_ = nullptr;
    QWidget* groupBox2_ = nullptr;
    QGroupBox* sendBox_ = nullptr;
    int menuRow_ = -1;
};

} // namespace dtu
