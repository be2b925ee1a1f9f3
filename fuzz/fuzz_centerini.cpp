// center.ini, whatever the file holds: defaults for what cannot be read, values in range.
#include "core/config.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <cstdlib>

using namespace dtu;

namespace {
QTemporaryDir* g_dir = nullptr;
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    static int argc = 1;
    static char name[] = "fuzz";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    g_dir = new QTemporaryDir;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    {
        QFile f(g_dir->filePath(QStringLiteral("center.ini")));
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) std::abort();
        f.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
    }
    const CenterConfig c = ReadCenterConfig(ConfigPaths{g_dir->path(), g_dir->path() + QStringLiteral("/none")});
    const LinkConfig& l = c.link;
    if (l.port < 1 || l.port > 65535 || l.keepAlive < 5 || l.beatInterval < 1 || l.maxQueued < 1 || l.maxPending < 1)
        std::abort();
    if (c.listenerPort < 0 || c.listenerPort > 65535 || c.listenerMaxIdle < 1 || c.portDir.trimmed().isEmpty()) std::abort();
    return 0;
}
