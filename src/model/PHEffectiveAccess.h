#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>
#include <utility>
#include <vector>

/// What the web server enforces for one folder: the folder's own access file
/// and every access file above it up to the web root, read and merged the way
/// Apache 2.4 does.
///
/// - `Require` lines and their containers (mod_authz_core): a file that has
///   any replaces what it inherits; one that has none inherits the parent's.
///   "AuthMerging And|Or" combines instead of replacing.
/// - `Order`, `Allow`, `Deny`, `Satisfy` (mod_access_compat): a file that uses
///   any of them starts afresh and inherits none of them from above.
/// - `AuthType`, `AuthName`, `AuthUserFile`, `AuthGroupFile` are inherited
///   one by one when a file does not set them.
///
/// The value is small and readable (who may pass with a password, which
/// clients pass or are refused by address, whether either is enough, and which
/// folder each piece comes from), and it predicts the status code a GET
/// request gets.
class PHEffectiveAccess {
public:
    /// One access file along the way, the web root's first: the folder as the
    /// panel names it ("." for the web root) and the file's text (empty when
    /// there is none).
    /// How the server reads one layer: an access file, as far as the
    /// AllowOverride in force where it lies lets it, or a section of the
    /// server's own configuration. The default reads an access file whole.
    struct Reading {
        bool serverSection = false;
        bool authConfig = true;     ///< AllowOverride AuthConfig (or All)
        bool limit = true;          ///< AllowOverride Limit (or All)
        bool otherOverrides = true; ///< every other AllowOverride class
        QStringList overrideList;   ///< AllowOverrideList, lower-case
        /// Where the AllowOverride in force is written, "file:line" (empty:
        /// the server's default, None).
        QString overrideOrigin;
        /// Modules the access files' directives need that are not loaded
        /// ("authz_groupfile").
        QStringList missingModules;
        /// A server section that applies to some of the folder's files and
        /// not to others (the layer's text is its header).
        bool someFilesOnly = false;
        /// An access file the server reads that Porthold does not (a link);
        /// the layer's text says why.
        bool unread = false;
        bool readsFiles() const { return authConfig || limit || otherOverrides || !overrideList.isEmpty(); }
        /// "The server ignores access files here (...)", or empty.
        QString ignoredNote() const;
    };
    struct Layer {
        Layer() = default;
        Layer(QString folder_, QString text_) : folder(std::move(folder_)), text(std::move(text_)) {}
        Layer(QString folder_, QString text_, Reading reading_)
            : folder(std::move(folder_)), text(std::move(text_)), reading(std::move(reading_)) {}
        QString folder;
        QString text;
        Reading reading;
    };

    /// One node of the authorization logic: a container or a `Require` line.
    struct Rule {
        enum class Kind { Any, All, None, User, Group, ValidUser, Ip, Host, Local, Granted, Denied, Other };
        Kind kind = Kind::Any;
        bool negated = false;
        /// False when a method container leaves GET out of the rule.
        bool appliesToGet = true;
        QStringList arguments;
        QString line;   ///< as written, for people
        QString folder; ///< where it is written ("" for the server's own configuration)
        std::vector<Rule> children;
        bool isContainer() const { return kind == Kind::Any || kind == Kind::All || kind == Kind::None; }
    };

    /// One `Allow from` / `Deny from` entry.
    struct AddressEntry {
        QString text;
        bool forGet = true; ///< false inside a method limit that leaves GET out
    };

    /// How the server reads one access file: only what bears on access.
    struct Section {
        QString folder;
        bool hasRequire = false;
        std::vector<Rule> requires_; ///< top-level rules: any one of them is enough
        std::optional<QString> merging;
        std::optional<QString> authType, authName, authUserFile, authGroupFile;

        bool hasCompat = false;
        QString order = QStringLiteral("deny,allow");
        std::vector<AddressEntry> allow, deny;
        std::optional<bool> satisfyAny;

        /// Lines in force whose effect cannot be worked out here (another
        /// method, a Files section, an expression...).
        QStringList unpredictable;
        /// Why the server refuses the file (it answers 500 for the folder and
        /// every folder below it), one "line N: reason" each.
        QStringList errors;
        /// Why the panel cannot represent this file (empty: it can).
        QStringList handManagedReasons;
        /// Set when the server does not read the file at all.
        QString ignoredNote;
    };

    /// Whether a directive (any letter case) bears on access: Require, the
    /// address directives, Satisfy and the Auth* ones.
    static bool isAccessDirective(const QString &name);

