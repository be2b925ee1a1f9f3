#pragma once
// The message display's lines, without a screen: the 50-line trimming rule, a hard limit,
// lines made only if they are still there when shown, and changes handed to whoever shows
// them at most 20 times a second. The window keeps its text view in step with changed();
// what the operator types into that view comes back through setLines(), so it counts as
// lines too.
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <memory>

namespace dtu {

class MessageDisplay : public QObject {
    Q_OBJECT
public:
    static constexpr int kLineLimit = 50;
    // Writers that do not trim (failures, sends) may outrun the 50-line rule; a lasting
    // failure writes a line every 400 ms, and binary packets bring a line per CR or LF.
    // Past this many lines the oldest go regardless, so months of that cannot exhaust
    // memory, and a flood lays out no more text per hand-over than this.
    static constexpr int kHardLimit = 2000;
    explicit MessageDisplay(QObject* parent = nullptr);

    int lineCount() const;
    QStringList lines(); // brought up to date first
    void append(const QString& line);
    // A line that holds no line break, made only if it is still there when shown: under
    // a flood most lines are trimmed before the display is next drawn.
    void appendLazy(std::function<QString()> make);
    // A text that holds line breaks and becomes `count` lines, made only if one of them is
    // still there when shown. Should the text split otherwise, its lines are fitted to count.
    void appendLazyLines(int count, std::function<QString()> make);
    void trim(int times = 1); // each time: over 50 lines, drop the oldest
    // How append() cuts a text with breaks into lines.
    static QStringList splitLines(const QString& text);
    void clear();
    void flush(); // makes pending lines and hands the changes on
    void setLines(const QStringList& lines); // the shown text, edited by the operator

signals:
    // removed lines from the top, then added at the end; emitted by flush()
    void changed(int removed, const QStringList& added);
    void cleared();

private:
    void dropOldest();
    void enforceHardLimit();
    void schedule();
    // At thousands of packets a second, each one's line is appended and the oldest
    // trimmed: collect both and hand them on at most 20 times a second, so lines trimmed
    // before then are never made.
    struct Group {
        std::function<QString()> make;
        int count = 0;
        QStringList lines; // made on first use
        bool made = false;
        QString line(int i);
    };
    struct Pending {
        QString text;
        std::function<QString()> make;
        std::shared_ptr<Group> group; // one line of a lazy text with breaks
        int index = 0;
    };
    static QString make(Pending& p);
    // Shown lines stay unmade while nobody watches the display (a service that does not
    // print data lines): lines() makes them when asked.
    QList<Pending> shown_;
    QList<Pending> pending_;
    int pendingTrim_ = 0; // first shown lines already counted as removed
    QTimer flushTimer_;
};

} // namespace dtu
