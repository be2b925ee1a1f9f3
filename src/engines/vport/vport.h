#pragma once
// What the console needs of a virtual serial port instance. Calls that cannot be
// carried out throw Failure.
#include <QByteArray>
#include <QObject>
#include <QString>
#include <memory>

namespace dtu {

class IVPort : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~IVPort() override = default;
    virtual bool CreatePort(const QString& name) = 0;
    virtual bool DeletePort() = 0;
    virtual int WriteData(const QByteArray& data) = 0;
    // Reads up to count waiting bytes into buf; returns the number read, 0 for none.
    virtual int ReadData(QByteArray& buf, int count) = 0;
    virtual bool ResetBus() = 0;
    // Why the last CreatePort failed, for the log.
    virtual QString lastError() const { return {}; }
    // Field bytes dropped because nobody had the port open (or read it).
    virtual qint64 droppedBytes() const { return 0; }

signals:
    void portReadable(int count);
};

// Makes port instances and knows the system's serial ports.
class IVPortEngine {
public:
    virtual ~IVPortEngine() = default;
    virtual std::unique_ptr<IVPort> makePort() = 0;
    virtual QStringList systemPorts() = 0;
    virtual void rescan() = 0;
    // A name that is a path of its own and already exists there, in any form: it is
    // someone else's and is never touched.
    virtual bool occupied(const QString& name) { (void)name; return false; }
    // Why no port can be made in the ports folder (someone else's, open to all...), or empty.
    virtual QString folderProblem() { return {}; }
};

} // namespace dtu
