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
