#include "console/messagedisplay.h"

#include <QTextBlock>
#include <QTextCursor>

namespace dtu {

MessageDisplay::MessageDisplay(QObject* parent) : QObject(parent) {
    doc_.setUndoRedoEnabled(false); // months of traffic must not pile up in an undo stack
}

int MessageDisplay::lineCount() const { return doc_.isEmpty() ? 0 : doc_.blockCount(); }

QStringList MessageDisplay::lines() const {
    if (doc_.isEmpty()) return {};
    return doc_.toPlainText().split(QChar::ParagraphSeparator).join(QLatin1Char('\n')).split(QLatin1Char('\n'));
}

void MessageDisplay::append(const QString& line) {
    QString text = line;
    text.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    text.replace(QChar(0), QChar(0xFFFD)); // a zero byte must not cut the line short
    QTextCursor c(&doc_);
    c.movePosition(QTextCursor::End);
    if (!doc_.isEmpty()) c.insertBlock();
    c.insertText(text);
    emit appended();
}

void MessageDisplay::trim(int times) {
    for (int i = 0; i < times; ++i) {
        if (lineCount() <= kLineLimit) return;
        QTextCursor c(doc_.firstBlock());
        c.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor);
        c.removeSelectedText();
    }
}

void MessageDisplay::clear() { doc_.clear(); }

} // namespace dtu
