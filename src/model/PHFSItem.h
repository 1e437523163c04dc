#pragma once

#include "model/PHEditRules.h"
#include "model/PHProtection.h"
#include "support/posix/PHErrorCode.h"

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QVariantMap>

#include <memory>
#include <optional>

#include "model/PHEffectiveAccess.h"

class PHServerRules;
struct PHTextFile;
struct PHModelContext;

/// One folder of the web tree and the protection its ".htaccess" gives it.
///
/// Tree side: a node knows its name, its parent and, once asked, its
/// subfolders (listed lazily, sorted by name). Parents own and delete their
/// children; whoever makes a root owns it. A node is no QObject: a web root
/// of ten thousand folders would pay for ten thousand private objects made
/// and freed for nothing. Hold nodes through PHFSItemPointer when they may
/// be deleted meanwhile (a re-rooted or re-listed tree).
///
/// Access side: the node keeps the protection state read from the folder's
/// access file (read on first demand: the first question about the state, or
/// the first change, reads it; a node that is only listed never opens it) (status bits, disabled flag,
/// directive table, the lines it does not own) and rebuilds the whole file from that state on every change,
/// then reads it back, so the state always equals what is on disk. When a write fails the node re-reads the
/// file, logs the failure and reports an error code to the tree's error reporter.
///
/// Main thread only.
class PHFSItem {
public:
    // Status bits.
    static constexpr qint32 PasswordBit = 1;
    static constexpr qint32 AddressBit = 2;
    static constexpr qint32 AllRequiredBit = 4;

    // Error codes reported through PHErrorReporter::displayError (texts in the
    // bundle's "errors" list). Each text names the folder's ".htaccess".
    /// The access file could not be written; the old file is unchanged.
    static constexpr qint32 ErrorAccessFileWrite = PHError::AccessFileWrite;
    /// The access file could not be deleted.
    static constexpr qint32 ErrorAccessFileDelete = PHError::AccessFileDelete;
    /// The access file holds rules of its own the panel cannot represent; the
    /// panel leaves such a file to the manual editor.
    static constexpr qint32 ErrorAccessFileHandManaged = PHError::AccessFileHandManaged;
    /// The user or group file's path contains a line break and cannot be named
    /// in an access file.
    static constexpr qint32 ErrorAccessFileBadPath = PHError::AccessFileBadPath;
    /// The existing access file could not be read or decoded; it is not
    /// replaced, so nothing in it is lost.
    static constexpr qint32 ErrorAccessFileUnreadable = PHError::AccessFileUnreadable;
    /// The server's configuration would ignore the file or answer 500 for it.
    static constexpr qint32 ErrorAccessFileServerRefuses = PHError::AccessFileServerRefuses;

    // Keys of the directive table.
    static inline const QString RequireUserKey = QStringLiteral("Require user");
    static inline const QString RequireGroupKey = QStringLiteral("Require group");
    static inline const QString AllowFromKey = QStringLiteral("Allow from");
    static inline const QString DenyFromKey = QStringLiteral("Deny from");
    static inline const QString AllowOrDenyKey = QStringLiteral("Allow or Deny");
    /// The address entry that stands for this computer: written together with
    /// "::1", so it covers a browser here over IPv4 and IPv6 alike.
    static inline const QString thisComputerAddress = QStringLiteral("127.0.0.1");

    /// Label of the users table's first row.
    static inline const QString &anyUserDisplayName = PHEditRules::anyUserDisplayName;
    /// The access-file word for any user of the user file.
    static inline const QString &anyUserRealName = PHEditRules::anyUserRealName;
    /// Written where a list would otherwise be empty; never a user or address.
    static inline const QString &placeholderName = PHEditRules::placeholderName;
    /// Why a hand-managed folder refuses the panel's edits.
    static inline const QString handManagedMessage =
        QStringLiteral("This folder's access file has rules of its own: edit it in the Manual Editor");
    /// Posted with the node as sender whenever its access text is replaced.
    static inline const QString AccessFileDidChangeNotification = QStringLiteral("PHAccessFileDidChange");
    /// Posted after the access file was written to disk (the item is the sender).
    static inline const QString AccessFileDidSaveNotification = QStringLiteral("PHAccessFileDidSave");

    // ----- Tree -----

    /// A root node for "/" (logs "Created /").
    PHFSItem();
    /// A node for `path`: a bare folder name below `parent`, or a full path for
    /// a root (no parent). The folder's access file is read when the node's
    /// protection is first asked for or changed.
    PHFSItem(const QString &path, PHFSItem *parent);
    ~PHFSItem();

    PHFSItem(const PHFSItem &) = delete;
    PHFSItem &operator=(const PHFSItem &) = delete;

