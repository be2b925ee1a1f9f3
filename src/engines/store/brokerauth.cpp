#include "engines/store/brokerauth.h"
#include "engines/store/rowrules.h"

#include <QPasswordDigestor>
#include <QRandomGenerator>
#include <QSet>

namespace dtu {

QByteArray MosquittoPasswordLine(const QString& user, const QString& password, const QByteArray& salt) {
    constexpr int kRounds = 101;
    const QByteArray key = QPasswordDigestor::deriveKeyPbkdf2(QCryptographicHash::Sha512, password.toUtf8(), salt, kRounds, 64);
    return user.toUtf8() + ":$7$" + QByteArray::number(kRounds) + '$' + salt.toBase64() + '$' + key.toBase64() + '\n';
}


BrokerAuth MakeBrokerAuth(const std::vector<DtuRow>& rows, const QString& topicPrefix) {
    BrokerAuth out;
    QSet<QString> seen;
    for (size_t i = 0; i < rows.size(); ++i) {
        const DtuRow& r = rows[i];
        if (const QString why = WhyNotATopicLevel(r.dtuid); !why.isEmpty()) {
            out.problems << QStringLiteral("row %1: %2").arg(i + 1).arg(why);
            continue;
        }
        if (seen.contains(r.dtuid)) continue; // the same DTU listed twice logs in once
        seen.insert(r.dtuid);
        QByteArray salt(12, Qt::Uninitialized);
        for (char& b : salt) b = static_cast<char>(QRandomGenerator::system()->bounded(256));
        out.passwd += MosquittoPasswordLine(r.dtuid, r.password, salt);
    }
    if (!out.problems.isEmpty()) {
        out.passwd.clear();
        return out;
    }
    // Console and field DTU log in with the DTU's ID: both are held to that DTU's topics.
    out.acl = "# Written by dtudb broker-auth: every DTU ID reaches only its own topics.\n"
              "pattern readwrite " + topicPrefix.toUtf8() + "/%u/#\n";
    return out;
}

} // namespace dtu
