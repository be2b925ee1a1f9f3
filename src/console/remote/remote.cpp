#include "console/remote/remote.h"

#include "console/context.h"
#include "core/codec.h"
#include "console/service/service.h"
#include "engines/link/linkengine.h"
#include "core/frame.h"

#include <QRegularExpression>

namespace dtu {

namespace {
struct KindText {
    const char* read;
    const char* set;
};
constexpr KindText kCommands[3] = {{"GETDEST", "SETDEST:"}, {"GETWXIDS", "SETWXIDS:"}, {"GETJPIDS", "SETJPIDS:"}};

int findCaseless(const TargetListModel& m, const QString& id) {
    for (int r = 0; r < m.rowCount(); ++r)
        if (m.row(r).id.compare(id, Qt::CaseInsensitive) == 0) return r;
    return -1;
}

QList<int> selectedRows(const QItemSelectionModel& sel) {
    QList<int> rows;
    const auto idx = sel.selectedRows();
    for (const QModelIndex& i : idx) rows << i.row();
    std::sort(rows.begin(), rows.end());
    return rows;
}

bool isControlOrSpace(QChar c) { return c.unicode() <= 0x20; }
} // namespace

QString TrimControls(const QString& s) {
    qsizetype b = 0, e = s.size();
    while (b < e && isControlOrSpace(s[b])) ++b;
    while (e > b && isControlOrSpace(s[e - 1])) --e;
    return s.mid(b, e - b);
}

QString RemoteFunctions::kCurrentSourceBlank() { return QString(16, QLatin1Char(' ')); }

QVariant TargetListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rowCount()) return {};
    const TargetRow& r = row(index.row());
    if (role == Qt::DisplayRole || role == Qt::AccessibleTextRole) return text(index.row(), index.column());
    if (role == DeviceListModel::StatePictureRole && index.column() == 0) return r.statePic;
    return {};
}

QVariant TargetListModel::headerData(int section, Qt::Orientation o, int role) const {
    static const char* const heads[] = {"设备身份ID", "登录密码", "设备名称"};
    if (o == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < 3) return QString::fromUtf8(heads[section]);
    return QAbstractTableModel::headerData(section, o, role);
}

bool TargetListModel::removeRows(int row, int count, const QModelIndex& parent) {
    if (parent.isValid() || row < 0 || count <= 0 || row + count > rowCount()) return false;
    beginRemoveRows({}, row, row + count - 1);
    rows_.erase(rows_.begin() + row, rows_.begin() + row + count);
    endRemoveRows();
    return true;
}

void TargetListModel::appendRow(const TargetRow& r) {
    beginInsertRows({}, rowCount(), rowCount());
    rows_.push_back(r);
    endInsertRows();
}

QString TargetListModel::text(int r, int column) const {
    const TargetRow& t = row(r);
    return column == 0 ? t.id : column == 1 ? t.password : column == 2 ? t.name : QString();
}

void TargetListModel::setText(int r, int column, const QString& value) {
    TargetRow& t = rows_[static_cast<size_t>(r)];
    (column == 0 ? t.id : column == 1 ? t.password : t.name) = value;
    emit dataChanged(index(r, column), index(r, column));
}

TargetTab::TargetTab() { currentSource = RemoteFunctions::kCurrentSourceBlank(); }

RemoteFunctions::RemoteFunctions(ConsoleContext& ctx, QObject* parent) : QObject(parent), ctx_(ctx) {}

