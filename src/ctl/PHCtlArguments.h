#pragma once

#include "model/PHProtection.h"

#include <QString>
#include <QStringList>

#include <optional>
#include <stdexcept>

/// What one run of portholdctl was asked to do, parsed from its arguments.
struct PHCtlInvocation {
    enum class Command {
        Help,
        Version,
        Tree,
        Show,
        Mode,
        Require,
        Unrequire,
        Address,
        Clear,
        UserAdd,
        UserPasswd,
        UserDel,
        UserList,
        UserCheck,
        UserAudit,
        GroupAdd,
        GroupDel,
        GroupAddMember,
        GroupRemoveMember,
        GroupList,
        Verify,
        Apply,
    };

    /// A new password's hash scheme given on the command line.
    enum class Hash { Configured, Bcrypt, Sha512, Des };

    Command command = Command::Help;
    QString root;       // --root, empty for the panel's configured web root
    bool json = false;  // --json: one JSON document on standard output
    bool check = false; // --check: everything but the writes
    bool diff = false;  // --diff: a unified diff of each file changed
    // --owner, --group, --mode (before the command): what the files written carry
    std::optional<uint> fileOwner;
    std::optional<uint> fileGroup;
    std::optional<uint> fileMode;
    QString folder;             // relative to the web root, "." for the root itself
    QString name;               // user or group the command is about
    QString member;             // add-member / remove-member
    PHMode mode = PHMode::None; // mode

    // require / unrequire
    QStringList users;
    QStringList groups;
    bool anyUser = false;

    // address
    bool setAllow = false;
    bool setDeny = false;
    QStringList addAddresses;
    QStringList removeAddresses;

    // group add
    QStringList members;
    bool exact = false; // group add, apply: what is not listed goes

    // user add, user passwd
    Hash hash = Hash::Configured;
    bool updatePassword = false; // user add: an existing user takes the new password
    bool keepPassword = false;   // user add: an existing user keeps its password

    // apply: what is not given stays as it is
    std::optional<PHMode> applyMode;
    std::optional<QStringList> applyUsers;
    std::optional<QStringList> applyGroups;
    std::optional<bool> applyAnyUser;
    std::optional<bool> applyAllow;            // --address-mode, --allow or --deny
    std::optional<QStringList> applyAddresses; // --addresses, --allow or --deny

    // verify: the web root's address and the server's error log
    QString url;
    QString errorLog;
};

/// A malformed command line; the message is shown with a hint where help is.
class PHCtlUsageError : public std::runtime_error {
public:
    explicit PHCtlUsageError(const QString &message)
        : std::runtime_error(message.toStdString()), m_message(message) {}
    const QString &message() const { return m_message; }

private:
    QString m_message;
};

namespace PHCtlArguments {
/// Parses the arguments after the program name. Throws PHCtlUsageError.
PHCtlInvocation parse(const QStringList &arguments);
/// The full usage text, every command documented.
QString usage();
/// The synopsis of the command the arguments name ("portholdctl [OPTION]...
/// mode FOLDER MODE"), taken from the full text; empty when they name none.
QString commandUsage(const QStringList &arguments);
/// The mode's word on the command line (none, password, ...).
QString modeWord(PHMode mode);
/// Whether the command changes files (and answers with what it changed).
bool isChanging(PHCtlInvocation::Command command);
} // namespace PHCtlArguments
