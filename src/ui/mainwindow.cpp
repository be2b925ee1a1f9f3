#include "ui/mainwindow.h"

#include "ui/detailsdialog.h"
#include "ui/dtudialogs.h"
#include "ui/tray/qttrayshell.h"
#include "ui/tray/trayicon.h"

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QLoggingCategory>
#include <QMenuBar>
#include <QPainter>
#include <QSignalBlocker>
#include <QStyledItemDelegate>
#include <QTextBlock>
#include <QTextCursor>
#include <QScreen>
#include <QScrollBar>
#include "engines/store/dtustore.h"
#include <QSplitter>
#include <QStatusBar>
#include <QToolButton>
#include <QVBoxLayout>

Q_DECLARE_LOGGING_CATEGORY(lcConsole)

namespace dtu {

namespace {

QPixmap banner() {
    QPixmap pm(900, 56);
    QPainter p(&pm);
    QLinearGradient g(0, 0, 900, 0);
    g.setColorAt(0, QColor(22, 60, 120));
    g.setColorAt(1, QColor(60, 140, 200));
    p.fillRect(pm.rect(), g);
    p.setPen(Qt::white);
    QFont f = p.font();
    f.setPointSize(16);
    f.setBold(true);
    p.setFont(f);
    p.drawText(pm.rect().adjusted(16, 0, 0, 0), Qt::AlignVCenter | Qt::AlignLeft, QStringLiteral("Zorbelin DTU 管理软件"));
    return pm;
}

QIcon appIcon() {
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.fillRect(1, 1, 8, 8, QColor(20, 40, 120));
    p.fillRect(7, 7, 8, 8, QColor(40, 170, 60));
    return QIcon(pm);
}

// A text box that mirrors one of the console's texts both ways.
QPlainTextEdit* textView(PlainText* text, const char* name, const QString& accessible, QWidget* parent) {
    auto* v = new QPlainTextEdit(parent);
    v->setObjectName(QLatin1String(name));
    v->setAccessibleName(accessible);
    v->document()->setUndoRedoEnabled(false);
    v->setPlainText(text->toPlainText());
    QObject::connect(v, &QPlainTextEdit::textChanged, text, [v, text] { text->setPlainText(v->toPlainText()); });
    QObject::connect(text, &PlainText::changed, v, [v](const QString& t) {
        if (v->toPlainText() != t) v->setPlainText(t);
    });
    return v;
}

// The pictures of the device and target lists, drawn once each: offline (a grey dot),
// online (a green dot and two squares beside it), silent (a warning sign).
enum ListPicture { Offline = 0, Online = 1, Silent = 2 };

QIcon listPicture(ListPicture which) {
    static QIcon cache[3];
    QIcon& icon = cache[which];
    if (!icon.isNull()) return icon;
    QPixmap pm(32, 16);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    if (which == Silent) {
        p.setBrush(QColor(230, 150, 0));
        p.drawPolygon(QPolygonF{QPointF(7, 1.5), QPointF(13.5, 14.5), QPointF(0.5, 14.5)});
        p.setPen(QPen(Qt::white, 1.6));
        p.drawLine(QPointF(7, 5.5), QPointF(7, 10));
        p.drawPoint(QPointF(7, 12.5));
    } else {
        p.setBrush(which == Online ? QColor(40, 170, 60) : QColor(150, 150, 150));
        p.drawEllipse(QRectF(1.5, 2.5, 11, 11));
        if (which == Online) {
            p.setBrush(QColor(20, 40, 120));
            p.drawRect(17, 3, 6, 6);
            p.drawRect(23, 8, 6, 6);
        }
    }
    p.end();
    icon = QIcon(pm);
    return icon;
}

class StatePictureDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

protected:
    void initStyleOption(QStyleOptionViewItem* option, const QModelIndex& index) const override {
        QStyledItemDelegate::initStyleOption(option, index);
        const bool silent = index.data(DeviceListModel::SilentRole).toBool();
        if (silent) option->backgroundBrush = QColor(255, 236, 179); // the silent-DTU alarm holds
        if (index.column() == 0 && index.data(DeviceListModel::RecordingRole).toBool()) {
            option->palette.setColor(QPalette::Text, QColor(200, 0, 0)); // recording: the ID in red
            option->font.setBold(true);
        }
        const QVariant pic = index.data(DeviceListModel::StatePictureRole); // first column only
        if (!pic.isValid() || pic.toInt() < 0) return;
        option->features |= QStyleOptionViewItem::HasDecoration;
        option->icon = listPicture(silent ? Silent : pic.toInt() == 1 ? Online : Offline);
        option->decorationSize = QSize(32, 16);
    }
};

QTableView* listView(QAbstractItemModel* model, QItemSelectionModel* sel, const char* name, const QString& accessible,
                     QWidget* parent) {
    auto* v = new QTableView(parent);
    v->setModel(model);
    v->setSelectionModel(sel);
    v->setObjectName(QLatin1String(name));
    v->setAccessibleName(accessible);
    v->setSelectionBehavior(QAbstractItemView::SelectRows);
    v->setSelectionMode(QAbstractItemView::ExtendedSelection);
    v->setEditTriggers(QAbstractItemView::NoEditTriggers);
    v->setShowGrid(true);
    v->setSortingEnabled(false);
    v->verticalHeader()->setVisible(false);
    v->verticalHeader()->setDefaultSectionSize(20);
    v->setFrameShape(QFrame::NoFrame);
    v->setContextMenuPolicy(Qt::CustomContextMenu);
    v->setAlternatingRowColors(false);
    v->setItemDelegate(new StatePictureDelegate(v)); // every cell: a silent row is coloured whole
    return v;
}

} // namespace

