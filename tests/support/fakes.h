#pragma once
// In-process stand-ins for the engines and the operator, recording what the console asks.
#include "core/errors.h"
#include "core/prompts.h"
#include "engines/link/linkengine.h"
#include "engines/vport/vport.h"

#include <QMap>
#include <QSet>
#include <QStringList>
#include <deque>
#include <QPointer>
#include <functional>
#include <optional>

#include <ostream>

// Readable QString and QByteArray values in failure messages.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }
inline void PrintTo(const QByteArray& b, std::ostream* os) { *os << b.toHex(' ').toStdString(); }
inline void PrintTo(const QStringList& l, std::ostream* os) { *os << '[' << l.join("|").toStdString() << ']'; }

namespace dtu::test {

class FakeLinkEngine : public ILinkEngine {
public:
    QStringList calls; // "OpenDtu(ID)", "SetSendMode(0)", ...
    QStringList registered;
    QSet<QString> online;
    QMap<QString, DtuInfo> info;
    QMap<QString, int> sendResult; // per ID; default 0
    QList<QPair<QString, QByteArray>> sent;
    QString failOn; // a call name that throws, e.g. "GetDtuInfo"

    void call(const QString& c) {
        calls << c;
        if (!failOn.isEmpty() && c.startsWith(failOn)) throw Failure("engine failed: " + c);
    }
    void Prepare() override { call("Prepare"); }
    void SetSendMode(int m) override { call(QString("SetSendMode(%1)").arg(m)); }
    void ClearDtus() override {
        call("ClearDtus");
        registered.clear();
    }
    int AddDtu(const QString& id, const QString& pw) override {
        call("AddDtu(" + id + "," + pw + ")");
        registered << id;
        return 0;
    }
    int RemoveDtu(const QString& id) override {
        call("RemoveDtu(" + id + ")");
        registered.removeAll(id);
        return 0;
    }
    int OpenDtu(const QString& id) override {
        call("OpenDtu(" + id + ")");
        return 0;
    }
    int CloseDtu(const QString& id) override {
        call("CloseDtu(" + id + ")");
        return 0;
    }
    int GetDtuCount() override {
        call("GetDtuCount");
        return static_cast<int>(registered.size());
    }
    QString GetDtuId(int i) override {
        call(QString("GetDtuId(%1)").arg(i));
        return registered.value(i);
    }
    bool IsOnline(const QString& id) override {
        call("IsOnline(" + id + ")");
        return online.contains(id);
    }
    DtuInfo GetDtuInfo(const QString& id) override {
        call("GetDtuInfo(" + id + ")");
        return info.value(id);
    }
    int SendData(const QString& id, const QByteArray& d) override {
        call("SendData(" + id + ")");
        sent << qMakePair(id, d);
        return sendResult.value(id, 0);
    }
    QString GetVersion() override { return "fake 1.0"; }

    QStringList callsStartingWith(const QString& p) const {
        QStringList out;
        for (const QString& c : calls)
            if (c.startsWith(p)) out << c;
        return out;
    }
};

class FakePort : public IVPort {
public:
    QString name;
    bool created = false;
    bool createResult = true;
    QByteArray written;
    QByteArray toRead;
    int deletes = 0, resets = 0;
    bool failDelete = false;
    bool failWrite = false;

    bool CreatePort(const QString& n) override {
        name = n;
        created = createResult;
        return createResult;
    }
    bool DeletePort() override {
        ++deletes;
        if (failDelete) throw Failure("delete failed");
        return true;
    }
    int WriteData(const QByteArray& d) override {
        if (failWrite) throw Failure("write failed");
        written += d;
        return static_cast<int>(d.size());
    }
    int ReadData(QByteArray& buf, int count) override {
        buf = toRead.left(count);
        toRead.remove(0, buf.size());
        return static_cast<int>(buf.size());
    }
    bool ResetBus() override {
        ++resets;
        return true;
    }
    QString lastError() const override { return createResult ? QString() : "refused"; }
};

class FakePortEngine : public IVPortEngine {
public:
    QStringList system;      // the system's serial ports
    QList<QPointer<FakePort>> made; // every instance, in order (owned by the console; null once it lets go)
    std::function<void(FakePort&)> configure;
    std::unique_ptr<IVPort> makePort() override {
        auto p = std::make_unique<FakePort>();
        if (configure) configure(*p);
        made << p.get();
        return p;
    }
    QStringList systemPorts() override {
        QStringList out = system;
        for (FakePort* p : made)
            if (p && p->created) out << p->name;
        return out;
    }
    void rescan() override {}
    QString folderTrouble; // what folderProblem() answers
    QString folderProblem() override { return folderTrouble; }
};

class ScriptedPrompts : public Prompts {
public:
    QStringList messages, errors;
    std::deque<std::optional<QString>> answers;
    void message(const QString& t) override { messages << t; }
    void error(const QString& t) override { errors << t; }
    std::optional<QString> input(const QString&, const QString&, const QString& value) override {
        lastInputValue = value;
        if (answers.empty()) return std::nullopt;
        auto a = answers.front();
        answers.pop_front();
        return a;
    }
    QString lastInputValue;
};

} // namespace dtu::test
