#include "ctl/PHCtlArguments.h"

#include <QHash>

namespace {

using Command = PHCtlInvocation::Command;

const QStringList kModeWords{"none", "password", "address", "either", "both"};

/// Takes the arguments one by one; every error names what was expected.
class Reader {
public:
    explicit Reader(QStringList arguments) : m_arguments(std::move(arguments)) {}

    bool atEnd() const { return m_next >= m_arguments.size(); }
    QString peek() const { return atEnd() ? QString() : m_arguments.at(m_next); }
    QString take(const QString &what) {
        if (atEnd())
            throw PHCtlUsageError(QStringLiteral("missing %1").arg(what));
        return m_arguments.at(m_next++);
    }
    /// A positional value: anything but an option.
    QString takeValue(const QString &what) {
        if (!atEnd() && isOption(peek()))
            throw PHCtlUsageError(QStringLiteral("missing %1 before \"%2\"").arg(what, peek()));
        return take(what);
    }
    /// Every value up to the next option; at least one.
    QStringList takeValues(const QString &option) {
        QStringList values;
        while (!atEnd() && !isOption(peek()))
            values.append(m_arguments.at(m_next++));
        if (values.isEmpty())
            throw PHCtlUsageError(QStringLiteral("%1 needs at least one name").arg(option));
        return values;
    }
    void expectEnd() const {
        if (!atEnd())
            throw PHCtlUsageError(QStringLiteral("unexpected argument \"%1\"").arg(peek()));
    }

    static bool isOption(const QString &argument) { return argument.startsWith(QLatin1String("--")); }

private:
    QStringList m_arguments;
    qsizetype m_next = 0;
};

/// Removes --root DIR (or --root=DIR) wherever it stands; finds --help and
/// --version anywhere, so "portholdctl user add --help" shows the usage.
QStringList takeGlobalOptions(const QStringList &arguments, PHCtlInvocation &invocation, bool &help,
                              bool &version) {
    QStringList rest;
    bool rootSeen = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        QString value;
        if (argument == QLatin1String("--root")) {
            if (i + 1 >= arguments.size())
                throw PHCtlUsageError(QStringLiteral("--root needs a folder"));
            value = arguments.at(++i);
        } else if (argument.startsWith(QLatin1String("--root="))) {
            value = argument.mid(7);
        } else if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            help = true;
            continue;
        } else if (argument == QLatin1String("--version")) {
            version = true;
            continue;
        } else {
            rest.append(argument);
            continue;
        }
        if (rootSeen)
            throw PHCtlUsageError(QStringLiteral("--root given twice"));
        if (value.isEmpty())
            throw PHCtlUsageError(QStringLiteral("--root needs a folder"));
        rootSeen = true;
        invocation.root = value;
    }
    return rest;
}

void parseRequire(Reader &reader, PHCtlInvocation &invocation) {
    invocation.folder = reader.takeValue(QStringLiteral("FOLDER"));
    while (!reader.atEnd()) {
        const QString option = reader.take(QStringLiteral("option"));
        if (option == QLatin1String("--user"))
            invocation.users += reader.takeValues(option);
        else if (option == QLatin1String("--group"))
            invocation.groups += reader.takeValues(option);
        else if (option == QLatin1String("--any-user"))
            invocation.anyUser = true;
        else
            throw PHCtlUsageError(QStringLiteral("unknown option \"%1\"").arg(option));
    }
    if (invocation.users.isEmpty() && invocation.groups.isEmpty() && !invocation.anyUser)
        throw PHCtlUsageError(QStringLiteral("name at least one --user, --group or --any-user"));
}

void parseAddress(Reader &reader, PHCtlInvocation &invocation) {
    invocation.folder = reader.takeValue(QStringLiteral("FOLDER"));
    while (!reader.atEnd()) {
        const QString option = reader.take(QStringLiteral("option"));
        if (option == QLatin1String("--allow"))
            invocation.setAllow = true;
        else if (option == QLatin1String("--deny"))
            invocation.setDeny = true;
        else if (option == QLatin1String("--add"))
            invocation.addAddresses += reader.takeValues(option);
        else if (option == QLatin1String("--remove"))
            invocation.removeAddresses += reader.takeValues(option);
        else
            throw PHCtlUsageError(QStringLiteral("unknown option \"%1\"").arg(option));
    }
    if (invocation.setAllow && invocation.setDeny)
        throw PHCtlUsageError(QStringLiteral("--allow and --deny exclude each other"));
    if (!invocation.setAllow && !invocation.setDeny && invocation.addAddresses.isEmpty() &&
        invocation.removeAddresses.isEmpty())
        throw PHCtlUsageError(QStringLiteral("name --allow, --deny, --add or --remove"));
}

