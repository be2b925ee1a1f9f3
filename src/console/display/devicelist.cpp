#include "console/display/devicelist.h"

#include <QColor>
#include <QPainter>

namespace dtu {

// The ID and time columns are wider than the original's 150 and 120 so that the state
// pictures and the fixed-format time stamps fit without being cut.
const std::array<int, DeviceListModel::ColumnCount> DeviceListModel::kWidths = {185, 60, 150, 0, 0, 0, 0,
                                                                                140, 140, 60, 60, 0, 100, 90};

namespace {
const char* const kCaptions[DeviceListModel::ColumnCount] = {
    "DTU身份ID", "登录密码", "设备名称", "", "", "", "", "最近登陆时间", "最近更新时间",
    "发包数", "收包数", "", "串口状态", "虚拟串口"};

// State dot (13x13) and, when online, the small picture of two dark blue squares.
QPixmap drawPictures(bool online) {
    QPixmap pm(32, 16);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(online ? QColor(40, 170, 60) : QColor(150, 150, 150));
    p.drawEllipse(QRectF(1.5, 2.5, 11, 11));
    if (online) {
        p.setBrush(QColor(20, 40, 120));
        p.drawRect(17, 3, 6, 6);
        p.drawRect(23, 8, 6, 6);
    }
    return pm;
}
} // namespace

QPixmap DeviceListModel::pictures(bool online) {
    static QPixmap cache[2];
    QPixmap& pm = cache[online ? 1 : 0];
    if (pm.isNull()) pm = drawPictures(online);
    return pm;
}

int DeviceListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int DeviceListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount; }

QVariant DeviceListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const Row& r = rows_[static_cast<size_t>(index.row())];
    if (role == Qt::DisplayRole || role == Qt::AccessibleTextRole) {
        return index.column() == ColId ? r.caption : r.sub[static_cast<size_t>(index.column() - 1)];
    }
    if (role == Qt::DecorationRole && index.column() == ColId) {
        const bool online = r.statePic == 1;
        return pictures(online);
    }
    if (role == Qt::ToolTipRole && index.column() == ColId) return r.statePic == 1 ? tr("在线") : tr("离线");
    return {};
}

QVariant DeviceListModel::headerData(int section, Qt::Orientation o, int role) const {
    if (o == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < ColumnCount)
        return QString::fromUtf8(kCaptions[section]);
    return {};
}

void DeviceListModel::clear() {
    beginResetModel();
    rows_.clear();
    exact_.clear();
    folded_.clear();
    endResetModel();
    if (online_ != 0) {
        online_ = 0;
        emit onlineCountChanged(0);
    }
}

int DeviceListModel::appendRow(const QString& caption) {
    const int row = rowCount();
    beginInsertRows({}, row, row);
    Row r;
    r.caption = caption;
    rows_.push_back(std::move(r));
    // A later row with the same caption is never found, as in a walk from the top.
    if (!exact_.contains(caption)) exact_.insert(caption, row);
    const QString folded = caption.toCaseFolded();
    if (!folded_.contains(folded)) folded_.insert(folded, row);
    endInsertRows();
    return row;
}

void DeviceListModel::setSubItem(int row, int k, const QString& text) {
    QString& cell = rows_[static_cast<size_t>(row)].sub[static_cast<size_t>(k)];
    if (cell == text) return;
    cell = text;
    const QModelIndex i = index(row, k + 1);
    emit dataChanged(i, i, {Qt::DisplayRole});
}

void DeviceListModel::setPictures(int row, int statePic, int smallPic) {
    Row& r = rows_[static_cast<size_t>(row)];
    if (r.statePic == statePic && r.smallPic == smallPic) return;
    const int before = online_;
    if (r.statePic == 1) --online_;
    r.statePic = statePic;
    r.smallPic = smallPic;
    if (r.statePic == 1) ++online_;
    const QModelIndex i = index(row, ColId);
    emit dataChanged(i, i, {Qt::DecorationRole, Qt::ToolTipRole});
    if (online_ != before) emit onlineCountChanged(online_);
}

int DeviceListModel::findExact(const QString& id) const { return exact_.value(id, -1); }

int DeviceListModel::findCaseless(const QString& id) const { return folded_.value(id.toCaseFolded(), -1); }

} // namespace dtu