MainWindow::MainWindow(Console& console, QWidget* parent) : QMainWindow(parent), console_(console) {
    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(QStringLiteral("ZorbelinDTU管理软件 V1.2"));
    setWindowIcon(appIcon());
    auto& ctx = console_.ctx;

    deviceMenu = new QMenu(this);
    deviceMenu->setObjectName(QStringLiteral("deviceMenu"));
    connect(deviceMenu->addAction(QStringLiteral("读取时钟")), &QAction::triggered, this, [this] { run([this] { console_.remote.readClock(); }); });
    connect(deviceMenu->addAction(QStringLiteral("设置时钟")), &QAction::triggered, this, [this] { run([this] { console_.remote.setClock(); }); });
    connect(deviceMenu->addAction(QStringLiteral("读取信号强度")), &QAction::triggered, this, [this] { run([this] { console_.remote.readSignal(); }); });

    // The device list's own menu: the shared items first, in their order, then ours.
    deviceListMenu = new QMenu(this);
    deviceListMenu->setObjectName(QStringLiteral("deviceListMenu"));
    deviceListMenu->addActions(deviceMenu->actions());
    deviceListMenu->addSeparator();
    connect(deviceListMenu->addAction(QStringLiteral("DTU详情")), &QAction::triggered, this, [this] { showDetails(); });
    QAction* startRecording = deviceListMenu->addAction(QStringLiteral("开始记录"));
    QAction* stopRecording = deviceListMenu->addAction(QStringLiteral("停止记录"));
    connect(startRecording, &QAction::triggered, this, [this] { setRecording(true); });
    connect(stopRecording, &QAction::triggered, this, [this] { setRecording(false); });
    connect(deviceListMenu, &QMenu::aboutToShow, this, [this, startRecording, stopRecording] {
        const QString id = menuDtu();
        const bool on = console_.ctx.capture.isRecording(id);
        startRecording->setEnabled(!id.isEmpty() && !on);
        stopRecording->setEnabled(on);
    });

    buildMenus();

    auto* central = new QWidget(this);
    auto* top = new QVBoxLayout(central);
    top->setContentsMargins(0, 0, 0, 0);
    top->setSpacing(0);
    auto* bannerLabel = new QLabel(central);
    bannerLabel->setPixmap(banner());
    bannerLabel->setScaledContents(true);
    bannerLabel->setFixedHeight(56);
    bannerLabel->setAccessibleName(QStringLiteral("banner"));
    top->addWidget(bannerLabel);

    tabs = new QTabWidget(central);
    tabs->setObjectName(QStringLiteral("tabs"));
    tabs->addTab(buildFirstTab(), QStringLiteral("云透传  "));
    tabs->addTab(buildTargetTab(TargetKind::Peer), QStringLiteral("云组网  "));
    tabs->addTab(buildTargetTab(TargetKind::Push), QStringLiteral("云推送"));
    tabs->addTab(buildTargetTab(TargetKind::Forward), QStringLiteral("云转发"));
    tabs->setTabVisible(1, false);
    tabs->setCurrentIndex(0);
    connect(tabs, &QTabWidget::currentChanged, this, [this](int i) {
        if (i >= 1) run([this, i] { console_.remote.load(static_cast<TargetKind>(i - 1)); });
    });
    top->addWidget(tabs, 1);
    setCentralWidget(central);

    const int widths[4] = {150, 260, 70, 50};
    const QString texts[4] = {QStringLiteral("在线设备总数"), QStringLiteral("0"), QStringLiteral("操作结果"), QString()};
    for (int i = 0; i < 4; ++i) {
        statusPanels[i] = new QLabel(texts[i], this);
        statusPanels[i]->setObjectName(QStringLiteral("StatusPanel%1").arg(i));
        statusPanels[i]->setMinimumWidth(widths[i]);
        statusPanels[i]->setFrameShape(QFrame::StyledPanel);
        statusBar()->addWidget(statusPanels[i], i == 3 ? 1 : 0);
    }
    statusPanels[0]->setAlignment(Qt::AlignCenter);
    connect(&ctx.devices, &DeviceListModel::onlineCountChanged, this,
            [this](int n) { statusPanels[1]->setText(QString::number(n)); });
    connect(&ctx, &ConsoleContext::statusChanged, this, [this](int i, const QString& t) { statusPanels[i]->setText(t); });

    addDialog = new AddDtuDialog(console_.rosterCommands, [this] { console_.ctx.dm.ReconnectDatabase(); }, this);
    editDialog = new EditDtuDialog(console_.rosterCommands, this);
    for (DtuDialog* d : {static_cast<DtuDialog*>(addDialog), static_cast<DtuDialog*>(editDialog)})
        d->guard = [this](const std::function<void()>& f) { run(f); };

    buildTray();
    connect(&console_, &Console::hideWindowRequested, this, &QWidget::hide);

    resize(1120, 720);
    if (const QScreen* s = QGuiApplication::primaryScreen())
        move(s->availableGeometry().center() - rect().center());
}