    /// What the tree's access files are read against and where its errors go:
    /// set on the root, used by every node below it.
    void setContext(const PHModelContext &context);
    const PHModelContext &context() const;

    QString fullPath() const;
    /// The folder's name ("/" for the root of the file system).
    QString name() const;
    /// The containing folder's node; nullptr for the root.
    PHFSItem *parent() const;

    /// The subfolder nodes, listed on first demand; empty for a leaf.
    const QList<PHFSItem *> &children();
    /// True when the folder has no subfolder (lists it first if needed).
    bool isLeaf();
    /// The child at `index`, or nullptr when there is none there.
    PHFSItem *childAtIndex(qint32 index);
    /// The number of subfolders, or -1 for a leaf. Lists the folder if needed.
    qint32 numberOfChildren();
    /// Whether the folder has been listed yet (asking for its children lists it).
    bool isListed() const { return m_childrenState != ChildrenState::NotLoaded; }
    /// Lists the folder again: subfolders (links followed, hidden ones too),
    /// sorted by name ignoring case, then exactly. Old children are deleted.
    /// A folder kMaxDepth levels below the root lists none
    /// (isBeyondDepthLimit tells whether it has some).
    void loadChildren();
    /// How deep below the root of its tree folders are listed: paths longer
    /// than the system's path limit could not be opened anyway, and every
    /// walk of the tree ends here.
    static constexpr int kMaxDepth = 1000;
    /// Levels below the root of the tree (0 for the root).
    int depth() const;
    /// True when the parent's listing gave the folder as a folder itself, not
    /// a link to one (a link's target is then not worth asking for).
    bool isListedAsFolder() const { return m_listedAsFolder; }
    /// Whether the outline follows the folder for changes on disk (kept on
    /// the node, so that drawing its row again asks nothing else).
    bool isFollowed() const { return m_followed; }
    void setFollowed(bool followed) { m_followed = followed; }
    /// True when the folder has subfolders that are not listed because it is
    /// kMaxDepth levels deep.
    bool isBeyondDepthLimit() const { return m_beyondDepthLimit; }

    /// The process-wide expansion-state table, keyed by full path.
    static void saveStateForItem(bool expanded, const PHFSItem *item);
    static bool expansionStateForItem(const PHFSItem *item);

    // ----- Access -----

    /// The folder's ".htaccess" (worked out when asked: not kept per node).
    QString accessPath() const;
    /// The path of the tree's root (the web root): access files are reached
    /// from it without following links.
    QString treeRootPath() const;

    /// Normalised status: 0, 1, 2, 3 or 7 (the all-required bit only counts
    /// when both password and address bits are set).
    qint32 authStatus() const;
    /// The status bits exactly as stored.
    qint32 storedAuthStatus() const {
        loadAccess();
        return access().authStatus;
    }
    /// Stores both, creates the lists the status needs, then writes the file.
    void setAuthStatusDisable(qint32 status, bool disable);

    bool isPasswordProtected() const;
    bool isAddressProtected() const;
    bool requiresAll() const;
    bool isAuthenticationDisabled() const {
        loadAccess();
        return access().isDisabled;
    }
    /// True in allow mode (everyone denied but the allow list).
    bool isAllowSet() const;
    /// Switches allow/deny mode, then writes the file.
    void setAllow(bool allow);
    /// The same without writing: the next write saves it with the other changes.
    void setAllowUnsaved(bool allow);

    /// The address rule isAllowSet() tells, and setAllow() as a rule.
    PHAddressRule addressRule() const {
        return isAllowSet() ? PHAddressRule::AllowListed : PHAddressRule::DenyListed;
    }
    void setAddressRule(PHAddressRule rule) { setAllow(rule == PHAddressRule::AllowListed); }
    void setAddressRuleUnsaved(PHAddressRule rule) { setAllowUnsaved(rule == PHAddressRule::AllowListed); }

    /// The folder's mode: None while the directives are disabled, Both for
    /// a status above 3, else the status.
    PHMode mode() const;
    /// Password, Address and Either enable that status, Both enables 7,
    /// None disables keeping the current status. Writes the file.
    void setMode(PHMode mode);
    /// The same as the pop-up's positions (0-4; others are ignored).
    qint32 modeIndex() const { return PHProtection::indexOf(mode()); }
    static QString modeName(qint32 modeIndex);
    void setModeIndex(qint32 modeIndex);

    /// The directive table, for in-place edits followed by writeAccessFile().
    /// Lists are QStringList values; "Allow or Deny" is a bool.
    QVariantMap &authDict() {
        loadAccess();
        return access().auth;
    }
    const QVariantMap &authDict() const {
        loadAccess();
        return access().auth;
    }
    /// The list under `key`, empty when absent.
    QStringList listForKey(const QString &key) const;
    /// Stores `list` under `key` (creating it). Does not write.
    void setListForKey(const QString &key, const QStringList &list);

