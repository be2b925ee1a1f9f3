#pragma once
// How a field DTU answers what the console sends it: the command frames and the
// text commands, with its three lists kept between commands.
#include <QByteArray>
#include <QDateTime>
#include <optional>

namespace dtu {

struct FieldDtu {
    QByteArray peers;      // packed 8-byte IDs
    QByteArray pushIds;    // text
    QByteArray servers;    // text
    qint64 clockOffsetSecs = 0;
    int signal = 23;

    // The reply to a command, or nullopt when the bytes are plain data.
    std::optional<QByteArray> answer(const QByteArray& down, const QDateTime& now);
};

} // namespace dtu