MainWindow::~MainWindow() = default;

void MainWindow::buildMenus() {
    auto& ctx = console_.ctx;
    QMenu* sys = menuBar()->addMenu(QStringLiteral("系统"));
    sys->addAction(bind(&ctx.actStartService));
    sys->addAction(bind(&ctx.actStopService));
    connect(sys->addAction(QStringLiteral("设置端口号")), &QAction::triggered, this, [this] { run([this] { console_.setServicePort(); }); });
    connect(sys->addAction(QStringLiteral("获取控件版本信息")), &QAction::triggered, this, [this] { console_.showVersion(); });
    exitAction = sys->addAction(QStringLiteral("退出系统"));
    connect(exitAction, &QAction::triggered, this, [this] { console_.exitFromMenu(); });

    QMenu* dtu = menuBar()->addMenu(QStringLiteral("DTU管理"));
    connect(dtu->addAction(QStringLiteral("新增DTU")), &QAction::triggered, this, [this] { addDialog->exec(); });
    connect(dtu->addAction(QStringLiteral("编辑DTU")), &QAction::triggered, this, [this] {
        run([this] {
            if (auto id = console_.rosterCommands.editSelected()) {
                editDialog->idEdit->setText(*id);
                editDialog->exec();
            }
        });
    });
    dtu->addSeparator();
    connect(dtu->addAction(QStringLiteral("删除DTU")), &QAction::triggered, this, [this] { run([this] { console_.rosterCommands.deleteSelected(); }); });
    dtu->addSeparator();
    connect(dtu->addAction(QStringLiteral("关闭DTU")), &QAction::triggered, this, [this] { run([this] { console_.rosterCommands.closeSelected(); }); });
    connect(dtu->addAction(QStringLiteral("关闭全部DTU")), &QAction::triggered, this, [this] { run([this] { console_.rosterCommands.closeAll(); }); });
    dtu->addSeparator();
    dtu->addSeparator();
    connect(dtu->addAction(QStringLiteral("数据统计清零")), &QAction::triggered, this, [this] { run([this] { console_.rosterCommands.clearStatistics(); }); });
    dtu->addAction(bind(&ctx.hexDisplay));
    dtu->addAction(bind(&ctx.dataTips));
    connect(dtu->addAction(QStringLiteral("清空信息显示区")), &QAction::triggered, this, [this] {
        console_.clearMessages();
        logView->clear();
    });
    dtu->addAction(bind(&ctx.showHeartbeats));
    connect(dtu->addAction(QStringLiteral("重新载入DTU记录")), &QAction::triggered, this, [this] { run([this] { console_.rosterCommands.reloadDtus(); }); });
}

