#pragma once
// The device list: one row per listed DTU. Rows are appended by a rebuild and never
// reordered, so the ID indexes are built as rows are added and keep the first match.
#include <QAbstractTableModel>
#include <QHash>
#include <array>
#include <vector>

namespace dtu {

class DeviceListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column {
        ColId = 0, ColPassword, ColName, ColHidden3, ColHidden4, ColHidden5, ColHidden6,
        ColLoginTime, ColUpdateTime, ColSent, ColReceived, ColHidden11, ColPortState, ColPort,
        ColumnCount
    };
    // Sub-item k sits in column k + 1.
    enum SubItem { SubPassword = 0, SubName = 1, SubLoginTime = 6, SubUpdateTime = 7, SubSent = 8,
                   SubReceived = 9, SubPortState = 11, SubPort = 12, SubItemCount = 13 };
    static const std::array<int, ColumnCount> kWidths;
    // The first column's picture index (0 offline, 1 online): the window draws it.
    static constexpr int StatePictureRole = Qt::UserRole + 1;
    // true while the silent-DTU alarm holds for the row: the window warns.
    static constexpr int SilentRole = Qt::UserRole + 2;
    // true while the DTU's conversation is being recorded.
    static constexpr int RecordingRole = Qt::UserRole + 3;

    using QAbstractTableModel::QAbstractTableModel;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation o, int role) const override;

    void clear();
    int appendRow(const QString& caption); // new row: offline pictures, 13 empty sub-items

    QString caption(int row) const { return rows_[static_cast<size_t>(row)].caption; }
    QString subItem(int row, int k) const { return rows_[static_cast<size_t>(row)].sub[static_cast<size_t>(k)]; }
    void setSubItem(int row, int k, const QString& text);
    int statePicture(int row) const { return rows_[static_cast<size_t>(row)].statePic; }
    int smallPicture(int row) const { return rows_[static_cast<size_t>(row)].smallPic; }
    void setPictures(int row, int statePic, int smallPic);
    bool isSilent(int row) const { return rows_[static_cast<size_t>(row)].silent; }
    void setSilent(int row, bool silent);
    bool isRecording(int row) const { return rows_[static_cast<size_t>(row)].recording; }
    void setRecording(int row, bool recording);

    int findExact(const QString& id) const;    // first row whose caption equals id, or -1
    int findCaseless(const QString& id) const; // same, letter case ignored
    // Whether any row has this ID, letter case ignored. Asked for every packet: an exact
    // match is looked up first, so the usual case folds nothing.
    bool containsCaseless(const QString& id) const;
    int onlineCount() const { return online_; }

signals:
    void onlineCountChanged(int count);

private:
    struct Row {
        QString caption;
        std::array<QString, SubItemCount> sub;
        int statePic = 0;
        int smallPic = -1;
        bool silent = false;
        bool recording = false;
    };
    std::vector<Row> rows_;
    QHash<QString, int> exact_;
    QHash<QString, int> folded_;
    int online_ = 0;
};

} // namespace dtu
