#include "ctl/PHCtlCommands.h"

#include "core/Log.h"
#include "ctl/PHCtl.h"
#include "ctl/PHCtlOutput.h"
#include "ctl/PHHeadlessContext.h"
#include "model/PHAccessCheck.h"
#include "model/PHAccessGrants.h"
#include "model/PHAuthFiles.h"
#include "model/PHEditRules.h"
#include "model/PHEffectiveAccess.h"
#include "model/PHFSItem.h"
#include "model/PHGroupsModel.h"
#include "model/PHNameRule.h"
#include "model/PHPasswordHash.h"
#include "model/PHServerRules.h"
#include "model/PHSettings.h"
#include "model/PHUserItem.h"
#include "model/PHUsersModel.h"
#include "model/PHWebRoot.h"
#include "support/PHExtensions.h"
#include "support/PHFileName.h"
#include "support/PHSettingsStore.h"
#include "support/PHTextFile.h"
#include "support/PHWebTreeFile.h"
#include "support/PHWriteJournal.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonObject>
#include <QTextStream>

#include <algorithm>
#include <memory>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using Command = PHCtlInvocation::Command;

QString quoted(const QString &text) {
    return QLatin1Char('"') + text + QLatin1Char('"');
}

QString trimmed(const QString &name) {
    return PHString::stringByRemovingSurroundingWhitespace(name);
}

QJsonArray jsonList(const QStringList &list) {
    return QJsonArray::fromStringList(list);
}

/// A folder argument as one path relative to the web root ("." for the root).
QString normalizedFolder(const QString &relative) {
    QStringList parts = relative.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    parts.removeAll(QStringLiteral("."));
    return parts.isEmpty() ? QStringLiteral(".") : parts.join(QLatin1Char('/'));
}

/// The name a stored hash of the scheme goes by (as PHPasswordHash names
/// stored hashes).
QString storedName(PHPasswordHash::Scheme scheme) {
    switch (scheme) {
    case PHPasswordHash::Scheme::Bcrypt:
        return QStringLiteral("bcrypt");
    case PHPasswordHash::Scheme::Sha512:
        return QStringLiteral("SHA-512 crypt");
    case PHPasswordHash::Scheme::Des:
        return QStringLiteral("DES crypt");
    }
    return {};
}

/// `list` with the names of `more` it lacks appended.
QStringList merged(QStringList list, const QStringList &more) {
    for (const QString &name : more)
        if (!list.contains(name))
            list.append(name);
    return list;
}

/// Where a folder that is a symbolic link leads; empty for any other folder.
/// Such a folder is listed, but nothing is written through it.
QString linkTarget(const PHFSItem *node) {
    if (!node->parent() || node->isListedAsFolder())
        return {};
    return PHWebTreeFile::linkTarget(node->treeRootPath(), node->fullPath());
}

QStringList memberNames(const PHUserItem *group) {
    return PHGroupsModel::memberNames(*group);
}

} // namespace

PHCtlCommands::PHCtlCommands(PHHeadlessContext &context, PHCtlOutput &output, Passwords passwords,
                             std::unique_ptr<PHUserFileStream> userFile)
    : m_context(context), m_output(output), m_out(output.text()), m_passwords(std::move(passwords)),
      m_userFile(std::move(userFile)) {
}

PHCtlCommands::~PHCtlCommands() = default;

std::optional<int> PHCtlCommands::execute(const PHCtlInvocation &invocation) {
    m_invocation = invocation;
    m_status.reset();
    // A name that begins with "-" would be read as an option by the next
    // tool given it (and was, before "--" ended the options): never a name.
    const bool groupCommand =
        invocation.command == Command::GroupAdd || invocation.command == Command::GroupDel ||
        invocation.command == Command::GroupAddMember || invocation.command == Command::GroupRemoveMember;
    const auto refuseDash = [](const QString &name, PHNameRule::Kind kind) {
        if (name.startsWith(QLatin1Char('-')))
            throw Refusal{PHNameRule::refusal(name, kind)};
    };
    refuseDash(invocation.name, groupCommand ? PHNameRule::Kind::Group : PHNameRule::Kind::User);
    refuseDash(invocation.member, PHNameRule::Kind::User);
    for (const QString &name : invocation.members + invocation.users)
        refuseDash(name, PHNameRule::Kind::User);
    for (const QString &name : invocation.groups)
        refuseDash(name, PHNameRule::Kind::Group);
    {
        // One command is one walk: each folder is opened from its parent's
        // descriptor, whatever it does with the tree.
        const PHWebTreeFile::Walk walk;
        dispatch();
    }
    // A dry run of one step of many may name users and groups that an earlier
    // step would have made: it predicts, and says what it took on trust.
    if (!m_unknownUsers.isEmpty() || !m_unknownGroups.isEmpty()) {
        m_output.set(QStringLiteral("unknown_users"), jsonList(m_unknownUsers));
        m_output.set(QStringLiteral("unknown_groups"), jsonList(m_unknownGroups));
        for (const QString &name : m_unknownUsers)
            m_output.warn(QStringLiteral("No user %1 yet; --check takes it as made by an earlier step")
                              .arg(quoted(name)));
        for (const QString &name : m_unknownGroups)
            m_output.warn(QStringLiteral("No group %1 yet; --check takes it as made by an earlier step")
                              .arg(quoted(name)));
    }
    return m_status;
}

bool PHCtlCommands::assumedInCheck(const QString &name, bool group) {
    if (!m_invocation.check)
        return false;
    QStringList &list = group ? m_unknownGroups : m_unknownUsers;
    if (!list.contains(name))
        list.append(name);
    return true;
}

void PHCtlCommands::dispatch() {
    switch (m_invocation.command) {
    case Command::Tree:
        return tree();
    case Command::Show:
        return show();
    case Command::Mode:
        return mode();
    case Command::Require:
    case Command::Unrequire:
        return require(m_invocation.command == Command::Require);
    case Command::Address:
        return address();
    case Command::Clear:
        return clear();
    case Command::UserAdd:
    case Command::UserPasswd:
        return setPassword(m_invocation.command == Command::UserAdd);
    case Command::UserDel:
        return deleteUser();
    case Command::UserList:
        return listUsers();
    case Command::UserCheck:
        return checkPassword();
    case Command::UserAudit:
        return auditUsers();
    case Command::GroupAdd:
        return addGroup();
    case Command::GroupDel:
        return deleteGroup();
    case Command::GroupAddMember:
        return addMember();
    case Command::GroupRemoveMember:
        return removeMember();
    case Command::GroupList:
        return listGroups();
    case Command::Verify:
        return verify();
    case Command::Apply:
        return apply();
    case Command::Help:
    case Command::Version:
        return;
    }
}

// ------------------------------------------------------------ errors