void RemoteFunctions::registerReplies(LinkEvents& events) {
    auto& list = events.replyRecognizers;
    list.push_back({"DSTLIST=", {}, true, QStringLiteral(":读取P2P目标地址列表成功"),
                    [this](const QString&, const QByteArray& r) { onPeerList(r); },
                    [this](const QString& id) { return fromCurrentSource(TargetKind::Peer, id); }});
    list.push_back({"WXIDS=", {}, true, QStringLiteral(":读取微信目标ID列表成功"),
                    [this](const QString&, const QByteArray& r) { onText(TargetKind::Push, r); },
                    [this](const QString& id) { return fromCurrentSource(TargetKind::Push, id); }});
    list.push_back({"JPIDS=", {}, true, QStringLiteral(":读取转发目标服务器列表成功"),
                    [this](const QString&, const QByteArray& r) { onText(TargetKind::Forward, r); },
                    [this](const QString& id) { return fromCurrentSource(TargetKind::Forward, id); }});
    list.push_back({"SETDSTLIST OK", {}, true, QStringLiteral(":设置P2P目标地址列表成功"), {}, {}});
    list.push_back({"SETWXLIST OK", {}, true, QStringLiteral(":设置微信目标ID列表成功"), {}, {}});
    list.push_back({"SETJPLIST OK", {}, true, QStringLiteral(":设置转发目标服务器列表成功"), {}, {}});
    list.push_back({"WECHAT SENDOK", {}, true, QStringLiteral(":微信推送提交成功"), {}, {}});
    list.push_back({{}, &LooksLikeSignalReply, false, {},
                    [this](const QString& id, const QByteArray& b) { ParseSignalReply(id, b); }, {}});
}

bool RemoteFunctions::fromCurrentSource(TargetKind k, const QString& id) {
    const QString current = tab(k).currentSource;
    if (QString::compare(id, current, Qt::CaseInsensitive) == 0) return true;
    // "设置" would otherwise write this DTU's list into the one the tab shows.
    ctx_.logQueue.PostLog(ctx_.stamp() + QStringLiteral(" 收到%1的列表回复，但当前源DTU是%2，已忽略")
                                             .arg(id, TrimControls(current).isEmpty() ? QStringLiteral("(未选)") : current));
    return false;
}

bool RemoteFunctions::forEachSelectedDevice(const std::function<void(const QString&)>& fn) {
    if (!ctx_.anySelected()) {
        ctx_.prompts.message(QStringLiteral("请先选中DTU"));
        return false;
    }
    for (int row : ctx_.selectedRows()) fn(ctx_.devices.caption(row));
    return true;
}

void RemoteFunctions::readClock() { forEachSelectedDevice([this](const QString& id) { SendReadClock(id); }); }
void RemoteFunctions::setClock() { forEachSelectedDevice([this](const QString& id) { SendSetClock(id); }); }
void RemoteFunctions::readSignal() {
    forEachSelectedDevice([this](const QString& id) { readSignalOf(id); });
}

void RemoteFunctions::readSignalOf(const QString& id) {
    ctx_.engine.SetSendMode(0);
    SendReadSignal(id);
    ctx_.engine.SetSendMode(2);
}

void RemoteFunctions::SendReadClock(const QString& id) {
    SendToDtu(ctx_, -1, id, BuildCommandFrame(CommandWord(kCmdReadClock), {}), SendSource::Command);
}

void RemoteFunctions::SendSetClock(const QString& id) {
    SendToDtu(ctx_, -1, id, BuildCommandFrame(CommandWord(kCmdSetClock), ClockPayload(ctx_.clock.now())), SendSource::Command);
}

void RemoteFunctions::SendReadSignal(const QString& id) {
    SendToDtu(ctx_, -1, id, BuildCommandFrame(CommandWord(kCmdReadSignal), {}), SendSource::Command);
}

void RemoteFunctions::ParseSignalReply(const QString& id, const QByteArray& bytes) {
    if (const auto v = SignalValue(bytes)) ctx_.messageDisplay.append(id + QStringLiteral("信号=") + QString::number(*v));
}

void RemoteFunctions::load(TargetKind k) {
    TargetTab& t = tab(k);
    t.sources.removeRows(0, t.sources.rowCount());
    const auto& d = ctx_.devices;
    for (int r = 0; r < d.rowCount(); ++r)
        t.sources.appendRow({d.caption(r), d.subItem(r, DeviceListModel::SubPassword), d.subItem(r, DeviceListModel::SubName),
                             d.statePicture(r), d.smallPicture(r)});
}

void RemoteFunctions::setCurrent(TargetKind k, const QString& id) {
    tab(k).currentSource = id;
    emit currentSourceChanged(k, id);
}

void RemoteFunctions::sendCommand(const QString& id, const QByteArray& command) {
    ctx_.engine.SetSendMode(0);
    SendToDtu(ctx_, -1, id, command, SendSource::Command);
    ctx_.engine.SetSendMode(2);
}

