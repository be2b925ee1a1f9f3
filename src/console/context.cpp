#include "console/context.h"

#include "engines/link/linkengine.h"
#include "engines/vport/vport.h"

#include <QLoggingCategory>
#include <exception>

Q_LOGGING_CATEGORY(lcConsole, "dtu.console", QtInfoMsg)

namespace dtu {

ConsoleContext::ConsoleContext(ILinkEngine& e, IVPortEngine& p, DtuStore& d, Prompts& pr, CenterConfig cfg,
                               Clock c, QObject* parent)
    : QObject(parent), engine(e), portEngine(p), dm(d), promptRouter(pr), prompts(promptRouter), config(std::move(cfg)), clock(std::move(c)) {
    actStartService.setEnabled(true);
    actStopService.setEnabled(false);
    for (ConsoleAction* a : {&hexDisplay, &dataTips, &showHeartbeats}) a->setCheckable(true);
    dataTips.setChecked(true);
    hexDisplay.setChecked(config.hexDisplay());
    refreshTimer.setInterval(400);
    connect(&capture, &CaptureLog::logLine, this, [this](const QString& line) { logQueue.PostLog(stamp() + QLatin1Char(' ') + line); });
    connect(&capture, &CaptureLog::recordingChanged, this, [this](const QString& id, bool on) {
        devices.setRecording(devices.findExact(id), on);
    });
    connect(&history, &EventLog::logLine, this, [this](const QString& line) { logQueue.PostLog(stamp() + QLatin1Char(' ') + line); });
    secondStartTimer.setInterval(1000);
    status_[0] = QStringLiteral("在线设备总数");
    status_[1] = QStringLiteral("0");
    status_[2] = QStringLiteral("操作结果");

    if (!config.encoding.trimmed().isEmpty()) {
        decoder_ = QStringDecoder(config.encoding.trimmed().toLatin1().constData());
        if (!decoder_.isValid())
            qCWarning(lcConsole) << "unknown [DISPLAY] Encoding" << config.encoding << "- using the locale's";
    }
    if (!decoder_.isValid()) decoder_ = QStringDecoder(QStringDecoder::System);
    encoder_ = QStringEncoder(decoder_.name());
    // Encodings that keep CR and LF as those bytes (ASCII-compatible ones); UTF-16 and
    // UTF-32 do not. Anything else is caught by the display fitting the lines to the count.
    const QByteArray enc = QByteArray(decoder_.name()).toUpper();
    utf8_ = enc == "UTF-8" || enc == "LOCALE" || enc == "SYSTEM"; // Qt's system encoding is UTF-8 here
    breaksAreBytes_ = !enc.startsWith("UTF-16") && !enc.startsWith("UTF-32");
    if (!encoder_.isValid()) encoder_ = QStringEncoder(QStringEncoder::System);
}

ConsoleContext::~ConsoleContext() = default;

bool ConsoleContext::rowSelected(int row) const { return selection.isRowSelected(row, {}); }

QList<int> ConsoleContext::selectedRows() const {
    QList<int> rows;
    const auto sel = selection.selectedRows();
    rows.reserve(sel.size());
    for (const QModelIndex& i : sel) rows << i.row();
    std::sort(rows.begin(), rows.end());
    return rows;
}

void ConsoleContext::closeDtu(const QString& id, const QString& why) {
    engine.CloseDtu(id);
    history.record(id, QStringLiteral("close"), why);
}

void ConsoleContext::setStatusPanel(int i, const QString& text) {
    status_[i] = text;
    emit statusChanged(i, text);
}

QString ConsoleContext::displayText(const QByteArray& bytes) {
    decoder_.resetState();
    return decoder_.decode(bytes);
}

int ConsoleContext::displayBreaks(const QByteArray& bytes) const {
    if (!breaksAreBytes_) return -1;
    int breaks = 0;
    const qsizetype n = bytes.size();
    for (qsizetype i = 0; i < n; ++i) {
        const char c = bytes[i];
        if (c == '\r') {
            ++breaks;
            if (i + 1 < n && bytes[i + 1] == '\n') ++i;
        } else if (c == '\n') {
            ++breaks;
        } else if (utf8_ && c == '\xE2' && i + 2 < n && bytes[i + 1] == '\x80' && bytes[i + 2] == '\xA9') {
            ++breaks; // U+2029, a paragraph separator
            i += 2;
        }
    }
    return breaks;
}

QByteArray ConsoleContext::displayEncode(const QString& text) {
    encoder_.resetState();
    return encoder_.encode(text);
}

void ConsoleContext::reportFailure(const QString& message) {
    qCWarning(lcConsole).noquote() << "failure:" << message;
    if (reporterInstalled) {
        const QString line = stamp() + QLatin1Char(':') + message;
        messageDisplay.append(line);
        emit failureReported(line);
    } else {
        prompts.error(message);
    }
}

void ConsoleContext::guard(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const std::exception& e) { // Failure included
        reportFailure(QString::fromLocal8Bit(e.what()));
    } catch (...) {
        reportFailure(QStringLiteral("未知错误"));
    }
}

} // namespace dtu
