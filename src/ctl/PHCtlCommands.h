#pragma once

#include "ctl/PHCtlArguments.h"
#include "ctl/PHPasswordReader.h"
#include "model/PHAccessGrants.h"
#include "model/PHPasswordHash.h"
#include "model/PHUserItem.h"
#include "model/PHUsersModel.h"

#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>
#include <utility>

class PHCtlOutput;
class PHFSItem;
class PHGroupsModel;
class PHHeadlessContext;
class PHUsersModel;
class QJsonArray;
class QJsonObject;
class QTextStream;

/// Where portholdctl's commands get passwords: standard input unless told otherwise.
struct PHCtlPasswords {
    /// Asks for a new password and its confirmation (prompt, confirmation
    /// prompt); absent when nothing could be read.
    using PasswordSource =
        std::function<std::optional<PHPasswordReader::Entry>(const QString &, const QString &)>;
    /// Asks once for a password to check (prompt); absent when nothing could be read.
    using CheckPasswordSource = std::function<std::optional<QString>(const QString &)>;

    PasswordSource twice = PHPasswordReader::read;
    CheckPasswordSource once = PHPasswordReader::readOnce;
};

/// The commands of portholdctl on a loaded context: each acts on the model as
/// the panel's matching control does and gives its answer to `output` (text,
/// or the fields of the JSON document), warnings too. A command the panel would not accept throws `Refusal`
/// with the panel's reason; one whose file could not be read or written throws `Failure`.
class PHCtlCommands {
public:
    /// Input the panel would not accept; the message is the panel's where it has one.
    struct Refusal {
        QString message;
    };
    /// A file that could not be read or written, one message per problem.
    struct Failure {
        QStringList messages;
    };
    using PasswordSource = PHCtlPasswords::PasswordSource;
    using CheckPasswordSource = PHCtlPasswords::CheckPasswordSource;
    using Passwords = PHCtlPasswords;

    /// `context` is loaded; answers and warnings go to `output`. With
    /// `userFile` (opened for the command's user, read through once), a
    /// password change, a new user, a password check, the audit, the user
    /// list and deleting a user work on the file in pieces (the context then
    /// holds no user records; for deleting a user and the group commands it
    /// lists the users among the names the group file and the command give).
    /// A changing command whose result already holds writes nothing.
    PHCtlCommands(PHHeadlessContext &context, PHCtlOutput &output, Passwords passwords = {},
                  std::unique_ptr<PHUserFileStream> userFile = nullptr);
    ~PHCtlCommands();
    PHCtlCommands(const PHCtlCommands &) = delete;
    PHCtlCommands &operator=(const PHCtlCommands &) = delete;

