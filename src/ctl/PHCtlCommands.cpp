#include "ctl/PHCtlCommands.h"

#include "ctl/PHCtl.h"
#include "ctl/PHHeadlessContext.h"
#include "model/PHAccessCheck.h"
#include "model/PHAccessGrants.h"
#include "model/PHEditRules.h"
#include "model/PHEffectiveAccess.h"
#include "model/PHFSItem.h"
#include "model/PHGroupsDataSource.h"
#include "model/PHNameRule.h"
#include "model/PHPasswordHash.h"
#include "model/PHSettings.h"
#include "model/PHUserItem.h"
#include "model/PHUsersDataSource.h"
#include "platform/Log.h"
#include "support/PHAtomicFile.h"
#include "support/PHExtensions.h"
#include "support/PHUserDefaults.h"

#include <QDir>
#include <QFileInfo>
#include <QTextStream>

#include <algorithm>

namespace {

using Command = PHCtlInvocation::Command;

QString quoted(const QString &text) {
    return QLatin1Char('"') + text + QLatin1Char('"');
}

QString trimmed(const QString &name) {
    return PHString::stringByRemovingSurroundingWhitespace(name);
}

} // namespace

PHCtlCommands::PHCtlCommands(PHHeadlessContext &context, QTextStream &out, QTextStream &err,
                             Passwords passwords, std::optional<PHUserFileBytes> userFile)
    : m_context(context), m_out(out), m_err(err), m_passwords(std::move(passwords)),
      m_userFile(std::move(userFile)) {
}

PHCtlCommands::~PHCtlCommands() = default;

void PHCtlCommands::execute(const PHCtlInvocation &invocation) {
    m_invocation = invocation;
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
    for (qsizetype i = m_reportedSoFar; i < codes.size(); ++i)
        failure.messages.append(QStringLiteral("%1: %2").arg(file, m_context.errorMessage(codes.at(i))));
    m_reportedSoFar = codes.size();
    throw failure;
}

// ------------------------------------------------------------ folders

PHFSItem *PHCtlCommands::rootItem() {
    if (!m_root)
        m_root = std::make_unique<PHFSItem>(m_context.webRoot(), nullptr);
    return m_root.get();
}

/// The node of a folder given relative to the web root, selected as the
/// panel's folder so the model's edits act on it.
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
            if (child->relativePath() == part)
                next = child;
        if (!next)
            throw Refusal{QStringLiteral("No folder %1 below the web root %2")
                              .arg(quoted(relative), m_context.webRoot())};
        node = next;
    }
    m_context.select(node);
    // Listing reads the access files of every folder on the way; only the
    // one asked about matters here.
    m_reportedSoFar = m_context.reportedErrors().size();
    if (node->isUnreadable())
        throw Failure{
            {QStringLiteral("%1: the access file cannot be read; it is left alone").arg(node->accessPath())}};
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
        m_err << "portholdctl: warning: " << warning << '\n';
}

void PHCtlCommands::tree() {
    PHFSItem *root = rootItem();
    QSet<QString> ancestors;
    printTree(root, QStringLiteral("."), 0, ancestors);
}

void PHCtlCommands::printTree(PHFSItem *node, const QString &name, int depth, QSet<QString> &ancestors) {
    m_out << QString(depth * 2, QLatin1Char(' ')) << name << '\t' << PHFSItem::modeName(node->modeIndex());
    // Protection that comes from a folder above shows beside the folder's own mode.
    const QString inherited = node->effectiveAccess().inheritedNote();
    if (!inherited.isEmpty())
        m_out << "\t[" << inherited << ']';
    if (node->isHandManaged())
        m_out << "\t[hand-managed]";
    m_out << '\n';
    // A link to a folder above would make the tree endless.
    const QString canonical = QFileInfo(node->fullPath()).canonicalFilePath();
    if (ancestors.contains(canonical))
        return;
    ancestors.insert(canonical);
    for (PHFSItem *child : node->children())
        printTree(child, child->relativePath(), depth + 1, ancestors);
    ancestors.remove(canonical);
}

