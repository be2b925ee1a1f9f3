#include "ui/detailsdialog.h"

#include <QChart>
#include <QChartView>
#include <QDateTimeAxis>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLineSeries>
#include <QMessageBox>
#include <QPushButton>
#include <QStandardPaths>
#include <QTableWidget>
#include <QValueAxis>
#include <QVBoxLayout>

namespace dtu {

namespace {

QDateTimeAxis* dayAxis(const DtuDetails& d) {
    auto* x = new QDateTimeAxis;
    x->setFormat(QStringLiteral("HH:mm"));
    x->setTickCount(9); // every three hours
    x->setRange(QDateTime::fromMSecsSinceEpoch(d.nowMs - DtuDetails::kWindowMs), QDateTime::fromMSecsSinceEpoch(d.nowMs));
    return x;
}

QChartView* chartView(QChart* chart, int minimumHeight, const QString& name) {
    auto* view = new QChartView(chart);
    view->setRenderHint(QPainter::Antialiasing);
    view->setMinimumHeight(minimumHeight);
    view->setAccessibleName(name);
    return view;
}

QChartView* timeline(const DtuDetails& d) {
    auto* series = new QLineSeries;
    series->setName(QStringLiteral("在线"));
    const qint64 start = d.nowMs - DtuDetails::kWindowMs;
    series->append(static_cast<qreal>(start), 0);
    for (const OnlinePeriod& p : d.periods) {
        series->append(static_cast<qreal>(p.fromMs), 0);
        series->append(static_cast<qreal>(p.fromMs), 1);
        series->append(static_cast<qreal>(p.toMs), 1);
        series->append(static_cast<qreal>(p.toMs), 0);
    }
    series->append(static_cast<qreal>(d.nowMs), 0);
    auto* chart = new QChart;
    chart->addSeries(series);
    chart->legend()->hide();
    const qint64 minutes = d.onlineMs() / 60000;
    chart->setTitle(QStringLiteral("最近24小时在线时段 (在线%1小时%2分钟)").arg(minutes / 60).arg(minutes % 60));
    QDateTimeAxis* x = dayAxis(d);
    chart->addAxis(x, Qt::AlignBottom);
    series->attachAxis(x);
    auto* y = new QValueAxis;
    y->setRange(0, 1.2);
    y->setLabelsVisible(false);
    y->setGridLineVisible(false);
    y->setTickCount(2);
    chart->addAxis(y, Qt::AlignLeft);
    series->attachAxis(y);
    return chartView(chart, 150, QStringLiteral("在线时段"));
}

QChartView* trafficChart(const DtuDetails& d) {
    auto* in = new QLineSeries;
    in->setName(QStringLiteral("收到包数/分钟"));
    auto* out = new QLineSeries;
    out->setName(QStringLiteral("发送包数/分钟"));
    quint32 top = 1;
    for (std::size_t i = 0; i < d.minutes.size(); ++i) {
        const qreal t = static_cast<qreal>(d.firstMinuteMs + static_cast<qint64>(i) * 60000);
        in->append(t, d.minutes[i].packetsIn);
        out->append(t, d.minutes[i].packetsOut);
        top = std::max({top, d.minutes[i].packetsIn, d.minutes[i].packetsOut});
    }
    auto* chart = new QChart;
    chart->addSeries(in);
    chart->addSeries(out);
    chart->setTitle(QStringLiteral("每分钟数据包"));
    QDateTimeAxis* x = dayAxis(d);
    chart->addAxis(x, Qt::AlignBottom);
    auto* y = new QValueAxis;
    y->setRange(0, top);
    y->setLabelFormat(QStringLiteral("%d"));
    chart->addAxis(y, Qt::AlignLeft);
    for (QLineSeries* s : {in, out}) {
        s->attachAxis(x);
        s->attachAxis(y);
    }
    return chartView(chart, 220, QStringLiteral("每分钟数据包"));
}

} // namespace

QString DetailsDialog::eventCaption(const QString& event) {
    static const QHash<QString, QString> captions{{QStringLiteral("login"), QStringLiteral("登录")},
                                                  {QStringLiteral("disconnect"), QStringLiteral("断开")},
                                                  {QStringLiteral("close"), QStringLiteral("关闭")},
                                                  {QStringLiteral("silent"), QStringLiteral("无数据告警")},
                                                  {QStringLiteral("recovered"), QStringLiteral("恢复")}};
    return captions.value(event, event);
}

DetailsDialog::DetailsDialog(const DtuDetails& details, QWidget* parent) : QDialog(parent), details_(details) {
    setObjectName(QStringLiteral("detailsDialog"));
    setWindowTitle(QStringLiteral("DTU详情 - %1").arg(details.id));
    resize(860, 700);
    auto* v = new QVBoxLayout(this);
    if (!details.note.isEmpty()) {
        auto* note = new QLabel(details.note, this);
        note->setWordWrap(true);
        note->setStyleSheet(QStringLiteral("color: #a05a00"));
        v->addWidget(note);
    }
    v->addWidget(timeline(details), 2);
    v->addWidget(trafficChart(details), 3);

    auto* table = new QTableWidget(static_cast<int>(details.lastEvents.size()), 3, this);
    table->setObjectName(QStringLiteral("eventTable"));
    table->setAccessibleName(QStringLiteral("最近事件"));
    table->setHorizontalHeaderLabels({QStringLiteral("时间"), QStringLiteral("事件"), QStringLiteral("说明")});
    table->verticalHeader()->hide();
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->horizontalHeader()->setStretchLastSection(true);
    for (int r = 0; r < table->rowCount(); ++r) {
        const DtuEvent& e = details.lastEvents[static_cast<std::size_t>(r)];
        table->setItem(r, 0, new QTableWidgetItem(e.at.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"))));
        table->setItem(r, 1, new QTableWidgetItem(eventCaption(e.event)));
        table->setItem(r, 2, new QTableWidgetItem(e.detail));
    }
    table->resizeColumnsToContents();
    v->addWidget(new QLabel(QStringLiteral("最近%1条事件").arg(DtuDetails::kShownEvents), this));
    v->addWidget(table, 3);

    auto* buttons = new QDialogButtonBox(this);
    QPushButton* exportButton = buttons->addButton(QStringLiteral("导出CSV"), QDialogButtonBox::ActionRole);
    exportButton->setAutoDefault(false);
    buttons->addButton(QStringLiteral("关闭"), QDialogButtonBox::RejectRole);
    connect(exportButton, &QPushButton::clicked, this, &DetailsDialog::exportCsv);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    v->addWidget(buttons);
}

void DetailsDialog::exportCsv() {
    const QString folder = QFileDialog::getExistingDirectory(
        this, QStringLiteral("导出CSV到文件夹"), QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation));
    if (folder.isEmpty()) return;
    try {
        const QStringList written = details_.exportCsv(folder);
        QMessageBox::information(this, QStringLiteral("导出CSV"), QStringLiteral("已导出:\n") + written.join(QLatin1Char('\n')));
    } catch (const std::exception& e) {
        QMessageBox::warning(this, QStringLiteral("导出CSV"), QString::fromLocal8Bit(e.what()));
    }
}

} // namespace dtu