/// Turns the errors the model reported into a failure naming the file.
void PHCtlCommands::checkReportedErrors(const QString &file) {
    const QList<qint32> &codes = m_context.reportedErrors();
    if (codes.size() == m_reportedSoFar)
        return;
    Failure failure;
    bool refused = true;
    for (qsizetype i = m_reportedSoFar; i < codes.size(); ++i) {
        failure.messages.append(m_context.reportedMessage(i, file));
        // A protection the server would not honour is refused input, not a
        // failed write.
        refused = refused && codes.at(i) == PHFSItem::ErrorAccessFileServerRefuses;
    }
    m_reportedSoFar = codes.size();
    if (refused)
        throw Refusal{failure.messages.join(QLatin1Char('\n'))};
    throw failure;
}

// ------------------------------------------------------------ folders

PHFSItem *PHCtlCommands::rootItem() {
    if (!m_root) {
        m_root = std::make_unique<PHFSItem>(m_context.webRoot(), nullptr);
        m_root->setContext(m_context.modelContext());
    }
    return m_root.get();
}

/// The node of a folder given relative to the web root.
PHFSItem *PHCtlCommands::folder(const QString &relative) {
    if (QDir::isAbsolutePath(relative))
        throw Refusal{QStringLiteral("Folders are given relative to the web root %1: %2")
                          .arg(m_context.webRoot(), quoted(relative))};
    PHFSItem *node = rootItem();
    for (const QString &part : relative.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (part == QLatin1String("."))
            continue;
        if (part == QLatin1String(".."))
            throw Refusal{QStringLiteral("%1 is not below the web root").arg(quoted(relative))};
        PHFSItem *next = nullptr;
        for (PHFSItem *child : node->children())
            if (child->name() == part)
                next = child;
        if (!next)
            throw Refusal{QStringLiteral("No folder %1 below the web root %2")
                              .arg(quoted(relative), m_context.webRoot())};
        node = next;
    }
    // Listing reads the access files of every folder on the way; only the
    // one asked about matters here.
    m_reportedSoFar = m_context.reportedErrors().size();
    if (node->isUnreadable()) {
        const PHTextFile file = PHTextFile::readBelow(m_context.webRoot(), node->accessPath());
        throw Failure{{QStringLiteral("%1: the access file cannot be read; it is left alone (%2)")
                           .arg(node->accessPath(), file.error)}};
    }
    return node;
}

/// A folder whose access file the panel may rewrite.
PHFSItem *PHCtlCommands::editableFolder(const QString &relative) {
    PHFSItem *node = folder(relative);
    if (node->isHandManaged())
        throw Refusal{QStringLiteral("%1: %2 (%3)")
                          .arg(node->accessPath(), PHFSItem::handManagedMessage,
                               node->handManagedReasons().join(QStringLiteral("; ")))};
    return node;
}

void PHCtlCommands::written(PHFSItem *node) {
    checkReportedErrors(node->accessPath());
    if (const QString warning = node->effectiveAccess().thisComputerWarning(); !warning.isEmpty())
        m_output.warn(warning);
}

namespace {

/// The folder's mode note for JSON: null when there is none.
QJsonValue noteValue(const QString &note) {
    return note.isEmpty() ? QJsonValue() : QJsonValue(note);
}

} // namespace

void PHCtlCommands::tree() {
    PHFSItem *root = rootItem();
    QSet<FolderIdentity> ancestors;
    const QString unread = PHServerRules::unreadNote(m_context.webRoot());
    if (!m_output.isJson()) {
        if (!unread.isEmpty())
            m_output.warn(unread);
        walkTree(root, QStringLiteral("."), 0, ancestors,
                 [this](PHFSItem *node, const QString &path, int depth) {
                     QString name = depth == 0 ? path : node->name();
                     if (const QString target = linkTarget(node); !target.isEmpty())
                         name += QStringLiteral(" -> ") + target;
                     m_out << QString(depth * 2, QLatin1Char(' ')) << name << '\t'
                           << PHProtection::name(node->mode());
                     // Protection that comes from a folder above shows beside the folder's own mode.
                     const PHEffectiveAccess access = node->effectiveAccess();
                     const QString inherited = access.inheritedNote();
                     if (!inherited.isEmpty())
                         m_out << "\t[" << inherited << ']';
                     if (node->isHandManaged())
                         m_out << "\t[hand-managed]";
                     if (const QString note = node->modeNote(access); !note.isEmpty())
                         m_out << "\t[" << note << ']';
                     m_out << '\n';
                 });
        return;
    }
    QJsonArray folders;
    walkTree(root, QStringLiteral("."), 0, ancestors, [&folders](PHFSItem *node, const QString &path, int) {
        const PHEffectiveAccess access = node->effectiveAccess();
        const QString inherited = access.inheritedNote();
        const QString target = linkTarget(node);
        folders.append(QJsonObject{{"folder", path},
                                   {"link", target.isEmpty() ? QJsonValue() : QJsonValue(target)},
                                   {"mode", PHCtlArguments::modeWord(node->mode())},
                                   {"inherited", inherited.isEmpty() ? QJsonValue() : QJsonValue(inherited)},
                                   {"hand_managed", node->isHandManaged()},
                                   {"note", noteValue(node->modeNote(access))}});
    });
    m_output.set(QStringLiteral("root"), m_context.webRoot());
    m_output.set(QStringLiteral("prediction_note"), noteValue(unread));
    m_output.set(QStringLiteral("folders"), folders);
}

void PHCtlCommands::walkTree(PHFSItem *node, const QString &path, int depth, QSet<FolderIdentity> &ancestors,
                             const std::function<void(PHFSItem *, const QString &, int)> &visit) {
    visit(node, path, depth);
    // A link to a folder above would make the walk endless. Folders are told
    // apart by device and inode, from the descriptor the walk opened.
    dev_t device = 0;
    ino_t inode = 0;
    if (!PHWebTreeFile::folderIdentity(node->treeRootPath(), node->fullPath(), &device, &inode))
        return;
    const FolderIdentity identity{quint64(device), quint64(inode)};
    if (ancestors.contains(identity))
        return;
    ancestors.insert(identity);
    for (PHFSItem *child : node->children())
        walkTree(child, path == QLatin1String(".") ? child->name() : path + QLatin1Char('/') + child->name(),
                 depth + 1, ancestors, visit);
    ancestors.remove(identity);
    // Folders deeper than every walk goes are said once, with the first of them.
    if (node->isBeyondDepthLimit())
        depthLimitReached(QStringLiteral("listed"), path);
}

void PHCtlCommands::depthLimitReached(const QString &what, const QString &path) {
    if (m_depthLimitSaid)
        return;
    m_depthLimitSaid = true;
    const QString shown =
        path.size() > 120 ? path.left(58) + QStringLiteral("\u2026") + path.right(58) : path;
    m_output.warn(QStringLiteral("folders more than %1 levels below the web root are not %2: "
                                 "those below %3 are left out")
                      .arg(PHFSItem::kMaxDepth)
                      .arg(what, shown));
}

