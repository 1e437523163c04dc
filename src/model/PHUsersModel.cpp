#include "model/PHUsersModel.h"

#include "core/Log.h"
#include "core/NotificationCenter.h"
#include "model/PHAuthFiles.h"
#include "model/PHFileMerge.h"
#include "model/PHModelContext.h"
#include "model/PHPasswordHash.h"
#include "model/PHSettings.h"
#include "model/PHWebRoot.h"
#include "support/PHExtensions.h"
#include "support/PHSettingsStore.h"
#include "support/PHTextFile.h"
#include "support/PHWebTreeFile.h"
#include "support/PHWriteJournal.h"
#include "support/PHWriteLock.h"

#include <QByteArrayView>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <algorithm>
#include <cstring>

namespace {

bool isAscii(const QString &text) {
    return std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c.unicode() < 0x80; });
}

} // namespace

PHUsersModel::PHUsersModel(const PHModelContext &context, QObject *parent)
    : PHListModel(parent), m_context(context) {
    m_dataArray = parseUserfile(false);
}

PHUsersModel::~PHUsersModel() = default;

QString PHUsersModel::userfilePath() const {
    return m_context.location(PHWebRoot::UserFile);
}

QString PHUsersModel::webRootPath() const {
    return m_context.location(PHWebRoot::Root);
}

// ---------------------------------------------------------------- reading

QVariantList PHUsersModel::recordsFromText(const QString &text) {
    QVariantList records;
    // Lines the server reads as no one's are not the panel's users either; what
    // follows the hash (a second colon and a full name) is kept with it, so a
    // rewrite leaves it in place.
    for (const PHUserFile::Record &record : PHUserFile::read(text)) {
        if (!record.hasColon || record.name.isEmpty() ||
            record.name.compare(placeholderName, Qt::CaseInsensitive) == 0)
            continue;
        records.append(userRecord(record.name, record.hash + record.rest));
    }
    return records;
}

QVariantList PHUsersModel::readUserfile(const QString &path, Report report, bool *failed) {
    *failed = false;
    if (path.isEmpty())
        return {};
    const PHTextFile file = PHTextFile::readBelow(webRootPath(), path);
    switch (file.status) {
    case PHTextFile::Status::Read:
        if (path == userfilePath())
            m_savedRecords = recordsFromText(file.text);
        return recordsFromText(file.text);
    case PHTextFile::Status::Missing:
        if (path == userfilePath())
            m_savedRecords.clear();
        return {};
    case PHTextFile::Status::Unreadable:
    case PHTextFile::Status::Undecodable:
        break;
    }
    *failed = true;
    Log::write(QStringLiteral("could not read the user file %1: %2").arg(path, file.error));
    if (report == Report::Loudly) {
        m_context.displayError(kUserFileReadError, QStringLiteral("%1: %2").arg(path, file.error));
    }
    return {};
}

QVariantList PHUsersModel::parseUserfile(bool useNewExtension) {
    QString path = userfilePath();
    if (useNewExtension) {
        if (path.isEmpty())
            return {};
        path += PHSettingsStore::instance()
                    ->stringForKey(PHSettings::Key::NewFileExtension)
                    .value_or(QStringLiteral(".new"));
        bool failed = false;
        return readUserfile(path, Report::Loudly, &failed);
    }
    return readUserfile(path, Report::Loudly, &m_loadFailed);
}

// ---------------------------------------------------------------- writing

QVariantMap PHUsersModel::userRecord(const QString &name, const QString &hash) {
    return QVariantMap{{userKey, name}, {passwordKey, hash}};
}

