#pragma once

#include "model/PHEditRules.h"
#include "model/PHListModel.h"
#include "model/PHModelContext.h"
#include "support/posix/PHErrorCode.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

#include <functional>
#include <memory>
#include <optional>

class PHFSItem;

namespace PHWebTreeFile {
class Source;
}

/// The user file read through in pieces, for changing one password, adding
/// or removing one user, or telling which of some names are users, in a file
/// of any size (up to PHWebTreeFile::kMaxStreamedFileSize) at a memory cost
/// that does not grow with it. Only a plain file qualifies:
/// ASCII text without NUL bytes (any other file goes through
/// PHUsersModel). Reads the records exactly as
/// PHUsersModel::recordsFromText does. The file stays open from the
/// first reading to the rewrite; the caller holds the user file's lock.
class PHUserFileStream {
public:
    enum class State {
        Plain,    ///< read through once; plain
        Missing,  ///< no file at the path
        NotPlain, ///< not plain ASCII
        Unreadable,
    };
    /// Opens the user file at `path`, reached from the web root `webRoot`
    /// without following links below it, and reads it through once, noting
    /// what it holds of `name` (with an empty one, nothing) and which of
    /// `others` are users.
    PHUserFileStream(const QString &webRoot, const QString &path, const QString &name = QString(),
                     const QStringList &others = {});
    ~PHUserFileStream();
    PHUserFileStream(const PHUserFileStream &) = delete;
    PHUserFileStream &operator=(const PHUserFileStream &) = delete;

    State state() const { return m_state; }
    /// Why the file could not be read (Unreadable).
    const QString &error() const { return m_error; }

    /// Whether a record is named `name`, as the server compares them.
    bool hasUser() const { return m_hash.has_value(); }
    /// The stored hash of the first record named `name`, or none.
    const std::optional<QString> &hash() const { return m_hash; }
    /// Whether `name` is taken as PHUsersModel::containsItem says.
    bool nameTaken() const { return m_taken; }
    /// The name of the first record that is `name` once the blanks around
    /// it are ignored (as PHUsersModel::indexOfUser finds users): the one
    /// removeUser() takes out. None when there is no such record.
    const std::optional<QString> &recordName() const { return m_recordName; }
    /// Those of `others` that a record is named exactly (as
    /// PHUsersModel::userNames lists them), each once.
    const QStringList &usersAmongOthers() const { return m_others; }
    /// Reads the file again for those of `names` that a record is named
    /// exactly, each once, into `*found`. False with error() when it could
    /// not be read through.
    bool findUsers(const QStringList &names, QStringList *found);

    /// Calls `visit(name, password)` for each record, in file order, reading
    /// the file again: `password` as the records hold it (the hash and what
    /// follows it). False with error() when it could not be read through.
    bool forEachUser(const std::function<void(QByteArrayView name, QByteArrayView password)> &visit);

    /// Gives the first record named `name` the hash `hash` where it stands
    /// (what follows the hash and the line's end kept), or with `append` and
    /// no such record adds `name:hash` at the end. Every other byte stays as
    /// it is. Streamed through a temporary file unless the command-line
    /// journal keeps whole bytes (a dry run, a diff): then the new bytes are
    /// made whole and written with PHWebTreeFile::write. False with `*why`
    /// when nothing was written.
    bool setPassword(const QString &hash, bool append, QString *why);
    /// Takes out the line of the record recordName() names: its bytes, the
    /// lines a backslash joins to it and its line end. Every other byte
    /// stays, comments and blank lines too. Written as setPassword writes.
    /// `*stillAUser` says whether a later record has the same name, so that
    /// the user is still one. False with `*why` when nothing was written.
    bool removeUser(bool *stillAUser, QString *why);

private:
    using Sink = std::function<bool(QByteArrayView bytes)>;
    /// Hands the rewritten file to `sink`: with `record`, the user's line
    /// changed (or appended) as setPassword says; without, the user's line
    /// taken out as removeUser says. False with `*why` when it cannot be made.
    bool rewrite(const std::optional<QByteArray> &record, bool append, const Sink &sink, bool *changed,
                 QString *why);
    /// Writes what rewrite() makes over the file, in pieces unless the
    /// command-line journal keeps whole bytes.
    bool write(const std::optional<QByteArray> &record, bool append, QString *why);

