#pragma once
// What stands in for the screen when the console runs as a service: lines on stderr with
// the texts the window would show, and the safe answer wherever it would ask.
#include "core/prompts.h"

#include <QElapsedTimer>
#include <QObject>
#include <QStringList>
#include <cstdio>

namespace dtu {

class ConsoleContext;

// The service's stderr as the journal reads it: one line an event, with its priority as a
// "<N>" prefix when stderr is the journal (JOURNAL_STREAM set). Qt's messages come through
// here too; a run log line that repeats what a Qt message just said is left out.
namespace journal {
enum Priority { Error = 3, Warning = 4, Info = 6, Debug = 7 };
void installMessageHandler();
void write(std::FILE* out, Priority priority, const QString& line);
// What a run log line is worth: failures and lost things warn, "不可用" is an error.
Priority priorityOf(const QString& line);
// A text said on stderr by other means, for alreadySaid.
void remember(const QString& said);
// True when a Qt message of the last seconds held this line's text (stamp aside).
bool alreadySaid(const QString& line);
} // namespace journal

// Nobody to ask: messages and errors become lines, an input is cancelled.
class LoggingPrompts : public Prompts {
public:
    explicit LoggingPrompts(std::FILE* out = stderr) : out_(out) {}
    void message(const QString& text) override;
    void error(const QString& text) override;
    std::optional<QString> input(const QString& title, const QString& prompt, const QString& value) override;

private:
    std::FILE* out_;
};

// LogQueue lines and the failure reporter's lines, one a line; with showData also the
// message display's other lines (data, logins...), at most maxPerSecond of them, with a
// count of what was left out.
class StderrSink : public QObject {
    Q_OBJECT
public:
    StderrSink(ConsoleContext& ctx, bool showData, int maxPerSecond = 20, std::FILE* out = stderr);

private:
    void write(const QString& line);
    void showLines(const QStringList& lines);
    std::FILE* out_;
    int maxPerSecond_;
    QElapsedTimer window_;
    int shownInWindow_ = 0;
    qint64 leftOut_ = 0;
};

} // namespace dtu