std::optional<QString> PHUsersModel::textFromRecords(const QVariantList &records, QString *why) {
    auto refuse = [why](const QString &reason) -> std::optional<QString> {
        if (why)
            *why = reason;
        return std::nullopt;
    };
    QString text;
    for (const QVariant &element : records) {
        if (element.typeId() != QMetaType::QVariantMap)
            return refuse(QStringLiteral("an entry of the user list is not a user record"));
        const QVariantMap record = element.toMap();
        const QString name = record.value(userKey).toString();
        const QString hash = record.value(passwordKey).toString();
        // These would come back as another user, as part of a neighbour, or not at all.
        if (name.isEmpty() || name.contains(QLatin1Char(':')) || name.contains(QLatin1Char('\n')))
            return refuse(QStringLiteral("the user name \"%1\" cannot be stored in a user file").arg(name));
        if (hash.contains(QLatin1Char('\n')))
            return refuse(QStringLiteral("the password of \"%1\" spans several lines").arg(name));
        text += QStringLiteral("%1:%2\n").arg(name, hash);
    }
    // What is written must read back, as the server reads it, as these users.
    const QVariantList readBack = recordsFromText(text);
    if (readBack.size() != records.size())
        return refuse(QStringLiteral("a user name would not read back as itself from the user file"));
    for (qsizetype i = 0; i < readBack.size(); ++i)
        if (readBack.at(i) != records.at(i))
            return refuse(QStringLiteral("the user \"%1\" would not read back as itself from the user file")
                              .arg(records.at(i).toMap().value(userKey).toString()));
    return text;
}

void PHUsersModel::failWrite(const QString &path, const QString &why) {
    Log::write(QStringLiteral("could not save the user file %1: %2").arg(path, why));
    // Show what is in force rather than what failed to be saved.
    m_dataArray = readUserfile(path, Report::Quietly, &m_loadFailed);
    reload();
    m_context.displayError(kUserFileWriteError, QStringLiteral("%1: %2").arg(path, why));
}

bool PHUsersModel::writeUserfile() {
    const QString path = userfilePath();
    if (path.isEmpty())
        return false;
    if (m_loadFailed) {
        failWrite(path, QStringLiteral("it could not be read, and saving over it would lose its users"));
        return false;
    }
    // Held from the reading that merges another program's changes to the
    // rename, so that writers at once keep each other's users.
    const PHWriteLock lock(webRootPath(), QStringLiteral(".htusers"));
    if (lock.timedOut()) {
        failWrite(path, lock.error());
        return false;
    }
    if (!mergeChangesOnDisk(path))
        return false;
    QString why;
    const std::optional<QString> text = textFromRecords(m_dataArray, &why);
    if (!text) {
        failWrite(path, why);
        return false;
    }
    if (!isAscii(*text)) {
        failWrite(path, QStringLiteral("a user name or password is not plain ASCII"));
        return false;
    }
    if (!PHWebTreeFile::write(webRootPath(), path, text->toLatin1(), &why)) {
        failWrite(path, why);
        return false;
    }
    m_savedRecords = m_dataArray;
    NotificationCenter::defaultCenter().post(UserFileDidSaveNotification, this,
                                             {{QStringLiteral("path"), path}});
    return true;
}

bool PHUsersModel::mergeChangesOnDisk(const QString &path) {
    const PHTextFile file = PHTextFile::readBelow(webRootPath(), path);
    if (file.status == PHTextFile::Status::Unreadable || file.status == PHTextFile::Status::Undecodable) {
        failWrite(path, QStringLiteral("it could not be read again before saving: %1").arg(file.error));
        return false;
    }
    const QVariantList onDisk =
        file.status == PHTextFile::Status::Read ? recordsFromText(file.text) : QVariantList();
    if (onDisk == m_savedRecords)
        return true;
    const auto entries = [](const QVariantList &records) {
        PHFileMerge::Entries list;
        for (const QVariant &record : records) {
            const QVariantMap map = record.toMap();
            list.append({map.value(userKey).toString(), map.value(passwordKey).toString()});
        }
        return list;
    };
    const PHFileMerge::Result merge =
        PHFileMerge::threeWay(entries(m_savedRecords), entries(m_dataArray), entries(onDisk));
    m_dataArray.clear();
    for (const auto &[name, hash] : merge.merged)
        m_dataArray.append(userRecord(name, hash));
    reload();
    if (!merge.conflicts.isEmpty()) {
        Log::write(QStringLiteral("the user file %1 was changed by another program; kept its version of %2")
                       .arg(path, merge.conflicts.join(QStringLiteral(", "))));
        m_context.displayError(kUserFileConflictError);
    }
    return true;
}

