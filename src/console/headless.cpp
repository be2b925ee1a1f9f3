#include "console/headless.h"

#include "console/context.h"

#include <QRegularExpression>
#include <cstring>
#include <deque>
#include <mutex>

namespace dtu {

namespace journal {

void remember(const QString& said);

namespace {
std::mutex g_mutex;
std::deque<std::pair<qint64, QString>> g_said; // Qt messages of the last seconds
constexpr qint64 kSaidWindowMs = 5000;
QElapsedTimer g_clock;

bool prefixed() {
    static const bool on = qEnvironmentVariableIsSet("JOURNAL_STREAM");
    return on;
}

void handler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    const Priority p = type == QtDebugMsg ? Debug : type == QtInfoMsg ? Info : type == QtWarningMsg ? Warning : Error;
    remember(message);
    const bool named = context.category && std::strcmp(context.category, "default") != 0;
    write(stderr, p, named ? QString::fromLatin1(context.category) + QStringLiteral(": ") + message : message);
    if (type == QtFatalMsg) std::abort();
}

// "2026-12-11 03:00:00 " or "...:00:" as the console stamps its lines.
QString withoutStamp(const QString& line) {
    static const QRegularExpression stamp(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d[ :]"));
    const QRegularExpressionMatch m = stamp.match(line);
    return m.hasMatch() ? line.mid(m.capturedLength()) : line;
}
} // namespace

void remember(const QString& said) {
    std::lock_guard lock(g_mutex);
    if (!g_clock.isValid()) g_clock.start();
    g_said.emplace_back(g_clock.elapsed(), said);
    while (g_said.size() > 64 || g_said.front().first < g_clock.elapsed() - kSaidWindowMs) g_said.pop_front();
}

void installMessageHandler() { qInstallMessageHandler(handler); }

void write(std::FILE* out, Priority priority, const QString& line) {
    QByteArray b;
    if (prefixed()) b = '<' + QByteArray::number(static_cast<int>(priority)) + '>';
    // One event, one line: a text with line breaks would become several journal entries.
    b += QString(line).replace(QLatin1Char('\n'), QLatin1Char(' ')).toUtf8() + '\n';
    std::fwrite(b.constData(), 1, static_cast<size_t>(b.size()), out);
    std::fflush(out);
}

Priority priorityOf(const QString& line) {
    static const QStringList errors{QStringLiteral("不可用"), QStringLiteral("错误")};
    static const QStringList warnings{QStringLiteral("失败"), QStringLiteral("拒绝"), QStringLiteral("断开"), QStringLiteral("中断"),
                                      QStringLiteral("丢弃"), QStringLiteral("无法"), QStringLiteral("无响应"), QStringLiteral("被断开"),
                                      QStringLiteral("需要重启"), QStringLiteral("暂停"), QStringLiteral("已满"), QStringLiteral("超时")};
    if (line.contains(QStringLiteral("恢复")) || line.contains(QStringLiteral("已可用"))) return Info; // the good news after a failure
    for (const QString& w : errors)
        if (line.contains(w)) return Error;
    for (const QString& w : warnings)
        if (line.contains(w)) return Warning;
    return Info;
}

bool alreadySaid(const QString& line) {
    const QString text = withoutStamp(line).trimmed();
    if (text.isEmpty()) return false;
    std::lock_guard lock(g_mutex);
    if (!g_clock.isValid()) return false;
    const qint64 now = g_clock.elapsed();
    for (const auto& [at, said] : g_said)
        if (at >= now - kSaidWindowMs && said.contains(text)) return true;
    return false;
}

} // namespace journal

namespace {
void put(std::FILE* out, const QString& line, std::optional<journal::Priority> priority = std::nullopt) {
    journal::write(out, priority.value_or(journal::priorityOf(line)), line);
}
} // namespace

void LoggingPrompts::message(const QString& text) { put(out_, QStringLiteral("提示: ") + text); }

void LoggingPrompts::error(const QString& text) {
    journal::remember(text); // the run log's copy of it is not said again
    put(out_, QStringLiteral("错误: ") + text, journal::Error);
}

std::optional<QString> LoggingPrompts::input(const QString& title, const QString& prompt, const QString& value) {
    put(out_, QStringLiteral("%1: %2 (无人应答，保持 %3)").arg(title, prompt, value), journal::Info);
    return std::nullopt;
}

StderrSink::StderrSink(ConsoleContext& ctx, bool showData, int maxPerSecond, std::FILE* out)
    : QObject(&ctx), out_(out), maxPerSecond_(maxPerSecond) {
    window_.start();
    connect(&ctx.logQueue, &LogQueue::posted, this, &StderrSink::write);
    if (showData) {
        // The display holds the failure lines too: they come out with the rest, in order.
        connect(&ctx.messageDisplay, &MessageDisplay::changed, this,
                [this](int, const QStringList& added) { showLines(added); });
    } else {
        connect(&ctx, &ConsoleContext::failureReported, this, &StderrSink::write);
    }
}

void StderrSink::write(const QString& line) {
    if (journal::alreadySaid(line)) return;
    put(out_, line);
}

void StderrSink::showLines(const QStringList& lines) {
    if (window_.elapsed() >= 1000) {
        if (leftOut_ > 0) put(out_, QStringLiteral("...(省略%1行)").arg(leftOut_));
        leftOut_ = 0;
        shownInWindow_ = 0;
        window_.restart();
    }
    for (const QString& l : lines) {
        if (shownInWindow_ < maxPerSecond_) {
            if (!journal::alreadySaid(l)) put(out_, l, journal::Info);
            ++shownInWindow_;
        } else {
            ++leftOut_;
        }
    }
}

} // namespace dtu