    QString m_webRoot;
    QString m_path;
    QByteArray m_name;
    std::unique_ptr<PHWebTreeFile::Source> m_source;
    State m_state = State::Missing;
    QString m_error;
    std::optional<QString> m_hash;
    bool m_taken = false;
    std::optional<QString> m_recordName;
    QStringList m_others;
    /// Set by a rewrite that took a user out: a later record of its name.
    bool m_stillAUser = false;
};

/// The web users: the records of the user file `.htusers` ("user" and "basic
/// password", the hash exactly as stored), in file order. Reads the file,
/// writes it back whole after every change, hashes new passwords, tells
/// whether a name is taken and removes users.
///
/// The users table shows one row in front of the records ("Any Valid User"):
/// table row r is record r − 1. The operations by name or record never count
/// that row.
///
/// A write never half-succeeds: the file is replaced atomically or left whole.
/// When it cannot be written (unwritable folder, a name that is not ASCII or
/// would break the line format) the list is read again from disk, so it shows
/// what is in force, the failure is logged and `kUserFileWriteError` goes to
/// the panel's error display. A file that exists but cannot be read or decoded
/// is logged and reported with `kUserFileReadError`, and is never written over
/// until a later read succeeds.
class PHUsersModel : public PHListModel {
    Q_OBJECT

public:
    /// Error codes for the panel's error display; the texts name the user file.
    /// The user file could not be saved (the list now shows the file on disk).
    static constexpr qint32 kUserFileWriteError = PHError::UserFileWrite;
    /// The user file exists but could not be read; it is left alone.
    static constexpr qint32 kUserFileReadError = PHError::UserFileRead;
    /// Posted after the user file was written; userInfo "path" names it.
    static inline const QString UserFileDidSaveNotification = QStringLiteral("PHUserFileDidSave");
    /// Another program changed some of the users this list changed; its
    /// version was kept.
    static constexpr qint32 kUserFileConflictError = PHError::UserFileConflict;

    static inline const QString userKey = QStringLiteral("user");
    static inline const QString passwordKey = QStringLiteral("basic password");
    /// The label of the table's first row, and the access-file word it stands for.
    static inline const QString &anyUserDisplayName = PHEditRules::anyUserDisplayName;
    static inline const QString &anyUserRealName = PHEditRules::anyUserRealName;
    /// Written where a list would be empty; never a user.
    static inline const QString &placeholderName = PHEditRules::placeholderName;

    /// Reads the user file at the front end's user-file location.
    explicit PHUsersModel(const PHModelContext &context, QObject *parent = nullptr);
    ~PHUsersModel() override;

    /// The records of the user file (with `useNewExtension`, of the file whose
    /// path has the "New File Extension" setting appended). Missing file: an
    /// empty list. A file that cannot be read or decoded: an empty list, logged
    /// and reported; for the user file itself it also suspends writing.
    QVariantList parseUserfile(bool useNewExtension);
    /// Writes every record; true when the file on disk now holds them. See the
    /// class comment for what a failure does. When another program changed the
    /// file since it was read here, its changes are merged in: a user changed
    /// on both sides keeps the file's version, and that is reported.
    bool writeUserfile();
    /// Writes the file unless there is nothing to say: a list unchanged since
    /// the file was read or written, or an empty list and no file on disk,
    /// leave the disk alone (leaving the panel must neither undo another
    /// program's changes nor create files nobody asked for), nor while the
    /// file could not be read (false, quietly: each refused change was
    /// reported as it was made).
    bool writeUserfileUnlessEmptyAndMissing();

    /// A new hash of the password in the scheme of the "Password Hash"
    /// setting, with a fresh salt from the system's random source. A null
    /// QString when no hash can be made (crypt refused, or the password holds
    /// a NUL character): the caller refuses the password.
    static QString encryptPassword(const QString &password);