bool PHUsersModel::writeUserfileUnlessEmptyAndMissing() {
    const QString path = userfilePath();
    if (m_dataArray.isEmpty() && (path.isEmpty() || !QFileInfo(path).exists()))
        return true;
    // Every change since the failed read was refused and reported when it
    // was made: there is nothing unsaved to report again.
    if (m_loadFailed)
        return false;
    if (m_dataArray == m_savedRecords)
        return true; // nothing changed here since the file was read or written
    return writeUserfile();
}

// ---------------------------------------------------------------- passwords

QString PHUsersModel::encryptPassword(const QString &password) {
    return PHPasswordHash::hash(password);
}

// ---------------------------------------------------------------- names

bool PHUsersModel::containsItem(const QString &name) const {
    if (name.isEmpty() || name.compare(anyUserRealName, Qt::CaseInsensitive) == 0 ||
        name.compare(anyUserDisplayName, Qt::CaseInsensitive) == 0)
        return true;
    return std::any_of(m_dataArray.cbegin(), m_dataArray.cend(), [&name](const QVariant &element) {
        return element.toMap().value(userKey).toString().compare(name, Qt::CaseInsensitive) == 0;
    });
}

QStringList PHUsersModel::userNames() const {
    QStringList names;
    names.reserve(m_dataArray.size());
    for (const QVariant &element : m_dataArray)
        names.append(element.toMap().value(userKey).toString());
    return names;
}

PHFSItem *PHUsersModel::activeDirectory() const {
    return m_context.selectedItem();
}

int PHUsersModel::compareOnUsername(const QVariantMap &record, const QVariantMap &other) {
    const Qt::CaseSensitivity sensitivity =
        PHSettingsStore::instance()->boolForKey(PHSettings::Key::CaseSensitiveCompare) ? Qt::CaseSensitive
                                                                                       : Qt::CaseInsensitive;
    const int order =
        QString::compare(record.value(userKey).toString(), other.value(userKey).toString(), sensitivity);
    return order < 0 ? -1 : order > 0 ? 1 : 0;
}

void PHUsersModel::sortByUsername() {
    std::stable_sort(m_dataArray.begin(), m_dataArray.end(), [](const QVariant &a, const QVariant &b) {
        return compareOnUsername(a.toMap(), b.toMap()) < 0;
    });
}

// ---------------------------------------------------------------- removing

qsizetype PHUsersModel::indexOfUser(const QString &name) const {
    for (qsizetype i = 0; i < m_dataArray.size(); ++i)
        if (PHString::stringByRemovingSurroundingWhitespace(
                m_dataArray.at(i).toMap().value(userKey).toString()) == name)
            return i;
    return -1;
}

bool PHUsersModel::deleteUser(const QString &name) {
    const qsizetype index = indexOfUser(name);
    return index >= 0 && removeRecord(index, Removal::Deleted);
}

bool PHUsersModel::removeRecord(qsizetype index, Removal removal) {
    if (index < 0 || index >= m_dataArray.size())
        return false;
    const QString name = m_dataArray.at(index).toMap().value(userKey).toString();
    removeElement(index);
    // The file is saved before the groups hear of it: a user whose removal
    // could not be saved comes back with the file, and must keep its groups.
    if (!writeUserfile())
        return false;
    // A user another program changed meanwhile is kept (a conflict): it keeps its groups too.
    if (removal == Removal::Deleted && !userNames().contains(name))
        emit userDeleted(name);
    return true;
}

// ---------------------------------------------------------------- one pass in pieces