QWidget* MainWindow::buildFirstTab() {
    auto& ctx = console_.ctx;
    auto* page = new QWidget;
    page->setObjectName(QStringLiteral("passThroughPage"));
    auto* v = new QVBoxLayout(page);

    auto* serviceRow = new QHBoxLayout;
    for (ConsoleAction* a : {&ctx.actStartService, &ctx.actStopService}) {
        auto* b = new QToolButton(page);
        b->setDefaultAction(bind(a));
        b->setToolButtonStyle(Qt::ToolButtonTextOnly);
        b->setMinimumWidth(90);
        serviceRow->addWidget(b);
    }
    serviceRow->addStretch();
    v->addLayout(serviceRow);

    sendBox_ = new QGroupBox(ctx.sendBoxCaption(), page);
    sendBox_->setObjectName(QStringLiteral("sendGroup"));
    connect(&console_, &Console::sendBoxCaptionChanged, sendBox_, &QGroupBox::setTitle);
    auto* send = new QHBoxLayout(sendBox_);
    auto* portButtons = new QVBoxLayout;
    auto* create = new QPushButton(QStringLiteral("创建虚拟串口"), sendBox_);
    create->setObjectName(QStringLiteral("createPortsButton"));
    connect(create, &QPushButton::clicked, this, [this] { run([this] { console_.portControl.createPorts(); }); });
    auto* reset = new QPushButton(QStringLiteral("复位虚拟串口"), sendBox_);
    reset->setObjectName(QStringLiteral("resetPortsButton"));
    connect(reset, &QPushButton::clicked, this, [this] { run([this] { console_.portControl.resetPorts(); }); });
    auto* portRow = new QHBoxLayout;
    portRow->addWidget(create);
    portRow->addWidget(reset);
    portButtons->addLayout(portRow);
    portButtons->addStretch();
    send->addLayout(portButtons);

    sendEdit = textView(&ctx.sendBox, "sendEdit", QStringLiteral("发送内容"), sendBox_);
    sendEdit->setMaximumHeight(70);
    sendEdit->installEventFilter(this);
    sendEdit->setAttribute(Qt::WA_InputMethodEnabled, false);
    send->addWidget(sendEdit, 1);

    auto* hidden = new QGroupBox(sendBox_);
    hidden->setObjectName(QStringLiteral("hiddenSendOptions"));
    auto* hl = new QVBoxLayout(hidden);
    for (auto [name, text, on] : {std::tuple{"toCom1Check", "发给DTU COM1", true}, std::tuple{"toCom2Check", "发给DTU COM2", false},
                                  std::tuple{"toCom3Check", "发给DTU COM3", false}}) {
        auto* c = new QCheckBox(QString::fromUtf8(text), hidden);
        c->setObjectName(QLatin1String(name));
        c->setChecked(on);
        hl->addWidget(c);
    }
    auto* combo = new QComboBox(hidden);
    combo->setObjectName(QStringLiteral("repeatCombo"));
    combo->addItems({QStringLiteral("1"), QStringLiteral("10"), QStringLiteral("100"), QStringLiteral("1000"), QStringLiteral("10000")});
    hl->addWidget(combo);
    hidden->setVisible(false);
    send->addWidget(hidden);

    auto* sendButton = new QPushButton(QStringLiteral("发送数据"), sendBox_);
    sendButton->setObjectName(QStringLiteral("sendButton"));
    connect(sendButton, &QPushButton::clicked, this, [this] { run([this] { console_.sendManually(); }); });
    send->addWidget(sendButton);
    v->addWidget(sendBox_);

    auto* split = new QSplitter(Qt::Vertical, page);
    split->setHandleWidth(2);
    deviceView = listView(&ctx.devices, &ctx.selection, "deviceView", QStringLiteral("设备列表"), split);
    deviceView->setStyleSheet(QStringLiteral("QTableView#deviceView { background: rgb(240,245,247); }"));
    for (int c = 0; c < DeviceListModel::ColumnCount; ++c) {
        const int w = DeviceListModel::kWidths[static_cast<size_t>(c)];
        if (w == 0) deviceView->setColumnHidden(c, true);
        else deviceView->setColumnWidth(c, w);
    }
    deviceView->setIconSize(QSize(32, 16));
    connect(deviceView, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& p) {
                menuRow_ = deviceView->indexAt(p).row();
                deviceListMenu->popup(deviceView->viewport()->mapToGlobal(p));
            });
    split->addWidget(deviceView);

    auto* lower = new QSplitter(Qt::Horizontal, split);
    messageView = new QPlainTextEdit(lower);
    messageView->setObjectName(QStringLiteral("messageView"));
    messageView->setAccessibleName(QStringLiteral("信息显示区"));
    messageView->document()->setUndoRedoEnabled(false); // months of traffic must not pile up in an undo stack
    connect(&ctx.messageDisplay, &MessageDisplay::changed, messageView, [this](int removed, const QStringList& added) {
        showMessages(removed, added);
    });
    connect(&ctx.messageDisplay, &MessageDisplay::cleared, messageView, [this] {
        const QSignalBlocker mine(messageView);
        messageView->clear();
    });
    // What the operator types into the display counts as lines too.
    connect(messageView, &QPlainTextEdit::textChanged, this, [this] {
        const QString text = messageView->toPlainText();
        console_.ctx.messageDisplay.setLines(text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n')));
    });
    lower->addWidget(messageView);
    auto* logBox = new QGroupBox(QStringLiteral("运行日志"), lower);
    auto* ll = new QVBoxLayout(logBox);
    logView = new QListWidget(logBox);
    logView->setObjectName(QStringLiteral("logView"));
    logView->setAccessibleName(QStringLiteral("运行日志"));
    ll->addWidget(logView);
    connect(&ctx.logQueue, &LogQueue::posted, logView, [this](const QString& line) {
        logView->insertItem(0, line);
        while (logView->count() > LogQueue::kLimit) delete logView->takeItem(logView->count() - 1);
    });
    connect(&ctx.logQueue, &LogQueue::cleared, logView, &QListWidget::clear);
    lower->addWidget(logBox);
    lower->setStretchFactor(0, 3);
    lower->setStretchFactor(1, 2);
    split->addWidget(lower);
    split->setSizes({400, 137});
    v->addWidget(split, 1);
    return page;
}