    /// Whether the name is taken: empty, "valid-user" or "Any Valid User"
    /// ignoring case, or a user's name ignoring case.
    bool containsItem(const QString &name) const;
    /// The folder selected in the panel, whose "Require user" list the table edits.
    PHFSItem *activeDirectory() const;
    /// Removes the first user named `name` (blanks around names ignored) and
    /// writes the file; once the file no longer holds the user, `userDeleted`
    /// is emitted, so the user leaves every group. False when there
    /// is no such user or the removal could not be saved (the list then shows
    /// the file again).
    bool deleteUser(const QString &name);
    /// What removing a record stands for.
    enum class Removal {
        Deleted,  ///< the user goes, and leaves its groups
        Replaced, ///< a new password whose record was already added: the groups stay
    };
    /// Removes record `index` (from 0) and writes the file, as deleteUser does.
    bool removeRecord(qsizetype index, Removal removal);
    /// The position of the first record named `name` (blanks ignored), or -1.
    qsizetype indexOfUser(const QString &name) const;

    /// The order of two user records by name, ascending: case-sensitive when
    /// "Case Sensitive Compare" is on, otherwise ignoring case. Negative, zero
    /// or positive.
    static int compareOnUsername(const QVariantMap &record, const QVariantMap &other);
    /// Sorts the records with `compareOnUsername`, keeping equal names in their order.
    void sortByUsername();

    /// The "user" values in list order.
    QStringList userNames() const;
    /// Whether the last read of the user file failed (writing is suspended).
    bool loadFailed() const { return m_loadFailed; }
    /// The user file's path, or empty when the front end names no web folder.
    QString userfilePath() const;
    /// The icons the users' table shows beside names: one for every user and
    /// the warning sign for a user whose password hash is weak. The view hands
    /// them in (a QIcon each, or nothing): the model draws nothing itself.
    void setIcons(const QVariant &userIcon, const QVariant &weakHashIcon);

    /// The records a user-file text holds: one "name:hash" per line. Blank
    /// lines, lines without a colon or beginning with one are skipped, and so
    /// is the placeholder user in any letter case; a name keeps trailing blanks,
    /// a hash is kept exactly as it stands (colons included), empty when the
    /// line ends after the colon.
    static QVariantList recordsFromText(const QString &text);
    /// The user-file text of the records, or none when a record is not one or
    /// its name or hash would not read back (`*why` says which).
    static std::optional<QString> textFromRecords(const QVariantList &records, QString *why = nullptr);
    static QVariantMap userRecord(const QString &name, const QString &hash);

    // ----- The users table: row 0 is "Any Valid User", row r ≥ 1 record r − 1.

    /// The MIME type of a dragged user; the plain-text type carries the same "name:hash".
    static inline const QString userMimeType = QStringLiteral("PHPortholdUser");

    qint32 numberOfRows() const override;
    /// "user": the row's name ("Any Valid User" for row 0). Any other column:
    /// whether the selected folder's "Require user" list holds the row's name.
    QVariant objectAtRowColumn(qint32 row, const QString &column) const override;
    /// Whatever the column, the value is the row's check-box state.
    void setObjectForRowColumn(const QVariant &value, qint32 row, const QString &column) override;
    QString summaryTextForRow(qint32 row) const override;
    /// Every cell but the first row's name.
    bool isEditable(qint32 row, const QString &column) const override;
    /// Beside the names the user icon (the warning sign and why for a weak
    /// hash); the check boxes act on a password-protected folder the panel may
    /// rewrite.
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QStringList mimeTypes() const override;
    /// A dragged user: the first row's "name:hash" as both types; none for row 0.
    QMimeData *mimeData(const QModelIndexList &indexes) const override;

signals:
    /// A name could not be used as asked (ticked into a folder); the message
    /// says why, for the person who asked.
    void nameRefused(const QString &message);
    /// The user is gone from the file: it leaves every group.
    void userDeleted(const QString &name);

private:
    QString webRootPath() const;
    enum class Report { Quietly, Loudly };
    QVariantList readUserfile(const QString &path, Report report, bool *failed);
    void failWrite(const QString &path, const QString &why);
    /// Folds in what another program changed on disk since the last read or
    /// write; false when the file cannot be read now.
    bool mergeChangesOnDisk(const QString &path);

    PHModelContext m_context;
    bool m_loadFailed = false;
    /// The records as the file held them when last read or written here.
    QVariantList m_savedRecords;
    QVariant m_userIcon;
    QVariant m_weakHashIcon;
};