namespace {

/// The longest line a user file read in pieces may have: the server itself
/// stops reading a user file at a line longer than 8 KiB.
constexpr qsizetype kMaxStreamedLine = 64 * 1024;

bool isPlain(QByteArrayView bytes) {
    return std::all_of(bytes.begin(), bytes.end(),
                       [](char c) { return c != '\0' && static_cast<unsigned char>(c) < 0x80; });
}

using Split = PHUserFile::Split<QByteArrayView>;

/// Whether Latin-1 `bytes` equal the ASCII `word` ignoring case, as
/// QString::compare has it (no Latin-1 letter folds to an ASCII one), at a
/// fraction of its cost: it runs once for every line of a user file.
bool equalsIgnoringCase(QByteArrayView bytes, QByteArrayView word) {
    if (bytes.size() != word.size())
        return false;
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    for (qsizetype i = 0; i < bytes.size(); ++i)
        if (lower(bytes[i]) != lower(word[i]))
            return false;
    return true;
}

/// Whether a line read is one of the panel's users, as recordsFromText has it.
bool isUserRecord(const std::optional<Split> &record) {
    static const QByteArray placeholder = PHUsersModel::placeholderName.toLatin1();
    return record && record->hasColon && !record->name.isEmpty() &&
           !equalsIgnoringCase(record->name, placeholder);
}

QString longLineText(const QString &path) {
    return QStringLiteral("%1 has a line longer than %2 KiB, which the web server does not read")
        .arg(path)
        .arg(kMaxStreamedLine >> 10);
}

/// A record's name without the blanks around it, as
/// PHString::stringByRemovingSurroundingWhitespace has it.
QByteArrayView withoutBlanks(QByteArrayView name) {
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (!name.isEmpty() && blank(name.front()))
        name = name.sliced(1);
    while (!name.isEmpty() && blank(name.back()))
        name.chop(1);
    return name;
}

/// Which of some names the records have, each found once, in file order.
class NameSearch {
public:
    explicit NameSearch(const QStringList &names) {
        // The file is ASCII: only an ASCII name can be a record's.
        for (const QString &name : names)
            if (!name.isEmpty() && isAscii(name))
                m_wanted.insert(name.toLatin1());
    }
    bool isDone() const { return m_wanted.isEmpty(); }
    void see(QByteArrayView name) {
        if (m_wanted.isEmpty())
            return;
        // Looked up before it is taken out: a lookup leaves the set as it is.
        const QByteArray key = QByteArray::fromRawData(name.data(), name.size());
        if (m_wanted.contains(key) && m_wanted.remove(key))
            m_found.append(QString::fromLatin1(name));
    }
    QStringList &found() { return m_found; }

private:
    QSet<QByteArray> m_wanted;
    QStringList m_found;
};

/// Whether `bytes` end a line that a backslash carries on to what follows.
bool carriesOn(QByteArrayView bytes) {
    if (!bytes.endsWith('\n'))
        return false;
    bytes.chop(1);
    if (bytes.endsWith('\r'))
        bytes.chop(1);
    return bytes.endsWith('\\');
}

} // namespace