namespace {

/// The names of the user (or group) rules in force, as the server reads them.
void namesRequired(const PHEffectiveAccess::Rule &rule, bool groups, QStringList &names) {
    using Kind = PHEffectiveAccess::Rule::Kind;
    if (rule.isContainer()) {
        for (const PHEffectiveAccess::Rule &child : rule.children)
            namesRequired(child, groups, names);
        return;
    }
    if (rule.negated || rule.kind != (groups ? Kind::Group : Kind::User))
        return;
    for (const QString &name : rule.arguments)
        if (!names.contains(name))
            names.append(name);
}

} // namespace

QStringList PHCtlCommands::unknownInForce(const PHFSItem *node, bool groups) {
    QStringList named;
    for (const PHEffectiveAccess::Rule &rule : PHEffectiveAccess::parse(node->stringValue()).requires_)
        namesRequired(rule, groups, named);
    const QStringList known = groups ? m_context.groupNames() : m_context.userNames();
    QStringList unknown;
    for (const QString &name : named) {
        // The server compares group names without regard to case.
        const bool isKnown =
            groups ? std::any_of(known.cbegin(), known.cend(),
                                 [&](const QString &g) { return PHGroupFile::sameGroup(g, name); })
                   : known.contains(name);
        if (!isKnown)
            unknown.append(name);
    }
    return unknown;
}

QStringList PHCtlCommands::unknownMembers(const QString &group) {
    const QString path = m_context.location(PHWebRoot::GroupFile);
    const PHTextFile file = PHTextFile::readBelow(m_context.webRoot(), path);
    if (file.status != PHTextFile::Status::Read)
        return {};
    const QStringList names = m_context.userNames();
    const QSet<QString> users(names.cbegin(), names.cend());
    QStringList unknown;
    for (const PHGroupFile::Group &read : PHGroupFile::read(file.text))
        if (read.name == group)
            for (const QString &member : read.members)
                if (!users.contains(member) && !unknown.contains(member))
                    unknown.append(member);
    return unknown;
}

QJsonObject PHCtlCommands::folderDocument(PHFSItem *node, const QString &relative) {
    const PHEffectiveAccess effective = node->effectiveAccess();
    QStringList users = node->listForKey(PHFSItem::RequireUserKey);
    const bool anyUser = users.contains(PHFSItem::anyUserRealName);
    users.removeAll(PHFSItem::anyUserRealName);
    // In a dry run, the file as it would be: written, or gone.
    bool removed = false;
    const bool pending = PHWriteJournal::pendingBytes(node->accessPath(), &removed).has_value();
    const bool hasFile = pending || (!removed && node->hasAccessFile());
    return QJsonObject{
        {"folder", normalizedFolder(relative)},
        {"path", node->fullPath()},
        {"mode", PHCtlArguments::modeWord(node->mode())},
        {"disabled", node->isAuthenticationDisabled()},
        {"address_mode", node->isAllowSet() ? "allow" : "deny"},
        {"users", jsonList(users)},
        {"groups", jsonList(node->listForKey(PHFSItem::RequireGroupKey))},
        {"unknown_users", jsonList(unknownInForce(node, false))},
        {"unknown_groups", jsonList(unknownInForce(node, true))},
        {"any_valid_user", anyUser},
        {"addresses", jsonList(node->addressArray())},
        {"allow_from", jsonList(node->listForKey(PHFSItem::AllowFromKey))},
        {"deny_from", jsonList(node->listForKey(PHFSItem::DenyFromKey))},
        {"hand_managed", node->isHandManaged()},
        {"hand_managed_reasons", jsonList(node->handManagedReasons())},
        {"note", noteValue(node->modeNote(effective))},
        {"effective", jsonList(effective.lines())},
        {"prediction_note", noteValue(PHServerRules::unreadNote(m_context.webRoot()))},
        {"access_file", hasFile ? QJsonValue(node->accessPath()) : QJsonValue()},
        {"text", hasFile ? QJsonValue(node->stringValue()) : QJsonValue()},
    };
}

void PHCtlCommands::show() {
    PHFSItem *node = folder(m_invocation.folder);
    if (m_output.isJson()) {
        const QJsonObject document = folderDocument(node, m_invocation.folder);
        for (auto it = document.begin(); it != document.end(); ++it)
            m_output.set(it.key(), it.value());
        return;
    }
    const auto list = [node](const QString &key) { return node->listForKey(key).join(QLatin1Char(' ')); };
    m_out << "Folder: " << node->fullPath() << '\n'
          << "Mode: " << PHProtection::name(node->mode()) << '\n'
          << "Disabled: " << (node->isAuthenticationDisabled() ? "yes" : "no") << '\n'
          << "Address mode: " << (node->isAllowSet() ? "allow" : "deny") << '\n'
          << "Required users: " << list(PHFSItem::RequireUserKey) << '\n'
          << "Required groups: " << list(PHFSItem::RequireGroupKey) << '\n';
    // Let in by the server, unknown to the user and group files: a user or
    // group made later of one of these names gets in.
    if (const QStringList unknown = unknownInForce(node, false); !unknown.isEmpty())
        m_out << "Required users that are no users (unknown): " << unknown.join(QLatin1Char(' ')) << '\n';
    if (const QStringList unknown = unknownInForce(node, true); !unknown.isEmpty())
        m_out << "Required groups that are no groups (unknown): " << unknown.join(QLatin1Char(' ')) << '\n';
    m_out << "Allow from: " << list(PHFSItem::AllowFromKey) << '\n'
          << "Deny from: " << list(PHFSItem::DenyFromKey) << '\n';
    if (node->isHandManaged())
        m_out << "Hand-managed: yes: " << PHFSItem::handManagedMessage << " ("
              << node->handManagedReasons().join(QStringLiteral("; ")) << ")\n";
    const PHEffectiveAccess effective = node->effectiveAccess();
    m_out << "Effective:\n";
    for (const QString &line : effective.lines())
        m_out << "  " << line << '\n';
    if (const QString unread = PHServerRules::unreadNote(m_context.webRoot()); !unread.isEmpty())
        m_out << unread << '\n';
    if (const QString warning = effective.thisComputerWarning(); !warning.isEmpty())
        m_out << "Warning: " << warning << '\n';
    if (const QString note = node->modeNote(effective); !note.isEmpty())
        m_out << "Note: the mode shown is not what the server does: " << note << '\n';
    if (!node->hasAccessFile()) {
        m_out << "Access file: none\n";
        return;
    }
    m_out << "Access file: " << node->accessPath() << "\n\n" << node->stringValue();
    if (!node->stringValue().isEmpty() && !node->stringValue().endsWith(QLatin1Char('\n')))
        m_out << '\n';
}

