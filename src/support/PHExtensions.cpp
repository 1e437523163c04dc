#include "support/PHExtensions.h"

#include "core/PHException.h"
#include "support/PHPropertyList.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool isWhitespace(QChar c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n';
}

template <typename List> List distinctCommon(const List &list, const List &other) {
    List result;
    for (const auto &element : list)
        if (other.contains(element) && !result.contains(element))
            result.append(element);
    return result;
}

template <typename List> List distinctUnion(const List &list, const List &other) {
    List result;
    for (const auto &element : list)
        if (!result.contains(element))
            result.append(element);
    for (const auto &element : other)
        if (!result.contains(element))
            result.append(element);
    return result;
}

QMutex g_informationLock;
PHApplication::Information g_information;

PHApplication::Information information() {
    const QMutexLocker locker(&g_informationLock);
    return g_information;
}

} // namespace

// ---------------------------------------------------------------- text

namespace PHString {

QString chop(const QString &text) {
    return text.endsWith(u'\n') ? text.left(text.size() - 1) : text;
}

QString regexWithLooseSpaces(const QString &phrase) {
    QString pattern = QStringLiteral("\\s*");
    for (QChar c : phrase) {
        if (c == u' ')
            pattern += QStringLiteral("\\s+");
        else
            pattern += c;
    }
    return pattern;
}

QString stringByRemovingLeadingZero(const QString &text) {
    return text.startsWith(u'0') ? text.mid(1) : text;
}

QString stringByRemovingCharactersInString(const QString &text, const QString &characters) {
    QString result;
    result.reserve(text.size());
    for (QChar c : text)
        if (!characters.contains(c))
            result += c;
    return result;
}

QString stringByRemovingSurroundingWhitespace(const QString &text) {
    qsizetype start = 0, end = text.size();
    while (start < end && isWhitespace(text.at(start)))
        ++start;
    while (end > start && isWhitespace(text.at(end - 1)))
        --end;
    if (start == 0 && end == text.size())
        return text;
    return text.mid(start, end - start);
}

std::optional<QStringList> glob(const QString &pattern) {
    return globRelativeTo(pattern, QString());
}

std::optional<QStringList> globRelativeTo(const QString &pattern, const QString &directory) {
    QString full = pattern;
    if (!pattern.startsWith(u'/')) {
        if (directory.isEmpty())
            return std::nullopt;
        full = directory + u'/' + pattern;
    }
    glob_t matches{};
    const QByteArray bytes = full.toUtf8();
    // GLOB_NOCHECK is left out so that a pattern that matches nothing never
    // comes back as its own match; errors in unreadable folders are skipped.
    ::glob(bytes.constData(), GLOB_NOSORT, nullptr, &matches);
    QStringList result;
    for (size_t i = 0; i < matches.gl_pathc; ++i)
        result.append(QString::fromUtf8(matches.gl_pathv[i]));
    ::globfree(&matches);
    return result;
}

} // namespace PHString

// ---------------------------------------------------------------- bytes

namespace PHData {

void appendString(QByteArray &buffer, const QString &text) {
    buffer.append(text.toUtf8());
}

void stripHeaders(QByteArray &buffer) {
    qsizetype searched = std::min<qsizetype>(buffer.size(), 511);
    const qsizetype zero = QByteArrayView(buffer.constData(), searched).indexOf('\0');
    if (zero >= 0)
        searched = zero;
    const qsizetype end = QByteArrayView(buffer.constData(), searched).indexOf("\r\n\r\n");
    if (end >= 0)
        buffer.remove(0, end + 4);
}

} // namespace PHData

// ---------------------------------------------------------------- records

namespace PHDictionary {

bool boolForKeyDefaultValue(const QVariantMap &record, const QString &key, bool defaultValue) {
    const auto found = record.constFind(key);
    if (found == record.constEnd() || !found->isValid())
        return defaultValue;
    const QVariant &value = *found;
    if (value.typeId() == QMetaType::QString)
        return value.toString() == QLatin1String("YES");
    if (PHPropertyList::isNumberType(value.typeId())) {
        if (PHPropertyList::isRealType(value.typeId()))
            return value.toDouble() != 0.0;
        return value.toLongLong() != 0 || value.toULongLong() != 0;
    }
    return false;
}

bool boolForKey(const QVariantMap &record, const QString &key) {
    return boolForKeyDefaultValue(record, key, false);
}

void setBoolValueForKey(QVariantMap &record, bool value, const QString &key) {
    record.insert(key, QVariant(value));
}

} // namespace PHDictionary

// ---------------------------------------------------------------- lists and sets

