#pragma once
#include <QString>

namespace dtu {
class ConsoleContext;

// Throws away every row and builds the list again from the table.
void RebuildDeviceList(ConsoleContext& ctx);
// Brings the first row with this exact ID up to date from the engine.
void RefreshDeviceRow(ConsoleContext& ctx, const QString& id);
// The 400 ms tick: every queued ID once, then the queue is emptied.
void refreshTick(ConsoleContext& ctx);

} // namespace dtu