    /// The allow list in allow mode, the deny list otherwise (empty when absent).
    QStringList addressArray() const;
    /// The key addressArray() reads: "Allow from" or "Deny from".
    QString addressKey() const;
    /// Replaces the list addressArray() reads. Does not write.
    void setAddressArray(const QStringList &addresses);

    /// The file's lines the panel keeps as written but does not manage
    /// (comments, other directives), in file order; every write puts them back.
    QStringList customLines() const {
        loadAccess();
        return access().customLines;
    }

    QString stringValue() const {
        loadAccess();
        return access().accessText;
    }
    /// Replaces the access text, parses it and posts "PHAccessFileDidChange".
    void setStringValue(const QString &text);
    /// Rebuilds the state from the access text.
    void parseAccessString();
    /// Every name the "Require user" lines of an access text give, commented
    /// lines too: the names the "Require user" list is read from (it keeps
    /// those that are users).
    static QStringList requiredUserNames(const QString &accessText);

    /// The text a write would put in the file now (the date line says now).
    QString accessFileText() const;
    /// Rebuilds the file from the state and reads it back. Writes nothing when
    /// the normalised status is 0. Returns false when the file was not
    /// written (failure, or a file the panel does not rewrite): the state is
    /// then re-read from disk and the error reported.
    bool writeAccessFile();
    /// The same, but also writes when the normalised status is 0, giving the
    /// disabled form (every directive commented out, custom lines kept). For a
    /// manual edit that leaves no directive in force. A hand-managed text is
    /// written exactly as it stands.
    bool writeAccessFileEvenWhenUnprotected();
    /// Clears the directive table and the text and deletes the file (a missing
    /// file is fine). The custom lines stay in memory. On failure the state is
    /// re-read from disk and the error reported; returns false.
    bool deleteAccessFile();
    bool hasAccessFile() const;
    /// hasAccessFile() as last found: looked for again once any access text
    /// of the program has changed, or after forgetAccessFileSeen() (for rows
    /// drawn over and over, which would otherwise look for it every time).
    bool accessFileSeen() const;
    void forgetAccessFileSeen() { m_seenKnown = false; }

    /// True when the file holds rules the panel cannot represent (rules inside
    /// a container, `Require` forms other than user, group and valid-user,
    /// an order other than "deny,allow", "Allow from all"...): the panel shows
    /// it but its edits never rewrite it; the manual editor writes it as typed.
    bool isHandManaged() const {
        loadAccess();
        return access().handManaged;
    }
    /// Why the file is hand-managed, one reason per rule.
    QStringList handManagedReasons() const {
        loadAccess();
        return access().handManagedReasons;
    }
    /// What the web server enforces here, from this file and the access files
    /// of the folders above up to the root of the tree. Worked out on demand
    /// and kept until an access file of the tree changes (or a node goes), or
    /// the server's configuration, or an access file above the web root it
    /// reads: painting a row or typing in the editor costs no merge.
    PHEffectiveAccess effectiveAccess() const;
    /// How many times effectiveAccess() was worked out in this process (for
    /// tests and measurements).
    static quint64 effectiveAccessMerges();
    /// The same, were this folder's access file to hold `ownText` (the manual
    /// editor's text before it is saved).
    PHEffectiveAccess effectiveAccessWithText(const QString &ownText) const;
    /// The note beside the folder's mode where the server does otherwise
    /// than the mode says (PHEffectiveAccess::shownModeNote); empty otherwise.
    QString modeNote() const;
    /// The same, given this folder's effectiveAccess() already worked out.
    QString modeNote(const PHEffectiveAccess &access) const;
    /// The folder as named relative to the root of the tree ("." for the root).
    QString treePath() const;
    /// True when the file on disk could not be read or decoded: not rewritten.
    bool isUnreadable() const {
        loadAccess();
        return access().unreadable;
    }
    /// Whether the access file has been read yet (for tests and measurements).
    bool isAccessLoaded() const { return m_accessLoaded; }

    QString description() const;

    // ----- Address words -----

    /// "portholded", "all", "host.domain.tld" and "(null)": never addresses.
    static bool isReservedAddress(const QString &address);
    /// Not reserved, not empty, no whitespace, line break or double quote.
    static bool isAcceptableAddress(const QString &address);

private:
    enum class ChildrenState : quint8 { NotLoaded, Loaded, Leaf };