namespace PHArray {

QVariantList flattenedArrayWithKey(const QVariantList &records, const QString &key) {
    QVariantList values;
    values.reserve(records.size());
    for (const QVariant &element : records) {
        if (element.typeId() != QMetaType::QVariantMap)
            throw PHException(
                QStringLiteral("Invalid Array Component"),
                QStringLiteral("-flattenedArrayWithKey: requires all components to be NSDictionaries"));
        values.append(element.toMap().value(key));
    }
    return values;
}

QVariantList flattenedArrayWithKey(const QList<QVariantMap> &records, const QString &key) {
    QVariantList values;
    values.reserve(records.size());
    for (const QVariantMap &record : records)
        values.append(record.value(key));
    return values;
}

QStringList intersectionWith(const QStringList &list, const QStringList &other) {
    return distinctCommon(list, other);
}

QVariantList intersectionWith(const QVariantList &list, const QVariantList &other) {
    return distinctCommon(list, other);
}

QStringList unionWith(const QStringList &list, const QStringList &other) {
    return distinctUnion(list, other);
}

QVariantList unionWith(const QVariantList &list, const QVariantList &other) {
    return distinctUnion(list, other);
}

} // namespace PHArray

namespace PHSet {

QSet<QString> intersectionWithSet(const QSet<QString> &set, const QSet<QString> &other) {
    QSet<QString> result = set;
    return result.intersect(other);
}

QSet<QString> unionWithSet(const QSet<QString> &set, const QSet<QString> &other) {
    QSet<QString> result = set;
    return result.unite(other);
}

} // namespace PHSet

// ---------------------------------------------------------------- files

namespace PHFileManager {

std::optional<PHFileAttributes> attributesOfItemAtPathTraverseLinkError(const QString &path,
                                                                        bool traverseLink, int *error) {
    return ::attributesOfItemAtPathTraverseLinkError(QFile::encodeName(path).toStdString(), traverseLink,
                                                     error);
}

qint32 isFileAcceptable(const QString &path) {
    int error = 0;
    if (!attributesOfItemAtPathTraverseLinkError(path, false, &error) &&
        (error == ENOENT || error == ENOTDIR))
        return kFileMissing;
    const std::optional<PHFileAttributes> attributes = attributesOfItemAtPathTraverseLinkError(path, true);
    return attributes && attributes->size > 0 ? kFileAcceptable : kFileUnacceptable;
}

bool resetFile(const QString &path) {
    if (path.isEmpty())
        return false;
    const QByteArray name = QFile::encodeName(path);
    std::optional<PHFileAttributes> old;
    if (attributesOfItemAtPathTraverseLinkError(path, false)) {
        old = attributesOfItemAtPathTraverseLinkError(path, true);
        if (::unlink(name.constData()) != 0)
            return false;
    }
    // 0666 lets the kernel apply the umask for a new file; an old file's
    // permissions are then set exactly.
    const int fd = ::open(name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0)
        return false;
    if (old && old->type == PHFileAttributes::Type::Regular) {
        // Whatever the platform lets be set: a refused owner or group is no failure.
        if (::fchown(fd, old->ownerID, old->groupID) != 0)
            (void)::fchown(fd, static_cast<uid_t>(-1), old->groupID);
        (void)::fchmod(fd, old->permissions);
    }
    return ::close(fd) == 0;
}

std::optional<PHTempFile> tempFile() {
    // The helper tool takes only absolute paths: a relative TMPDIR counts as
    // unset, as a relative XDG_CONFIG_HOME does for the settings.
    QString folder = qEnvironmentVariable("TMPDIR");
    if (folder.isEmpty() || !QDir::isAbsolutePath(folder))
        folder = QStringLiteral("/tmp");
    // glibc's mkstemp wants exactly six trailing X.
    const QString name = QStringLiteral(".%1XXXXXX").arg(PHApplication::applicationName());
    QByteArray pattern = QFile::encodeName(QDir(folder).filePath(name));
    const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    auto handle = std::make_shared<QFile>();
    if (!handle->open(fd, QIODevice::ReadWrite, QFileDevice::AutoCloseHandle)) {
        ::close(fd);
        ::unlink(pattern.constData());
        return std::nullopt;
    }
    return PHTempFile{std::move(handle), QFile::decodeName(pattern)};
}

} // namespace PHFileManager

namespace PHFileHandle {

bool writeString(QFile &handle, const QString &text) {
    const QByteArray bytes = text.toUtf8();
    return handle.write(bytes) == bytes.size();
}

} // namespace PHFileHandle

// ---------------------------------------------------------------- application

namespace PHApplication {

Information setInformation(const Information &replacement) {
    const QMutexLocker locker(&g_informationLock);
    return std::exchange(g_information, replacement);
}

QString applicationName() {
    return information().name;
}

QString applicationVersion() {
    return information().version;
}

QString applicationCompany() {
    return information().company;
}

} // namespace PHApplication
