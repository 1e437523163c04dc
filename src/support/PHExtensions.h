#pragma once

#include "support/posix/PHFileAttributes.h"

#include <QByteArray>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariantList>
#include <QVariantMap>

#include <memory>
#include <optional>

class QFile;

/// Small stateless helpers on text, lists, records, sets, byte buffers, files
/// and file handles, grouped by the kind of value they act on. Each returns a
/// new value and leaves its input alone unless it says it changes a buffer.
/// "Whitespace" here is exactly space, tab, carriage return and line feed.

namespace PHString {

/// The text without one trailing line feed (a carriage return before it stays).
QString chop(const QString &text);
/// A pattern for PHRegex from a literal phrase: "\s*" in front and every single
/// space replaced by "\s+". Nothing else is escaped.
QString regexWithLooseSpaces(const QString &phrase);
/// The text without its first character when that is "0".
QString stringByRemovingLeadingZero(const QString &text);
/// Every occurrence of every character of `characters` removed.
QString stringByRemovingCharactersInString(const QString &text, const QString &characters);
/// Leading and trailing " \t\r\n" removed; other Unicode spaces stay.
QString stringByRemovingSurroundingWhitespace(const QString &text);
/// The matches of an absolute pattern, unsorted (directory order); absent for
/// a pattern that is not absolute. Same as globRelativeTo(pattern, {}).
std::optional<QStringList> glob(const QString &pattern);
/// The paths matching `pattern` by glob(3) rules, unsorted; a relative pattern
/// is first joined to `directory`. No match gives an empty list (never the
/// pattern itself); expansion errors give what was matched. Absent only when
/// the pattern is relative and no directory is given.
std::optional<QStringList> globRelativeTo(const QString &pattern, const QString &directory);

} // namespace PHString

namespace PHData {

/// Appends the text's UTF-8 bytes.
void appendString(QByteArray &buffer, const QString &text);
/// Removes an HTTP header block in place: when the buffer's first 511 bytes (up
/// to a zero byte) hold "\r\n\r\n", everything up to and including it goes.
void stripHeaders(QByteArray &buffer);

} // namespace PHData

namespace PHDictionary {

/// No value: `defaultValue`; text: exactly "YES"; number (bool included):
/// non-zero; anything else: false.
bool boolForKeyDefaultValue(const QVariantMap &record, const QString &key, bool defaultValue);
bool boolForKey(const QVariantMap &record, const QString &key);
/// Stores the boolean as a number value (a bool QVariant) under the key.
void setBoolValueForKey(QVariantMap &record, bool value, const QString &key);

} // namespace PHDictionary

namespace PHArray {

/// Each element's value under `key`, in order. Every element must be a
/// QVariantMap, otherwise PHException "Invalid Array Component" is raised. A
/// record without the key contributes an invalid QVariant, so positions stay
/// aligned with the input.
QVariantList flattenedArrayWithKey(const QVariantList &records, const QString &key);
QVariantList flattenedArrayWithKey(const QList<QVariantMap> &records, const QString &key);
/// Elements in both lists, each distinct value once, in the first list's order.
QStringList intersectionWith(const QStringList &list, const QStringList &other);
QVariantList intersectionWith(const QVariantList &list, const QVariantList &other);
/// Elements in either list, each distinct value once: the first list's order,
/// then the second's new elements in its order.
QStringList unionWith(const QStringList &list, const QStringList &other);
QVariantList unionWith(const QVariantList &list, const QVariantList &other);

} // namespace PHArray

namespace PHSet {

QSet<QString> intersectionWithSet(const QSet<QString> &set, const QSet<QString> &other);
QSet<QString> unionWithSet(const QSet<QString> &set, const QSet<QString> &other);

} // namespace PHSet

/// The record `tempFile` makes: an open read/write handle that closes the file
/// when its last owner lets it go ("PHTempFileHandle"), and the file's full
/// path ("PHTempFilePath").
struct PHTempFile {
    std::shared_ptr<QFile> handle;
    QString path;
};

namespace PHFileManager {

inline constexpr qint32 kFileAcceptable = 0;
inline constexpr qint32 kFileMissing = 4;
inline constexpr qint32 kFileUnacceptable = 9;

/// The Qt-side spelling of attributesOfItemAtPathTraverseLinkError (path as UTF-8).
std::optional<PHFileAttributes>
attributesOfItemAtPathTraverseLinkError(const QString &path, bool traverseLink, int *error = nullptr);
/// 4 when nothing exists at the path; 0 when the item (links followed) is
/// larger than zero bytes; 9 when it is empty or its attributes cannot be read
/// (a broken link, for one).
qint32 isFileAcceptable(const QString &path);
/// Empties a file by recreating it: the item at the path (a symbolic link
/// itself, not its target) is deleted and an empty regular file is created in
/// its place with the old permissions, owner and group (links followed when
/// reading them), or default attributes when nothing was there. False when the
/// old item cannot be deleted (it stays) or the new one cannot be created.
bool resetFile(const QString &path);
/// Creates and opens a new, uniquely named, owner-only file
/// ".<applicationName>XXXXXX" in $TMPDIR (or /tmp). Absent when it cannot be
/// created. The caller deletes the file after use.
std::optional<PHTempFile> tempFile();

} // namespace PHFileManager

namespace PHFileHandle {

/// Writes the text's UTF-8 bytes at the handle's position; false when not all
/// of them could be written.
bool writeString(QFile &handle, const QString &text);

} // namespace PHFileHandle

namespace PHApplication {

/// What the program names itself by: the panel's bundle record
/// ("CFBundleName", "CFBundleVersion", "CFBundleCompany"), or portholdctl's
/// own. Empty until a front end sets it.
struct Information {
    QString name;
    QString version;
    QString company;
};
/// Sets the information and returns what it replaces. Any thread.
Information setInformation(const Information &information);
QString applicationName();
QString applicationVersion();
QString applicationCompany();

} // namespace PHApplication
