#include "sim/fielddtu.h"

#include "core/frame.h"

namespace dtu {

std::optional<QByteArray> FieldDtu::answer(const QByteArray& down, const QDateTime& now) {
    if (down.size() >= 8 && down.startsWith("\xAA\x55")) {
        const auto cmd = static_cast<std::uint16_t>((static_cast<std::uint8_t>(down[4]) << 8) | static_cast<std::uint8_t>(down[5]));
        const QByteArray payload = down.mid(6, down.size() - 8);
        if (cmd == CommandWord(kCmdReadClock))
            return BuildCommandFrame(cmd, ClockPayload(now.addSecs(clockOffsetSecs)));
        if (cmd == CommandWord(kCmdSetClock)) {
            const QDateTime set = QDateTime::fromString(QString::fromLatin1(payload), QStringLiteral("yyyy-MM-dd HH:mm:ss"));
            if (set.isValid()) clockOffsetSecs = now.secsTo(set);
            return BuildCommandFrame(cmd, QByteArray(1, set.isValid() ? '\0' : '\1'));
        }
        if (cmd == CommandWord(kCmdReadSignal)) return BuildCommandFrame(cmd, QByteArray(1, static_cast<char>(signal)));
    }
    if (down == "GETDEST") return "DSTLIST=" + peers;
    if (down.startsWith("SETDEST:")) {
        peers = down.mid(8);
        return QByteArray("SETDSTLIST OK");
    }
    if (down == "GETWXIDS") return "WXIDS=" + pushIds;
    if (down.startsWith("SETWXIDS:")) {
        pushIds = down.mid(9);
        return QByteArray("SETWXLIST OK");
    }
    if (down == "GETJPIDS") return "JPIDS=" + servers;
    if (down.startsWith("SETJPIDS:")) {
        servers = down.mid(9);
        return QByteArray("SETJPLIST OK");
    }
    if (down.startsWith("WECHAT:")) return QByteArray("WECHAT SENDOK");
    return std::nullopt;
}

} // namespace dtu