void PHCtlCommands::show() {
    PHFSItem *node = folder(m_invocation.folder);
    const auto list = [node](const QString &key) { return node->listForKey(key).join(QLatin1Char(' ')); };
    m_out << "Folder: " << node->fullPath() << '\n'
          << "Mode: " << PHFSItem::modeName(node->modeIndex()) << '\n'
          << "Disabled: " << (node->isAuthenticationDisabled() ? "yes" : "no") << '\n'
          << "Address mode: " << (node->isAllowSet() ? "allow" : "deny") << '\n'
          << "Required users: " << list(PHFSItem::RequireUserKey) << '\n'
          << "Required groups: " << list(PHFSItem::RequireGroupKey) << '\n'
          << "Allow from: " << list(PHFSItem::AllowFromKey) << '\n'
          << "Deny from: " << list(PHFSItem::DenyFromKey) << '\n';
    if (node->isHandManaged())
        m_out << "Hand-managed: yes: " << PHFSItem::handManagedMessage << " ("
              << node->handManagedReasons().join(QStringLiteral("; ")) << ")\n";
    const PHEffectiveAccess effective = node->effectiveAccess();
    m_out << "Effective:\n";
    for (const QString &line : effective.lines())
        m_out << "  " << line << '\n';
    if (const QString warning = effective.thisComputerWarning(); !warning.isEmpty())
        m_out << "Warning: " << warning << '\n';
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
        if (!m_context.userArray().contains(m_invocation.name))
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
        PHUserDefaults *settings = PHUserDefaults::standardUserDefaults();
        base =
            QStringLiteral("%1://%2/")
                .arg(settings->stringForKey(PHSettings::Key::SiteProtocol).value_or(QStringLiteral("http")),
                     settings->stringForKey(PHSettings::Key::SiteAddress)
                         .value_or(QStringLiteral("localhost")));
        const QString home = QDir::homePath();
        if (QDir(m_context.webRoot()) == QDir(QDir(home).filePath(QStringLiteral("public_html"))))
            base += QStringLiteral("~%1/").arg(QFileInfo(home).fileName());
    }
    QString errorLog = m_invocation.errorLog;
    if (errorLog.isEmpty() && QFileInfo(QStringLiteral("/var/log/apache2/error.log")).isReadable())
        errorLog = QStringLiteral("/var/log/apache2/error.log");

    m_out << "Folder: " << node->fullPath() << '\n' << "Effective:\n";
    for (const QString &line : node->effectiveAccess().lines())
        m_out << "  " << line << '\n';
    const PHAccessCheck::Report report =
        PHAccessCheck::run(node, base, m_invocation.name, password, errorLog);
    for (const QString &line : report.lines())
        m_out << line << '\n';
    throw Outcome{!report.reachable ? PHCtl::Unreachable : report.agrees() ? PHCtl::Success : PHCtl::Differs};
}

void PHCtlCommands::mode() {
    PHFSItem *node = editableFolder(m_invocation.folder);
    node->setModeIndex(m_invocation.modeIndex);
    written(node);
}