PHUserFileStream::PHUserFileStream(const QString &webRoot, const QString &path, const QString &name,
                                   const QStringList &others)
    : m_webRoot(webRoot), m_path(path), m_source(std::make_unique<PHWebTreeFile::Source>(webRoot, path)) {
    switch (m_source->status()) {
    case PHWebTreeFile::Bytes::Status::Missing:
        m_state = State::Missing;
        return;
    case PHWebTreeFile::Bytes::Status::Unreadable:
        m_state = State::Unreadable;
        m_error = m_source->error();
        return;
    case PHWebTreeFile::Bytes::Status::Read:
        break;
    }
    // The file is ASCII: only an ASCII name can be a record's.
    const bool asciiName = !name.isEmpty() && isAscii(name);
    if (asciiName)
        m_name = name.toLatin1();
    m_taken = name.isEmpty() || name.compare(PHUsersModel::anyUserRealName, Qt::CaseInsensitive) == 0 ||
              name.compare(PHUsersModel::anyUserDisplayName, Qt::CaseInsensitive) == 0;
    NameSearch search(others);
    const auto visit = [&](QByteArrayView, const std::optional<Split> &record) {
        if (!isUserRecord(record))
            return true;
        search.see(record->name);
        if (name.isEmpty())
            return true;
        if (asciiName && !m_hash && record->name == QByteArrayView(m_name))
            m_hash = QString::fromLatin1(record->hash);
        if (asciiName && !m_recordName && withoutBlanks(record->name) == QByteArrayView(m_name))
            m_recordName = QString::fromLatin1(record->name);
        // As containsItem compares: ignoring case, which keeps the length.
        if (!m_taken && record->name.size() == name.size() &&
            (asciiName ? equalsIgnoringCase(record->name, m_name)
                       : QLatin1String(record->name.data(), record->name.size())
                                 .compare(name, Qt::CaseInsensitive) == 0))
            m_taken = true;
        return true;
    };
    bool plain = true;
    PHUserFile::Pieces pieces(kMaxStreamedLine);
    // Every answer is the first record's that gives it: once the record of
    // the name and every other name asked for are found, the rest of the
    // file is only checked to be one that can be rewritten in pieces.
    const auto settled = [&] { return asciiName && m_hash && m_recordName && m_taken && search.isDone(); };
    bool measuring = false;
    const bool read = m_source->readThrough([&](QByteArrayView piece) {
        plain = isPlain(piece);
        if (!measuring && settled()) {
            pieces.measureOnly();
            measuring = true;
        }
        return plain && pieces.feed(piece, visit);
    });
    const bool finished = read && pieces.finish(visit);
    if (!plain || pieces.tooLong() || !finished) {
        m_hash.reset();
        m_recordName.reset();
        m_taken = false;
        m_state = plain ? State::Unreadable : State::NotPlain;
        if (plain)
            m_error = pieces.tooLong() ? longLineText(path) : m_source->error();
        return;
    }
    m_others = std::move(search.found());
    m_state = State::Plain;
}

PHUserFileStream::~PHUserFileStream() = default;

bool PHUserFileStream::forEachUser(const std::function<void(QByteArrayView, QByteArrayView)> &visit) {
    if (m_state != State::Plain)
        return false;
    const auto each = [&](QByteArrayView, const std::optional<Split> &record) {
        if (isUserRecord(record))
            // The hash and what follows it lie side by side in the line.
            visit(record->name,
                  QByteArrayView(record->hash.data(), record->hash.size() + record->rest.size()));
        return true;
    };
    PHUserFile::Pieces pieces(kMaxStreamedLine);
    if (m_source->readThrough([&](QByteArrayView piece) { return pieces.feed(piece, each); }) &&
        pieces.finish(each))
        return true;
    m_error = pieces.tooLong() ? longLineText(m_path) : m_source->error();
    return false;
}

bool PHUserFileStream::findUsers(const QStringList &names, QStringList *found) {
    NameSearch search(names);
    const bool read = forEachUser([&](QByteArrayView name, QByteArrayView) { search.see(name); });
    *found = std::move(search.found());
    return read;
}

