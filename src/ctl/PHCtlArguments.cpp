#include "ctl/PHCtlArguments.h"

#include <QDir>
#include <QHash>
#include <QRegularExpression>
#include <QSet>

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

namespace {

using Command = PHCtlInvocation::Command;

const QStringList kModeWords{"none", "password", "address", "either", "both"};

/// Takes the arguments one by one; every error names what was expected.
class Reader {
public:
    /// Arguments from `operandsFrom` on came after "--": never options. They
    /// are read where the command's operands stand, right after the command
    /// words, so "group add --member=bob -- NAME" reads as "group add NAME
    /// --member=bob" with NAME never taken for an option.
    explicit Reader(const QStringList &arguments, qsizetype operandsFrom = -1) {
        if (operandsFrom < 0 || operandsFrom > arguments.size())
            operandsFrom = arguments.size();
        qsizetype words = 0;
        while (words < operandsFrom && !isOption(arguments.at(words)))
            ++words;
        for (qsizetype i = 0; i < words; ++i)
            append(arguments.at(i), false);
        for (qsizetype i = operandsFrom; i < arguments.size(); ++i)
            append(arguments.at(i), true);
        for (qsizetype i = words; i < operandsFrom; ++i)
            append(arguments.at(i), false);
    }

    bool atEnd() const { return m_next >= m_arguments.size(); }
    QString peek() const { return atEnd() ? QString() : m_arguments.at(m_next); }
    QString take(const QString &what) {
        if (atEnd())
            throw PHCtlUsageError(QStringLiteral("missing %1").arg(what));
        return m_arguments.at(m_next++);
    }
    /// A positional value: anything but an option.
    QString takeValue(const QString &what) {
        if (!atEnd() && nextIsOption())
            throw PHCtlUsageError(QStringLiteral("missing %1 before \"%2\"").arg(what, peek()));
        return take(what);
    }
    /// Every value up to the next option; at least one.
    QStringList takeValues(const QString &option) {
        QStringList values;
        while (!atEnd() && !nextIsOption())
            values.append(m_arguments.at(m_next++));
        if (values.isEmpty())
            throw PHCtlUsageError(QStringLiteral("%1 needs at least one name").arg(option));
        return values;
    }
    void expectEnd() const {
        if (!atEnd())
            throw PHCtlUsageError(QStringLiteral("unexpected argument \"%1\"").arg(peek()));
    }

    /// An option where one may stand. "--option=VALUE" gives the option, and
    /// VALUE is the next value whatever it begins with.
    QString takeOption() {
        if (!atEnd() && !nextIsOption())
            throw PHCtlUsageError(QStringLiteral("unexpected argument \"%1\"").arg(peek()));
        QString option = take(QStringLiteral("option"));
        if (const qsizetype equals = option.indexOf(QLatin1Char('=')); equals > 2) {
            m_arguments.insert(m_next, option.mid(equals + 1));
            m_operand.insert(m_next, true);
            option.truncate(equals);
        }
        return option;
    }
    bool nextIsOption() const { return !atEnd() && !m_operand.at(m_next) && isOption(peek()); }

    static bool isOption(const QString &argument) { return argument.startsWith(QLatin1String("--")); }

private:
    void append(const QString &argument, bool operand) {
        m_arguments.append(argument);
        m_operand.append(operand);
    }

