#pragma once
// The in-memory roster and the two hand-over queues. Lookups that run per packet
// (ID to record, port name to records, port to owner) go through hash indexes that
// keep the first-match and every-match order of a walk from the front.
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <vector>

namespace dtu {

class IVPort;

class RosterRecord {
public:
    QString dtuId;
    QString portName;
    QString portState;
    bool portOpen = false;
    IVPort* port = nullptr; // not owned
};

class DtuList {
public:
    int count() const { return static_cast<int>(records_.size()); }
    RosterRecord& at(int i) { return *records_[static_cast<size_t>(i)]; }
    const RosterRecord& at(int i) const { return *records_[static_cast<size_t>(i)]; }

    RosterRecord& append(const QString& dtuId, const QString& portName);
    void clear();
    // Drops every record of the ID (its ports must be let go first); the others keep their order.
    void removeId(const QString& dtuId);

    // Positions in roster order; empty when nothing matches. Comparisons are exact.
    const QList<int>& positionsOfId(const QString& id) const;
    const QList<int>& positionsOfPort(const QString& portName) const;
    RosterRecord* firstById(const QString& id);

    void setPortName(int pos, const QString& portName);
    void setPort(int pos, IVPort* port, bool open);
    // First record whose port open flag is set and which holds exactly this port.
    RosterRecord* ownerOf(const IVPort* port);

    // Called after every change of records, port names or ports (routes follow the roster).
    std::function<void()> changed;

private:
    void indexOwner(int pos);
    void reindex();
    std::vector<std::unique_ptr<RosterRecord>> records_;
    QHash<QString, QList<int>> byId_;
    QHash<QString, QList<int>> byPort_;
    QHash<const IVPort*, QList<int>> byPortRef_; // records holding the port with the flag set
};

class RefreshQueue {
public:
    void MarkForRefresh(const QString& id);
    const QStringList& ids() const { return ids_; }
    int count() const { return static_cast<int>(ids_.size()); }
    void clear();

private:
    QStringList ids_;
    QSet<QString> folded_;
};

class LogQueue : public QObject {
    Q_OBJECT
public:
    static constexpr int kLimit = 100;
    void PostLog(const QString& line);
    void clear();
    const QStringList& lines() const { return lines_; } // newest first

signals:
    void posted(const QString& line);
    void cleared();

private:
    QStringList lines_;
};

} // namespace dtu
