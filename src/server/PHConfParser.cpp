#include "server/PHConfParser.h"

#include "core/Log.h"
#include "platform/PHAction.h"
#include "support/PHTextFile.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QList>

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

PHConfLineScanner::Settings PHConfParser::scannerSettings() {
    return PHConfLineScanner::Settings{&m_commentType, &m_quoteType, &m_caseSensitive, &m_lineNumber};
}

void PHConfParser::scan(const FoundToken &found) {
    m_lineNumber.store(1);
    std::vector<std::string> tokens;
    tokens.reserve(std::size_t(m_tokens.size()));
    for (const QString &token : std::as_const(m_tokens))
        tokens.push_back(token.toStdString());
    // A token that is not plain ASCII is compared as text, ignoring case as Qt folds it.
    PHConfLineScanner scanner(std::move(tokens), scannerSettings(),
                              [this](std::string_view line, std::size_t index) {
                                  return QString::fromUtf8(line.data(), qsizetype(line.size()))
                                      .startsWith(m_tokens.at(qsizetype(index)),
                                                  caseSensitive() ? Qt::CaseSensitive : Qt::CaseInsensitive);
                              });
    scanner.setCommentMarker(m_commentMarker);
    // Each line is decoded once, however many tokens it holds.
    qint32 decodedLine = -1;
    QString copy;
    const PHConfLineScanner::Found report = [&](std::size_t token, std::string_view line,
                                                std::int32_t number) {
        if (number != decodedLine || copy.isNull()) {
            copy = QString::fromUtf8(line.data(), qsizetype(line.size()));
            decodedLine = number;
        }
        found(m_tokens.at(qsizetype(token)), copy, number);
    };
    if (!m_streamsFile) {
        const QByteArray bytes = m_conf.toUtf8(); // stable: setters are refused while parsing
        scanner.scanPiece(std::string_view(bytes.constData(), std::size_t(bytes.size())), true, report);
    } else if (scanner.scanFile(QFile::encodeName(m_path).constData(), report) ==
               PHConfLineScanner::Outcome::NotUtf8) {
        // Another encoding: the file a decoded piece at a time, only the line
        // being read ever held whole.
        PHTextFile::Reader reader(m_path);
        QString text;
        QByteArray bytes;
        std::size_t used = 0;
        for (;;) {
            text.resize(0);
            const bool more = reader.readInto(text);
            bytes.remove(0, qsizetype(used));
            bytes += text.toUtf8();
            used = scanner.scanPiece(std::string_view(bytes.constData(), std::size_t(bytes.size())), !more,
                                     report);
            if (!more)
                break;
        }
    }
    m_commentMarker = scanner.commentMarker();
}

QString PHConfParser::removeComments(const QString &line) {
    PHConfLineScanner scanner({}, scannerSettings());
    scanner.setCommentMarker(m_commentMarker);
    const QByteArray bytes = line.toUtf8();
    std::string joined;
    const std::string_view stripped =
        scanner.removeComments(std::string_view(bytes.constData(), std::size_t(bytes.size())), joined);
    m_commentMarker = scanner.commentMarker();
    if (stripped.size() == std::size_t(bytes.size()))
        return line; // nothing removed
    return QString::fromUtf8(stripped.data(), qsizetype(stripped.size()));
}
