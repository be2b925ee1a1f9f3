#pragma once
// "DTU详情": one DTU's last day drawn: online periods, packets per minute, latest events.
#include "console/history/details.h"

#include <QDialog>

class QLabel;
class QTableWidget;
class QChartView;

namespace dtu {

class DetailsDialog : public QDialog {
    Q_OBJECT
public:
    DetailsDialog(const DtuDetails& details, QWidget* parent = nullptr);
    static QString eventCaption(const QString& event);

private:
    void exportCsv();
    DtuDetails details_;
};

} // namespace dtu
