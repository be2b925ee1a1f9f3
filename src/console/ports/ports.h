#pragma once
// Giving each roster record its virtual port, and the path from a port to its DTUs.
#include <QString>
#include <QSet>
#include <QStringList>

namespace dtu {
class ConsoleContext;
class IVPort;

class PortControl {
public:
    explicit PortControl(ConsoleContext& ctx) : ctx_(ctx) {}

    void createPorts(); // creation pass over the whole roster
    void resetPorts(); // reset
    void scanSystemPorts();
    bool portExists(const QString& name) const { return portSet_.contains(name); }
    void showPortStatus(const QString& id, const QString& text);
    const QStringList& systemPorts() const { return systemPorts_; }

    // OnRxChar of every port instance.
    void onPortData(IVPort* sender, int count);
    // Makes an instance whose OnRxChar comes here through the failure reporter.
    IVPort* makeInstance();

private:
    ConsoleContext& ctx_;
    QStringList systemPorts_; // the serial ports the system has, and our links
    QSet<QString> portSet_;
};

} // namespace dtu