void PHCtlCommands::verify() {
    PHFSItem *node = folder(m_invocation.folder);
    QString password;
    if (!m_invocation.name.isEmpty()) {
        if (!m_context.userNames().contains(m_invocation.name))
            throw Refusal{QStringLiteral("No user %1").arg(quoted(m_invocation.name))};
        const auto entry = m_passwords.twice(QStringLiteral("Password for %1: ").arg(m_invocation.name),
                                             QStringLiteral("Again: "));
        if (!entry)
            throw Failure{{QStringLiteral("The password could not be read from standard input")}};
        password = entry->password;
    }
    QString base = m_invocation.url;
    if (base.isEmpty()) {
        // The address "View on Web" opens.
        PHSettingsStore *settings = PHSettingsStore::instance();
        base =
            QStringLiteral("%1://%2/")
                .arg(settings->stringForKey(PHSettings::Key::SiteProtocol).value_or(QStringLiteral("http")),
                     settings->stringForKey(PHSettings::Key::SiteAddress)
                         .value_or(QStringLiteral("localhost")));
        const QString home = QDir::homePath();
        if (QDir(m_context.webRoot()) == QDir(QDir(home).filePath(QStringLiteral("public_html"))))
            base += QStringLiteral("~%1/").arg(QFileInfo(home).fileName());
        // Where the server's configuration serves the web root, if it says.
        base = PHAccessCheck::serverAddress(base, m_context.webRoot());
    }
    QString errorLog = m_invocation.errorLog;
    if (errorLog.isEmpty() && QFileInfo(QStringLiteral("/var/log/apache2/error.log")).isReadable())
        errorLog = QStringLiteral("/var/log/apache2/error.log");
    if (!m_output.isJson()) {
        m_out << "Folder: " << node->fullPath() << '\n' << "Effective:\n";
        for (const QString &line : node->effectiveAccess().lines())
            m_out << "  " << line << '\n';
        if (const QString unread = PHServerRules::unreadNote(m_context.webRoot()); !unread.isEmpty())
            m_out << unread << '\n';
        m_out.flush();
    }
    const PHAccessCheck::Report report =
        PHAccessCheck::run(node, base, m_invocation.name, password, errorLog);
    if (m_output.isJson()) {
        QJsonArray probes;
        for (const PHAccessCheck::Probe &probe : report.probes)
            probes.append(
                QJsonObject{{"client", probe.client},
                            {"user", probe.user.isEmpty() ? QJsonValue() : QJsonValue(probe.user)},
                            {"predicted", probe.predicted < 0 ? QJsonValue() : QJsonValue(probe.predicted)},
                            {"predicted_why", probe.predictedWhy},
                            {"answered", probe.answered < 0 ? QJsonValue() : QJsonValue(probe.answered)}});
        m_output.set(QStringLiteral("folder"), normalizedFolder(m_invocation.folder));
        m_output.set(QStringLiteral("path"), node->fullPath());
        m_output.set(QStringLiteral("effective"), jsonList(node->effectiveAccess().lines()));
        m_output.set(QStringLiteral("url"), report.url);
        m_output.set(QStringLiteral("reachable"), report.reachable);
        m_output.set(QStringLiteral("unreachable_why"), report.unreachableWhy);
        m_output.set(QStringLiteral("agrees"), report.reachable && report.agrees());
        m_output.set(QStringLiteral("probes"), probes);
        m_output.set(QStringLiteral("log_lines"), jsonList(report.logLines));
    } else {
        for (const QString &line : report.lines())
            m_out << line << '\n';
    }
    m_status = !report.reachable ? PHCtl::Unreachable : report.agrees() ? PHCtl::Success : PHCtl::Differs;
}

void PHCtlCommands::mode() {
    PHFSItem *node = editableFolder(m_invocation.folder);
    if (node->mode() == m_invocation.mode)
        return;
    node->setMode(m_invocation.mode);
    written(node);
}

void PHCtlCommands::require(bool add) {
    PHFSItem *node = editableFolder(m_invocation.folder);
    // The check boxes of users and groups act only on a password-protected folder.
    if (!node->isPasswordProtected())
        throw Refusal{QStringLiteral("%1 is not protected by password; choose the mode password, either or "
                                     "both first")
                          .arg(quoted(m_invocation.folder))};
    const QStringList users = trimmedAll(m_invocation.users);
    checkGrantable(users, m_invocation.groups, add);

    const QString anyUser = PHFSItem::anyUserRealName;
    QStringList required = node->listForKey(PHFSItem::RequireUserKey);
    QStringList requiredGroups = node->listForKey(PHFSItem::RequireGroupKey);
    if (add) {
        // "Any Valid User" and named users exclude each other; the later choice wins.
        if (m_invocation.anyUser)
            required = PHEditRules::requireUser(required, anyUser);
        for (const QString &user : users)
            required = PHEditRules::requireUser(required, user);
        for (const QString &group : m_invocation.groups)
            if (!requiredGroups.contains(group))
                requiredGroups.append(group);
    } else {
        if (m_invocation.anyUser)
            required.removeAll(anyUser);
        for (const QString &user : users)
            required.removeAll(user);
        for (const QString &group : m_invocation.groups)
            requiredGroups.removeAll(group);
    }
    if (required == node->listForKey(PHFSItem::RequireUserKey) &&
        requiredGroups == node->listForKey(PHFSItem::RequireGroupKey))
        return;
    node->setListForKey(PHFSItem::RequireUserKey, required);
    node->setListForKey(PHFSItem::RequireGroupKey, requiredGroups);
    node->writeAccessFile();
    written(node);
}

void PHCtlCommands::address() {
    PHFSItem *node = editableFolder(m_invocation.folder);
    // The address mode and the address check boxes act only on an
    // address-protected folder.
    if (!node->isAddressProtected())
        throw Refusal{QStringLiteral("%1 is not protected by address; choose the mode address, either or "
                                     "both first")
                          .arg(quoted(m_invocation.folder))};
    QStringList additions;
    for (const QString &address : m_invocation.addAddresses) {
        const QString lowerCased = address.toLower();
        const QString refusal = PHEditRules::addressRefusal(lowerCased);
        if (!refusal.isEmpty())
            throw Refusal{refusal};
        additions.append(lowerCased);
    }
    QStringList removals;
    for (const QString &address : m_invocation.removeAddresses) {
        const QString lowerCased = address.toLower();
        if (!m_context.addresses().contains(lowerCased))
            throw Refusal{QStringLiteral("%1 is not a known address").arg(quoted(address))};
        removals.append(lowerCased);
    }

    const bool allow =
        m_invocation.setAllow || m_invocation.setDeny ? m_invocation.setAllow : node->isAllowSet();
    const QString key = allow ? PHFSItem::AllowFromKey : PHFSItem::DenyFromKey;
    QStringList listed = node->listForKey(key);
    for (const QString &address : additions) {
        m_context.addKnownAddress(address);
        if (!listed.contains(address))
            listed.append(address);
    }
    for (const QString &address : removals)
        listed.removeAll(address);
    writeAddresses(node, allow, listed);
}