QWidget* MainWindow::buildTargetTab(TargetKind kind) {
    auto& remote = console_.remote;
    TargetTab& tab = remote.tab(kind);
    static const char* const pages[] = {"peerPage", "pushPage", "forwardPage"};
    static const char* const sources[] = {"peerSourceView", "pushSourceView", "forwardSourceView"};
    static const char* const labels[] = {"peerCurrentSource", "pushCurrentSource", "forwardCurrentSource"};
    static const char* const loads[] = {"peerLoadButton", "pushLoadButton", "forwardLoadButton"};
    static const char* const reads[][2] = {{"peerReadButton", "读取P2P目标列表"}, {"pushReadButton", "读取微信目标列表"}, {"forwardReadButton", "读取目标服务器列表"}};
    static const char* const sets[][2] = {{"peerSetButton", "设置P2P目标列表"}, {"pushSetButton", "设置微信目标列表"}, {"forwardSetButton", "设置目标服务器列表"}};
    const int k = static_cast<int>(kind);

    auto* page = new QWidget;
    page->setObjectName(QLatin1String(pages[k]));
    auto* h = new QHBoxLayout(page);

    auto* srcBox = new QGroupBox(QStringLiteral("源DTU列表"), page);
    auto* sv = new QVBoxLayout(srcBox);
    QTableView* src = listView(&tab.sources, &tab.sourceSelection, sources[k], QStringLiteral("源DTU列表"), srcBox);
    src->setToolTip(QStringLiteral("双击选择当前源DTU"));
    src->setColumnWidth(0, 185);
    src->setIconSize(QSize(32, 16));
    connect(src, &QAbstractItemView::doubleClicked, this, [this, kind] { run([this, kind] { console_.remote.pick(kind); }); });
    connect(src, &QWidget::customContextMenuRequested, this, [this, src](const QPoint& p) { deviceMenu->popup(src->viewport()->mapToGlobal(p)); });
    sv->addWidget(src);
    auto* currentRow = new QHBoxLayout;
    currentRow->addWidget(new QLabel(QStringLiteral("当前源DTU:   "), srcBox));
    auto* current = new QLabel(tab.currentSource, srcBox);
    current->setObjectName(QLatin1String(labels[k]));
    current->setAccessibleName(QStringLiteral("当前源DTU"));
    connect(&remote, &RemoteFunctions::currentSourceChanged, current, [current, kind](TargetKind which, const QString& id) {
        if (which == kind) current->setText(id);
    });
    currentRow->addWidget(current, 1);
    sv->addLayout(currentRow);
    auto* buttons = new QHBoxLayout;
    auto button = [&](const char* name, const QString& text, std::function<void()> fn) {
        auto* b = new QPushButton(text, srcBox);
        b->setObjectName(QLatin1String(name));
        connect(b, &QPushButton::clicked, this, [this, fn] { run(fn); });
        buttons->addWidget(b);
        return b;
    };
    button(loads[k], QStringLiteral("加载设备列表"), [this, kind] { console_.remote.load(kind); });
    button(reads[k][0], QString::fromUtf8(reads[k][1]), [this, kind] { console_.remote.read(kind); });
    button(sets[k][0], QString::fromUtf8(sets[k][1]), [this, kind] { console_.remote.set(kind); });
    sv->addLayout(buttons);
    h->addWidget(srcBox, 1);

    if (kind == TargetKind::Peer) {
        auto* arrows = new QVBoxLayout;
        auto* add = new QToolButton(page);
        add->setObjectName(QStringLiteral("addTargetButton"));
        add->setArrowType(Qt::RightArrow);
        add->setAccessibleName(QStringLiteral("加入目标"));
        connect(add, &QToolButton::clicked, this, [this] { run([this] { console_.remote.addTargets(); }); });
        auto* del = new QToolButton(page);
        del->setObjectName(QStringLiteral("removeTargetButton"));
        del->setArrowType(Qt::LeftArrow);
        del->setAccessibleName(QStringLiteral("移除目标"));
        connect(del, &QToolButton::clicked, this, [this] { run([this] { console_.remote.removeTargets(); }); });
        arrows->addStretch();
        arrows->addWidget(add);
        arrows->addWidget(del);
        arrows->addStretch();
        h->addLayout(arrows);
        auto* tgtBox = new QGroupBox(QStringLiteral("目标DTU列表       "), page);
        auto* tv = new QVBoxLayout(tgtBox);
        tv->addWidget(new QLabel(QStringLiteral("注意：目标DTU和源DTU的登录密码相同， 才能进行组网通信"), tgtBox));
        QTableView* targets = listView(&tab.targets, &tab.targetSelection, "peerTargetView", QStringLiteral("目标DTU列表"), tgtBox);
        targets->setToolTip(QStringLiteral("目标DTU和源DTU的登录密码相同，才能进行通信"));
        connect(targets, &QWidget::customContextMenuRequested, this, [this, targets](const QPoint& p) { deviceMenu->popup(targets->viewport()->mapToGlobal(p)); });
        tv->addWidget(targets);
        h->addWidget(tgtBox, 1);
        return page;
    }

    const bool push = kind == TargetKind::Push;
    auto* box = new QGroupBox(push ? QStringLiteral("推送目标列表       ") : QStringLiteral("转发目标服务器地址列表       "), page);
    auto* bv = new QVBoxLayout(box);
    if (push) {
        bv->addWidget(new QLabel(QStringLiteral("注意：请扫码关注公众号，在菜单中选择绑定ID               "), box));
        bv->addWidget(new QLabel(QStringLiteral("获得手机的微信关联ID，然后填写到下面文本框                 "), box));
    } else {
        bv->addWidget(new QLabel(QStringLiteral("注意：请填写服务器IP地址，每行一个，可填写多个          "), box));
    }
    bv->addWidget(textView(&tab.text, push ? "pushTargetsEdit" : "forwardTargetsEdit", push ? QStringLiteral("推送目标列表") : QStringLiteral("转发目标服务器地址列表"), box), 1);
    if (push) {
        auto* row = new QHBoxLayout;
        auto* edit = new QLineEdit(box);
        edit->setObjectName(QStringLiteral("testMessageEdit"));
        edit->setAccessibleName(QStringLiteral("测试消息"));
        auto* b = new QPushButton(QStringLiteral("推送测试消息"), box);
        b->setObjectName(QStringLiteral("testPushButton"));
        connect(b, &QPushButton::clicked, this, [this, edit] { run([this, edit] { console_.remote.testPush(edit->text()); }); });
        row->addWidget(edit, 1);
        row->addWidget(b);
        bv->addLayout(row);
    }
    h->addWidget(box, 1);
    return page;
}