    /// Reads one file's text (continuation lines joined, comments skipped),
    /// as the server reads it where `reading` says.
    static Section parse(const QString &text, const QString &folder, const Reading &reading);
    static Section parse(const QString &text, const QString &folder = QString());

private:
    /// parse() for a folder's text, the folder named only afterwards: the
    /// folder's own reading and the merge of its effective access read the
    /// same text one after the other, and the second is taken from the first.
    static Section parseText(const QString &text, const QString &folder, const Reading &reading);

public:
    /// Merges the layers, the web root's first.
    static PHEffectiveAccess merge(const QList<Layer> &layers);
    /// A merge built one layer at a time, so that a folder's children start
    /// from what their parent's merge holds instead of merging every layer
    /// above them again: start() is the server's own grant, add() merges the
    /// next layer below those already added (`asked`: the layer is the
    /// folder's own, whose ignored lines are noted), and finished() gives the
    /// value for `folder` (as the panel names it). merge() is start(), add()
    /// of each layer, then finished(); what add() builds is only to be added
    /// to or finished.
    static PHEffectiveAccess start();
    void add(const Layer &layer, bool asked);
    PHEffectiveAccess finished(const QString &folder) const;

    // ----- The readable value -----

    QString folder() const { return m_folder; }

    /// A password lets someone in: users, groups, any valid user.
    bool passwordRequired() const { return m_passwordRequired; }
    QStringList users() const { return m_users; }
    QStringList groups() const { return m_groups; }
    bool anyValidUser() const { return m_anyValidUser; }
    /// The addresses of the address rule in force.
    QStringList addresses() const { return m_addresses; }

    /// Why the server refuses an access file along the way, each naming the
    /// folder and line; empty when it reads them all.
    QStringList errors() const { return m_errors; }
    /// True when something in force cannot be worked out here (an expression,
    /// the server's environment, a section of another kind): only asking the
    /// server tells.
    bool cannotTell() const { return m_errors.isEmpty() && !m_unpredictable.isEmpty(); }
    /// What the panel and portholdctl show in place of a prediction then.
    static inline const QString cannotTellText = QStringLiteral("cannot tell here: use Check Access");

    /// Set when the server does not read the folder's own access file:
    /// "The server ignores access files here (AllowOverride None in ...)".
    QString ignoredNote() const { return m_ignoredNote; }

    /// The user file in force, or empty.
    QString authUserFile() const { return m_authUserFile.value_or(QString()); }

    /// "Password required: inherited from private", or empty when nothing
    /// protecting this folder comes from above.
    QString inheritedNote() const;
    /// The whole value in words, one line per piece.
    QStringList lines() const;

    // ----- Prediction -----

    struct Client {
        QString address;  ///< "127.0.0.1", "::1"
        QString hostName; ///< the name the address resolves to both ways, or empty
        /// The resolver gave no answer either way (not "no such name"): rules
        /// naming hosts cannot be worked out for this client.
        bool resolverFailed = false;
    };
    /// The client at `address` as the server sees it: its host name is the one
    /// the resolver gives for the address, and only when that name resolves
    /// back to the address (a name the resolver does not give is no name).
    static Client clientAt(const QString &address);
    struct Credentials {
        QString user;               ///< empty: none sent
        bool passwordRight = false; ///< the password matches the user file
    };
    /// What the server knows about users: whether `user` is in `userFile`,
    /// and the groups of `groupFile` that hold `user`.
    struct Directory {
        std::function<bool(const QString &userFile, const QString &user)> hasUser;
        std::function<QStringList(const QString &groupFile, const QString &user)> groupsOf;
    };
    /// The user and group files as the server reads them from disk.
    static Directory filesOnDisk();
    /// The status code a GET for a file of the folder gets (200, 401, 403 or
    /// 500), or -1 when rules in force cannot be predicted here. `reason`
    /// says why in words.
    int predict(const Client &client, const Credentials &credentials, const Directory &directory,
                QString *reason = nullptr) const;

    /// The loopback forms of this computer ("127.0.0.1", "::1") that the
    /// folder refuses outright (403 before any password is asked): a browser
    /// on this computer, "View on Web" and "Check Access" are refused there.
    /// Empty when this computer gets in or is asked for a password, and when
    /// the rules in force cannot be worked out here.
    QStringList refusedLoopbackClients() const;
    /// The warning for `refusedLoopbackClients`, or empty.
    QString thisComputerWarning() const;
    /// What a folder's row says beside its mode when the mode is not what
    /// the server does: the server refuses the file, the answer cannot be
    /// worked out here, or (when the mode shown asks for a password,
    /// `passwordShown`) a visitor here gets in without one. Empty otherwise.
    QString shownModeNote(bool passwordShown) const;

    /// True when `entry` (an Allow/Deny entry or the argument of
    /// `Require ip`) covers `client`.
    static bool addressCovers(const QString &entry, const Client &client);
    /// 127.0.0.0/8 or ::1.
    static bool isLoopback(const QString &address);

private:
    void describe();
    /// Whether a rule in force for a GET names a host or domain.
    bool usesHostNames() const;

    QString m_folder;
    Rule m_require;
    std::optional<QString> m_authType, m_authName, m_authUserFile, m_authGroupFile;
    Section m_compat;
    QStringList m_unpredictable;
    QStringList m_errors;
    QString m_ignoredNote;

    bool m_passwordRequired = false;
    QStringList m_users, m_groups;
    bool m_anyValidUser = false;
    QString m_passwordFrom;
    QString m_addressRule;
    QStringList m_addresses;
    QString m_addressFrom;
    bool m_either = false;
    QString m_eitherFrom;
    QStringList m_otherRules;
};