void PHCtlCommands::writeAddresses(PHFSItem *node, bool allow, const QStringList &listed) {
    const QString key = allow ? PHFSItem::AllowFromKey : PHFSItem::DenyFromKey;
    if (allow == node->isAllowSet() && listed == node->listForKey(key))
        return;
    node->setAllowUnsaved(allow);
    node->setListForKey(key, listed);
    node->writeAccessFile();
    written(node);
}

void PHCtlCommands::apply() {
    PHFSItem *node = editableFolder(m_invocation.folder);
    const PHMode mode = m_invocation.applyMode.value_or(node->mode());
    const bool password = PHProtection::asksPassword(mode);
    const bool address = PHProtection::asksAddress(mode);
    const QStringList users = trimmedAll(m_invocation.applyUsers.value_or(QStringList()));
    const QStringList groups = m_invocation.applyGroups.value_or(QStringList());
    const bool grants = !users.isEmpty() || !groups.isEmpty() || m_invocation.applyAnyUser.value_or(false);
    if (grants && !password)
        throw Refusal{QStringLiteral("%1 would not be protected by password; give --mode password, either or "
                                     "both to let users or groups in")
                          .arg(quoted(m_invocation.folder))};
    if ((m_invocation.applyAllow || m_invocation.applyAddresses) && !address)
        throw Refusal{
            QStringLiteral("%1 would not be protected by address; give --mode address, either or both "
                           "for an address mode or addresses")
                .arg(quoted(m_invocation.folder))};
    checkGrantable(users, groups, true);
    QStringList addresses;
    for (const QString &typed : m_invocation.applyAddresses.value_or(QStringList())) {
        const QString lowerCased = typed.toLower();
        if (const QString refusal = PHEditRules::addressRefusal(lowerCased); !refusal.isEmpty())
            throw Refusal{refusal};
        if (!addresses.contains(lowerCased))
            addresses.append(lowerCased);
    }

    // What is not given stays; a list given grows, or with --exact is replaced.
    const bool exact = m_invocation.exact;
    const QString anyUser = PHFSItem::anyUserRealName;
    QStringList required = node->listForKey(PHFSItem::RequireUserKey);
    if (m_invocation.applyUsers && exact)
        required = required.contains(anyUser) && users.isEmpty() ? QStringList{anyUser} : QStringList();
    // Named users and "Any Valid User" exclude each other.
    for (const QString &user : users)
        required = PHEditRules::requireUser(required, user);
    if (m_invocation.applyAnyUser == false)
        required.removeAll(anyUser);
    if (m_invocation.applyAnyUser.value_or(false))
        required = PHEditRules::requireUser(required, anyUser);
    QStringList requiredGroups = node->listForKey(PHFSItem::RequireGroupKey);
    if (m_invocation.applyGroups)
        requiredGroups = exact ? groups : merged(requiredGroups, groups);
    // The address mode stays as it is; addresses given to a folder that has
    // never had an address check let only them in.
    const bool hadAddressMode = node->authStatus() & PHFSItem::AddressBit;
    const bool allow = m_invocation.applyAllow.value_or(
        hadAddressMode || !m_invocation.applyAddresses ? node->isAllowSet() : true);
    const QString addressKey = allow ? PHFSItem::AllowFromKey : PHFSItem::DenyFromKey;
    // An address mode alone keeps the addresses listed now, in the new mode:
    // it never empties the list. Addresses given join the new mode's own
    // list (a denied address never becomes an allowed one unasked), or with
    // --exact replace it.
    QStringList listed = node->addressArray();
    if (m_invocation.applyAddresses)
        listed = exact ? addresses : merged(node->listForKey(addressKey), addresses);

    // --exact means exact: names in force that are no users or groups (the
    // lists above never hold them) go too, so the file is written.
    const bool unknownStay = !(exact && m_invocation.applyUsers && !unknownInForce(node, false).isEmpty()) &&
                             !(exact && m_invocation.applyGroups && !unknownInForce(node, true).isEmpty());
    const bool unchanged = unknownStay && mode == node->mode() && allow == node->isAllowSet() &&
                           required == node->listForKey(PHFSItem::RequireUserKey) &&
                           requiredGroups == node->listForKey(PHFSItem::RequireGroupKey) &&
                           listed == node->listForKey(addressKey);
    if (!unchanged) {
        for (const QString &known : addresses)
            m_context.addKnownAddress(known);
        node->setListForKey(PHFSItem::RequireUserKey, required);
        node->setListForKey(PHFSItem::RequireGroupKey, requiredGroups);
        node->setListForKey(addressKey, listed);
        node->setAllowUnsaved(allow);
        // Choosing a mode writes the file; otherwise it is written as it is now.
        if (mode != node->mode())
            node->setMode(mode);
        else
            node->writeAccessFile();
        written(node);
    }
    m_output.set(QStringLiteral("folder"), folderDocument(node, m_invocation.folder));
}

void PHCtlCommands::checkGrantable(const QStringList &users, const QStringList &groups, bool letIn) {
    const QStringList known = m_context.userNames();
    for (const QString &user : users) {
        if (!known.contains(user) && !assumedInCheck(user, false))
            throw Refusal{QStringLiteral("No user %1").arg(quoted(user))};
        // Names the server would misread are kept in the user file but never required.
        if (const QString why = PHNameRule::refusal(user, PHNameRule::Kind::User); letIn && !why.isEmpty())
            throw Refusal{QStringLiteral("%1 cannot be let into a folder. %2.").arg(quoted(user), why)};
    }
    const QStringList knownGroups = m_context.groupNames();
    for (const QString &group : groups) {
        if (!knownGroups.contains(group) && !assumedInCheck(group, true))
            throw Refusal{QStringLiteral("No group %1").arg(quoted(group))};
        // "Require group Group 1" names two groups to the server.
        if (const QString why = PHNameRule::refusal(group, PHNameRule::Kind::Group); letIn && !why.isEmpty())
            throw Refusal{
                QStringLiteral("The group %1 cannot be let into a folder. %2; give it a new name first.")
                    .arg(quoted(group), why)};
    }
}

void PHCtlCommands::clear() {
    PHFSItem *node = folder(m_invocation.folder);
    node->deleteAccessFile();
    written(node);
}

QStringList PHCtlCommands::trimmedAll(const QStringList &names) {
    QStringList result;
    for (const QString &name : names)
        result.append(trimmed(name));
    return result;
}

// ------------------------------------------------------------ users

PHUsersModel &PHCtlCommands::users() {
    return *m_context.users();
}
PHGroupsModel &PHCtlCommands::groups() {
    return *m_context.groups();
}

/// The record position of a user, or -1.
qint32 PHCtlCommands::userIndex(const QString &name) {
    return qint32(users().indexOfUser(name));
}

void PHCtlCommands::usersWritten() {
    checkReportedErrors(m_context.location(PHWebRoot::UserFile));
}
void PHCtlCommands::groupsWritten() {
    checkReportedErrors(m_context.location(PHWebRoot::GroupFile));
}