QAction* MainWindow::bind(ConsoleAction* a) {
    auto* q = new QAction(a->text(), this);
    q->setCheckable(a->isCheckable());
    q->setChecked(a->isChecked());
    q->setEnabled(a->isEnabled());
    // A click changes the QAction's own check mark first; the console's follows in trigger().
    connect(q, &QAction::triggered, a, [a] { a->trigger(); });
    connect(a, &ConsoleAction::changed, q, [a, q] {
        q->setEnabled(a->isEnabled());
        q->setCheckable(a->isCheckable());
        q->setChecked(a->isChecked());
    });
    return q;
}

void MainWindow::showMessages(int removed, const QStringList& added) {
    const QSignalBlocker mine(messageView); // not the operator's typing
    QTextDocument* doc = messageView->document();
    QTextCursor c(doc);
    c.beginEditBlock();
    if (removed > 0) {
        if (removed >= doc->blockCount()) {
            // Not doc->clear(): it resets the document's formats, and the lines laid out after
            // it looked their fonts up again: 1-4 ms per flush under a flood instead of <1 ms.
            c.select(QTextCursor::Document);
            c.removeSelectedText();
        } else {
            c.movePosition(QTextCursor::Start);
            c.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, removed);
            c.removeSelectedText();
        }
    }
    if (!added.isEmpty()) {
        c.movePosition(QTextCursor::End);
        if (!doc->isEmpty()) c.insertBlock();
        c.insertText(added.join(QLatin1Char('\n')));
    }
    c.endEditBlock();
    messageView->verticalScrollBar()->setValue(messageView->verticalScrollBar()->maximum());
}

