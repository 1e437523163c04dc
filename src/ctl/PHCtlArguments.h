#pragma once

#include <QString>
#include <QStringList>

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
    };

    Command command = Command::Help;
    QString root;         // --root, empty for the panel's configured web root
    QString folder;       // relative to the web root, "." for the root itself
    QString name;         // user or group the command is about
    QString member;       // add-member / remove-member
    qint32 modeIndex = 0; // mode: 0 none .. 4 both

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

    // verify: the web root's address and the server's error log
    QString url;
    QString errorLog;
};

/// A malformed command line; the message is shown above the usage text.
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
/// The mode names as the folder outline shows them, by mode index.
QString modeName(qint32 modeIndex);
} // namespace PHCtlArguments