bool PHUserFileStream::rewrite(const std::optional<QByteArray> &record, bool append, const Sink &sink,
                               bool *changed, QString *why) {
    *changed = false;
    m_stillAUser = false;
    bool edited = false;
    // The name of the record taken out, as it stands.
    QByteArray removed;
    bool sinkFailed = false;
    // The end of what was handed on: whether a line must be ended before another is added.
    char tail[3] = {'\n', '\n', '\n'};
    const auto hand = [&](QByteArrayView bytes) {
        if (!sink(bytes)) {
            sinkFailed = true;
            return false;
        }
        for (const char c : bytes.last(std::min<qsizetype>(bytes.size(), 3))) {
            tail[0] = tail[1];
            tail[1] = tail[2];
            tail[2] = c;
        }
        return true;
    };
    const auto line = [&](QByteArrayView raw, const std::optional<Split> &split) {
        if (!isUserRecord(split))
            return hand(raw);
        if (edited) {
            if (!record && split->name == QByteArrayView(removed))
                m_stillAUser = true;
            return hand(raw);
        }
        // A password goes to the record of exactly the name, a removal takes
        // the record deleteUser would find.
        if (record ? split->name != QByteArrayView(m_name)
                   : withoutBlanks(split->name) != QByteArrayView(m_name))
            return hand(raw);
        edited = true;
        if (!record) {
            removed = split->name.toByteArray();
            *changed = true;
            return true;
        }
        // What follows the hash (a full name) stays, unless its final
        // backslash would carry the line on to the next.
        const QByteArrayView rest = split->rest.endsWith('\\') ? QByteArrayView() : split->rest;
        const QByteArrayView end = raw.endsWith("\r\n") ? QByteArrayView("\r\n")
                                   : raw.endsWith('\n') ? QByteArrayView("\n")
                                                        : QByteArrayView();
        QByteArray rewritten = *record;
        rewritten.append(rest).append(end);
        if (QByteArrayView(rewritten) != raw)
            *changed = true;
        return hand(rewritten);
    };
    PHUserFile::Pieces pieces(kMaxStreamedLine);
    if (!m_source->readThrough([&](QByteArrayView piece) { return pieces.feed(piece, line); }) ||
        !pieces.finish(line)) {
        if (!sinkFailed)
            *why = pieces.tooLong() ? longLineText(m_path) : m_source->error();
        return false;
    }
    if (edited)
        return true;
    if (!append) {
        *why = QStringLiteral("%1 no longer has a user \"%2\"").arg(m_path, QString::fromLatin1(m_name));
        return false;
    }
    const QByteArrayView last(tail, 3);
    if ((tail[2] != '\n' || carriesOn(last)) && !hand("\n"))
        return false;
    *changed = true;
    return hand(*record + '\n');
}

bool PHUserFileStream::setPassword(const QString &hash, bool append, QString *why) {
    if (m_state != State::Plain || m_name.isEmpty()) {
        *why = QStringLiteral("%1 is not open to be rewritten").arg(m_path);
        return false;
    }
    // What textFromRecords would refuse, and what would not be plain ASCII:
    // the new line must read back as this user with this hash.
    const QByteArray hashBytes = hash.toLatin1();
    const QByteArray record = m_name + ':' + hashBytes;
    const std::optional<Split> back =
        PHUserFile::split(PHConfigText::detail::trimmed(QByteArrayView(record)));
    if (!isAscii(hash) || !isPlain(record) || record.contains('\n') || record.endsWith('\\') ||
        !isUserRecord(back) || back->name != QByteArrayView(m_name) ||
        back->hash != QByteArrayView(hashBytes)) {
        *why =
            QStringLiteral("the new record of \"%1\" would not read back").arg(QString::fromLatin1(m_name));
        return false;
    }
    return write(record, append, why);
}

bool PHUserFileStream::removeUser(bool *stillAUser, QString *why) {
    *stillAUser = false;
    if (m_state != State::Plain || !m_recordName) {
        *why = m_state != State::Plain
                   ? QStringLiteral("%1 is not open to be rewritten").arg(m_path)
                   : QStringLiteral("%1 has no user \"%2\"").arg(m_path, QString::fromLatin1(m_name));
        return false;
    }
    if (!write(std::nullopt, false, why))
        return false;
    *stillAUser = m_stillAUser;
    return true;
}

bool PHUserFileStream::write(const std::optional<QByteArray> &record, bool append, QString *why) {
    // A dry run, or a run that shows its changes, keeps the bytes.
    if (PHWriteJournal::keepsBytes()) {
        QByteArray text;
        bool changed = false;
        if (!rewrite(
                record, append,
                [&](QByteArrayView bytes) {
                    text.append(bytes);
                    return true;
                },
                &changed, why))
            return false;
        return PHWebTreeFile::write(m_webRoot, m_path, text, why);
    }
    bool changed = false;
    return m_source->replace(
        [&](PHWebTreeFile::Source::Sink &sink, QString *reason) {
            bool differs = false;
            if (!rewrite(
                    record, append, [&](QByteArrayView bytes) { return sink.append(bytes); }, &differs,
                    reason))
                return PHWebTreeFile::Source::Produced::Failed;
            return differs ? PHWebTreeFile::Source::Produced::Changed
                           : PHWebTreeFile::Source::Produced::Unchanged;
        },
        &changed, why);
}
