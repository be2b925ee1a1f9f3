#pragma once
// Virtual serial ports on POSIX pseudo-terminals: each port is a pty whose slave is
// reachable through a symlink named after the port (Dir/COM3).
#include "engines/vport/portfolder.h"
#include "engines/vport/vport.h"

#include <QElapsedTimer>
#include <QHash>
#include <QSet>
#include <QTimer>
#include <chrono>

class QSocketNotifier;

namespace dtu {

class PtyPort;

class PtyPortEngine : public QObject, public IVPortEngine {
    Q_OBJECT
public:
    // group: members may open the ports (terminals 0660 with that group); empty: only this user.
    explicit PtyPortEngine(QString dir, PortFolder::Policy policy = PortFolder::Policy::Shared, QString group = {},
                           QObject* parent = nullptr);
    ~PtyPortEngine() override;

    std::unique_ptr<IVPort> makePort() override;
    QStringList systemPorts() override;
    void rescan() override;
    bool occupied(const QString& name) override;
    QString folderProblem() override;

    QString dir() const { return dir_; }
    QString pathFor(const QString& name) const; // a name holding '/' is the path itself
    int liveCount() const { return static_cast<int>(ports_.size()); }

private:
    friend class PtyPort;
    void attach(PtyPort* p) { ports_.insert(p); }
    void detach(PtyPort* p) { ports_.remove(p); }
    void pollClosed(); // ports without a watch, nobody has them open: notice an open
    // Opens and closes of the terminals' slave sides, told by the kernel at once: a
    // program that opens the port and writes at once is read at once.
    int watch(PtyPort* p, const QString& slave);
    void unwatch(int wd);
    void onWatchEvents();
    void deleteAll();
    bool folderReady(); // opens the folder on first use; false while it is refused

    QString dir_;
    PortFolder folder_;
    bool folderTried_ = false;
    QSet<PtyPort*> ports_;
    int inotify_ = -1;
    QSocketNotifier* inotifyN_ = nullptr;
    QHash<int, PtyPort*> watches_;
    QTimer poll_;
    QStringList devSerial_;
    QElapsedTimer devScanAge_;
    QSet<QString> dirNames_; // entries of dir_ that are ports; kept current by our own create and delete
    QSet<QString> liveNames_; // names in dir_ whose links this engine holds now
    QElapsedTimer dirScanAge_;
};

class PtyPort : public IVPort {
    Q_OBJECT
public:
    explicit PtyPort(PtyPortEngine& engine);
    ~PtyPort() override;

    bool CreatePort(const QString& name) override;
    bool DeletePort() override;
    int WriteData(const QByteArray& data) override;
    int ReadData(QByteArray& buf, int count) override;
    bool ResetBus() override;
    QString lastError() const override { return error_; }

    QString name() const { return name_; }
    QString linkPath() const { return link_; }
    QString slavePath() const { return slave_; }
    bool isCreated() const { return master_ >= 0; }
    bool hasReader() const { return peerOpen_; }
    qint64 droppedToPort() const { return droppedOut_; }
    qint64 droppedBytes() const override { return droppedOut_; }

    static constexpr int kOutLimit = 1 << 20; // bytes held for a slow reader before dropping

private:
    friend class PtyPortEngine;
    void onReadable();
    void onWritable();
    void endBatch();
    void checkPeer();         // has a program opened the port since we last looked?
    void peerGone();
    void drainThenClose(); // the last program has gone: hand on what it wrote, then close
    bool fail(const QString& why);

    PtyPortEngine& engine_;
    QString name_, link_, slave_, error_;
    int master_ = -1;
    int watch_ = -1; // inotify watch on the slave side, -1: the engine's poll looks instead
    bool peerOpen_ = false;
    QSocketNotifier* readN_ = nullptr;
    QSocketNotifier* writeN_ = nullptr;
    QByteArray in_;   // read from the port, waiting for ReadData
    QByteArray out_;  // field data the port could not take yet, from outHead_ on
    qsizetype outHead_ = 0;
    QTimer batchEnd_; // active: written once in this pass of the event loop, more waits for its end
    std::chrono::steady_clock::time_point batchStarted_;
    static constexpr std::chrono::microseconds kBatchHold{500}; // longest a gathered packet waits
    qsizetype outPending() const { return out_.size() - outHead_; }
    qint64 droppedOut_ = 0;
};

} // namespace dtu