void MainWindow::buildTray() {
    trayMenu = new QMenu(this);
    trayMenu->setObjectName(QStringLiteral("trayMenu"));
    showWindowAction = trayMenu->addAction(QStringLiteral("显示主窗口"));
    trayExitAction = trayMenu->addAction(QStringLiteral("退出"));
    connect(showWindowAction, &QAction::triggered, this, &MainWindow::showMainWindow);
    connect(trayExitAction, &QAction::triggered, this, [this] { console_.exitFromTray(); });
    trayShell_ = new QtTrayShell(this);
    trayShell_->setParent(this);
    trayIcon = new TrayIcon(*trayShell_, this);
    trayShell_->bind(trayIcon);
    trayIcon->setActive(true);
    trayIcon->setIcon(appIcon());
    trayIcon->setHint(QStringLiteral("Zorbelin管理软件"));
    trayIcon->setPopupMenu(trayMenu);
    connect(&console_.silence, &SilenceWatch::silenceChanged, this, [this](const QString&, bool silent, const QString& line) {
        if (silent) trayShell_->showBalloon(QStringLiteral("DTU"), line); // one balloon when it goes silent
    });
    connect(trayIcon, &TrayIcon::iconDblClick, this, &MainWindow::showMainWindow); // double-click on the tray icon
}

