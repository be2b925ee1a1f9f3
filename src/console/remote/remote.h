#pragma once
// Clock and signal commands, and the three target-list tabs.
#include <QItemSelectionModel>
#include <QObject>
#include <QStandardItemModel>
#include <QTextDocument>
#include <array>

namespace dtu {
class ConsoleContext;
class LinkEvents;

enum class TargetKind { Peer = 0, Push = 1, Forward = 2 };

// One tab: a snapshot of the device list to pick a source from, the current source,
// and what is edited (target rows for peers, free text for the other two).
struct TargetTab {
    TargetTab();
    QStandardItemModel sources;              // ListView2 / ListView4 / ListView5
    QItemSelectionModel sourceSelection{&sources};
    QString currentSource;                   // Labelcurrentdtu / lbcurrentwxdtu / LBCURRENTJPDTU
    QStandardItemModel targets;              // ListView3 (peer tab only)
    QItemSelectionModel targetSelection{&targets};
    QTextDocument text;                      // Memowxids / memoJPids
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
    void SendReadClock(const QString& id);
    void SendSetClock(const QString& id);
    void SendReadSignal(const QString& id);
    void ParseSignalReply(const QString& id, const QByteArray& bytes);

    TargetTab& tab(TargetKind k) { return tabs_[static_cast<size_t>(k)]; }
    void load(TargetKind k);
    void pick(TargetKind k);
    void read(TargetKind k);
    void set(TargetKind k);
    void addTargets();    // SpeedButton1Click
    void removeTargets(); // SpeedButton2Click
    void testPush(const QString& message); // suiButton9Click

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
