#include "console/display/devicelist.h"


namespace dtu {

// The ID and time columns are wide enough for the state pictures and the fixed-format
// time stamps.
const std::array<int, DeviceListModel::ColumnCount> DeviceListModel::kWidths = {185, 60, 150, 0, 0, 0, 0,
                                                                                140, 140, 60, 60, 0, 100, 90};

namespace {
const char* const kCaptions[DeviceListModel::ColumnCount] = {
    "DTU身份ID", "登录密码", "设备名称", "", "", "", "", "最近登陆时间", "最近更新时间",
    "发包数", "收包数", "", "串口状态", "虚拟串口"};
} // namespace

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
    if (role == StatePictureRole && index.column() == ColId) return r.statePic;
    if (role == SilentRole) return r.silent;
    if (role == RecordingRole) return r.recording;
    if (role == Qt::ToolTipRole && index.column() == ColId)
        return (r.statePic == 1 ? tr("在线") : tr("离线")) + (r.recording ? tr("，记录中") : QString());
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
    emit dataChanged(i, i, {StatePictureRole, Qt::ToolTipRole});
    if (online_ != before) emit onlineCountChanged(online_);
}

int DeviceListModel::findExact(const QString& id) const { return exact_.value(id, -1); }

int DeviceListModel::findCaseless(const QString& id) const { return folded_.value(id.toCaseFolded(), -1); }

bool DeviceListModel::containsCaseless(const QString& id) const {
    return exact_.contains(id) || folded_.contains(id.toCaseFolded());
}

void DeviceListModel::setRecording(int row, bool recording) {
    if (row < 0 || row >= rowCount()) return;
    Row& r = rows_[static_cast<size_t>(row)];
    if (r.recording == recording) return;
    r.recording = recording;
    emit dataChanged(index(row, 0), index(row, ColumnCount - 1), {RecordingRole, Qt::ToolTipRole});
}

void DeviceListModel::setSilent(int row, bool silent) {
    Row& r = rows_[static_cast<size_t>(row)];
    if (r.silent == silent) return;
    r.silent = silent;
    emit dataChanged(index(row, 0), index(row, ColumnCount - 1), {SilentRole});
}

} // namespace dtu