void parseUser(Reader &reader, PHCtlInvocation &invocation) {
    const QString verb =
        reader.takeValue(QStringLiteral("user command (add, passwd, del, list, check, audit)"));
    if (verb == QLatin1String("list")) {
        invocation.command = Command::UserList;
    } else if (verb == QLatin1String("audit")) {
        invocation.command = Command::UserAudit;
    } else {
        static const QHash<QString, Command> verbs{{"add", Command::UserAdd},
                                                   {"passwd", Command::UserPasswd},
                                                   {"del", Command::UserDel},
                                                   {"check", Command::UserCheck}};
        if (!verbs.contains(verb))
            throw PHCtlUsageError(QStringLiteral("unknown user command \"%1\"").arg(verb));
        invocation.command = verbs.value(verb);
        invocation.name = reader.takeValue(QStringLiteral("user NAME"));
    }
    reader.expectEnd();
}

void parseGroup(Reader &reader, PHCtlInvocation &invocation) {
    const QString verb =
        reader.takeValue(QStringLiteral("group command (add, del, add-member, remove-member, list)"));
    if (verb == QLatin1String("list")) {
        invocation.command = Command::GroupList;
    } else if (verb == QLatin1String("add")) {
        invocation.command = Command::GroupAdd;
        invocation.name = reader.takeValue(QStringLiteral("group NAME"));
        while (!reader.atEnd()) {
            const QString option = reader.take(QStringLiteral("option"));
            if (option != QLatin1String("--member"))
                throw PHCtlUsageError(QStringLiteral("unknown option \"%1\"").arg(option));
            invocation.members += reader.takeValues(option);
        }
    } else if (verb == QLatin1String("del")) {
        invocation.command = Command::GroupDel;
        invocation.name = reader.takeValue(QStringLiteral("group NAME"));
    } else if (verb == QLatin1String("add-member") || verb == QLatin1String("remove-member")) {
        invocation.command =
            verb == QLatin1String("add-member") ? Command::GroupAddMember : Command::GroupRemoveMember;
        invocation.name = reader.takeValue(QStringLiteral("GROUP"));
        invocation.member = reader.takeValue(QStringLiteral("USER"));
    } else {
        throw PHCtlUsageError(QStringLiteral("unknown group command \"%1\"").arg(verb));
    }
    reader.expectEnd();
}

} // namespace