/// The add-user sheet, and the sheet for a new password, in their order.
void PHCtlCommands::setPassword(bool isNew) {
    const QString name = trimmed(m_invocation.name);
    const bool exists = m_userFile ? m_userFile->hasUser() : userIndex(name) >= 0;
    if (!isNew && !exists)
        throw Refusal{QStringLiteral("No user %1").arg(quoted(name))};
    // Only a new name can be taken.
    const bool taken = isNew && (m_userFile ? m_userFile->nameTaken() : users().containsItem(name));
    // "user add" of a user that exists keeps its password, or replaces it
    // only when asked to; either way the name needs no checks.
    const bool existing = taken && exists;
    if (existing && m_invocation.keepPassword) {
        m_output.note(QStringLiteral("%1 exists; its password is kept").arg(quoted(name)));
        return;
    }
    if (const QString refusal = PHEditRules::userNameRefusal(name, isNew && !existing, taken && !existing);
        !refusal.isEmpty())
        throw Refusal{refusal};

    // Only now, so that a bad name is not answered after typing a password twice.
    const auto entry =
        m_passwords.twice(QStringLiteral("Password for %1: ").arg(name), QStringLiteral("Again: "));
    if (!entry)
        throw Failure{{QStringLiteral("The password could not be read from standard input")}};
    if (const QString refusal = PHEditRules::userRefusal(name, isNew && !existing, taken && !existing,
                                                         entry->password, entry->confirmation);
        !refusal.isEmpty())
        throw Refusal{refusal};
    const PHPasswordHash::Scheme scheme = wantedScheme();
    if (exists) {
        // The password already holds, stored as asked: nothing to write.
        const std::optional<QString> stored =
            m_userFile ? m_userFile->hash() : std::optional<QString>(storedHash(userIndex(name)));
        if (stored && PHPasswordHash::verify(entry->password, *stored) &&
            PHPasswordHash::storedSchemeName(*stored) == storedName(scheme)) {
            m_output.note(QStringLiteral("%1 already has this password").arg(quoted(name)));
            return;
        }
        if (isNew && !m_invocation.updatePassword)
            throw Refusal{PHEditRules::uniqueUserNameText};
        isNew = false;
    }
    const QString hash = PHPasswordHash::hash(entry->password, scheme);
    if (hash.isNull())
        throw Refusal{PHEditRules::unusablePasswordText()};
    if (const QString warning = PHPasswordHash::truncationWarning(entry->password, scheme);
        !warning.isEmpty())
        m_output.warn(warning);
    if (isNew)
        warnIfStillRequired(name, PHAccessGrants::Kind::User);
    if (m_userFile) {
        setPasswordInPieces(hash, isNew);
        return;
    }
    if (const qint32 index = userIndex(name); index >= 0) {
        // The record is replaced where it stands: the user keeps its place in
        // the file (no noisy diff) and its groups.
        users().dataArray()[index] = PHUsersModel::userRecord(name, hash);
    } else {
        users().dataArray().append(PHUsersModel::userRecord(name, hash));
        if (PHSettingsStore::instance()->boolForKey(PHSettings::Key::SortUsers))
            users().sortByUsername();
    }
    users().writeUserfile();
    usersWritten();
}

PHPasswordHash::Scheme PHCtlCommands::wantedScheme() const {
    switch (m_invocation.hash) {
    case PHCtlInvocation::Hash::Bcrypt:
        return PHPasswordHash::Scheme::Bcrypt;
    case PHCtlInvocation::Hash::Sha512:
        return PHPasswordHash::Scheme::Sha512;
    case PHCtlInvocation::Hash::Des:
        return PHPasswordHash::Scheme::Des;
    case PHCtlInvocation::Hash::Configured:
        break;
    }
    return PHPasswordHash::configuredScheme();
}

void PHCtlCommands::setPasswordInPieces(const QString &hash, bool append) {
    const QString path = m_context.location(PHWebRoot::UserFile);
    QString why;
    if (!m_userFile->setPassword(hash, append, &why)) {
        Log::write(QStringLiteral("could not save the user file %1: %2").arg(path, why));
        m_context.displayError(PHUsersModel::kUserFileWriteError, QStringLiteral("%1: %2").arg(path, why));
    }
    usersWritten();
}

void PHCtlCommands::deleteUser() {
    const QString name = trimmed(m_invocation.name);
    m_output.set(QStringLiteral("folders"), QJsonArray());
    if (m_userFile) {
        deleteUserInPieces(name);
        return;
    }
    // Deleting a user that is not there leaves things as wanted.
    if (userIndex(name) < 0) {
        m_output.note(QStringLiteral("No user %1; nothing to delete").arg(quoted(name)));
        return;
    }
    // Found while the name is still a user; taken out once it is gone, so
    // a failed save of the user file leaves every folder as it was.
    const QList<PHAccessGrants::Folder> folders = grantingFolders(name, PHAccessGrants::Kind::User);
    users().deleteUser(name);
    usersWritten();
    const QStringList failed = removeGrants(folders, name, PHAccessGrants::Kind::User);
    groupsWritten();
    if (!failed.isEmpty())
        throw Failure{failed};
}

void PHCtlCommands::deleteUserInPieces(const QString &name) {
    // The record deleteUser would remove: the first whose name, blanks
    // around it ignored, is this one.
    const std::optional<QString> record = m_userFile->recordName();
    if (!record) {
        m_output.note(QStringLiteral("No user %1; nothing to delete").arg(quoted(name)));
        return;
    }
    // As for the records: the folders are found while the name is still a
    // user, and the groups and folders lose it only once the user file no
    // longer has it, so that a failed save leaves every one as it was.
    const QList<PHAccessGrants::Folder> folders = grantingFolders(name, PHAccessGrants::Kind::User);
    learnUsersRequiredBy(folders);
    const QString path = m_context.location(PHWebRoot::UserFile);
    bool stillAUser = false;
    QString why;
    if (!m_userFile->removeUser(&stillAUser, &why)) {
        Log::write(QStringLiteral("could not save the user file %1: %2").arg(path, why));
        m_context.displayError(PHUsersModel::kUserFileWriteError, QStringLiteral("%1: %2").arg(path, why));
    }
    usersWritten();
    // A later record of the same name is still the user: it keeps its groups.
    if (!stillAUser) {
        m_context.removeListedUser(*record);
        groups().removeUserFromGroups(*record);
        groupsWritten();
    }
    const QStringList failed = removeGrants(folders, name, PHAccessGrants::Kind::User);
    groupsWritten();
    if (!failed.isEmpty())
        throw Failure{failed};
}

// ------------------------------------------------------------ access granted by name

