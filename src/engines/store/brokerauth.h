#pragma once
// What a locked-down relay center needs from the DTU table: a mosquitto password file
// (hashed as mosquitto_passwd writes it) and an ACL that confines each DTU ID to its own
// topics under the prefix.
#include "engines/store/dtustore.h"

#include <QByteArray>
#include <QStringList>
#include <vector>

namespace dtu {

struct BrokerAuth {
    QByteArray passwd;   // one "ID:$7$101$salt$hash" line a DTU
    QByteArray acl;      // pattern rules on %u
    QStringList problems; // "row N: ..." for IDs that cannot be a topic level; nothing is written then
};

// A mosquitto 2 password line: PBKDF2-HMAC-SHA512, 101 rounds, 12-byte salt, 64-byte key.
QByteArray MosquittoPasswordLine(const QString& user, const QString& password, const QByteArray& salt);
BrokerAuth MakeBrokerAuth(const std::vector<DtuRow>& rows, const QString& topicPrefix);

} // namespace dtu
