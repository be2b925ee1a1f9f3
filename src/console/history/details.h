#pragma once
// What the details dialog shows of one DTU: its online periods over the last day, packets
// per minute each way and its latest events, and the same as CSV for export.
#include "console/history/minutetraffic.h"
#include "engines/store/dtustore.h"

#include <QVector>

namespace dtu {

struct OnlinePeriod {
    qint64 fromMs = 0, toMs = 0;
};

struct DtuDetails {
    static constexpr int kShownEvents = 100;
    static constexpr qint64 kWindowMs = 24LL * 3600 * 1000;

    QString id;
    qint64 nowMs = 0;
    QVector<OnlinePeriod> periods;     // clipped to the last day, oldest first
    std::vector<MinuteCounts> minutes;  // MinuteRing::kMinutes entries ending at nowMs's minute
    qint64 firstMinuteMs = 0;          // start of minutes[0]
    std::vector<DtuEvent> lastEvents;   // newest first, at most kShownEvents
    QString note;                      // why the history may be incomplete, empty when it is not

    // events: oldest first; they may start before the window (the state at its start).
    static DtuDetails build(const QString& id, const std::vector<DtuEvent>& events,
                            std::vector<MinuteCounts> minutes, qint64 nowMs, bool onlineNow);
    qint64 onlineMs() const;
    QString eventsCsv() const;
    QString minutesCsv() const;
    // Both CSVs into a folder (UTF-8 with a byte-order mark, as spreadsheets want); the
    // written paths, or a Failure naming the file.
    QStringList exportCsv(const QString& folder) const;
};

// The database's events and this run's not yet written ones, oldest first, no repeats.
std::vector<DtuEvent> MergeEvents(const std::vector<DtuEvent>& stored, const std::vector<DtuEvent>& recent);

} // namespace dtu
