#pragma once
// Memo1: the message display. The document is shared with the window's text view, so
// what the operator types counts as lines too, as in the original.
#include <QObject>
#include <QStringList>
#include <QTextDocument>

namespace dtu {

class MessageDisplay : public QObject {
    Q_OBJECT
public:
    static constexpr int kLineLimit = 50;
    explicit MessageDisplay(QObject* parent = nullptr);

    QTextDocument* document() { return &doc_; }
    int lineCount() const;
    QStringList lines() const;
    void append(const QString& line);
    void trim(int times = 1); // each time: over 50 lines, drop the oldest
    void clear();

signals:
    void appended();

private:
    QTextDocument doc_;
};

} // namespace dtu
