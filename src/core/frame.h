#pragma once
// The DTU command frame: AA 55, length, command word, payload, 16-bit sum.
#include <QByteArray>
#include <QDateTime>
#include <cstdint>
#include <optional>

namespace dtu {

inline constexpr const char kCmdReadClock[] = "E00E";
inline constexpr const char kCmdSetClock[] = "E00D";
inline constexpr const char kCmdReadSignal[] = "E023";

std::uint16_t CommandWord(const char* fourHexDigits);
QByteArray BuildCommandFrame(std::uint16_t command, const QByteArray& payload);
QByteArray ClockPayload(const QDateTime& when); // "yyyy-MM-dd HH:mm:ss", 19 ASCII bytes

// The rule of the signal entry: AA 55 first, and the first E0 23 at the fifth byte.
bool LooksLikeSignalReply(const QByteArray& bytes);
// The signal value of a valid 9-byte reply; nullopt for a wrong length or checksum.
std::optional<int> SignalValue(const QByteArray& bytes);

} // namespace dtu
