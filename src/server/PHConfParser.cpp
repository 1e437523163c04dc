#include "server/PHConfParser.h"

#include "platform/Log.h"
#include "platform/PHAction.h"
#include "support/PHTextFile.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QList>
#include <QVarLengthArray>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <system_error>
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
    parser->m_path = path;
    const PHTextFile::Reader reader(path);
    if (reader.status() == PHTextFile::Status::Read) {
        parser->m_streamsFile = true;
    } else if (reader.status() == PHTextFile::Status::Undecodable) {
        // Its beginning does not settle the encoding: the whole file may.
        const PHTextFile file = PHTextFile::read(path);
        if (file.ok())
            parser->m_conf = file.text;
    }
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
    if (!isParsing()) {
        m_conf = conf;
        m_streamsFile = false;
    }
}

void PHConfParser::setTokens(const QStringList &tokens) {
    if (!isParsing())
        m_tokens = tokens;
}

bool PHConfParser::parse() {
    if (isParsing() || m_delegate.isNull() || m_tokens.isEmpty() || (m_conf.isEmpty() && !m_streamsFile))
        return false;
    m_isParsing.store(true);
    const bool listens = dynamic_cast<PHConfParserDelegate *>(m_delegate.data()) != nullptr;
    {
        std::lock_guard lock(g_runningMutex);
        ++g_running;
    }
    try {
        std::thread([self = shared_from_this(), delegate = m_delegate, listens]() mutable {
            self->run(delegate, listens);
            self.reset();
            std::lock_guard lock(g_runningMutex);
            --g_running;
            g_runningChanged.notify_all();
        }).detach();
    } catch (const std::system_error &error) {
        // No thread (a process or thread limit): no parse runs, so nobody may
        // wait for one.
        {
            std::lock_guard lock(g_runningMutex);
            --g_running;
            g_runningChanged.notify_all();
        }
        m_isParsing.store(false);
        Log::write(QStringLiteral("could not start reading %1: %2")
                       .arg(m_path.isEmpty() ? QStringLiteral("the configuration") : m_path,
                            QString::fromLocal8Bit(error.what())));
        return false;
    }
    return true;
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
    if (!m_streamsFile) {
        scanPiece(m_conf, true, found); // stable: setters are refused while parsing
        return;
    }
    // The file a piece at a time: only the line being read is ever held whole.
    PHTextFile::Reader reader(m_path);
    QString text;
    qsizetype start = 0;
    for (;;) {
        text.remove(0, start);
        const bool more = reader.readInto(text);
        start = scanPiece(text, !more, found);
        if (!more)
            break;
    }
}

qsizetype PHConfParser::scanPiece(QStringView text, bool atEnd, const FoundToken &found) {
    const qsizetype length = text.size();
    qsizetype position = 0;
    // The characters a token may begin with, case folded: without block
    // comments a line that begins with none of them cannot hold a token, and
    // its comments need not be looked at.
    QVarLengthArray<QChar, 16> firstCharacters;
    bool filter = true;
    for (const QString &token : std::as_const(m_tokens)) {
        if (!token.isEmpty()) {
            filter = filter && !token.front().isSurrogate();
            firstCharacters.append(token.front().toCaseFolded());
        }
    }
    // The same for plain ASCII, looked up directly.
    bool asciiFirst[128] = {};
    for (QChar c : std::as_const(firstCharacters)) {
        for (QChar form : {c, c.toUpper(), c.toLower()})
            if (form.unicode() < 128)
                asciiFirst[form.unicode()] = true;
    }
    const auto mayHoldToken = [&](QChar first) {
        if (!filter)
            return true;
        // An ASCII character folds to ASCII.
        if (first.unicode() < 128)
            return asciiFirst[first.unicode()];
        return first.isSurrogate() || std::find(firstCharacters.cbegin(), firstCharacters.cend(),
                                                first.toCaseFolded()) != firstCharacters.cend();
    };
    for (;;) {
        // Blank lines are never handled; a line starts at its first non-blank character.
        while (position < length && text.at(position).isSpace())
            ++position;
        if (position >= length)
            return length;
        qsizetype end = text.indexOf(QLatin1Char('\n'), position);
        if (end < 0) {
            if (!atEnd)
                return position;
            end = length;
        }
        if (!mayHoldToken(text.at(position)) && m_currentCommentMarker.isNull() &&
            !(commentType() & (SlashStarBlock | ParenStarBlock))) {
            position = end + 1;
            m_lineNumber.fetch_add(1);
            continue;
        }
        const QStringView line = removeComments(text.mid(position, end - position), m_lineBuffer);

        if (!line.isEmpty()) {
            const Qt::CaseSensitivity sensitivity = caseSensitive() ? Qt::CaseSensitive : Qt::CaseInsensitive;
            QString copy; // made once, for the first token found
            for (const QString &token : m_tokens) {
                // An empty token never occurs; the others count only at the start of the line.
                if (!token.isEmpty() && line.startsWith(token, sensitivity)) {
                    if (copy.isNull())
                        copy = line.toString();
                    found(token, copy, m_lineNumber.load());
                }
            }
        }
        position = end + 1;
        m_lineNumber.fetch_add(1);
    }
}

QString PHConfParser::removeComments(const QString &line) {
    QString joined;
    const QStringView stripped = removeComments(QStringView(line), joined);
    if (stripped.data() == line.constData() && stripped.size() == line.size())
        return line;
    if (!joined.isNull() && stripped.data() == joined.constData())
        return joined;
    return stripped.toString();
}

QStringView PHConfParser::removeComments(QStringView line, QString &joined) {
    const qint32 comments = commentType();
    const qint32 quotes = quoteType();
    auto quoteEnabled = [quotes](QChar c) {
        return (c == QLatin1Char('\'') && (quotes & SingleQuote)) ||
               (c == QLatin1Char('"') && (quotes & DoubleQuote)) ||
               (c == QLatin1Char('`') && (quotes & BackQuote));
    };

    // Quotes and escapes only decide whether a marker counts: a line outside a
    // block comment without the first character of any enabled marker keeps
    // everything.
    if (m_currentCommentMarker.isNull()) {
        char markers[5];
        int count = 0;
        if (comments & HashComment)
            markers[count++] = '#';
        if (comments & DashSemicolon) {
            markers[count++] = ';';
            markers[count++] = '-';
        }
        if (comments & (SlashSlash | SlashStarBlock))
            markers[count++] = '/';
        if (comments & ParenStarBlock)
            markers[count++] = '(';
        const bool anyMarker = std::any_of(
            markers, markers + count, [&line](char marker) { return line.contains(QLatin1Char(marker)); });
        if (!anyMarker)
            return line;
    }

    QVarLengthArray<Piece, 8> pieces;
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
    // Most lines keep a single piece (the text before a comment): no copy.
    qsizetype kept = 0;
    const Piece *only = nullptr;
    for (const Piece &piece : pieces) {
        if (piece.length > 0) {
            ++kept;
            only = &piece;
        }
    }
    if (kept == 0)
        return line.first(0);
    if (kept == 1)
        return line.mid(only->start, only->length);
    joined.resize(0); // keeps its room for the next line
    for (const Piece &piece : pieces)
        joined += line.mid(piece.start, piece.length);
    return joined;
}
