#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <vector>

/// Text as Apache reads its configuration files, access files, user files
/// and group files: one reading of lines and one of words, shared by every
/// reader of those formats.
///
/// Lines: a backslash just before the line end (LF or CRLF) joins the next
/// line onto it, before anything else is looked at, so a comment that ends in
/// a backslash swallows the line after it. Each joined line is then trimmed of
/// blanks, tabs and line-end characters at both ends.
///
/// Words: separated by blanks and tabs; a word that begins with a double or
/// single quote runs to the matching quote, where a backslash before that
/// quote stands for the quote itself; a backslash anywhere else is kept as
/// written.
namespace PHConfigText {

/// One line as the server reads it.
struct Line {
    QString text;       ///< joined and trimmed
    QString raw;        ///< the file's own lines, joined by "\n", without the final line end
    int number = 0;     ///< the first of its lines in the file, from 1
    int lastNumber = 0; ///< the last of them
    bool continued() const { return lastNumber > number; }
    /// Blank, or a comment ("#" first): the server skips it.
    bool isSkipped() const { return text.isEmpty() || text.startsWith(QLatin1Char('#')); }
};

/// Calls `visit(line, rawStart, rawEnd, firstNumber, lastNumber)` for every
/// line of `text` (a QStringView or QByteArrayView), skipped ones included, in
/// file order: `line` joined and trimmed, `rawStart`/`rawEnd` the file's own
/// lines in `text` without the final line end. Stops when `visit` returns
/// false. Joins into a buffer of `Owned` (QString, QByteArray) only when a line
/// goes on.
template <typename View, typename Owned, typename Visit> void forEachLine(View text, Visit visit);

/// Every line of `text`, skipped ones included, in file order.
std::vector<Line> lines(const QString &text);

/// The words of one line, quotes removed.
QStringList words(QStringView text);

/// `word` in lower case, as QString::toLower gives it (ASCII, nearly every
/// directive name, is folded in place).
QString lowerCase(QStringView word);

/// The characters the server trims around lines and between words
/// (blank, tab, line feed, vertical tab, form feed, carriage return).
inline bool isSpace(QChar c) {
    const char16_t code = c.unicode();
    return code == u' ' || (code >= u'\t' && code <= u'\r');
}

/// A word written so that `words` reads it back as `word`: as it is when it
/// has no blank and no quote at its start, quoted otherwise. Empty when no
/// form reads back as that word (a line break in it, or a blank and a final
/// backslash). A plain word ending in a backslash must not end a line: the
/// backslash would join the next line on.
QString quotedWord(const QString &word);

namespace detail {
inline char16_t unit(QChar c) {
    return c.unicode();
}
inline char16_t unit(char c) {
    return char16_t(static_cast<unsigned char>(c));
}
/// Where the next line feed is at or after `from` (-1 for none): found as
/// the C library's memchr finds it, a line of a large file at a time.
inline qsizetype lineFeedFrom(QByteArrayView text, qsizetype from) {
    return text.indexOf('\n', from);
}
inline qsizetype lineFeedFrom(QStringView text, qsizetype from) {
    return text.indexOf(QChar(u'\n'), from);
}
inline bool space(char16_t c) {
    return c == u' ' || (c >= u'\t' && c <= u'\r');
}
template <typename View> View trimmed(View text) {
    while (!text.isEmpty() && space(unit(text.front())))
        text = text.sliced(1);
    while (!text.isEmpty() && space(unit(text.back())))
        text.chop(1);
    return text;
}
} // namespace detail

template <typename View, typename Owned, typename Visit> void forEachLine(View text, Visit visit) {
    const qsizetype length = text.size();
    qsizetype position = 0;
    int number = 0;
    Owned joined;
    while (position < length) {
        const int first = number + 1;
        const qsizetype rawStart = position;
        bool isJoined = false;
        joined.clear();
        View whole;
        qsizetype rawEnd = position;
        while (true) {
            ++number;
            qsizetype end = detail::lineFeedFrom(text, position);
            if (end < 0)
                end = length;
            const bool hasLineEnd = end < length;
            View content = text.sliced(position, end - position);
            position = hasLineEnd ? end + 1 : length;
            rawEnd = end;
            if (hasLineEnd && !content.isEmpty() && detail::unit(content.back()) == u'\r')
                content.chop(1);
            // Only a line that ends can go on to the next one.
            const bool goesOn = hasLineEnd && !content.isEmpty() && detail::unit(content.back()) == u'\\';
            if (goesOn)
                content.chop(1);
            if (goesOn || isJoined) {
                joined.append(content);
                isJoined = true;
            } else {
                whole = content;
            }
            if (!goesOn || position >= length)
                break;
        }
        const View line = detail::trimmed(isJoined ? View(joined) : whole);
        if (!visit(line, rawStart, rawEnd, first, number))
            return;
    }
}

} // namespace PHConfigText