void RemoteFunctions::readSelected(TargetKind k, bool complainOffline) {
    TargetTab& t = tab(k);
    const QList<int> rows = selectedRows(t.sourceSelection);
    if (rows.isEmpty()) return;
    readOf(k, t.sources.row(rows.first()).id, complainOffline);
}

void RemoteFunctions::readOf(TargetKind k, const QString& id, bool complainOffline) {
    if (!ctx_.engine.IsOnline(id)) {
        if (complainOffline) ctx_.prompts.message(QStringLiteral("该设备不在线，无法进行读取"));
        return;
    }
    setCurrent(k, id);
    sendCommand(id, QByteArray(kCommands[static_cast<int>(k)].read));
}

void RemoteFunctions::pick(TargetKind k) { readSelected(k, false); }

void RemoteFunctions::read(TargetKind k) { readSelected(k, true); }

QByteArray RemoteFunctions::setCommand(TargetKind k, bool* ok) {
    *ok = true;
    QByteArray cmd(kCommands[static_cast<int>(k)].set);
    TargetTab& t = tab(k);
    if (k != TargetKind::Peer) {
        return cmd + ctx_.displayEncode(TrimControls(t.text.toPlainText().replace(QChar::ParagraphSeparator, QLatin1Char('\n')))
                                            .replace(QLatin1Char('\n'), QLatin1String("\r\n")));
    }
    static const QRegularExpression hex16(QStringLiteral("^[0-9A-Fa-f]{16}$"));
    for (int r = 0; r < t.targets.rowCount(); ++r) {
        const QString id = t.targets.row(r).id;
        if (!hex16.match(id).hasMatch()) {
            // Packing anything else would hand the DTU a different ID than the operator sees.
            ctx_.prompts.message(QStringLiteral("目标ID \"%1\" 不是16位十六进制数字，无法设置").arg(id));
            *ok = false;
            return {};
        }
        cmd += HexToBytes(id.toLatin1());
    }
    return cmd;
}

void RemoteFunctions::set(TargetKind k) {
    const QString source = tab(k).currentSource;
    if (TrimControls(source).isEmpty()) {
        ctx_.prompts.message(QStringLiteral("请先确定当前源ID"));
        return;
    }
    if (!ctx_.engine.IsOnline(source)) {
        ctx_.prompts.message(QStringLiteral("该设备不在线，无法进行设置"));
        return;
    }
    bool ok = false;
    const QByteArray cmd = setCommand(k, &ok);
    if (!ok) return;
    sendCommand(source, cmd);
}

void RemoteFunctions::addTargets() {
    TargetTab& t = tab(TargetKind::Peer);
    for (int r : selectedRows(t.sourceSelection)) {
        const TargetRow& src = t.sources.row(r);
        if (findCaseless(t.targets, src.id) >= 0) {
            ctx_.prompts.message(QStringLiteral("该目标ID已经加入"));
            continue;
        }
        t.targets.appendRow({src.id, src.password, src.name, src.statePic, -1});
    }
}

void RemoteFunctions::removeTargets() {
    TargetTab& t = tab(TargetKind::Peer);
    const QList<int> rows = selectedRows(t.targetSelection);
    for (auto it = rows.crbegin(); it != rows.crend(); ++it) t.targets.removeRow(*it);
}

void RemoteFunctions::testPush(const QString& message) {
    const QString source = tab(TargetKind::Push).currentSource;
    if (!ctx_.engine.IsOnline(source)) {
        ctx_.prompts.message(QStringLiteral("该设备不在线，不能推送消息"));
        return;
    }
    sendCommand(source, QByteArray("WECHAT:") + ctx_.displayEncode(message));
}

void RemoteFunctions::onPeerList(const QByteArray& rest) {
    TargetTab& t = tab(TargetKind::Peer);
    t.targets.removeRows(0, t.targets.rowCount());
    for (qsizetype k = 0; k + 8 <= rest.size(); k += 8) {
        const QString id = QString::fromLatin1(BytesToHex(rest.mid(k, 8)));
        const int src = findCaseless(t.sources, id);
        if (src >= 0) {
            t.targets.appendRow(t.sources.row(src));
        } else {
            t.targets.appendRow({id, {}, {}, -1, -1});
        }
    }
}

void RemoteFunctions::onText(TargetKind k, const QByteArray& rest) {
    tab(k).text.setPlainText(ctx_.displayText(rest));
}

} // namespace dtu
