#pragma once

#include "model/PHConfigText.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

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
