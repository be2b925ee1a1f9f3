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

    void N22Click(); // creation pass over the whole roster
    void N23Click(); // reset
    void ScanSystemPorts();
    bool PortExists(const QString& name) const { return portSet_.contains(name); }
    void ShowPortStatus(const QString& id, const QString& text);
    const QStringList& systemPorts() const { return systemPorts_; }

    // OnRxChar of every port instance.
    void VSPortAx1RxChar(IVPort* sender, int count);
    // Makes an instance whose OnRxChar comes here through the failure reporter.
    IVPort* makeInstance();

private:
    ConsoleContext& ctx_;
    QStringList systemPorts_; // Memocomports
    QSet<QString> portSet_;
};

} // namespace dtu
