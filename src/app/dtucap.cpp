// dtucap: a capture file as an annotated hex dump, filtered, or as CSV.
#include "core/capturefile.h"
#include "core/codec.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDateTime>
#include <cstdio>

using namespace dtu;

namespace {

void out(const QString& s) { std::fputs(qPrintable(s + QLatin1Char('\n')), stdout); }

QString printable(const QByteArray& b) {
    QString s;
    for (char c : b) s += (c >= 0x20 && c < 0x7f) ? QLatin1Char(c) : QLatin1Char('.');
    return s;
}

// A local wall time as an instant. One inside the spring-forward gap (02:30 on the night the
// clocks skip 02:00-03:00) is read with the offset before the change, as the clock meant it.
QDateTime localWall(QDate d, QTime t) {
    const QDateTime x(d, t);
    if (x.isValid()) return x;
    const QDateTime before(d, t.addSecs(-3600));
    return before.isValid() && before.date() == d ? before.addSecs(3600) : x;
}

bool parseTime(const QString& text, qint64* usecs) {
    const QString s = text.trimmed();
    QDate date = QDate::currentDate();
    QString clock = s;
    if (s.size() >= 10 && QDate::fromString(s.left(10), QStringLiteral("yyyy-MM-dd")).isValid()) {
        date = QDate::fromString(s.left(10), QStringLiteral("yyyy-MM-dd"));
        if (s.size() > 10 && s[10] != QLatin1Char('T') && s[10] != QLatin1Char(' ')) return false;
        clock = s.mid(11);
        if (s.size() == 10) clock = QStringLiteral("00:00");
    }
    for (const char* f : {"HH:mm:ss.zzz", "HH:mm:ss", "HH:mm"}) {
        const QTime t = QTime::fromString(clock, QLatin1String(f));
        if (!t.isValid()) continue;
        const QDateTime at = localWall(date, t);
        if (!at.isValid()) return false;
        *usecs = at.toMSecsSinceEpoch() * 1000;
        return true;
    }
    return false;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("dtucap"));
    QCommandLineParser p;
    p.setApplicationDescription(QStringLiteral("Show a DTU capture file: an annotated hex dump with printable text and the gaps, or CSV."));
    p.addHelpOption();
    const QCommandLineOption dir(QStringLiteral("dir"), QStringLiteral("only one direction: in (field to console) or out (console to field)"), QStringLiteral("in|out")),
        from(QStringLiteral("from"), QStringLiteral("records at or after this time"), QStringLiteral("TIME")),
        to(QStringLiteral("to"), QStringLiteral("records before this time"), QStringLiteral("TIME")),
        id(QStringLiteral("id"), QStringLiteral("only this DTU"), QStringLiteral("ID")),
        csv(QStringLiteral("csv"), QStringLiteral("CSV: time,id,direction,source,length,hex,text")),
        strict(QStringLiteral("strict"), QStringLiteral("refuse a file with a broken line instead of skipping the line"));
    p.addOptions({dir, from, to, id, csv, strict});
    p.addPositionalArgument(QStringLiteral("file"), QStringLiteral("capture file(s)"), QStringLiteral("FILE..."));
    p.process(app);
    if (p.positionalArguments().isEmpty()) p.showHelp(2);
    if (p.isSet(dir) && p.value(dir) != QLatin1String("in") && p.value(dir) != QLatin1String("out")) {
        std::fprintf(stderr, "dtucap: --dir is in or out, not '%s'\n", qPrintable(p.value(dir)));
        return 2;
    }
    qint64 fromUs = std::numeric_limits<qint64>::min(), toUs = std::numeric_limits<qint64>::max();
    if (p.isSet(from) && !parseTime(p.value(from), &fromUs)) {
        std::fprintf(stderr, "dtucap: --from '%s' is not a time (2026-12-10T03:14:15, '2026-12-10 03:14', 03:14)\n", qPrintable(p.value(from)));
        return 2;
    }
    if (p.isSet(to) && !parseTime(p.value(to), &toUs)) {
        std::fprintf(stderr, "dtucap: --to '%s' is not a time\n", qPrintable(p.value(to)));
        return 2;
    }
    if (p.isSet(csv)) out(QStringLiteral("time,id,direction,source,length,hex,text"));
    qint64 previous = -1;
    int shown = 0;
    for (const QString& path : p.positionalArguments()) {
        const CaptureFile file = ReadCaptureFile(path, p.isSet(strict));
        if (!file.error.isEmpty()) {
            std::fprintf(stderr, "dtucap: %s\n", qPrintable(file.error));
            return 1;
        }
        for (const QString& w : file.skipped) std::fprintf(stderr, "dtucap: warning: %s (line skipped; --strict refuses)\n", qPrintable(w));
        for (const CaptureRecord& r : file.records) {
            if (p.isSet(dir) && r.toField != (p.value(dir) == QLatin1String("out"))) continue;
            if (p.isSet(id) && r.id != p.value(id)) continue;
            if (r.usecs < fromUs || r.usecs >= toUs) continue;
            ++shown;
            const QString time = CaptureTime(r.usecs, r.offsetSeconds);
            if (p.isSet(csv)) {
                out(QStringList{time, r.id, r.toField ? QStringLiteral("out") : QStringLiteral("in"), QString::fromUtf8(r.source),
                                QString::number(r.bytes.size()), QString::fromLatin1(r.bytes.toHex().toUpper()), CsvField(printable(r.bytes))}
                        .join(QLatin1Char(',')));
                continue;
            }
            const QString gap = previous < 0 ? QString() : QStringLiteral("  (+%1 s)").arg(double(r.usecs - previous) / 1e6, 0, 'f', 6);
            previous = r.usecs;
            out(QStringLiteral("%1 %2 %3 %4 %5 byte(s)%6")
                    .arg(time, r.id, r.toField ? QStringLiteral("console -> field") : QStringLiteral("field -> console"),
                         QString::fromUtf8(r.source))
                    .arg(r.bytes.size())
                    .arg(gap));
            for (qsizetype off = 0; off < r.bytes.size(); off += 16) {
                const QByteArray chunk = r.bytes.mid(off, 16);
                QString hex = QString::fromLatin1(chunk.toHex(' ').toUpper());
                out(QStringLiteral("    %1  %2  %3").arg(off, 4, 16, QLatin1Char('0')).arg(hex, -47).arg(printable(chunk)));
            }
        }
    }
    if (!p.isSet(csv)) out(QStringLiteral("%1 record(s)").arg(shown));
    return 0;
}