    QStringList m_arguments;
    QList<bool> m_operand; ///< given after "--" (or after "="): never an option
    qsizetype m_next = 0;
};

/// The value of a numeric or named owner or group given before the command.
uint idOf(const QString &option, const QString &value) {
    bool numeric = false;
    const uint number = value.toUInt(&numeric);
    if (numeric)
        return number;
    const QByteArray name = value.toLocal8Bit();
    if (option == QLatin1String("--owner")) {
        if (const passwd *entry = ::getpwnam(name.constData()))
            return entry->pw_uid;
        throw PHCtlUsageError(QStringLiteral("--owner: no user \"%1\"").arg(value));
    }
    if (const group *entry = ::getgrnam(name.constData()))
        return entry->gr_gid;
    throw PHCtlUsageError(QStringLiteral("--group: no group \"%1\"").arg(value));
}

mode_t fileMode(const QString &value) {
    static const QRegularExpression octal(QStringLiteral("^0?[0-7]{3}$"));
    if (!octal.match(value).hasMatch())
        throw PHCtlUsageError(
            QStringLiteral("--mode needs an octal mode such as 0644, not \"%1\"").arg(value));
    const auto mode = static_cast<mode_t>(value.toUInt(nullptr, 8));
    if (mode & S_IWOTH)
        throw PHCtlUsageError(
            QStringLiteral("--mode %1 would let every user of the machine rewrite the files").arg(value));
    return mode;
}

/// Removes --root DIR (or --root=DIR), --json, --check and --diff wherever
/// they stand, and --owner, --group and --mode before the command (after it
/// they are some commands' own options); finds --help and --version
/// anywhere, so "portholdctl user add --help" shows the usage. "--" ends the
/// options: what follows is kept as it stands, and `*operandsFrom` says
/// where it begins in the result (its size when there is no "--").
QStringList takeGlobalOptions(const QStringList &arguments, PHCtlInvocation &invocation, bool &help,
                              bool &version, qsizetype *operandsFrom = nullptr) {
    QStringList rest;
    bool rootSeen = false;
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString &argument = arguments.at(i);
        if (argument == QLatin1String("--")) {
            if (operandsFrom)
                *operandsFrom = rest.size();
            rest += arguments.mid(i + 1);
            return rest;
        }
        const bool beforeCommand = rest.isEmpty();
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
        } else if (argument == QLatin1String("--json")) {
            invocation.json = true;
            continue;
        } else if (argument == QLatin1String("--check")) {
            invocation.check = true;
            continue;
        } else if (argument == QLatin1String("--diff")) {
            invocation.diff = true;
            continue;
        } else if (beforeCommand &&
                   (argument == QLatin1String("--owner") || argument == QLatin1String("--group") ||
                    argument == QLatin1String("--mode"))) {
            if (i + 1 >= arguments.size())
                throw PHCtlUsageError(QStringLiteral("%1 needs a value").arg(argument));
            const QString given = arguments.at(++i);
            if (argument == QLatin1String("--mode"))
                invocation.fileMode = fileMode(given);
            else if (argument == QLatin1String("--owner"))
                invocation.fileOwner = idOf(argument, given);
            else
                invocation.fileGroup = idOf(argument, given);
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
    if (operandsFrom)
        *operandsFrom = rest.size();
    return rest;
}

void parseRequire(Reader &reader, PHCtlInvocation &invocation) {
    invocation.folder = reader.takeValue(QStringLiteral("FOLDER"));
    while (!reader.atEnd()) {
        const QString option = reader.takeOption();
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
        const QString option = reader.takeOption();
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

/// "a,b,c" with blanks around the names dropped; "" is the empty list.
QStringList commaList(const QString &value) {
    QStringList names;
    for (const QString &name : value.split(QLatin1Char(','))) {
        const QString trimmed = name.trimmed();
        if (!trimmed.isEmpty())
            names.append(trimmed);
    }
    return names;
}

PHMode modeOfWord(const QString &word) {
    const std::optional<PHMode> mode = PHProtection::modeAt(qint32(kModeWords.indexOf(word.toLower())));
    if (!mode)
        throw PHCtlUsageError(
            QStringLiteral("unknown mode \"%1\" (none, password, address, either, both)").arg(word));
    return *mode;
}

void parseApply(Reader &reader, PHCtlInvocation &invocation) {
    invocation.folder = reader.takeValue(QStringLiteral("FOLDER"));
    QSet<QString> seen;
    while (!reader.atEnd()) {
        const QString option = reader.takeOption();
        // --allow and --deny set the address mode and the list, --address-mode
        // the mode alone, --addresses the list alone: each thing once.
        const bool both = option == QLatin1String("--allow") || option == QLatin1String("--deny");
        QStringList keys{option};
        if (both)
            keys = QStringList{QStringLiteral("--address-mode"), QStringLiteral("--addresses")};
        for (const QString &key : keys)
            if (seen.contains(key))
                throw PHCtlUsageError(QStringLiteral("%1 given twice")
                                          .arg(key.startsWith(QLatin1String("--address"))
                                                   ? key + QStringLiteral(" (or --allow, --deny)")
                                                   : key));
        for (const QString &key : keys)
            seen.insert(key);
        const QString list = QStringLiteral("a comma-separated list after %1 (\"\" for none)").arg(option);
        if (option == QLatin1String("--mode"))
            invocation.applyMode = modeOfWord(reader.takeValue(QStringLiteral("a mode after --mode")));
        else if (option == QLatin1String("--users"))
            invocation.applyUsers = commaList(reader.takeValue(list));
        else if (option == QLatin1String("--groups"))
            invocation.applyGroups = commaList(reader.takeValue(list));
        else if (option == QLatin1String("--any-user") || option == QLatin1String("--no-any-user")) {
            if (seen.contains(option == QLatin1String("--any-user") ? QStringLiteral("--no-any-user")
                                                                    : QStringLiteral("--any-user")))
                throw PHCtlUsageError(QStringLiteral("--any-user and --no-any-user exclude each other"));
            invocation.applyAnyUser = option == QLatin1String("--any-user");
        } else if (both) {
            invocation.applyAllow = option == QLatin1String("--allow");
            invocation.applyAddresses = commaList(reader.takeValue(list));
        } else if (option == QLatin1String("--address-mode")) {
            const QString word =
                reader.takeValue(QStringLiteral("allow or deny after --address-mode")).toLower();
            if (word != QLatin1String("allow") && word != QLatin1String("deny"))
                throw PHCtlUsageError(QStringLiteral("unknown address mode \"%1\" (allow, deny)").arg(word));
            invocation.applyAllow = word == QLatin1String("allow");
        } else if (option == QLatin1String("--addresses")) {
            invocation.applyAddresses = commaList(reader.takeValue(list));
        } else if (option == QLatin1String("--exact"))
            invocation.exact = true;
        else
            throw PHCtlUsageError(QStringLiteral("unknown option \"%1\" for apply").arg(option));
    }
    if (invocation.applyAnyUser.value_or(false) && invocation.applyUsers && !invocation.applyUsers->isEmpty())
        throw PHCtlUsageError(QStringLiteral("--any-user and named --users exclude each other"));
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
    const bool setsPassword =
        invocation.command == Command::UserAdd || invocation.command == Command::UserPasswd;
    while (setsPassword && !reader.atEnd()) {
        const QString option = reader.takeOption();
        if (option == QLatin1String("--hash")) {
            static const QHash<QString, PHCtlInvocation::Hash> schemes{
                {"bcrypt", PHCtlInvocation::Hash::Bcrypt},
                {"sha512", PHCtlInvocation::Hash::Sha512},
                {"des", PHCtlInvocation::Hash::Des}};
            const QString scheme =
                reader.takeValue(QStringLiteral("a scheme after --hash (bcrypt, sha512, des)"));
            if (!schemes.contains(scheme.toLower()))
                throw PHCtlUsageError(
                    QStringLiteral("unknown hash \"%1\" (bcrypt, sha512, des)").arg(scheme));
            invocation.hash = schemes.value(scheme.toLower());
        } else if (option == QLatin1String("--update-password") && invocation.command == Command::UserAdd) {
            invocation.updatePassword = true;
        } else if (option == QLatin1String("--keep-password") && invocation.command == Command::UserAdd) {
            invocation.keepPassword = true;
        } else {
            throw PHCtlUsageError(QStringLiteral("unknown option \"%1\"").arg(option));
        }
    }
    if (invocation.updatePassword && invocation.keepPassword)
        throw PHCtlUsageError(QStringLiteral("--update-password and --keep-password exclude each other"));
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
            const QString option = reader.takeOption();
            if (option == QLatin1String("--member"))
                invocation.members += reader.takeValues(option);
            else if (option == QLatin1String("--exact"))
                invocation.exact = true;
            else
                throw PHCtlUsageError(QStringLiteral("unknown option \"%1\"").arg(option));
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
    qsizetype operandsFrom = -1;
    const QStringList words = takeGlobalOptions(arguments, invocation, help, version, &operandsFrom);
    Reader reader(words, operandsFrom);
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
        invocation.mode =
            modeOfWord(reader.takeValue(QStringLiteral("mode (none, password, address, either, both)")));
        reader.expectEnd();
    } else if (command == QLatin1String("require") || command == QLatin1String("unrequire")) {
        invocation.command = command == QLatin1String("require") ? Command::Require : Command::Unrequire;
        parseRequire(reader, invocation);
    } else if (command == QLatin1String("address")) {
        invocation.command = Command::Address;
        parseAddress(reader, invocation);
    } else if (command == QLatin1String("apply")) {
        invocation.command = Command::Apply;
        parseApply(reader, invocation);
    } else if (command == QLatin1String("verify")) {
        invocation.command = Command::Verify;
        invocation.folder = reader.takeValue(QStringLiteral("FOLDER"));
        while (!reader.atEnd()) {
            const QString option = reader.takeOption();
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
    // "pw/sub/.." is the folder pw, as the tree names it (never a walk of the
    // disk through a link); a path that climbs above the web root is left for
    // the refusal.
    if (!invocation.folder.isEmpty() && !QDir::isAbsolutePath(invocation.folder)) {
        const QString clean = QDir::cleanPath(invocation.folder);
        if (clean != QLatin1String("..") && !clean.startsWith(QLatin1String("../")))
            invocation.folder = clean;
    }
    return invocation;
}

QString modeWord(PHMode mode) {
    return kModeWords.value(PHProtection::indexOf(mode));
}

bool isChanging(Command command) {
    switch (command) {
    case Command::Mode:
    case Command::Require:
    case Command::Unrequire:
    case Command::Address:
    case Command::Clear:
    case Command::Apply:
    case Command::UserAdd:
    case Command::UserPasswd:
    case Command::UserDel:
    case Command::GroupAdd:
    case Command::GroupDel:
    case Command::GroupAddMember:
    case Command::GroupRemoveMember:
        return true;
    case Command::Help:
    case Command::Version:
    case Command::Tree:
    case Command::Show:
    case Command::UserList:
    case Command::UserCheck:
    case Command::UserAudit:
    case Command::GroupList:
    case Command::Verify:
        return false;
    }
    return false;
}

QString commandUsage(const QStringList &arguments) {
    QStringList words;
    try {
        PHCtlInvocation ignored;
        bool help = false;
        bool version = false;
        words = takeGlobalOptions(arguments, ignored, help, version);
    } catch (const PHCtlUsageError &) {
        return QString();
    }
    if (words.isEmpty() || Reader::isOption(words.first()))
        return QString();
    QString key = words.first();
    if (key == QLatin1String("user") || key == QLatin1String("group")) {
        if (words.size() < 2 || Reader::isOption(words.at(1)))
            return QString();
        key += QLatin1Char(' ') + words.at(1);
    }

    // The synopsis is the command's own entry in the full text: the line
    // that starts with it, up to the description column, and the lines that
    // continue it (indented less deeply than the description).
    const QStringList lines = usage().split(QLatin1Char('\n'));
    const QString indent = QStringLiteral("  ");
    const QString continuation = QStringLiteral("        ");
    static const QRegularExpression descriptionGap(QStringLiteral("\\s{2,}"));
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString &line = lines.at(i);
        if (!line.startsWith(indent + key))
            continue;
        const QString rest = line.mid(indent.size() + key.size());
        if (!rest.isEmpty() && !rest.startsWith(QLatin1Char(' ')))
            continue;
        QString synopsis = line.mid(indent.size());
        const auto gap = descriptionGap.match(synopsis);
        if (gap.hasMatch())
            synopsis.truncate(gap.capturedStart());
        for (qsizetype next = i + 1; next < lines.size(); ++next) {
            const QString &following = lines.at(next);
            if (!following.startsWith(continuation) || following.size() == continuation.size() ||
                following.at(continuation.size()) == QLatin1Char(' '))
                break;
            synopsis += QLatin1Char(' ') + following.trimmed();
        }
        return QStringLiteral("portholdctl [OPTION]... ") + synopsis;
    }
    return QString();
}

QString usage() {
    return QStringLiteral(
        "Usage: portholdctl [--root DIR] [--json] [--check] [--diff] [--] COMMAND [ARGUMENTS]\n"
        "\n"
        "Protects folders of the Apache web tree from the command line, with the same\n"
        "files, settings and checks as the Porthold panel. FOLDER is relative to the\n"
        "web root (\".\" is the root itself). Every change is written at once.\n"
        "\n"
        "Options:\n"
        "  --root DIR      the web root (default: the panel's configured web root)\n"
        "  --json          answer with one JSON document on standard output (below)\n"
        "  --check         do everything but write: say what would change, exit 0\n"
        "  --diff          show a unified diff of each file that changes (or would)\n"
        "  -h, --help      show this text\n"
        "  --version       show the version\n"
        "  --owner USER, --group GROUP, --mode MODE\n"
        "                  what every file written carries (a name or number; an octal\n"
        "                  mode without write for others); before the command only.\n"
        "                  The command's own file (the folder's .htaccess, the user\n"
        "                  or the group file) takes them even when it needs no\n"
        "                  other change.\n"
        "                  Without them an existing file keeps its owner, group and\n"
        "                  mode, and a new one is 0644 (or follows the web root's own\n"
        "                  .htaccess, .htusers or .htgroups when that is stricter)\n"
        "  --              end of the options: every argument after it is a folder,\n"
        "                  name or value, however it begins\n"
        "The other options may stand before or after the command. Names beginning\n"
        "with \"-\" are refused as user and group names.\n"
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
        "  apply FOLDER [--mode MODE] [--users A,B] [--groups G,H] [--any-user |\n"
        "        --no-any-user] [--address-mode allow|deny] [--addresses ADDR,...]\n"
        "        [--allow ADDR,... | --deny ADDR,...] [--exact]\n"
        "                             the folder's whole protection in one call and at\n"
        "                             most one write; what is not given stays as it is.\n"
        "                             The lists add what is missing; with --exact each\n"
        "                             list given becomes exactly what it names (\"\" for\n"
        "                             none), and the lists not given stay. --address-mode\n"
        "                             alone switches the mode and keeps the addresses;\n"
        "                             --addresses alone keeps the mode (allow for a folder\n"
        "                             not yet checked by address); --allow L and --deny L\n"
        "                             are the mode and the list in one. Addresses join\n"
        "                             the known ones. Users and\n"
        "                             groups need a password mode, addresses an address\n"
        "                             mode (given with --mode or already set)\n"
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
        "  user add NAME [--hash SCHEME] [--update-password | --keep-password]\n"
        "                             add a user; the password is read from standard input\n"
        "                             (one line; asked twice, without echo, on a terminal).\n"
        "                             An existing user whose password it already is stays\n"
        "                             unchanged; another password is refused unless\n"
        "                             --update-password is given; --keep-password leaves\n"
        "                             an existing user's password alone\n"
        "  user passwd NAME [--hash SCHEME]\n"
        "                             give a user a new password, read the same way\n"
        "                             (new passwords are hashed as the setting \"Password\n"
        "                             Hash\" says, or as --hash says: bcrypt, sha512, des;\n"
        "                             a password that already holds, stored that way, is\n"
        "                             not written again)\n"
        "  user del NAME              delete a user; it also leaves every group and every\n"
        "                             access file that lets it in (the folders are listed);\n"
        "                             a user that does not exist is no error\n"
        "  user list                  the user names, one a line, in file order\n"
        "  user check NAME            read a password from standard input; exit 0 when it\n"
        "                             is the user's password, 2 when it is not\n"
        "  user audit                 list the users whose password has a weak hash (DES,\n"
        "                             SHA-1, plain text); exit 0 when none, 2 when some\n"
        "\n"
        "Groups (the web root's .htgroups):\n"
        "  group add NAME [--member USER...] [--exact]\n"
        "                             add a group, optionally with members; of an existing\n"
        "                             group, add the members it lacks (--exact: and remove\n"
        "                             the others)\n"
        "  group del NAME             delete a group, also from every access file that\n"
        "                             lets it in (the folders are listed); a group that\n"
        "                             does not exist is no error\n"
        "  group add-member GROUP USER\n"
        "  group remove-member GROUP USER\n"
        "                             a member already there, or a user who is not one,\n"
        "                             is no error\n"
        "  group list                 \"group: member member\", one group a line\n"
        "\n"
        "Several names may follow an option, and an option may be repeated.\n"
        "\n"
        "A changing command whose result already holds writes nothing (no new date\n"
        "line) and exits 0. Every changing command goes through a journal of its\n"
        "writes; --check keeps them off the disk.\n"
        "\n"
        "JSON (--json): one document on standard output, also for errors, which add\n"
        "\"error\" (the message) and \"exit\" (the exit status); messages still go to\n"
        "standard error. Field names are stable:\n"
        "  tree        {\"root\", \"folders\": [{\"folder\", \"link\", \"mode\", \"inherited\",\n"
        "              \"hand_managed\"}]}  (\"folder\" relative to the root, \".\" for it)\n"
        "  show        {\"folder\", \"path\", \"mode\", \"disabled\", \"address_mode\",\n"
        "              \"users\", \"groups\", \"unknown_users\", \"unknown_groups\" (let in\n"
        "              by a line in force, no users or groups: a user made later\n"
        "              gets in; --exact on the list takes them out),\n"
        "              \"any_valid_user\", \"addresses\",\n"
        "              \"allow_from\", \"deny_from\", \"hand_managed\",\n"
        "              \"hand_managed_reasons\", \"effective\", \"access_file\", \"text\"}\n"
        "  user list   {\"users\": [{\"name\", \"hash\", \"weak\"}]}\n"
        "  user check  {\"user\", \"matches\"}\n"
        "  user audit  {\"users\" (how many), \"weak\": [{\"name\", \"hash\"}]}\n"
        "  group list  {\"groups\": [{\"name\", \"members\", \"unknown_members\" (named, no\n"
        "              users; group add --exact takes them out)}]}\n"
        "  verify      {\"folder\", \"path\", \"effective\", \"url\", \"reachable\",\n"
        "              \"unreachable_why\", \"agrees\", \"probes\": [{\"client\", \"user\",\n"
        "              \"predicted\", \"predicted_why\", \"answered\"}], \"log_lines\"}\n"
        "  changing    {\"changed\", \"check\", \"files\" (written, or that would be),\n"
        "              \"warnings\", \"messages\", and with --diff \"diff\": [{\"path\",\n"
        "              \"state\" (created, changed, removed), \"before\", \"after\"}]};\n"
        "              apply adds \"folder\" (as show, after the change), group add\n"
        "              \"members\", user del and group del \"folders\" (those changed).\n"
        "              With --check, users and groups not (yet) there are taken as\n"
        "              made by an earlier step: listed in \"unknown_users\" and\n"
        "              \"unknown_groups\", with a warning each, instead of refused.\n"
        "Modes are the words none, password, address, either, both. Diffs of the user\n"
        "file show a fingerprint of each password hash, never the hash.\n"
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