void PHCtlCommands::require(bool add) {
    PHFSItem *node = editableFolder(m_invocation.folder);
    // The check boxes of users and groups act only on a password-protected folder.
    if (!node->isPasswordProtected())
        throw Refusal{QStringLiteral("%1 is not protected by password; choose the mode password, either or "
                                     "both first")
                          .arg(quoted(m_invocation.folder))};
    const QStringList known = m_context.userArray();
    const QStringList users = trimmedAll(m_invocation.users);
    for (const QString &user : users) {
        if (!known.contains(user))
            throw Refusal{QStringLiteral("No user %1").arg(quoted(user))};
        // Names the server would misread are kept in the user file but never required.
        const QString why = PHNameRule::refusal(user, PHNameRule::Kind::User);
        if (add && !why.isEmpty())
            throw Refusal{QStringLiteral("%1 cannot be let into a folder. %2.").arg(quoted(user), why)};
    }
    const QStringList groups = m_context.groupArray();
    for (const QString &group : m_invocation.groups) {
        if (!groups.contains(group))
            throw Refusal{QStringLiteral("No group %1").arg(quoted(group))};
        // "Require group Group 1" names two groups to the server.
        const QString why = PHNameRule::refusal(group, PHNameRule::Kind::Group);
        if (add && !why.isEmpty())
            throw Refusal{
                QStringLiteral("The group %1 cannot be let into a folder. %2; give it a new name first.")
                    .arg(quoted(group), why)};
    }

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

    const bool listChanges = !additions.isEmpty() || !removals.isEmpty();
    if (m_invocation.setAllow || m_invocation.setDeny) {
        node->setAllow(m_invocation.setAllow);
        if (listChanges)
            checkReportedErrors(node->accessPath());
        else
            written(node);
    }
    if (!listChanges)
        return;
    for (const QString &address : additions)
        m_context.addKnownAddress(address);
    QStringList listed = node->addressArray();
    for (const QString &address : additions)
        if (!listed.contains(address))
            listed.append(address);
    for (const QString &address : removals)
        listed.removeAll(address);
    node->setAddressArray(listed);
    node->writeAccessFile();
    written(node);
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

PHUsersDataSource &PHCtlCommands::users() {
    return *m_context.users();
}
PHGroupsDataSource &PHCtlCommands::groups() {
    return *m_context.groups();
}

/// The record position of a user, or -1.
qint32 PHCtlCommands::userIndex(const QString &name) {
    const QStringList names = users().userNames();
    for (qint32 i = 0; i < names.size(); ++i)
        if (trimmed(names.at(i)) == name)
            return i;
    return -1;
}

void PHCtlCommands::usersWritten() {
    checkReportedErrors(PHUsersDataSource::userfilePath());
}
void PHCtlCommands::groupsWritten() {
    checkReportedErrors(PHGroupsDataSource::groupfilePath());
}

/// The add-user sheet, and the sheet for a new password, in their order.
void PHCtlCommands::setPassword(bool isNew) {
    const QString name = trimmed(m_invocation.name);
    const bool exists = m_userFile ? m_userFile->hasUser(name) : userIndex(name) >= 0;
    if (!isNew && !exists)
        throw Refusal{QStringLiteral("No user %1").arg(quoted(name))};
    // Only a new name can be taken (and with the user file's bytes there are no records).
    const bool taken = isNew && users().containsItem(name);
    if (const QString refusal = PHEditRules::userNameRefusal(name, isNew, taken); !refusal.isEmpty())
        throw Refusal{refusal};

    // Only now, so that a bad name is not answered after typing a password twice.
    const auto entry =
        m_passwords.twice(QStringLiteral("Password for %1: ").arg(name), QStringLiteral("Again: "));
    if (!entry)
        throw Failure{{QStringLiteral("The password could not be read from standard input")}};
    if (const QString refusal =
            PHEditRules::userRefusal(name, isNew, taken, entry->password, entry->confirmation);
        !refusal.isEmpty())
        throw Refusal{refusal};
    const PHPasswordHash::Scheme scheme = PHPasswordHash::configuredScheme();
    const QString hash = PHPasswordHash::hash(entry->password, scheme);
    if (hash.isNull())
        throw Refusal{PHEditRules::unusablePasswordText()};
    if (const QString warning = PHPasswordHash::truncationWarning(entry->password, scheme);
        !warning.isEmpty())
        m_err << "portholdctl: warning: " << warning << '\n';

    if (isNew)
        warnIfStillRequired(name, PHAccessGrants::Kind::User);
    if (m_userFile) {
        replacePasswordInOnePass(name, hash);
        return;
    }
    users().dataArray().append(PHUsersDataSource::userRecord(name, hash));
    if (PHUserDefaults::standardUserDefaults()->boolForKey(PHSettings::Key::SortUsers))
        users().sortByUsername();
    if (isNew) {
        users().writeUserfile();
    } else {
        // The old record goes as a replacement, so the user keeps its
        // groups. A stable sort keeps it before the new one.
        users().tableViewDeleteRowReplace(nullptr, userIndex(name) + 1, true);
    }
    usersWritten();
}

void PHCtlCommands::replacePasswordInOnePass(const QString &name, const QString &hash) {
    const QString path = PHUsersDataSource::userfilePath();
    const std::optional<QByteArray> text = m_userFile->replacingPassword(name, hash);
    QString why = QStringLiteral("the new record would not read back");
    if (!text || !PHAtomicFile::write(path, *text, &why)) {
        Log::write(QStringLiteral("Porthold: could not save the user file %1: %2").arg(path, why));
        m_context.displayError(PHUsersDataSource::kUserFileWriteError);
    }
    usersWritten();
}

void PHCtlCommands::deleteUser() {
    const QString name = trimmed(m_invocation.name);
    const qint32 index = userIndex(name);
    if (index < 0)
        throw Refusal{QStringLiteral("No user %1").arg(quoted(name))};
    // Found while the name is still a user; taken out once it is gone, so
    // a failed save of the user file leaves every folder as it was.
    const QList<PHAccessGrants::Folder> folders = grantingFolders(name, PHAccessGrants::Kind::User);
    users().tableViewDeleteRowReplace(nullptr, index + 1, false);
    usersWritten();
    const QStringList failed = removeGrants(folders, name, PHAccessGrants::Kind::User);
    groupsWritten();
    if (!failed.isEmpty())
        throw Failure{failed};
}

// ------------------------------------------------------------ access granted by name

QList<PHAccessGrants::Folder> PHCtlCommands::grantingFolders(const QString &name, PHAccessGrants::Kind kind) {
    const QList<PHAccessGrants::Folder> folders = PHAccessGrants::foldersRequiring(rootItem(), name, kind);
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
        m_out << "Removed " << quoted(name) << " from the access file of " << folder << '\n';
    for (const QString &folder : removal.leftAlone)
        m_err << "portholdctl: warning: the access file of " << folder << " is edited by hand and still lets "
              << quoted(name) << " in; it was left alone\n";
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
    m_err << "portholdctl: warning: " << quoted(name) << " is still required by the access files of "
          << PHAccessGrants::joinedFolderNames(folders) << "; the new "
          << (kind == PHAccessGrants::Kind::User ? "user" : "group") << " is let in there\n";
}

void PHCtlCommands::listUsers() {
    for (const QString &name : users().userNames())
        m_out << name << '\n';
}

QString PHCtlCommands::storedHash(qint32 index) {
    return users().dataArray().at(index).toMap().value(PHUsersDataSource::passwordKey).toString();
}

void PHCtlCommands::checkPassword() {
    const QString name = trimmed(m_invocation.name);
    const qint32 index = userIndex(name);
    if (index < 0)
        throw Refusal{QStringLiteral("No user %1").arg(quoted(name))};
    const std::optional<QString> password = m_passwords.once(QStringLiteral("Password for %1: ").arg(name));
    if (!password)
        throw Failure{{QStringLiteral("The password could not be read from standard input")}};
    if (!PHPasswordHash::verify(*password, storedHash(index)))
        throw Refusal{QStringLiteral("The password of %1 does not match").arg(quoted(name))};
    m_out << "The password of " << quoted(name) << " matches\n";
}

void PHCtlCommands::auditUsers() {
    const QStringList names = users().userNames();
    qsizetype weak = 0;
    for (qint32 i = 0; i < names.size(); ++i) {
        const QString hash = storedHash(i);
        if (!PHPasswordHash::isWeak(hash))
            continue;
        m_out << names.at(i) << ": " << PHPasswordHash::storedSchemeName(hash) << '\n';
        ++weak;
    }
    if (weak > 0)
        throw Refusal{QStringLiteral("%1 of %2 users have a weak password hash; give them new passwords with "
                                     "\"portholdctl user passwd NAME\"")
                          .arg(weak)
                          .arg(names.size())};
}

// ------------------------------------------------------------ groups

PHUserItem *PHCtlCommands::group(const QString &name) {
    for (const PHUserItem::Ptr &item : groups().rootArray())
        if (item->value() == name)
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
    const QString name = trimmed(user);
    if (!m_context.userArray().contains(name))
        throw Refusal{QStringLiteral("No user %1").arg(quoted(name))};
    return name;
}

void PHCtlCommands::addGroup() {
    // The outline's name check on the typed text, then its clean-up.
    const QString typed = m_invocation.name;
    if (const QString refusal = PHEditRules::groupNameRefusal(
            typed, [this](const QString &name) { return groups().containsItem(name); });
        !refusal.isEmpty())
        throw Refusal{refusal};
    const QString name = PHEditRules::cleanGroupName(typed);
    QStringList members;
    for (const QString &user : m_invocation.members) {
        const QString known = knownUser(user);
        if (!members.contains(known))
            members.append(known);
    }

    warnIfStillRequired(name, PHAccessGrants::Kind::Group);
    PHUserItem::Ptr item = groups().addNewGroup(name);
    for (const QString &user : members)
        item->children().append(PHUserItem::itemWithValueParentChildren(user, item, std::nullopt));
    groups().writeGroupfile();
    groupsWritten();
}

void PHCtlCommands::deleteGroup() {
    PHUserItem *item = group(m_invocation.name);
    const QString name = item->value();
    const QList<PHAccessGrants::Folder> folders = grantingFolders(name, PHAccessGrants::Kind::Group);
    groups().outlineViewDeleteRowForItem(nullptr, item);
    groupsWritten();
    const QStringList failed = removeGrants(folders, name, PHAccessGrants::Kind::Group);
    if (!failed.isEmpty())
        throw Failure{failed};
}

void PHCtlCommands::addMember() {
    PHUserItem *item = group(m_invocation.name);
    const QString user = knownUser(m_invocation.member);
    // As a drop onto the group: refused when the user is a member already.
    if (member(item, user))
        throw Refusal{
            QStringLiteral("%1 is already a member of %2").arg(quoted(user), quoted(item->value()))};
    PHUserItem::Ptr self;
    for (const PHUserItem::Ptr &candidate : groups().rootArray())
        if (candidate.get() == item)
            self = candidate;
    item->children().append(PHUserItem::itemWithValueParentChildren(user, self, std::nullopt));
    groups().writeGroupfile();
    groupsWritten();
}

void PHCtlCommands::removeMember() {
    PHUserItem *item = group(m_invocation.name);
    const QString user = trimmed(m_invocation.member);
    PHUserItem *found = member(item, user);
    if (!found)
        throw Refusal{QStringLiteral("%1 is not a member of %2").arg(quoted(user), quoted(item->value()))};
    groups().outlineViewDeleteRowForItem(nullptr, found);
    groupsWritten();
}

void PHCtlCommands::listGroups() {
    for (const PHUserItem::Ptr &item : groups().rootArray()) {
        QStringList members;
        for (const PHUserItem::Ptr &m : item->children())
            members.append(m->value());
        m_out << item->value() << ':'
              << (members.isEmpty() ? QString() : QLatin1Char(' ') + members.join(' ')) << '\n';
    }
}