namespace PHCtlArguments {

PHCtlInvocation parse(const QStringList &arguments) {
    PHCtlInvocation invocation;
    bool help = false;
    bool version = false;
    Reader reader(takeGlobalOptions(arguments, invocation, help, version));
    if (help) {
        invocation.command = Command::Help;
        return invocation;
    }
    if (version) {
        invocation.command = Command::Version;
        return invocation;
    }
    if (reader.atEnd())
        throw PHCtlUsageError(QStringLiteral("no command given"));

    const QString command = reader.take(QStringLiteral("command"));
    if (command == QLatin1String("help")) {
        invocation.command = Command::Help;
    } else if (command == QLatin1String("tree")) {
        invocation.command = Command::Tree;
        reader.expectEnd();
    } else if (command == QLatin1String("show") || command == QLatin1String("clear")) {
        invocation.command = command == QLatin1String("show") ? Command::Show : Command::Clear;
        invocation.folder = reader.takeValue(QStringLiteral("FOLDER"));
        reader.expectEnd();
    } else if (command == QLatin1String("mode")) {
        invocation.command = Command::Mode;
        invocation.folder = reader.takeValue(QStringLiteral("FOLDER"));
        const QString word = reader.takeValue(QStringLiteral("mode (none, password, address, either, both)"));
        invocation.modeIndex = static_cast<qint32>(kModeWords.indexOf(word.toLower()));
        if (invocation.modeIndex < 0)
            throw PHCtlUsageError(
                QStringLiteral("unknown mode \"%1\" (none, password, address, either, both)").arg(word));
        reader.expectEnd();
    } else if (command == QLatin1String("require") || command == QLatin1String("unrequire")) {
        invocation.command = command == QLatin1String("require") ? Command::Require : Command::Unrequire;
        parseRequire(reader, invocation);
    } else if (command == QLatin1String("address")) {
        invocation.command = Command::Address;
        parseAddress(reader, invocation);
    } else if (command == QLatin1String("verify")) {
        invocation.command = Command::Verify;
        invocation.folder = reader.takeValue(QStringLiteral("FOLDER"));
        while (!reader.atEnd()) {
            const QString option = reader.take(QStringLiteral("option"));
            if (option == QLatin1String("--user"))
                invocation.name = reader.takeValue(QStringLiteral("a user name after --user"));
            else if (option == QLatin1String("--url"))
                invocation.url = reader.takeValue(QStringLiteral("an address after --url"));
            else if (option == QLatin1String("--error-log"))
                invocation.errorLog = reader.takeValue(QStringLiteral("a file after --error-log"));
            else
                throw PHCtlUsageError(QStringLiteral("unknown option \"%1\" for verify").arg(option));
        }
    } else if (command == QLatin1String("user")) {
        parseUser(reader, invocation);
    } else if (command == QLatin1String("group")) {
        parseGroup(reader, invocation);
    } else {
        throw PHCtlUsageError(QStringLiteral("unknown command \"%1\"").arg(command));
    }
    return invocation;
}

QString modeName(qint32 modeIndex) {
    static const QStringList names{"None", "Password", "Address", "Password or Address",
                                   "Password and Address"};
    return modeIndex >= 0 && modeIndex < names.size() ? names.at(modeIndex) : QString();
}

QString usage() {
    return QStringLiteral(
        "Usage: portholdctl [--root DIR] COMMAND [ARGUMENTS]\n"
        "\n"
        "Protects folders of the Apache web tree from the command line, with the same\n"
        "files, settings and checks as the Porthold panel. FOLDER is relative to the\n"
        "web root (\".\" is the root itself). Every change is written at once.\n"
        "\n"
        "Options:\n"
        "  --root DIR      the web root (default: the panel's configured web root)\n"
        "  -h, --help      show this text\n"
        "  --version       show the version\n"
        "\n"
        "Folders:\n"
        "  tree                       every folder below the root, indented, with its mode\n"
        "  show FOLDER                mode, address mode, required users and groups, listed\n"
        "                             addresses and the text of the folder's .htaccess\n"
        "  mode FOLDER MODE           protect the folder; MODE is one of\n"
        "                               none      directives kept but commented out\n"
        "                               password  \"Password\"\n"
        "                               address   \"Address\"\n"
        "                               either    \"Password or Address\"\n"
        "                               both      \"Password and Address\"\n"
        "  require FOLDER [--user NAME...] [--group NAME...] [--any-user]\n"
        "                             let these users or groups in (password modes only);\n"
        "                             --any-user (\"Any Valid User\") and named users exclude\n"
        "                             each other: the later choice replaces the earlier\n"
        "  unrequire FOLDER [--user NAME...] [--group NAME...] [--any-user]\n"
        "                             no longer let them in\n"
        "  address FOLDER [--allow | --deny] [--add ADDR...] [--remove ADDR...]\n"
        "                             address modes only: --allow lets only the listed\n"
        "                             addresses in, --deny keeps the listed addresses out;\n"
        "                             --add adds addresses to the known-address list and\n"
        "                             lists them for the folder in its current mode,\n"
        "                             --remove unlists them (they stay known)\n"
        "  clear FOLDER               delete the folder's .htaccess\n"
        "  verify FOLDER [--user NAME] [--url BASE] [--error-log FILE]\n"
        "                             ask the running server over loopback (IPv4 and\n"
        "                             IPv6) what a visitor gets, without a password and,\n"
        "                             with --user, with NAME's password read from standard\n"
        "                             input; compare with the effective access. BASE is\n"
        "                             the web root's address (default: the one \"View on\n"
        "                             Web\" opens); FILE the server's error log (default\n"
        "                             /var/log/apache2/error.log), whose lines about the\n"
        "                             folder are shown\n"
        "\n"
        "Users (the web root's .htusers):\n"
        "  user add NAME              add a user; the password is read from standard input\n"
        "                             (one line; asked twice, without echo, on a terminal)\n"
        "  user passwd NAME           give a user a new password, read the same way\n"
        "                             (new passwords are hashed as the setting \"Password\n"
        "                             Hash\" says: bcrypt, SHA-512 or DES)\n"
        "  user del NAME              delete a user; it also leaves every group and every\n"
        "                             access file that lets it in (the folders are listed)\n"
        "  user list                  the user names, one a line, in file order\n"
        "  user check NAME            read a password from standard input; exit 0 when it\n"
        "                             is the user's password, 2 when it is not\n"
        "  user audit                 list the users whose password has a weak hash (DES,\n"
        "                             SHA-1, plain text); exit 0 when none, 2 when some\n"
        "\n"
        "Groups (the web root's .htgroups):\n"
        "  group add NAME [--member USER...]\n"
        "                             add a group, optionally with members\n"
        "  group del NAME             delete a group, also from every access file that\n"
        "                             lets it in (the folders are listed)\n"
        "  group add-member GROUP USER\n"
        "  group remove-member GROUP USER\n"
        "  group list                 \"group: member member\", one group a line\n"
        "\n"
        "Several names may follow an option, and an option may be repeated.\n"
        "\n"
        "Exit status: 0 success; 1 usage error; 2 input refused (the reason is\n"
        "shown, as the panel words it); 3 a file could not be read or written, or\n"
        "(verify) the server cannot be reached; 4 (verify) the server does not do\n"
        "what the effective access predicts.\n"
        "\n"
        "Settings are the panel's own ($XDG_CONFIG_HOME/porthold/com.quillmere.porthold.plist):\n"
        "the web root, the known addresses, \"Should Discover Addresses\" and \"Password\n"
        "Hash\" are shared.\n");
}

} // namespace PHCtlArguments
