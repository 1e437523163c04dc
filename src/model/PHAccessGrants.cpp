#include "model/PHAccessGrants.h"

#include "model/PHAuthFiles.h"
#include "model/PHEffectiveAccess.h"
#include "model/PHFSItem.h"
#include "support/PHFileName.h"
#include "support/PHWebTreeFile.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

#include <algorithm>

#include <sys/stat.h>

namespace {

QString keyFor(PHAccessGrants::Kind kind) {
    return kind == PHAccessGrants::Kind::User ? PHFSItem::RequireUserKey : PHFSItem::RequireGroupKey;
}

void collect(PHFSItem *node, const QString &rootPath, const QString &name, PHAccessGrants::Kind kind,
             QSet<QString> &visited, QList<PHAccessGrants::Folder> &found, QString *notWalked) {
    // A link back up the tree, or a second way to the same folder, is walked
    // once. Told apart by device and inode, from the descriptor the walk
    // opened from the parent's.
    dev_t device = 0;
    ino_t inode = 0;
    if (!PHWebTreeFile::folderIdentity(rootPath, node->fullPath(), &device, &inode))
        return;
    const QString identity = QStringLiteral("%1:%2").arg(quint64(device)).arg(quint64(inode));
    if (visited.contains(identity))
        return;
    visited.insert(identity);
    const auto relative = [&] {
        const QString path = QDir(rootPath).relativeFilePath(node->fullPath());
        return path.isEmpty() ? QStringLiteral(".") : path;
    };
    if (PHAccessGrants::textRequires(node->stringValue(), name, kind))
        found.append({node, relative(), node->isHandManaged()});
    for (PHFSItem *child : node->children())
        collect(child, rootPath, name, kind, visited, found, notWalked);
    // The walk ends at the depth limit: said, so that folders below it are
    // not taken for searched.
    if (node->isBeyondDepthLimit() && notWalked && notWalked->isEmpty())
        *notWalked = relative();
}

} // namespace

namespace {

// Whether a rule, or one inside it, lets the name in by name.
bool ruleRequires(const PHEffectiveAccess::Rule &rule, const QString &name, PHAccessGrants::Kind kind) {
    using RuleKind = PHEffectiveAccess::Rule::Kind;
    if (rule.isContainer())
        return std::any_of(
            rule.children.cbegin(), rule.children.cend(),
            [&](const PHEffectiveAccess::Rule &child) { return ruleRequires(child, name, kind); });
    if (rule.negated)
        return false;
    if (kind == PHAccessGrants::Kind::User)
        return rule.kind == RuleKind::User && rule.arguments.contains(name);
    // The server compares group names without regard to case.
    return rule.kind == RuleKind::Group &&
           std::any_of(rule.arguments.cbegin(), rule.arguments.cend(),
                       [&](const QString &group) { return PHGroupFile::sameGroup(group, name); });
}

} // namespace

bool PHAccessGrants::textRequires(const QString &accessText, const QString &name, Kind kind) {
    // Read as the server reads it: words, quotes, continued lines, containers.
    const PHEffectiveAccess::Section section = PHEffectiveAccess::parse(accessText);
    return std::any_of(section.requires_.cbegin(), section.requires_.cend(),
                       [&](const PHEffectiveAccess::Rule &rule) { return ruleRequires(rule, name, kind); });
}

QList<PHAccessGrants::Folder> PHAccessGrants::foldersRequiring(PHFSItem *root, const QString &name, Kind kind,
                                                               QString *notWalked) {
    if (notWalked)
        notWalked->clear();
    QList<Folder> found;
    if (!root || name.isEmpty())
        return found;
    const PHWebTreeFile::Walk walk;
    QSet<QString> visited;
    collect(root, root->fullPath(), name, kind, visited, found, notWalked);
    return found;
}

PHAccessGrants::Removal PHAccessGrants::removeName(const QList<Folder> &folders, const QString &name,
                                                   Kind kind) {
    Removal removal;
    const PHWebTreeFile::Walk walk;
    for (const Folder &folder : folders) {
        PHFSItem *node = folder.node;
        if (!node) {
            removal.failed.append(QStringLiteral("%1: the folder is no longer in the list; look at it again")
                                      .arg(folder.relativePath));
            continue;
        }
        if (node->isHandManaged()) {
            removal.leftAlone.append(folder.relativePath);
            continue;
        }
        QStringList list = node->listForKey(keyFor(kind));
        list.removeAll(name);
        node->setListForKey(keyFor(kind), list);
        // The folder writes and reads its file back; what it read is what counts.
        const bool written = node->writeAccessFileEvenWhenUnprotected();
        if (textRequires(node->stringValue(), name, kind))
            removal.failed.append(QStringLiteral("%1: %2").arg(
                folder.relativePath, written ? QStringLiteral("the rewritten file still names it")
                                             : QStringLiteral("the access file could not be rewritten")));
        else
            removal.changed.append(folder.relativePath);
    }
    return removal;
}

QString PHAccessGrants::joinedFolderNames(const QList<Folder> &folders) {
    QStringList names;
    for (const Folder &folder : folders)
        names.append(folder.relativePath == QLatin1String(".") ? QStringLiteral("the web root")
                                                               : folder.relativePath);
    if (names.size() <= 1)
        return names.join(QString());
    const QString last = names.takeLast();
    return names.join(QStringLiteral(", ")) + QStringLiteral(" and ") + last;
}
