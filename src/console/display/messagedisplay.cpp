#include "console/display/messagedisplay.h"

#include <QMetaObject>
#include <algorithm>
#include <QTextBlock>
#include <QTextCursor>

namespace dtu {

MessageDisplay::MessageDisplay(QObject* parent) : QObject(parent) {
    doc_.setUndoRedoEnabled(false); // months of traffic must not pile up in an undo stack
    flushTimer_.setSingleShot(true);
    flushTimer_.setInterval(50);
    connect(&flushTimer_, &QTimer::timeout, this, &MessageDisplay::flush);
}

int MessageDisplay::documentLines() const { return doc_.isEmpty() ? 0 : doc_.blockCount(); }

int MessageDisplay::lineCount() const {
    return documentLines() - pendingTrim_ + static_cast<int>(pending_.size());
}

QTextDocument* MessageDisplay::document() {
    flush();
    return &doc_;
}

QStringList MessageDisplay::lines() {
    flush();
    if (doc_.isEmpty()) return {};
    return doc_.toPlainText().split(QLatin1Char('\n'));
}

void MessageDisplay::append(const QString& line) {
    const bool plain = std::none_of(line.cbegin(), line.cend(), [](QChar c) {
        return c == QLatin1Char('\n') || c == QLatin1Char('\r') || c.unicode() == 0;
    });
    if (plain) {
        pending_.append({line, {}});
    } else {
        QString text = line;
        text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
        text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
        text.replace(QChar(0), QChar(0xFFFD)); // a zero byte must not cut the line short
        // A line with breaks in it becomes several lines, as in a text box.
        const QStringList parts = text.split(QLatin1Char('\n'));
        for (const QString& p : parts) pending_.append({p, {}});
    }
    enforceHardLimit();
    if (!flushTimer_.isActive()) flushTimer_.start();
}

void MessageDisplay::appendLazy(std::function<QString()> make) {
    pending_.append({QString(), std::move(make)});
    enforceHardLimit();
    if (!flushTimer_.isActive()) flushTimer_.start();
}

void MessageDisplay::trim(int times) {
    for (int i = 0; i < times && lineCount() > kLineLimit; ++i) dropOldest();
}

void MessageDisplay::dropOldest() {
    if (documentLines() - pendingTrim_ > 0) ++pendingTrim_;
    else pending_.removeFirst();
}

void MessageDisplay::enforceHardLimit() {
    while (lineCount() > kHardLimit) dropOldest();
}

void MessageDisplay::flush() {
    flushTimer_.stop();
    if (pendingTrim_ == 0 && pending_.isEmpty()) return;
    QTextCursor c(&doc_);
    c.beginEditBlock();
    if (pendingTrim_ > 0) {
        if (pendingTrim_ >= documentLines()) {
            doc_.clear();
        } else {
            c.movePosition(QTextCursor::Start);
            c.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, pendingTrim_);
            c.removeSelectedText();
        }
        pendingTrim_ = 0;
    }
    if (!pending_.isEmpty()) {
        c.movePosition(QTextCursor::End);
        if (!doc_.isEmpty()) c.insertBlock();
        QStringList texts;
        texts.reserve(pending_.size());
        for (Pending& p : pending_) texts << (p.make ? p.make() : p.text);
        pending_.clear();
        c.insertText(texts.join(QLatin1Char('\n')));
    }
    c.endEditBlock();
    emit appended();
}

void MessageDisplay::clear() {
    pending_.clear();
    pendingTrim_ = 0;
    doc_.clear();
}

} // namespace dtu
