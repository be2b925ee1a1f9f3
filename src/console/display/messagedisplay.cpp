#include "console/display/messagedisplay.h"

#include <QMetaMethod>

#include <algorithm>

namespace dtu {

MessageDisplay::MessageDisplay(QObject* parent) : QObject(parent) {
    flushTimer_.setSingleShot(true);
    flushTimer_.setInterval(50);
    connect(&flushTimer_, &QTimer::timeout, this, &MessageDisplay::flush);
}

int MessageDisplay::lineCount() const {
    return static_cast<int>(shown_.size()) - pendingTrim_ + static_cast<int>(pending_.size());
}

QString MessageDisplay::make(Pending& p) {
    if (p.group) {
        p.text = p.group->line(p.index);
        p.group.reset();
    } else if (p.make) {
        p.text = p.make();
        p.make = {};
    }
    return p.text;
}

QStringList MessageDisplay::lines() {
    flush();
    QStringList out;
    out.reserve(shown_.size());
    for (Pending& p : shown_) out << make(p);
    return out;
}

void MessageDisplay::schedule() {
    if (!flushTimer_.isActive()) flushTimer_.start();
}

void MessageDisplay::append(const QString& line) {
    const bool plain = std::none_of(line.cbegin(), line.cend(), [](QChar c) {
        return c == QLatin1Char('\n') || c == QLatin1Char('\r') || c.unicode() == 0 || c == QChar::ParagraphSeparator;
    });
    if (plain) {
        pending_.append({line, {}, {}, 0});
    } else {
        for (const QString& p : splitLines(line)) pending_.append({p, {}, {}, 0});
    }
    enforceHardLimit();
    schedule();
}

QStringList MessageDisplay::splitLines(const QString& line) {
    // A line with breaks in it becomes several lines, as in a text box: CR LF, CR, LF and
    // the paragraph separator each end one; a zero byte must not cut the line short.
    QStringList out;
    QString cur;
    const QChar* c = line.constData();
    const qsizetype n = line.size();
    qsizetype start = 0;
    auto take = [&](qsizetype end) {
        cur.append(c + start, end - start);
    };
    for (qsizetype i = 0; i < n; ++i) {
        const char16_t u = c[i].unicode();
        if (u == u'\r' || u == u'\n' || u == 0x2029) {
            take(i);
            out.append(std::move(cur));
            cur = QString();
            if (u == u'\r' && i + 1 < n && c[i + 1].unicode() == u'\n') ++i;
            start = i + 1;
        } else if (u == 0) {
            take(i);
            cur.append(QChar(0xFFFD));
            start = i + 1;
        }
    }
    take(n);
    out.append(std::move(cur));
    return out;
}

QString MessageDisplay::Group::line(int i) {
    if (!made) {
        made = true;
        lines = splitLines(make());
        make = {};
        // The count was worked out without the text: keep to it, whatever the text became.
        while (lines.size() > count && lines.size() > 1) {
            const QString last = lines.takeLast();
            lines.last() += QLatin1Char(' ') + last;
        }
        while (lines.size() < count) lines.append(QString());
    }
    return i < lines.size() ? lines[i] : QString();
}

void MessageDisplay::appendLazyLines(int count, std::function<QString()> make) {
    if (count < 1) count = 1;
    auto group = std::make_shared<Group>();
    group->make = std::move(make);
    group->count = count;
    for (int i = 0; i < count; ++i) pending_.append({QString(), {}, group, i});
    enforceHardLimit();
    schedule();
}

void MessageDisplay::appendLazy(std::function<QString()> make) {
    pending_.append({QString(), std::move(make), {}, 0});
    enforceHardLimit();
    schedule();
}

void MessageDisplay::trim(int times) {
    for (int i = 0; i < times && lineCount() > kLineLimit; ++i) dropOldest();
}

void MessageDisplay::dropOldest() {
    if (shown_.size() - pendingTrim_ > 0) ++pendingTrim_;
    else pending_.removeFirst();
}

void MessageDisplay::enforceHardLimit() {
    while (lineCount() > kHardLimit) dropOldest();
}

void MessageDisplay::flush() {
    flushTimer_.stop();
    if (pendingTrim_ == 0 && pending_.isEmpty()) return;
    const int removed = pendingTrim_;
    shown_.erase(shown_.begin(), shown_.begin() + removed);
    pendingTrim_ = 0;
    if (!isSignalConnected(QMetaMethod::fromSignal(&MessageDisplay::changed))) {
        shown_ += std::move(pending_);
        pending_.clear();
        return;
    }
    QStringList added;
    added.reserve(pending_.size());
    for (Pending& p : pending_) added << make(p);
    shown_ += std::move(pending_);
    pending_.clear();
    emit changed(removed, added);
}

void MessageDisplay::clear() {
    pending_.clear();
    pendingTrim_ = 0;
    shown_.clear();
    flushTimer_.stop();
    emit cleared();
}

void MessageDisplay::setLines(const QStringList& lines) {
    flush();
    shown_.clear();
    shown_.reserve(lines.size());
    for (const QString& l : lines) shown_.append({l, {}, {}, 0});
    enforceHardLimit(); // counted as removed: the next flush takes them from the view too
    if (pendingTrim_ > 0) schedule();
}

} // namespace dtu
