#pragma once
// A local program on a virtual port: opens the link like a serial port, with whatever
// terminal settings it finds, and reads without blocking.
#include "support/broker.h"

#include <QByteArray>
#include <QFile>
#include <fcntl.h>
#include <unistd.h>

namespace dtu::test {

struct PortClient {
    int fd = -1;
    explicit PortClient(const QString& path) { fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK); }
    ~PortClient() { close(); }
    void close() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    QByteArray read(int want, int ms = 3000) {
        QByteArray out;
        waitFor([&] {
            char buf[4096];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0) out.append(buf, n);
            return out.size() >= want;
        }, ms);
        return out;
    }
    bool write(const QByteArray& b) { return ::write(fd, b.constData(), b.size()) == b.size(); }
};

} // namespace dtu::test
