#pragma once
// The add and edit dialogs' confirmation steps and the roster commands of the
// "DTU管理" menu, without any widget.
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

namespace dtu {
class ConsoleContext;

struct DtuFields {
    QString id;       // Edit1
    QString password; // Edit2
    QString name;     // Edit3
    QString sim;      // Edit4
    QString port = QStringLiteral("COM3"); // EditCOM
};

class RosterCommands {
public:
    explicit RosterCommands(ConsoleContext& ctx) : ctx_(ctx) {}

    // Add dialog "新增": true when the DTU went in (ID and password are then emptied).
    bool confirmAdd(DtuFields& f);
    // Edit dialog: activation reloads the stored values of f.id.
    void loadForEdit(DtuFields& f);
    bool confirmEdit(DtuFields& f);

    std::optional<QString> editSelected(); // the ID to edit, nothing without a selection
    void deleteSelected();
    void deleteIds(const QStringList& ids);
    // Told of every row this console writes to the table (nullptr: deleted), so that a reload
    // of the table does not take the console's own changes for someone else's.
    std::function<void(const QString& id, const DtuFields* now)> tableChanged;
    void closeSelected();
    void closeAll();
    void clearStatistics();
    void reloadDtus();

private:
    bool validate(const DtuFields& f);
    ConsoleContext& ctx_;
};

} // namespace dtu
