#pragma once

#include "support/posix/PHConfLineScanner.h"

#include <QPointer>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <memory>

class QObject;
class PHConfParser;

/// Receives the lines a parse finds, on the main thread. A delegate is a
/// QObject that also implements this interface; a QObject that does not is
/// still a delegate (a parse runs) but receives nothing.
class PHConfParserDelegate {
public:
    virtual ~PHConfParserDelegate() = default;
    /// One line that begins with one of the parser's tokens. `token` is the
    /// token as listed, `line` the line without its comments, `path` the file
    /// (empty for a parser made from a string).
    virtual void parserParsedTokenInLineAtLineNumberOfFile(PHConfParser *parser, const QString &token,
                                                           const QString &line, qint32 lineNumber,
                                                           const QString &path) = 0;
};

/// Scans a configuration text line by line on a thread of its own, removes
/// comments, and reports every line that begins with one of a set of
/// directive words. It knows nothing about what the directives mean. The
/// lines are scanned as UTF-8 bytes (PHConfLineScanner): a UTF-8 file as it
/// is read, any other text once decoded.
///
/// Parsers are shared: a running parse keeps its parser alive, and so does
/// every callback still waiting on the main thread. A callback whose delegate
/// has been destroyed is dropped.
class PHConfParser : public std::enable_shared_from_this<PHConfParser> {
public:
    /// Comment forms (bits of commentType).
    enum CommentType : qint32 {
        HashComment = PHConfLineScanner::HashComment,       // "#"
        DashSemicolon = PHConfLineScanner::DashSemicolon,   // "--" and ";"
        SlashSlash = PHConfLineScanner::SlashSlash,         // "//"
        SlashStarBlock = PHConfLineScanner::SlashStarBlock, // "/* ... */"
        ParenStarBlock = PHConfLineScanner::ParenStarBlock, // "(* ... *)"
    };
    /// Quote characters (bits of quoteType).
    enum QuoteType : qint32 {
        SingleQuote = PHConfLineScanner::SingleQuote,
        DoubleQuote = PHConfLineScanner::DoubleQuote,
        BackQuote = PHConfLineScanner::BackQuote
    };

    static const QString PHConfParserNotification;

    /// A parser over the text, with "#" comments, single and double quotes,
    /// case-insensitive matching at the start of a line.
    static std::shared_ptr<PHConfParser> initWithString(const QString &text);
    /// A parser over the file's text (its encoding detected), or nullptr when
    /// nothing exists at the path. A file that cannot be read gives a parser
    /// without text, whose parse does nothing. The file is read piece by piece
    /// as the scan goes, so its size does not matter; conf() stays empty.
    static std::shared_ptr<PHConfParser> initWithFile(const QString &path);

    ~PHConfParser();

    QObject *delegate() const { return m_delegate.data(); }
    QString path() const { return m_path; }
    QString conf() const { return m_conf; }
    QStringList tokens() const { return m_tokens; }
    // Refused while a parse runs.
    void setDelegate(QObject *delegate);
    void setPath(const QString &path);
    void setConf(const QString &conf);
    void setTokens(const QStringList &tokens);

    // Always accepted; a running parse uses the new value from its next line on.
    qint32 commentType() const { return m_commentType.load(); }
    void setCommentType(qint32 type) { m_commentType.store(type); }
    qint32 quoteType() const { return m_quoteType.load(); }
    void setQuoteType(qint32 type) { m_quoteType.store(type); }
    bool caseSensitive() const { return m_caseSensitive.load(); }
    void setCaseSensitive(bool sensitive) { m_caseSensitive.store(sensitive); }
    bool beginMatchOnly() const { return true; }

    bool isParsing() const { return m_isParsing.load(); }
    /// Starts a parse on a new thread and returns at once. Does nothing while a
    /// parse runs, without a delegate, without tokens or without text. False
    /// when no parse was started; a thread that cannot be created is logged.
    bool parse();

    /// Removes the comments from one line, carrying the block-comment state
    /// from the previous line, as the parse does for every line; exposed for
    /// tests and tools.
    QString removeComments(const QString &line);
    QChar currentCommentMarker() const { return QChar(QLatin1Char(m_commentMarker)); }
    /// The parse's line loop, run on the calling thread: every token found,
    /// with the stripped line and its number. The parse runs it on its thread.
    using FoundToken = std::function<void(const QString &token, const QString &line, qint32 lineNumber)>;
    void scan(const FoundToken &found);
    qint32 lineNumber() const { return m_lineNumber.load(); }

    /// Blocks until no parse of any parser is running. Called before the
    /// panel's code is unloaded: a parse thread runs code of the panel.
    static void waitForAllParses();

private:
    PHConfParser() = default;
    PHConfLineScanner::Settings scannerSettings();
    void run(QPointer<QObject> delegate, bool delegateListens);

    QPointer<QObject> m_delegate;
    QString m_path;
    QString m_conf;
    bool m_streamsFile = false; ///< the text is the file at m_path, read while scanning
    QStringList m_tokens;
    std::atomic<qint32> m_commentType{HashComment};
    std::atomic<qint32> m_quoteType{SingleQuote | DoubleQuote};
    std::atomic<bool> m_caseSensitive{false};
    std::atomic<bool> m_isParsing{false};
    char m_commentMarker =
        0; // the open block comment's; touched only by the parse (or by a caller while idle)
    std::atomic<qint32> m_lineNumber{0};
};
