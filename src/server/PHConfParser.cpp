#include "server/PHConfParser.h"

#include "platform/PHAction.h"
#include "support/PHTextFile.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QList>

#include <condition_variable>
#include <mutex>
#include <thread>

const QString PHConfParser::PHConfParserNotification = QStringLiteral("PHConfParserNotification");

namespace {

// Parses in flight, process-wide, so that the code they run is not unloaded under them.
std::mutex g_runningMutex;
std::condition_variable g_runningChanged;
int g_running = 0;

struct Piece {
    qsizetype start;
    qsizetype length;
};

} // namespace

std::shared_ptr<PHConfParser> PHConfParser::initWithString(const QString &text) {
    std::shared_ptr<PHConfParser> parser(new PHConfParser);
    parser->m_conf = text;
    return parser;
}

std::shared_ptr<PHConfParser> PHConfParser::initWithFile(const QString &path) {
    if (path.isEmpty())
        return nullptr;
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return nullptr;
    std::shared_ptr<PHConfParser> parser(new PHConfParser);
    const PHTextFile file = PHTextFile::read(path);
    if (file.ok())
        parser->m_conf = file.text;
    parser->m_path = path;
    return parser;
}

PHConfParser::~PHConfParser() = default;

void PHConfParser::setDelegate(QObject *delegate) {
    if (!isParsing())
        m_delegate = delegate;
}

void PHConfParser::setPath(const QString &path) {
    if (!isParsing())
        m_path = path;
}

void PHConfParser::setConf(const QString &conf) {
    if (!isParsing())
        m_conf = conf;
}

void PHConfParser::setTokens(const QStringList &tokens) {
    if (!isParsing())
        m_tokens = tokens;
}

void PHConfParser::parse() {
    if (isParsing() || m_delegate.isNull() || m_tokens.isEmpty() || m_conf.isEmpty())
        return;
    m_isParsing.store(true);
    const bool listens = dynamic_cast<PHConfParserDelegate *>(m_delegate.data()) != nullptr;
    {
        std::lock_guard lock(g_runningMutex);
        ++g_running;
    }
    std::thread([self = shared_from_this(), delegate = m_delegate, listens]() mutable {
        self->run(delegate, listens);
        self.reset();
        std::lock_guard lock(g_runningMutex);
        --g_running;
        g_runningChanged.notify_all();
    }).detach();
}

void PHConfParser::waitForAllParses() {
    std::unique_lock lock(g_runningMutex);
    g_runningChanged.wait(lock, [] { return g_running == 0; });
}

void PHConfParser::run(QPointer<QObject> delegate, bool delegateListens) {
    scan([&](const QString &token, const QString &line, qint32 number) {
        QObject *application = QCoreApplication::instance();
        if (!delegateListens || !application)
            return;
        QMetaObject::invokeMethod(
            application,
            [self = shared_from_this(), delegate, token, line, number, path = m_path] {
                auto *listener = dynamic_cast<PHConfParserDelegate *>(delegate.data());
                if (!listener)
                    return;
                PHAction::run("configuration parse callback", [&] {
                    listener->parserParsedTokenInLineAtLineNumberOfFile(self.get(), token, line, number,
                                                                        path);
                });
            },
            Qt::QueuedConnection);
    });
    m_isParsing.store(false);
}

void PHConfParser::scan(const FoundToken &found) {
    m_lineNumber.store(1);
    m_lineBuffer.clear();
    const QString &conf = m_conf; // stable: setters are refused while parsing
    const qsizetype length = conf.size();
    qsizetype position = 0;
    for (;;) {
        // Blank lines are never handled; a line starts at its first non-blank character.
        while (position < length && conf.at(position).isSpace())
            ++position;
        if (position >= length)
            break;
        qsizetype end = conf.indexOf(QLatin1Char('\n'), position);
        if (end < 0)
            end = length;
        m_lineBuffer = removeComments(conf.mid(position, end - position));

        if (!m_lineBuffer.isEmpty()) {
            const Qt::CaseSensitivity sensitivity = caseSensitive() ? Qt::CaseSensitive : Qt::CaseInsensitive;
            for (const QString &token : m_tokens) {
                // An empty token never occurs; the others count only at the start of the line.
                if (!token.isEmpty() && m_lineBuffer.indexOf(token, 0, sensitivity) == 0)
                    found(token, m_lineBuffer, m_lineNumber.load());
            }
        }
        position = end + 1;
        m_lineNumber.fetch_add(1);
    }
}

QString PHConfParser::removeComments(const QString &line) {
    const qint32 comments = commentType();
    const qint32 quotes = quoteType();
    auto quoteEnabled = [quotes](QChar c) {
        return (c == QLatin1Char('\'') && (quotes & SingleQuote)) ||
               (c == QLatin1Char('"') && (quotes & DoubleQuote)) ||
               (c == QLatin1Char('`') && (quotes & BackQuote));
    };

    QList<Piece> pieces;
    // A marker's first character may lie before the current piece (right after
    // a block comment closed): the text before it is then empty, never negative.
    auto record = [&pieces](qsizetype start, qsizetype length) {
        pieces.append(Piece{start, length < 0 ? 0 : length});
    };
    qsizetype s = 0;
    qsizetype n = 0;
    bool done = false;
    bool escaped = false;
    QChar openQuote;
    QChar p;

    if (!m_currentCommentMarker.isNull())
        record(0, 0); // so a line that starts inside a block comment is rebuilt

    for (qsizetype i = 0; i < line.size() && !done; ++i) {
        const QChar c = line.at(i);
        if (!m_currentCommentMarker.isNull()) {
            const QChar closer =
                m_currentCommentMarker == QLatin1Char('/') ? QLatin1Char('/') : QLatin1Char(')');
            if (p == QLatin1Char('*') && c == closer) {
                m_currentCommentMarker = QChar();
                s = i + 1;
                n = 0;
                p = c;
                continue;
            }
        } else if (c == QLatin1Char('\\')) {
            escaped = !escaped;
        } else if (quoteEnabled(c)) {
            if (openQuote.isNull())
                openQuote = c;
            else if (c == openQuote && !escaped)
                openQuote = QChar();
        } else if (!openQuote.isNull() || escaped) {
            // ordinary text
        } else if ((c == QLatin1Char('#') && (comments & HashComment)) ||
                   (c == QLatin1Char(';') && (comments & DashSemicolon))) {
            record(s, n);
            done = true;
        } else if ((c == QLatin1Char('-') && p == QLatin1Char('-') && (comments & DashSemicolon)) ||
                   (c == QLatin1Char('/') && p == QLatin1Char('/') && (comments & SlashSlash))) {
            record(s, n - 1);
            done = true;
        } else if (c == QLatin1Char('*') && ((p == QLatin1Char('/') && (comments & SlashStarBlock)) ||
                                             (p == QLatin1Char('(') && (comments & ParenStarBlock)))) {
            m_currentCommentMarker = p;
            record(s, n - 1);
        }
        p = c;
        ++n;
    }

    if (pieces.isEmpty())
        return line;
    if (!done && m_currentCommentMarker.isNull())
        record(s, n);
    QString result;
    for (const Piece &piece : pieces)
        result += line.mid(piece.start, piece.length);
    return result;
}
