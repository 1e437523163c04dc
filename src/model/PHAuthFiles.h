#pragma once

#include "model/PHConfigText.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QList>
#include <QString>
#include <QStringList>

#include <algorithm>
#include <optional>
#include <utility>

/// The user file as the server reads it: lines read as configuration lines
/// are (joined, trimmed, "#" and blank ones skipped); a record's name runs to
/// the first colon and its password hash to the next one. Whatever follows a
/// second colon is no part of the hash (people keep a full name there).
namespace PHUserFile {

template <typename View> struct Split {
    View name;
    View hash;
    /// From the second colon on (with it), or empty.
    View rest;
    /// False for a line without a colon: a name without a hash.
    bool hasColon = true;
};

/// The record of one read line, or none for a skipped one.
template <typename View> std::optional<Split<View>> split(View line) {
    if (line.isEmpty() || PHConfigText::detail::unit(line.front()) == u'#')
        return std::nullopt;
    qsizetype colon = 0;
    while (colon < line.size() && PHConfigText::detail::unit(line.at(colon)) != u':')
        ++colon;
    Split<View> record;
    record.name = line.first(colon);
    if (colon >= line.size()) {
        record.hasColon = false;
        return record;
    }
    const View after = line.sliced(colon + 1);
    qsizetype second = 0;
    while (second < after.size() && PHConfigText::detail::unit(after.at(second)) != u':')
        ++second;
    record.hash = after.first(second);
    record.rest = after.sliced(second);
    return record;
}

/// Calls `visit(record)` (a Split<View>) for each record of `text` in file order;
/// stops when it returns false.
template <typename View, typename Owned, typename Visit> void forEachRecord(View text, Visit visit) {
    PHConfigText::forEachLine<View, Owned>(text, [&](View line, qsizetype, qsizetype, int, int) {
        const std::optional<Split<View>> record = split(line);
        return !record || visit(*record);
    });
}

/// The user file handed over in pieces, read as forEachRecord reads it
/// whole: between pieces at most the last line begun (with the lines joined
/// to it) is held, never more than `maxLine` bytes of it.
class Pieces {
public:
    explicit Pieces(qsizetype maxLine) : m_maxLine(maxLine) {}

    /// Calls `visit(raw, record)` for each line that `piece` completes, in
    /// file order: `raw` its bytes as in the file (the lines joined to it and
    /// its line end included), `record` its Split<QByteArrayView>, or none for
    /// a skipped line. False when `visit` returned false or a line grew longer
    /// than `maxLine` (tooLong()).
    template <typename Visit> bool feed(QByteArrayView piece, Visit visit) {
        if (m_pending.isEmpty()) {
            const qsizetype cut = completeLines(piece);
            if (!lines(piece.first(cut), visit))
                return false;
            m_pending = piece.sliced(cut).toByteArray();
        } else {
            m_pending.append(piece);
            const qsizetype cut = completeLines(m_pending);
            if (!lines(QByteArrayView(m_pending).first(cut), visit))
                return false;
            m_pending.remove(0, cut);
        }
        m_tooLong = m_pending.size() > m_maxLine;
        return !m_tooLong;
    }
    /// The same for the last line, once the file has ended.
    template <typename Visit> bool finish(Visit visit) {
        const QByteArray rest = std::exchange(m_pending, QByteArray());
        return lines(QByteArrayView(rest), visit);
    }
    bool tooLong() const { return m_tooLong; }
    /// From now on lines are only measured, not split nor visited: for a
    /// reader that has learnt all it wanted and reads on to see the rest of
    /// the file can be read (a line too long still ends the reading).
    void measureOnly() { m_measuring = true; }

private:
    /// The longest line of `text` as lines() cuts it (the lines a backslash
    /// joins to it and its line end included), found with memchr.
    static qsizetype longestLine(QByteArrayView text) {
        qsizetype longest = 0;
        qsizetype start = 0;
        qsizetype position = 0;
        while (position < text.size()) {
            const qsizetype lineEnd = text.indexOf('\n', position);
            if (lineEnd < 0)
                break;
            qsizetype last = lineEnd - 1;
            if (last >= position && text.at(last) == '\r')
                --last;
            const bool goesOn = last >= position && text.at(last) == '\\';
            position = lineEnd + 1;
            if (!goesOn) {
                longest = std::max(longest, position - start);
                start = position;
            }
        }
        return std::max(longest, text.size() - start);
    }
    /// The length of the lines of `text` that are complete: up to the last
    /// line end that no backslash carries on to the next line.
    static qsizetype completeLines(QByteArrayView text) {
        qsizetype end = text.size();
        while (end > 0) {
            const qsizetype lineEnd = text.lastIndexOf('\n', end - 1);
            if (lineEnd < 0)
                return 0;
            qsizetype last = lineEnd - 1;
            if (last >= 0 && text.at(last) == '\r')
                --last;
            if (last < 0 || text.at(last) != '\\')
                return lineEnd + 1;
            end = lineEnd;
        }
        return 0;
    }
    template <typename Visit> bool lines(QByteArrayView text, Visit &visit) {
        if (m_measuring) {
            m_tooLong = longestLine(text) > m_maxLine;
            return !m_tooLong;
        }
        bool going = true;
        PHConfigText::forEachLine<QByteArrayView, QByteArray>(
            text, [&](QByteArrayView line, qsizetype rawStart, qsizetype rawEnd, int, int) {
                const QByteArrayView raw =
                    text.sliced(rawStart, std::min(rawEnd + 1, text.size()) - rawStart);
                m_tooLong = raw.size() > m_maxLine;
                going = !m_tooLong && visit(raw, split(line));
                return going;
            });
        return going;
    }

    QByteArray m_pending;
    qsizetype m_maxLine;
    bool m_tooLong = false;
    bool m_measuring = false;
};

struct Record {
    QString name;
    QString hash;
    QString rest;
    bool hasColon = true;
};
QList<Record> read(const QString &text);
/// The hash the server checks a password of `user` against, or none when no
/// record has that name (the first record of the name counts).
std::optional<QString> hashOf(const QString &text, const QString &user);

} // namespace PHUserFile

/// The group file as the server reads it: lines read as configuration lines
/// are; a group's name runs to the first colon (blanks before the colon are
/// not part of it), and its members are the words after it, split and
/// unquoted as configuration words are.
namespace PHGroupFile {

struct Group {
    QString name;
    QStringList members;
};
QList<Group> read(const QString &text);

/// The groups of `text` that list `user` (compared exactly), as named there.
QStringList groupsOf(const QString &text, const QString &user);

/// Group names as the server compares them: ASCII letters without regard
/// to case.
bool sameGroup(const QString &a, const QString &b);

} // namespace PHGroupFile
