#pragma once
// messageView: the message display. The document is shared with the window's text view, so
// what the operator types counts as lines too, as in the original.
#include <QObject>
#include <QStringList>
#include <QTextDocument>
#include <QTimer>
#include <functional>

namespace dtu {

class MessageDisplay : public QObject {
    Q_OBJECT
public:
    static constexpr int kLineLimit = 50;
    // Writers that do not trim (failures, sends) may outrun the 50-line rule; a lasting
    // failure writes a line every 400 ms. Past this many lines the oldest go regardless,
    // so months of that cannot exhaust memory.
    static constexpr int kHardLimit = 5000;
    explicit MessageDisplay(QObject* parent = nullptr);

    QTextDocument* document(); // brought up to date first
    int lineCount() const;
    QStringList lines();
    void append(const QString& line);
    // A line that holds no line break, made only if it is still there when shown: under
    // a flood most lines are trimmed before the display is next drawn.
    void appendLazy(std::function<QString()> make);
    void trim(int times = 1); // each time: over 50 lines, drop the oldest
    void clear();
    void flush(); // hands pending lines and trims to the document

signals:
    void appended();

private:
    int documentLines() const;
    void dropOldest();
    void enforceHardLimit();
    // At thousands of packets a second, each one's line is appended and the oldest
    // trimmed: collect both and change the document at most 20 times a second, so
    // lines trimmed before then never reach it.
    QTextDocument doc_;
    struct Pending {
        QString text;
        std::function<QString()> make;
    };
    QList<Pending> pending_;
    int pendingTrim_ = 0; // first lines of the document already counted as removed
    QTimer flushTimer_;
};

} // namespace dtu