void PHCtlCommands::learnUsersRequiredBy(const QList<PHAccessGrants::Folder> &folders) {
    if (!m_userFile)
        return;
    QStringList names;
    const QStringList known = m_context.userNames();
    for (const PHAccessGrants::Folder &folder : folders)
        if (folder.node && !folder.handManaged)
            for (const QString &name : PHFSItem::requiredUserNames(folder.node->stringValue()))
                if (!known.contains(name) && !names.contains(name))
                    names.append(name);
    if (names.isEmpty())
        return;
    QStringList found;
    if (!m_userFile->findUsers(names, &found))
        throw Failure{
            {QStringLiteral("%1: %2").arg(m_context.location(PHWebRoot::UserFile), m_userFile->error())}};
    if (found.isEmpty())
        return;
    m_context.addListedUsers(found);
    for (const PHAccessGrants::Folder &folder : folders)
        if (folder.node && !folder.handManaged)
            folder.node->parseAccessString();
}

QList<PHAccessGrants::Folder> PHCtlCommands::grantingFolders(const QString &name, PHAccessGrants::Kind kind) {
    QString notWalked;
    QList<PHAccessGrants::Folder> folders =
        PHAccessGrants::foldersRequiring(rootItem(), name, kind, &notWalked);
    if (!notWalked.isEmpty())
        depthLimitReached(QStringLiteral("searched for access files naming %1").arg(quoted(name)), notWalked);
    // Reading the whole tree reports files that cannot be read; they are
    // not the ones this command is about.
    m_reportedSoFar = m_context.reportedErrors().size();
    return folders;
}

QStringList PHCtlCommands::removeGrants(const QList<PHAccessGrants::Folder> &folders, const QString &name,
                                        PHAccessGrants::Kind kind) {
    const PHAccessGrants::Removal removal = PHAccessGrants::removeName(folders, name, kind);
    m_reportedSoFar = m_context.reportedErrors().size();
    for (const QString &folder : removal.changed)
        m_output.note(QStringLiteral("Removed %1 from the access file of %2").arg(quoted(name), folder));
    m_output.set(QStringLiteral("folders"), jsonList(removal.changed));
    for (const QString &folder : removal.leftAlone)
        m_output.warn(
            QStringLiteral("the access file of %1 is edited by hand and still lets %2 in; it was left alone")
                .arg(folder, quoted(name)));
    QStringList failed;
    for (const QString &message : removal.failed)
        failed.append(
            QStringLiteral("%1 is still let in by the access file of %2").arg(quoted(name), message));
    return failed;
}

void PHCtlCommands::warnIfStillRequired(const QString &name, PHAccessGrants::Kind kind) {
    const QList<PHAccessGrants::Folder> folders = grantingFolders(name, kind);
    if (folders.isEmpty())
        return;
    m_output.warn(
        QStringLiteral("%1 is still required by the access files of %2; the new %3 is let in there")
            .arg(quoted(name), PHAccessGrants::joinedFolderNames(folders),
                 kind == PHAccessGrants::Kind::User ? QStringLiteral("user") : QStringLiteral("group")));
}

void PHCtlCommands::listUsers() {
    if (m_userFile) {
        // Read in pieces and said as read: a long list is never held.
        std::shared_ptr<PHUserFileStream> file(std::move(m_userFile));
        if (!m_output.isJson()) {
            if (!file->forEachUser([this](QByteArrayView name, QByteArrayView) {
                    m_out << QLatin1String(name.data(), name.size()) << '\n';
                }))
                throw Failure{
                    {QStringLiteral("%1: %2").arg(m_context.location(PHWebRoot::UserFile), file->error())}};
            return;
        }
        m_output.setStreamedList(
            QStringLiteral("users"),
            [file, path = m_context.location(PHWebRoot::UserFile)](const auto &add, QString *error) {
                const bool read = file->forEachUser([&](QByteArrayView name, QByteArrayView password) {
                    const QString hash = QString::fromLatin1(password);
                    add(QJsonObject{{"name", QString::fromLatin1(name)},
                                    {"hash", PHPasswordHash::storedSchemeName(hash)},
                                    {"weak", PHPasswordHash::isWeak(hash)}});
                });
                if (!read)
                    *error = QStringLiteral("%1: %2").arg(path, file->error());
                return read;
            },
            PHCtl::Failed);
        return;
    }
    const QStringList names = users().userNames();
    if (!m_output.isJson()) {
        for (const QString &name : names)
            m_out << name << '\n';
        return;
    }
    QJsonArray list;
    for (qint32 i = 0; i < names.size(); ++i) {
        const QString hash = storedHash(i);
        list.append(QJsonObject{{"name", names.at(i)},
                                {"hash", PHPasswordHash::storedSchemeName(hash)},
                                {"weak", PHPasswordHash::isWeak(hash)}});
    }
    m_output.set(QStringLiteral("users"), list);
}

QString PHCtlCommands::storedHash(qint32 index) {
    return users().dataArray().at(index).toMap().value(PHUsersModel::passwordKey).toString();
}

void PHCtlCommands::checkPassword() {
    const QString name = trimmed(m_invocation.name);
    // The server checks the hash alone, not a full name after a second colon.
    QString stored;
    if (m_userFile) {
        if (!m_userFile->hasUser())
            throw Refusal{QStringLiteral("No user %1").arg(quoted(name))};
        stored = *m_userFile->hash();
    } else {
        const qint32 index = userIndex(name);
        if (index < 0)
            throw Refusal{QStringLiteral("No user %1").arg(quoted(name))};
        stored = storedHash(index);
        stored.truncate(stored.indexOf(QLatin1Char(':')));
    }
    const std::optional<QString> password = m_passwords.once(QStringLiteral("Password for %1: ").arg(name));
    if (!password)
        throw Failure{{QStringLiteral("The password could not be read from standard input")}};
    if (!PHPasswordHash::verify(*password, stored))
        throw Refusal{QStringLiteral("The password of %1 does not match").arg(quoted(name))};
    if (m_output.isJson()) {
        m_output.set(QStringLiteral("user"), name);
        m_output.set(QStringLiteral("matches"), true);
        return;
    }
    m_out << "The password of " << quoted(name) << " matches\n";
}