void MainWindow::showMainWindow() {
    showNormal();
    raise();
    activateWindow();
}

bool MainWindow::event(QEvent* e) {
    if (e->type() == QEvent::WindowActivate) console_.activate();
    return QMainWindow::event(e);
}

void MainWindow::closeEvent(QCloseEvent* e) {
    if (console_.ctx.serviceRunning() && !QtTrayShell::available()) {
        // No notification area: a hidden window could never be reached again.
        e->ignore();
        console_.ctx.logQueue.PostLog(console_.ctx.stamp() + QStringLiteral(" 系统没有托盘区，服务运行中窗口已最小化而非隐藏"));
        qCInfo(lcConsole) << "no system tray: minimising instead of hiding while the service runs";
        showMinimized();
        return;
    }
    if (console_.closeWindow()) e->accept();
    else e->ignore();
}

bool MainWindow::eventFilter(QObject* o, QEvent* e) {
    if (o == sendEdit && e->type() == QEvent::KeyPress) {
        auto* k = static_cast<QKeyEvent*>(e);
        if (k->modifiers() & (Qt::ControlModifier | Qt::AltModifier)) return false; // shortcuts, not characters
        QChar c;
        if (k->key() == Qt::Key_Backspace) c = QChar(8);
        else if (k->key() == Qt::Key_Return || k->key() == Qt::Key_Enter) c = QChar(13);
        else if (!k->text().isEmpty()) c = k->text().at(0);
        else return false; // navigation keys carry no character
        if (!Console::acceptSendKey(console_.ctx.hexDisplay.isChecked(), c)) return true;
    }
    return QMainWindow::eventFilter(o, e);
}

QString MainWindow::menuDtu() const {
    const auto& ctx = console_.ctx;
    if (menuRow_ >= 0 && menuRow_ < ctx.devices.rowCount()) return ctx.devices.caption(menuRow_);
    const QList<int> rows = ctx.selectedRows();
    return rows.isEmpty() ? QString() : ctx.devices.caption(rows.first());
}

void MainWindow::showDetails() {
    const QString id = menuDtu();
    if (id.isEmpty()) {
        console_.ctx.prompts.message(QStringLiteral("请先选中DTU"));
        return;
    }
    run([&] {
        auto* dialog = new DetailsDialog(console_.detailsOf(id), this);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->show();
    });
}

void MainWindow::setRecording(bool on) {
    const QString id = menuDtu();
    if (id.isEmpty()) {
        console_.ctx.prompts.message(QStringLiteral("请先选中DTU"));
        return;
    }
    console_.setRecording(id, on);
}

} // namespace dtu

