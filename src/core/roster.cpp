#include "core/roster.h"

#include <algorithm>

namespace dtu {

namespace {
const QList<int> kNone;

void insertSorted(QList<int>& list, int pos) {
    list.insert(std::lower_bound(list.begin(), list.end(), pos), pos);
}
} // namespace

RosterRecord& DtuList::append(const QString& dtuId, const QString& portName) {
    auto rec = std::make_unique<RosterRecord>();
    rec->dtuId = dtuId;
    rec->portName = portName;
    const int pos = count();
    records_.push_back(std::move(rec));
    byId_[dtuId].append(pos);
    byPort_[portName].append(pos);
    if (changed) changed();
    return *records_.back();
}

void DtuList::clear() {
    records_.clear();
    byId_.clear();
    byPort_.clear();
    byPortRef_.clear();
    if (changed) changed();
}

void DtuList::removeId(const QString& dtuId) {
    if (!byId_.contains(dtuId)) return;
    std::erase_if(records_, [&](const std::unique_ptr<RosterRecord>& r) { return r->dtuId == dtuId; });
    reindex();
    if (changed) changed();
}

void DtuList::reindex() {
    byId_.clear();
    byPort_.clear();
    byPortRef_.clear();
    for (int pos = 0; pos < count(); ++pos) {
        byId_[at(pos).dtuId].append(pos);
        byPort_[at(pos).portName].append(pos);
        indexOwner(pos);
    }
}

const QList<int>& DtuList::positionsOfId(const QString& id) const {
    auto it = byId_.constFind(id);
    return it == byId_.cend() ? kNone : *it;
}

const QList<int>& DtuList::positionsOfPort(const QString& portName) const {
    auto it = byPort_.constFind(portName);
    return it == byPort_.cend() ? kNone : *it;
}

RosterRecord* DtuList::firstById(const QString& id) {
    const auto& p = positionsOfId(id);
    return p.isEmpty() ? nullptr : &at(p.first());
}

void DtuList::setPortName(int pos, const QString& portName) {
    RosterRecord& r = at(pos);
    if (r.portName == portName) return;
    auto& old = byPort_[r.portName];
    old.removeOne(pos);
    if (old.isEmpty()) byPort_.remove(r.portName);
    r.portName = portName;
    insertSorted(byPort_[portName], pos);
    if (changed) changed();
}

void DtuList::setPort(int pos, IVPort* port, bool open) {
    RosterRecord& r = at(pos);
    if (r.port && r.portOpen) {
        auto& owners = byPortRef_[r.port];
        owners.removeOne(pos);
        if (owners.isEmpty()) byPortRef_.remove(r.port);
    }
    r.port = port;
    r.portOpen = open;
    indexOwner(pos);
    if (changed) changed();
}

void DtuList::indexOwner(int pos) {
    RosterRecord& r = at(pos);
    if (r.port && r.portOpen) insertSorted(byPortRef_[r.port], pos);
}

RosterRecord* DtuList::ownerOf(const IVPort* port) {
    auto it = byPortRef_.constFind(port);
    if (it == byPortRef_.cend() || it->isEmpty()) return nullptr;
    return &at(it->first());
}

void RefreshQueue::MarkForRefresh(const QString& id) {
    const QString key = id.toCaseFolded();
    if (folded_.contains(key)) return;
    folded_.insert(key);
    ids_.append(id);
}

void RefreshQueue::clear() {
    ids_.clear();
    folded_.clear();
}

void LogQueue::PostLog(const QString& line) {
    lines_.prepend(line);
    while (lines_.size() > kLimit) lines_.removeLast();
    emit posted(line);
}

void LogQueue::clear() {
    lines_.clear();
    emit cleared();
}

} // namespace dtu