void PHCtlCommands::auditUsers() {
    qsizetype weak = 0;
    qsizetype count = 0;
    QJsonArray weakUsers;
    const auto audit = [&](const QString &name, const QString &hash) {
        ++count;
        if (!PHPasswordHash::isWeak(hash))
            return;
        if (m_output.isJson())
            weakUsers.append(QJsonObject{{"name", name}, {"hash", PHPasswordHash::storedSchemeName(hash)}});
        else
            m_out << name << ": " << PHPasswordHash::storedSchemeName(hash) << '\n';
        ++weak;
    };
    if (m_userFile) {
        // Read in pieces and said as read; --json reads the file twice, to
        // count and then to list the weak ones as the document is printed.
        const bool json = m_output.isJson();
        if (!m_userFile->forEachUser([&](QByteArrayView name, QByteArrayView password) {
                const QString hash = QString::fromLatin1(password);
                if (json) {
                    ++count;
                    weak += PHPasswordHash::isWeak(hash) ? 1 : 0;
                } else {
                    audit(QString::fromLatin1(name), hash);
                }
            }))
            throw Failure{
                {QStringLiteral("%1: %2").arg(m_context.location(PHWebRoot::UserFile), m_userFile->error())}};
        if (json) {
            std::shared_ptr<PHUserFileStream> file(std::move(m_userFile));
            m_output.setStreamedList(
                QStringLiteral("weak"),
                [file, path = m_context.location(PHWebRoot::UserFile)](const auto &add, QString *error) {
                    const bool read = file->forEachUser([&](QByteArrayView name, QByteArrayView password) {
                        const QString hash = QString::fromLatin1(password);
                        if (PHPasswordHash::isWeak(hash))
                            add(QJsonObject{{"name", QString::fromLatin1(name)},
                                            {"hash", PHPasswordHash::storedSchemeName(hash)}});
                    });
                    if (!read)
                        *error = QStringLiteral("%1: %2").arg(path, file->error());
                    return read;
                },
                PHCtl::Failed);
        }
    } else {
        const QStringList names = users().userNames();
        for (qint32 i = 0; i < names.size(); ++i)
            audit(names.at(i), storedHash(i));
    }
    m_output.set(QStringLiteral("users"), static_cast<qint64>(count));
    if (!m_output.hasStreamedList())
        m_output.set(QStringLiteral("weak"), weakUsers);
    if (weak > 0)
        throw Refusal{QStringLiteral("%1 of %2 users have a weak password hash; give them new passwords with "
                                     "\"portholdctl user passwd NAME\"")
                          .arg(weak)
                          .arg(count)};
}

// ------------------------------------------------------------ groups

PHUserItem::Ptr PHCtlCommands::existingGroup(const QString &name) {
    return groups().groupNamed(name);
}

PHUserItem *PHCtlCommands::group(const QString &name) {
    if (const PHUserItem::Ptr item = existingGroup(name))
        return item.get();
    throw Refusal{QStringLiteral("No group %1").arg(quoted(name))};
}

PHUserItem *PHCtlCommands::member(PHUserItem *group, const QString &user) {
    for (const PHUserItem::Ptr &item : group->children())
        if (item->value() == user)
            return item.get();
    return nullptr;
}

/// A user who can join a group: one of the user file.
QString PHCtlCommands::knownUser(const QString &user) {
    QString name = trimmed(user);
    if (!m_context.userNames().contains(name) && !assumedInCheck(name, false))
        throw Refusal{QStringLiteral("No user %1").arg(quoted(name))};
    return name;
}

void PHCtlCommands::addGroup() {
    // The outline's name check on the typed text, then its clean-up.
    const QString typed = m_invocation.name;
    const QString name = PHEditRules::cleanGroupName(typed);
    // A group of this very name is no taken name: the members it lacks join it.
    const PHUserItem::Ptr existing = existingGroup(name);
    if (const QString refusal = PHEditRules::groupNameRefusal(
            typed,
            [this, &existing](const QString &taken) { return !existing && groups().containsItem(taken); });
        !refusal.isEmpty())
        throw Refusal{refusal};
    QStringList members;
    for (const QString &user : m_invocation.members) {
        const QString known = knownUser(user);
        if (!members.contains(known))
            members.append(known);
    }
    if (existing) {
        setMembers(existing, members);
        return;
    }

    warnIfStillRequired(name, PHAccessGrants::Kind::Group);
    groups().addNewGroup(name);
    groups().setMembers(name, members);
    groupsWritten();
    m_output.set(QStringLiteral("members"), jsonList(members));
}

void PHCtlCommands::setMembers(const PHUserItem::Ptr &item, const QStringList &members) {
    const QStringList current = memberNames(item.get());
    QStringList wanted;
    for (const QString &member : current)
        if (!m_invocation.exact || members.contains(member))
            wanted.append(member);
    for (const QString &user : members)
        if (!wanted.contains(user))
            wanted.append(user);
    m_output.set(QStringLiteral("members"), jsonList(wanted));
    // --exact also takes out members the group file names who are no users.
    if (wanted == current && !(m_invocation.exact && !unknownMembers(item->value()).isEmpty())) {
        m_output.note(QStringLiteral("The group %1 already has these members").arg(quoted(item->value())));
        return;
    }
    groups().setMembers(item->value(), wanted);
    groupsWritten();
}

void PHCtlCommands::deleteGroup() {
    m_output.set(QStringLiteral("folders"), QJsonArray());
    // Deleting a group that is not there leaves things as wanted.
    if (!existingGroup(m_invocation.name)) {
        m_output.note(QStringLiteral("No group %1; nothing to delete").arg(quoted(m_invocation.name)));
        return;
    }
    const QString name = m_invocation.name;
    const QList<PHAccessGrants::Folder> folders = grantingFolders(name, PHAccessGrants::Kind::Group);
    learnUsersRequiredBy(folders);
    groups().deleteGroup(name);
    groupsWritten();
    const QStringList failed = removeGrants(folders, name, PHAccessGrants::Kind::Group);
    if (!failed.isEmpty())
        throw Failure{failed};
}

void PHCtlCommands::addMember() {
    PHUserItem *item = group(m_invocation.name);
    const QString user = knownUser(m_invocation.member);
    // A member already: nothing to do.
    if (member(item, user)) {
        m_output.note(
            QStringLiteral("%1 is already a member of %2").arg(quoted(user), quoted(item->value())));
        return;
    }
    groups().setMembers(item->value(), memberNames(item) << user);
    groupsWritten();
}

void PHCtlCommands::removeMember() {
    PHUserItem *item = group(m_invocation.name);
    const QString user = trimmed(m_invocation.member);
    if (!member(item, user)) {
        m_output.note(QStringLiteral("%1 is not a member of %2").arg(quoted(user), quoted(item->value())));
        return;
    }
    groups().removeMember(item->value(), user);
    groupsWritten();
}

void PHCtlCommands::listGroups() {
    if (m_output.isJson()) {
        QJsonArray list;
        for (const PHUserItem::Ptr &item : groups().rootArray())
            list.append(QJsonObject{{"name", item->value()},
                                    {"members", jsonList(memberNames(item.get()))},
                                    {"unknown_members", jsonList(unknownMembers(item->value()))}});
        m_output.set(QStringLiteral("groups"), list);
        return;
    }
    for (const PHUserItem::Ptr &item : groups().rootArray()) {
        QStringList members;
        for (const PHUserItem::Ptr &m : item->children())
            members.append(m->value());
        m_out << item->value() << ':'
              << (members.isEmpty() ? QString() : QLatin1Char(' ') + members.join(' '));
        // Named in the file, no users: shown apart, so no script takes them as members.
        if (const QStringList unknown = unknownMembers(item->value()); !unknown.isEmpty())
            m_out << " (unknown: " << unknown.join(' ') << ')';
        m_out << '\n';
    }
}
