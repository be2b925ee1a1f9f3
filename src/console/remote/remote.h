#pragma once
// Clock and signal commands, and the three target-list tabs.
#include "console/display/consoleaction.h"

#include <QAbstractTableModel>
#include <QItemSelectionModel>
#include <QObject>
#include <array>
#include <vector>

namespace dtu {
class ConsoleContext;
class LinkEvents;

enum class TargetKind { Peer = 0, Push = 1, Forward = 2 };

// DTU rows of a list tab: ID, password, name, and the device list's pictures.
struct TargetRow {
    QString id, password, name;
    int statePic = -1; // -1: none
    int smallPic = -1;
};

class TargetListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    using QAbstractTableModel::QAbstractTableModel;
    int rowCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : static_cast<int>(rows_.size()); }
    int columnCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : 3; }
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation o, int role) const override;
    bool removeRows(int row, int count, const QModelIndex& parent = {}) override;

    void appendRow(const TargetRow& r);
    const TargetRow& row(int r) const { return rows_[static_cast<size_t>(r)]; }
    QString text(int r, int column) const;
    void setText(int r, int column, const QString& text);

private:
    std::vector<TargetRow> rows_;
};

// One tab: a snapshot of the device list to pick a source from, the current source,
// and what is edited (target rows for peers, free text for the other two).
struct TargetTab {
    TargetTab();
    TargetListModel sources;
    QItemSelectionModel sourceSelection{&sources};
    QString currentSource;
    TargetListModel targets;                 // the peer tab's targets
    QItemSelectionModel targetSelection{&targets};
    PlainText text;                          // the push and forward tabs' lists
};

class RemoteFunctions : public QObject {
    Q_OBJECT
public:
    explicit RemoteFunctions(ConsoleContext& ctx, QObject* parent = nullptr);

    // Entries 1 to 8 of the reply list, in their order.
    void registerReplies(LinkEvents& events);

    void readClock();  // read clock
    void setClock();  // set clock
    void readSignal(); // read signal
    // The same for one DTU (the web console's buttons).
    void readClockOf(const QString& id) { SendReadClock(id); }
    void setClockOf(const QString& id) { SendSetClock(id); }
    void readSignalOf(const QString& id);
    void SendReadClock(const QString& id);
    void SendSetClock(const QString& id);
    void SendReadSignal(const QString& id);
    void ParseSignalReply(const QString& id, const QByteArray& bytes);

    TargetTab& tab(TargetKind k) { return tabs_[static_cast<size_t>(k)]; }
    void load(TargetKind k);
    void pick(TargetKind k);
    void read(TargetKind k);
    // The same for one DTU (the web console): it becomes the tab's current source.
    void readOf(TargetKind k, const QString& id, bool complainOffline = true);
    void set(TargetKind k);
    void addTargets();
    void removeTargets();
    void testPush(const QString& message);

    // Replies
    void onPeerList(const QByteArray& rest);
    void onText(TargetKind k, const QByteArray& rest);

    static QString kCurrentSourceBlank();

signals:
    void currentSourceChanged(TargetKind k, const QString& id);

private:
    bool forEachSelectedDevice(const std::function<void(const QString&)>& fn);
    bool fromCurrentSource(TargetKind k, const QString& id); // false: a list reply from another DTU
    void setCurrent(TargetKind k, const QString& id);
    void readSelected(TargetKind k, bool complainOffline);
    void sendCommand(const QString& id, const QByteArray& command); // in send mode 0
    QByteArray setCommand(TargetKind k, bool* ok);
    ConsoleContext& ctx_;
    std::array<TargetTab, 3> tabs_;
};

// Leading and trailing blanks and control characters go; inner line breaks stay.
QString TrimControls(const QString& s);

} // namespace dtu
