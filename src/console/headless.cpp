#include "console/headless.h"

#include "console/context.h"

namespace dtu {

namespace {
void put(std::FILE* out, const QString& line) {
    const QByteArray b = line.toUtf8() + '\n';
    std::fwrite(b.constData(), 1, static_cast<size_t>(b.size()), out);
    std::fflush(out);
}
} // namespace

void LoggingPrompts::message(const QString& text) { put(out_, QStringLiteral("提示: ") + text); }

void LoggingPrompts::error(const QString& text) { put(out_, QStringLiteral("错误: ") + text); }

std::optional<QString> LoggingPrompts::input(const QString& title, const QString& prompt, const QString& value) {
    put(out_, QStringLiteral("%1: %2 (无人应答，保持 %3)").arg(title, prompt, value));
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

void StderrSink::write(const QString& line) { put(out_, line); }

void StderrSink::showLines(const QStringList& lines) {
    if (window_.elapsed() >= 1000) {
        if (leftOut_ > 0) put(out_, QStringLiteral("...(省略%1行)").arg(leftOut_));
        leftOut_ = 0;
        shownInWindow_ = 0;
        window_.restart();
    }
    for (const QString& l : lines) {
        if (shownInWindow_ < maxPerSecond_) {
            put(out_, l);
            ++shownInWindow_;
        } else {
            ++leftOut_;
        }
    }
}

} // namespace dtu