    /// Runs one command (not Help or Version, which need no context). A
    /// command that ends with a status of its own (verify) answers it, one of
    /// `PHCtl::Status`; what it found is printed already.
    std::optional<int> execute(const PHCtlInvocation &invocation);

private:
    /// Turns the errors the model reported into a failure naming the file.
    void checkReportedErrors(const QString &file);
    PHFSItem *rootItem();
    /// The node of a folder given relative to the web root.
    PHFSItem *folder(const QString &relative);
    /// A folder whose access file the panel may rewrite.
    PHFSItem *editableFolder(const QString &relative);
    /// After a write: the model's errors, then a warning when the folder now
    /// refuses the computer this program (and a browser here) is seen as.
    void written(PHFSItem *node);
    void tree();
    /// The tree as a flat list, each folder by its path below the root.
    /// A folder on disk, whatever path leads to it: device and inode.
    using FolderIdentity = std::pair<quint64, quint64>;
    /// Calls `visit` for `node` and every folder below it, depth first, with
    /// its path from the root and its depth; a link back up is not followed.
    /// Says once that folders below `path` (relative to the web root) were
    /// not `what` ("listed") because of the depth limit.
    void depthLimitReached(const QString &what, const QString &path);
    void walkTree(PHFSItem *node, const QString &path, int depth, QSet<FolderIdentity> &ancestors,
                  const std::function<void(PHFSItem *, const QString &, int)> &visit);
    /// What show --json answers for a folder.
    QJsonObject folderDocument(PHFSItem *node, const QString &relative);
    /// Names a line in force of the folder's access file lets in (by name)
    /// that are no users, or no groups, of the web root: the panel's lists
    /// leave them out, the server does not, and a user made later gets in.
    QStringList unknownInForce(const PHFSItem *node, bool groups);
    /// Members of the group in the group file who are no users.
    QStringList unknownMembers(const QString &group);
    void show();
    /// Asks the running server whether it does what the folder's access says.
    void verify();
    void mode();
    void require(bool add);
    void address();
    /// The address mode and the list it uses, in one write, when they change.
    void writeAddresses(PHFSItem *node, bool allow, const QStringList &listed);
    /// The declarative form: the folder's mode, users, groups and addresses as
    /// given (what is not given stays), in one write when anything changes.
    void apply();
    /// Refuses users and groups that do not exist or, when they are to be let
    /// in, whose names the server would misread.
    void checkGrantable(const QStringList &users, const QStringList &groups, bool letIn);
    void clear();
    static QStringList trimmedAll(const QStringList &names);
    PHUsersModel &users();
    PHGroupsModel &groups();
    /// The record position of a user, or -1.
    qint32 userIndex(const QString &name);
    void usersWritten();
    void groupsWritten();
    void setPassword(bool isNew);
    /// The scheme of a new hash: --hash, else the settings'.
    PHPasswordHash::Scheme wantedScheme() const;
    /// The user file rewritten in pieces with the user's new hash in its
    /// record's place (or a new record at the end): a large user file is
    /// never held, as records or as bytes.
    void setPasswordInPieces(const QString &hash, bool append);
    void deleteUser();
    /// The user's line taken out of the user file in one pass, then the
    /// user out of its groups and folders, as deleteUser does it through the
    /// records.
    void deleteUserInPieces(const QString &name);
    void listUsers();
    QString storedHash(qint32 index);
    /// As the server checks a password.
    void checkPassword();
    /// One line per user whose hash should be replaced; refused when there is any.
    void auditUsers();
    /// The folders whose access files let `name` in.
    QList<PHAccessGrants::Folder> grantingFolders(const QString &name, PHAccessGrants::Kind kind);
    /// Takes the name out of the folders' access files, printing each folder
    /// changed; hand-managed files are named on `err` and left alone.
    /// Returns a message for each file that still lets the name in.
    QStringList removeGrants(const QList<PHAccessGrants::Folder> &folders, const QString &name,
                             PHAccessGrants::Kind kind);
    /// Without the user records: looks up which of the names the folders'
    /// "Require user" lines give are users, and reads the folders' access
    /// files again with them, so that a rewrite keeps every user they let in.
    void learnUsersRequiredBy(const QList<PHAccessGrants::Folder> &folders);
    /// Before a new user or group takes a name some access file still requires.
    void warnIfStillRequired(const QString &name, PHAccessGrants::Kind kind);
    PHUserItem::Ptr existingGroup(const QString &name);
    PHUserItem *group(const QString &name);
    PHUserItem *member(PHUserItem *group, const QString &user);
    /// A user who can join a group: one of the user file.
    QString knownUser(const QString &user);
    void addGroup();
    /// An existing group named in "group add": the members it lacks join and,
    /// with --exact, the others leave; written only when that changes it.
    void setMembers(const PHUserItem::Ptr &item, const QStringList &members);
    void deleteGroup();
    void addMember();
    void removeMember();
    void listGroups();

    PHHeadlessContext &m_context;
    PHCtlOutput &m_output;
    QTextStream &m_out;
    Passwords m_passwords;
    std::unique_ptr<PHUserFileStream> m_userFile;
    // --check: names not (yet) users or groups, taken as made by an earlier step
    QStringList m_unknownUsers;
    QStringList m_unknownGroups;
    /// In --check, notes an unknown name and answers true; otherwise false.
    bool assumedInCheck(const QString &name, bool group);
    void dispatch();
    PHCtlInvocation m_invocation;
    std::unique_ptr<PHFSItem> m_root;
    qsizetype m_reportedSoFar = 0;
    std::optional<int> m_status;   // verify's own exit status
    bool m_depthLimitSaid = false; // a walk reached PHFSItem::kMaxDepth and said so
};
