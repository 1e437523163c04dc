#pragma once

#include "model/PHEditRules.h"
#include "model/PHViewProtocols.h"
#include "model/PHXDataSource.h"
#include "support/posix/PHErrorCode.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

#include <optional>

class PHFSItem;

/// A user file held as its bytes alone, for changing one password in a file
/// too large to hold as records. Only a plain file qualifies: ASCII text
/// without NUL bytes (any other file goes through PHUsersDataSource). Reads
/// the records exactly as PHUsersDataSource::recordsFromText does.
class PHUserFileBytes {
public:
    enum class State {
        Plain,    ///< read; `bytes` hold the file
        Missing,  ///< no file at the path
        NotPlain, ///< read, but not plain ASCII
        Unreadable,
    };
    static PHUserFileBytes read(const QString &path);

    State state = State::Missing;
    QByteArray bytes;

    /// Whether a record's name is `name`, as the server compares them.
    bool hasUser(const QString &name) const;
    /// The stored hash of the first record named `name`, or none.
    std::optional<QString> hashOf(const QString &name) const;
    /// The file as PHUsersDataSource writes it after the panel's password
    /// change: the first record named `name` (less surrounding blanks) gone,
    /// `name:hash` appended, every other record rewritten in place. None when
    /// no record has that name or the new record would not read back.
    std::optional<QByteArray> replacingPassword(const QString &name, const QString &hash) const;

private:
    /// Calls `record(split)` (a PHUserFile::Split of the bytes) for each of the
    /// panel's records in file order; stops when it returns false.
    template <typename Record> void forEachRecord(Record record) const;
};

/// The web users: the records of the user file `.htusers` ("user" and "basic
/// password", the hash exactly as stored), in file order. Reads the file,
/// writes it back whole after every change, hashes new passwords, tells
/// whether a name is taken and removes users.
///
/// The users table shows one row in front of the records ("Any Valid User"),
/// so table row r is record r − 1 wherever a row is passed.
///
/// A write never half-succeeds: the file is replaced atomically or left whole.
/// When it cannot be written (unwritable folder, a name that is not ASCII or
/// would break the line format) the list is read again from disk, so it shows
/// what is in force, the failure is logged and `kUserFileWriteError` goes to
/// the panel's error display. A file that exists but cannot be read or decoded
/// is logged and reported with `kUserFileReadError`, and is never written over
/// until a later read succeeds.
class PHUsersDataSource : public PHXDataSource, public PHTableViewDelegate {
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

    /// Reads the user file at the panel's user-file location.
    explicit PHUsersDataSource(QObject *parent = nullptr);
    ~PHUsersDataSource() override;

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
    /// Removes the user of table row `row` (≥ 1) and writes the file. Unless
    /// `replace` (a password change that already added the new record), the
    /// panel is told `userWasDeleted` once the file holds the removal, so the
    /// user leaves every group. False when nothing was removed or the removal
    /// could not be saved (the list then shows the file again).
    bool tableViewDeleteRowReplace(QObject *tableView, qint32 row, bool replace);

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
    /// The user file's path, or empty when the panel names no web folder.
    static QString userfilePath();
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

    /// The pasteboard type of a dragged user; the plain-text type carries the same "name:hash".
    static inline const QString pasteboardType = QStringLiteral("PHPortholdUser");

    qint32 numberOfRows() const override;
    /// "user": the row's name ("Any Valid User" for row 0). Any other column:
    /// whether the selected folder's "Require user" list holds the row's name.
    QVariant objectAtRowColumn(qint32 row, const QString &column) const override;
    /// Whatever the column, the value is the row's check-box state.
    void setObjectForRowColumn(const QVariant &value, qint32 row, const QString &column) override;
    QString summaryTextForRow(qint32 row) const override;
    bool tableViewShouldEditTableColumnRow(QObject *tableView, const QString &column, qint32 row) override;
    void tableViewWillDisplayCellForTableColumnRow(QObject *tableView, PHCell &cell, const QString &column,
                                                   qint32 row) override;
    /// Drag source: the first row's "name:hash" as both types; false for row 0.
    bool tableViewWriteRowsToPasteboard(QObject *tableView, const QList<qint32> &rows,
                                        QMimeData *pasteboard) override;
    QStringList tableViewPasteboardTypes(QObject *tableView) override;

signals:
    /// A name could not be used as asked (ticked into a folder); the message
    /// says why, for the person who asked.
    void nameRefused(const QString &message);
    /// An edit was refused without words: the view beeps.
    void beepRequested();

private:
    enum class Report { Quietly, Loudly };
    QVariantList readUserfile(const QString &path, Report report, bool *failed);
    void failWrite(const QString &path, const QString &why);
    /// Folds in what another program changed on disk since the last read or
    /// write; false when the file cannot be read now.
    bool mergeChangesOnDisk(const QString &path);

    bool m_loadFailed = false;
    /// The records as the file held them when last read or written here.
    QVariantList m_savedRecords;
    QVariant m_userIcon;
    QVariant m_weakHashIcon;
};