    /// A listed subfolder `name` (bare) of `parent`; its listing logs it.
    struct Listed {};
    PHFSItem(Listed, QString name, PHFSItem *parent, bool folder);
    /// Deletes `nodes` and their subtrees, logging as `recorded` says.
    static void deleteNodes(const QList<PHFSItem *> &nodes, bool recorded);

    bool writeAccessFileFrom(bool evenWhenUnprotected);
    /// Reads the access file the first time the state is needed. Every
    /// accessor of the access side calls it, so a node asked about by another
    /// (a descendant working out what applies to it) reads on demand as well.
    void loadAccess() const {
        if (!m_accessLoaded)
            const_cast<PHFSItem *>(this)->readAccessFirstTime();
    }
    void readAccessFirstTime();
    /// Reads the access file again (or takes `read`, the file just read).
    void readFromDisk(bool announce = true, PHTextFile *read = nullptr);
    /// Why the server would not take `text` as this folder's access file (it
    /// ignores the file here, or answers 500 for it), or empty.
    QString serverRefusal(const QString &text, bool verbatim) const;
    void failWrite(qint32 code, const QString &why);
    /// What folders below inherit may have changed: merges kept for a walk
    /// are worked out again.
    static void accessTextChanged();

    // Tree fields. A node is kept small: a folder with ten thousand
    // subfolders makes ten thousand of them when it is first shown.
    // The bare name, or for a root its whole path.
    QString m_name;
    PHFSItem *m_parent = nullptr;
    // Made only for a folder found to have subfolders (most nodes are never
    // listed, and a pointer is a third of an empty list).
    std::unique_ptr<QList<PHFSItem *>> m_children;
    // The root's only.
    std::unique_ptr<PHModelContext> m_context;
    ChildrenState m_childrenState = ChildrenState::NotLoaded;
    bool m_beyondDepthLimit = false;
    // Whether deleting this node is logged: -1 asks the log, 0 or 1 is the
    // answer its deleting parent already had.
    qint8 m_deletionRecorded = -1;
    bool m_accessLoaded = false;
    bool m_listedAsFolder = false;
    bool m_followed = false;
    mutable bool m_seenKnown = false;
    mutable bool m_seen = false;
    mutable quint32 m_seenGeneration = 0;
    quint16 m_depth = 0; // levels below the root; listing stops at kMaxDepth

    // Access fields: made on the first question about them (the directive
    // table is filled on the first reading). A folder that is only listed
    // never needs them.
    struct AccessState {
        QVariantMap auth;
        QStringList customLines;
        QString accessText;
        QStringList handManagedReasons;
        // The realm the file names (empty: the writer's own).
        QString authName;
        // Address keys whose list had 127.0.0.1 without ::1 in the file.
        QSet<QString> loopbackAlone;
        // Address entries the file had in force when it was last read.
        QSet<QString> addressesInForce;
        // An AuthType line in force in this file.
        bool authTypeInForce = false;
        // effectiveAccess() as last worked out, and what it was worked out
        // from: the tree's access texts, the server's rules and the access
        // files above the web root.
        std::optional<PHEffectiveAccess> effective;
        quint64 effectiveGeneration = 0;
        std::weak_ptr<const PHServerRules> effectiveRules;
        QString effectiveStamp;
        qint32 authStatus = 0;
        bool isDisabled = true;
        bool handManaged = false;
        bool unreadable = false;
    };
    AccessState &access() const {
        if (!m_access)
            m_access = std::make_unique<AccessState>();
        return *m_access;
    }
    mutable std::unique_ptr<AccessState> m_access;
    // Made by the first PHFSItemPointer to the node, cleared when it goes.
    mutable std::shared_ptr<bool> m_alive;
    friend class PHFSItemPointer;
};

/// A node that may be deleted meanwhile: null once it is (as a QPointer is
/// for a QObject). A node pays for this only once one points at it.
class PHFSItemPointer {
public:
    PHFSItemPointer() = default;
    PHFSItemPointer(PHFSItem *node) { *this = node; }
    PHFSItemPointer &operator=(PHFSItem *node) {
        m_node = node;
        if (!node) {
            m_alive.reset();
            return *this;
        }
        if (!node->m_alive)
            node->m_alive = std::make_shared<bool>(true);
        m_alive = node->m_alive;
        return *this;
    }
    PHFSItem *data() const { return m_alive && *m_alive ? m_node : nullptr; }
    bool isNull() const { return !data(); }
    void clear() { *this = nullptr; }
    operator PHFSItem *() const { return data(); }
    PHFSItem *operator->() const { return data(); }
    PHFSItem &operator*() const { return *data(); }

private:
    PHFSItem *m_node = nullptr;
    std::shared_ptr<const bool> m_alive;
};
