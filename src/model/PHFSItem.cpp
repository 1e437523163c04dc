#include "model/PHFSItem.h"

#include "core/Log.h"
#include "core/NotificationCenter.h"
#include "model/PHAuthFiles.h"
#include "model/PHConfigText.h"
#include "model/PHEffectiveAccess.h"
#include "model/PHModelContext.h"
#include "model/PHServerRules.h"
#include "model/PHWebRoot.h"
#include "support/PHExtensions.h"
#include "support/PHFileName.h"
#include "support/PHPath.h"
#include "support/PHRegex.h"
#include "support/PHTextFile.h"
#include "support/PHWebTreeFile.h"
#include "support/PHWriteJournal.h"
#include "support/PHWriteLock.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QLocale>
#include <QSet>
#include <QVarLengthArray>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// ----- Paths -----

using PHPath::joinPath;
using PHPath::lastPathComponent;

// The expansion-state table lives as long as the process, across trees.
QHash<QString, bool> &expansionStates() {
    static QHash<QString, bool> table;
    return table;
}

// ----- The front end's answers -----

// The user or group file as the server names it, taken once for a walk: it
// reads two settings, and every folder of a tree with a password names the
// user file.
QString serverLocation(const PHModelContext &context, PHWebRoot::PathKind kind) {
    if (!context.locations)
        return {};
    struct Taken {
        quint64 walk = 0;
        const PHLocations *locations = nullptr;
        QString location;
    };
    static Taken taken[2];
    const quint64 walk = PHWebTreeFile::walkNumber();
    Taken *kept =
        kind == PHWebRoot::UserFile ? &taken[0] : (kind == PHWebRoot::GroupFile ? &taken[1] : nullptr);
    if (walk == 0 || !kept)
        return context.serverLocation(kind);
    if (kept->walk != walk || kept->locations != context.locations)
        *kept = Taken{walk, context.locations, context.serverLocation(kind)};
    return kept->location;
}

// ----- Reading -----

// Directives the writer regenerates from the state; the reader drops them.
// Whether the user or group file an access file names is another file than
// the panel's: one that exists and is not the same file. A path that names
// nothing gives the server nothing to check either, and the panel's own
// replaces it.
bool isOtherExistingFile(const QString &named, const QString &ours) {
    if (named == ours || (QDir::isAbsolutePath(named) && QDir::cleanPath(named) == QDir::cleanPath(ours)))
        return false;
    struct stat theirs {
    }, mine{};
    if (::stat(PHFileName::encode(named).constData(), &theirs) != 0)
        return false;
    return ::stat(PHFileName::encode(ours).constData(), &mine) != 0 || theirs.st_dev != mine.st_dev ||
           theirs.st_ino != mine.st_ino;
}

const QStringList &regeneratedDirectives() {
    static const QStringList names{QStringLiteral("authtype"), QStringLiteral("authname"),
                                   QStringLiteral("authuserfile"), QStringLiteral("authgroupfile"),
                                   QStringLiteral("order")};
    return names;
}

// The address that stands for this computer, and the loopback form it also
// covers: a browser reaching "localhost" may come over either.
const QString kThisComputer = QStringLiteral("127.0.0.1"); // PHFSItem::thisComputerAddress
const QString kThisComputerV6 = QStringLiteral("::1");

// Long lists go over several lines (the server refuses a line of more than
// about 8 KB); each line of one directive adds to the same list.
constexpr qsizetype kLineBudget = 2000;

QStringList chunked(const QStringList &names) {
    QStringList lines;
    QString line;
    for (const QString &name : names) {
        if (!line.isEmpty() && line.size() + 1 + name.size() > kLineBudget) {
            lines.append(line);
            line.clear();
        }
        if (!line.isEmpty())
            line += QLatin1Char(' ');
        line += name;
    }
    lines.append(line);
    return lines;
}

bool hasLineBreak(const QString &text) {
    return text.contains(QLatin1Char('\n')) || text.contains(QLatin1Char('\r'));
}

// Names written into a directive must read back as the same single word.
bool isWritableName(const QString &name) {
    if (name.isEmpty())
        return false;
    for (const QChar c : name)
        if (c.isSpace() || c == QLatin1Char('"') || c.category() == QChar::Other_Control)
            return false;
    return true;
}

QStringList writableNames(const QStringList &names) {
    QStringList result;
    for (const QString &name : names)
        if (isWritableName(name))
            result.append(name);
    return result;
}

// Quoted values escape the two characters the server unescapes.
QString quoted(const QString &value) {
    QString escaped = value;
    escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    escaped.replace(QLatin1Char('"'), QLatin1String("\\\""));
    return escaped;
}

QString directiveLine(bool active, const QString &keyword, const QString &value) {
    return QStringLiteral("%1%2 %3\n").arg(active ? QString() : QStringLiteral("#"), keyword, value);
}

// One line per chunk of the list; an empty list still gives one line.
QString listDirectiveLines(bool active, const QString &keyword, const QStringList &names) {
    QString text;
    for (const QString &chunk : chunked(names))
        text += directiveLine(active, keyword, chunk);
    return text;
}

QString quotedDirectiveLine(bool active, const QString &keyword, const QString &value) {
    return QStringLiteral("%1%2 \"%3\"\n")
        .arg(active ? QString() : QStringLiteral("#"), keyword, quoted(value));
}

// QString::compare ignoring case, with ASCII (nearly every name) compared in
// place: for ASCII, ignoring case is folding A-Z to a-z. Where a unit that is
// not ASCII differs, Qt's own comparison of the whole names decides (a
// surrogate folds together with the unit before it).
int compareIgnoringCase(const QString &a, const QString &b) {
    const char16_t *x = QStringView(a).utf16();
    const char16_t *y = QStringView(b).utf16();
    const qsizetype common = std::min(a.size(), b.size());
    for (qsizetype i = 0; i < common; ++i) {
        char16_t p = x[i];
        char16_t q = y[i];
        if (p == q)
            continue;
        if (p >= 0x80 || q >= 0x80)
            return a.compare(b, Qt::CaseInsensitive);
        if (p >= u'A' && p <= u'Z')
            p += u'a' - u'A';
        if (q >= u'A' && q <= u'Z')
            q += u'a' - u'A';
        if (p != q)
            return p < q ? -1 : 1;
    }
    return a.size() == b.size() ? 0 : (a.size() < b.size() ? -1 : 1);
}

// The order a person expects in a folder list, and the same on every file
// system: by name ignoring case, ties broken exactly, as QString compares.
bool inListingOrder(const QString &a, const QString &b) {
    const int folded = compareIgnoringCase(a, b);
    return folded != 0 ? folded < 0 : a.compare(b, Qt::CaseSensitive) < 0;
}

// The first nine units of a name folded as compareIgnoringCase folds ASCII,
// seven bits each, so that two keys that differ compare as the names do; 0
// (no key: no name is empty) when one of those units is not ASCII.
quint64 foldedPrefix(const QString &name) {
    const char16_t *units = QStringView(name).utf16();
    const qsizetype size = name.size();
    quint64 key = 0;
    for (qsizetype i = 0; i < 9; ++i) {
        char16_t unit = i < size ? units[i] : 0;
        if (unit >= 0x80)
            return 0;
        if (unit >= u'A' && unit <= u'Z')
            unit += u'a' - u'A';
        key = key << 7 | unit;
    }
    return key;
}

} // namespace

namespace {

// The path asked for last: a walk asks for a folder's path right after its
// parent's, and a child's path is its parent's and one name more.
struct LastPath {
    const PHFSItem *node = nullptr;
    QString path;
};
LastPath g_lastPath;

// The same for the root of the tree, which a node does not keep (a listed
// folder is kept small).
struct LastRoot {
    const PHFSItem *node = nullptr;
    const PHFSItem *root = nullptr;
};
LastRoot g_lastRoot;

// As fullPath joins each level: one "/" between, none doubled.
void appendLevel(QString &path, const QString &name) {
    if (name.isEmpty())
        return;
    if (!path.endsWith(QLatin1Char('/')))
        path += QLatin1Char('/');
    path += name.startsWith(QLatin1Char('/')) ? QStringView(name).mid(1) : QStringView(name);
}

} // namespace

// ===== Tree =====

PHFSItem::PHFSItem() : PHFSItem(QStringLiteral("/"), nullptr) {
    Log::write(QStringLiteral("Created /"));
}

PHFSItem::PHFSItem(const QString &path, PHFSItem *parent)
    : m_parent(parent), m_depth(parent ? quint16(parent->m_depth + 1) : 0) {
    // A root keeps its whole path, a folder below another its bare name.
    m_name = parent ? lastPathComponent(path) : path;
    if (parent && m_name.isEmpty())
        m_name = QStringLiteral("/");
    if (Log::isRecorded())
        Log::write(QStringLiteral("Created %1").arg(PHFileName::readable(name())));
}

PHFSItem::PHFSItem(Listed, QString name, PHFSItem *parent, bool folder)
    : m_name(std::move(name)), m_parent(parent), m_listedAsFolder(folder),
      m_depth(quint16(parent->m_depth + 1)) {
}

PHFSItem::~PHFSItem() {
    if (m_alive)
        *m_alive = false;
    accessTextChanged();
    if (g_lastPath.node == this)
        g_lastPath = LastPath{};
    if (g_lastRoot.node == this || g_lastRoot.root == this)
        g_lastRoot = LastRoot{};
    const bool recorded = m_deletionRecorded < 0 ? Log::isRecorded() : m_deletionRecorded > 0;
    if (recorded)
        Log::write(QStringLiteral("Dealloced %1").arg(PHFileName::readable(name())));
    if (const std::unique_ptr<QList<PHFSItem *>> children = std::move(m_children))
        deleteNodes(*children, recorded);
}

void PHFSItem::deleteNodes(const QList<PHFSItem *> &nodes, bool recorded) {
    for (PHFSItem *node : nodes) {
        node->m_deletionRecorded = recorded ? 1 : 0;
        delete node;
    }
}

QString PHFSItem::name() const {
    if (m_parent)
        return m_name;
    const QString name = lastPathComponent(m_name);
    return name.isEmpty() ? QStringLiteral("/") : name;
}

QString PHFSItem::fullPath() const {
    if (!m_parent)
        return m_name;
    if (g_lastPath.node == this)
        return g_lastPath.path;
    if (g_lastPath.node == m_parent && !g_lastPath.path.isEmpty()) {
        QString path = g_lastPath.path;
        appendLevel(path, m_name);
        g_lastPath = LastPath{this, path};
        return path;
    }
    // Built once from the top, in place: a deep folder's path is not made
    // again for every level above it.
    const PHFSItem *root = this;
    qsizetype length = 0;
    int levels = 0;
    for (; root->m_parent; root = root->m_parent) {
        length += root->m_name.size() + 1;
        ++levels;
    }
    if (root->m_name.isEmpty())
        return {};
    QVarLengthArray<const QString *, 64> names(levels);
    int i = levels;
    for (const PHFSItem *node = this; node->m_parent; node = node->m_parent)
        names[--i] = &node->m_name;
    // As joinPath joins each level: one "/" between, none doubled.
    QString path;
    path.reserve(root->m_name.size() + length);
    path += root->m_name;
    for (const QString *name : names)
        appendLevel(path, *name);
    g_lastPath = LastPath{this, path};
    return path;
}

void PHFSItem::setContext(const PHModelContext &context) {
    m_context = std::make_unique<PHModelContext>(context);
}

const PHModelContext &PHFSItem::context() const {
    static const PHModelContext none;
    const PHFSItem *root = this;
    while (root->m_parent)
        root = root->m_parent;
    return root->m_context ? *root->m_context : none;
}

int PHFSItem::depth() const {
    return m_depth;
}

QString PHFSItem::treeRootPath() const {
    if (!m_parent)
        return m_name;
    const PHFSItem *root = nullptr;
    if (g_lastRoot.node == this || g_lastRoot.node == m_parent)
        root = g_lastRoot.root;
    else
        for (root = this; root->m_parent;)
            root = root->m_parent;
    g_lastRoot = LastRoot{this, root};
    return root->m_name;
}

QString PHFSItem::accessPath() const {
    return joinPath(fullPath(), QStringLiteral(".htaccess"));
}

PHFSItem *PHFSItem::parent() const {
    return m_parent;
}

const QList<PHFSItem *> &PHFSItem::children() {
    if (m_childrenState == ChildrenState::NotLoaded)
        loadChildren();
    static const QList<PHFSItem *> none;
    return m_children ? *m_children : none;
}

bool PHFSItem::isLeaf() {
    children();
    return m_childrenState == ChildrenState::Leaf;
}

PHFSItem *PHFSItem::childAtIndex(qint32 index) {
    const QList<PHFSItem *> &list = children();
    return index >= 0 && index < list.size() ? list.at(index) : nullptr;
}

qint32 PHFSItem::numberOfChildren() {
    const QList<PHFSItem *> &list = children();
    return m_childrenState == ChildrenState::Leaf ? -1 : static_cast<qint32>(list.size());
}

void PHFSItem::loadChildren() {
    const QString path = fullPath();
    const bool recorded = Log::isRecorded(); // asked once for every node made or deleted here
    if (const std::unique_ptr<QList<PHFSItem *>> old = std::move(m_children))
        deleteNodes(*old, recorded);
    QList<PHFSItem *> children;

    // Opened as a folder or not at all, from the parent's descriptor during a
    // walk: a folder deep down costs one open, not one per level above it.
    struct stat info {};
    const bool listed =
        !path.isEmpty() &&
        PHWebTreeFile::listFolder(
            treeRootPath(), path,
            [&](int descriptor, const char *name, unsigned char type) {
                // The entry's type answers for most file systems; a link (followed)
                // or a file system that leaves the type unknown needs a stat.
                bool isFolder = type == DT_DIR;
                if (type == DT_LNK || type == DT_UNKNOWN) {
                    struct stat entry {};
                    isFolder = ::fstatat(descriptor, name, &entry, 0) == 0 && S_ISDIR(entry.st_mode);
                }
                // Kept byte for byte: a name that is not UTF-8 must still open.
                if (isFolder) {
                    // A folder's link count is two more than its subfolders on most
                    // file systems: room for them all at once (a hint only).
                    if (children.isEmpty() && info.st_nlink > 2)
                        children.reserve(qsizetype(std::min<nlink_t>(info.st_nlink - 2, 1 << 16)));
                    children.append(new PHFSItem(Listed{}, PHFileName::decode(QByteArrayView(name)), this,
                                                 type == DT_DIR));
                }
            },
            &info);
    if (!listed) {
        deleteNodes(children, false);
        children.clear();
    } else {
        // Sorted on keys of the names' starts, which settle most comparisons
        // without reaching the names.
        struct Keyed {
            quint64 key;
            PHFSItem *node;
        };
        std::vector<Keyed> keyed;
        keyed.reserve(size_t(children.size()));
        for (PHFSItem *child : std::as_const(children))
            keyed.push_back(Keyed{foldedPrefix(child->m_name), child});
        std::sort(keyed.begin(), keyed.end(), [](const Keyed &a, const Keyed &b) {
            if (a.key != b.key && a.key != 0 && b.key != 0)
                return a.key < b.key;
            return inListingOrder(a.node->m_name, b.node->m_name);
        });
        for (qsizetype i = 0; i < children.size(); ++i)
            children[i] = keyed[size_t(i)].node;
        if (recorded) // ten thousand folders would make ten thousand lines
            for (const PHFSItem *child : std::as_const(children))
                Log::write(QStringLiteral("Created %1").arg(PHFileName::readable(child->m_name)));
    }
    // The depth limit: the subfolders are known, and said, but not listed.
    m_beyondDepthLimit = !children.isEmpty() && depth() >= kMaxDepth;
    if (m_beyondDepthLimit) {
        deleteNodes(children, false);
        children.clear();
    }
    m_childrenState = children.isEmpty() ? ChildrenState::Leaf : ChildrenState::Loaded;
    if (!children.isEmpty())
        m_children = std::make_unique<QList<PHFSItem *>>(std::move(children));
}

void PHFSItem::saveStateForItem(bool expanded, const PHFSItem *item) {
    if (item)
        expansionStates().insert(item->fullPath(), expanded);
}

bool PHFSItem::expansionStateForItem(const PHFSItem *item) {
    return item && expansionStates().value(item->fullPath(), false);
}

// ===== Access state =====

qint32 PHFSItem::authStatus() const {
    loadAccess();
    qint32 status = access().authStatus;
    if ((status & AllRequiredBit) && !((status & PasswordBit) && (status & AddressBit)))
        status &= ~AllRequiredBit;
    return status;
}

void PHFSItem::setAuthStatusDisable(qint32 status, bool disable) {
    loadAccess();
    AccessState &state = access();
    state.authStatus = status;
    state.isDisabled = disable;
    if (status & PasswordBit) {
        if (!state.auth.contains(RequireUserKey))
            state.auth.insert(RequireUserKey, QStringList());
        if (!state.auth.contains(RequireGroupKey))
            state.auth.insert(RequireGroupKey, QStringList());
    }
    if (status & AddressBit) {
        if (!state.auth.contains(AllowFromKey))
            state.auth.insert(AllowFromKey, QStringList());
        if (!state.auth.contains(DenyFromKey))
            state.auth.insert(DenyFromKey, QStringList());
    }
    writeAccessFile();
}

bool PHFSItem::isPasswordProtected() const {
    loadAccess();
    return (access().authStatus & PasswordBit) && !access().isDisabled;
}

bool PHFSItem::isAddressProtected() const {
    loadAccess();
    return (access().authStatus & AddressBit) && !access().isDisabled;
}

bool PHFSItem::requiresAll() const {
    loadAccess();
    return (access().authStatus & AllRequiredBit) && !access().isDisabled;
}

bool PHFSItem::isAllowSet() const {
    loadAccess();
    return access().auth.value(AllowOrDenyKey).toBool();
}

void PHFSItem::setAllow(bool allow) {
    setAllowUnsaved(allow);
    writeAccessFile();
}

void PHFSItem::setAllowUnsaved(bool allow) {
    loadAccess();
    access().auth.insert(AllowOrDenyKey, allow);
}

PHMode PHFSItem::mode() const {
    loadAccess();
    if (access().isDisabled)
        return PHMode::None;
    const qint32 status = authStatus();
    return status > 3 ? PHMode::Both : static_cast<PHMode>(status);
}

QString PHFSItem::modeName(qint32 modeIndex) {
    const std::optional<PHMode> mode = PHProtection::modeAt(modeIndex);
    return mode ? PHProtection::name(*mode) : QString();
}

void PHFSItem::setMode(PHMode mode) {
    switch (mode) {
    case PHMode::None:
        setAuthStatusDisable(authStatus(), true);
        break;
    case PHMode::Password:
        setAuthStatusDisable(PasswordBit, false);
        break;
    case PHMode::Address:
        setAuthStatusDisable(AddressBit, false);
        break;
    case PHMode::Either:
        setAuthStatusDisable(PasswordBit | AddressBit, false);
        break;
    case PHMode::Both:
        setAuthStatusDisable(PasswordBit | AddressBit | AllRequiredBit, false);
        break;
    }
}

void PHFSItem::setModeIndex(qint32 modeIndex) {
    if (const std::optional<PHMode> mode = PHProtection::modeAt(modeIndex))
        setMode(*mode);
}

QStringList PHFSItem::listForKey(const QString &key) const {
    loadAccess();
    return access().auth.value(key).toStringList();
}

void PHFSItem::setListForKey(const QString &key, const QStringList &list) {
    loadAccess();
    access().auth.insert(key, list);
    // This computer chosen again is both loopback addresses again.
    if (!list.contains(kThisComputer))
        access().loopbackAlone.remove(key);
}

QString PHFSItem::addressKey() const {
    return isAllowSet() ? AllowFromKey : DenyFromKey;
}

QStringList PHFSItem::addressArray() const {
    return listForKey(addressKey());
}

void PHFSItem::setAddressArray(const QStringList &addresses) {
    setListForKey(addressKey(), addresses);
}

bool PHFSItem::isReservedAddress(const QString &address) {
    return PHEditRules::isReservedAddress(address);
}

bool PHFSItem::isAcceptableAddress(const QString &address) {
    return PHEditRules::addressRefusal(address).isEmpty();
}

QString PHFSItem::description() const {
    loadAccess();
    return QStringLiteral("Path: %1\nEnabled? %2\nExpanded? %3\nAuth Mode: %4")
        .arg(accessPath(), access().isDisabled ? QStringLiteral("NO") : QStringLiteral("YES"),
             expansionStateForItem(this) ? QStringLiteral("YES") : QStringLiteral("NO"),
             modeName(modeIndex()));
}

// ===== Reading =====

void PHFSItem::setStringValue(const QString &text) {
    m_accessLoaded = true;
    access().accessText = text;
    accessTextChanged();
    parseAccessString();
    NotificationCenter::defaultCenter().post(AccessFileDidChangeNotification, this);
}

QStringList PHFSItem::requiredUserNames(const QString &accessText) {
    // The lines as parseAccessString reads them.
    QStringList names;
    for (const PHConfigText::Line &line : PHConfigText::lines(accessText)) {
        const bool commented = line.text.startsWith(QLatin1Char('#'));
        const QStringView work = commented ? QStringView(line.text).sliced(1) : QStringView(line.text);
        if (commented && work.startsWith(QLatin1Char('#')))
            continue;
        const QStringList words = PHConfigText::words(work);
        if (PHConfigText::lowerCase(words.value(0)) != QLatin1String("require") ||
            words.value(1) != QLatin1String("user"))
            continue;
        for (const QString &name : words.mid(2))
            if (!names.contains(name))
                names.append(name);
    }
    return names;
}

void PHFSItem::parseAccessString() {
    m_accessLoaded = true;
    AccessState &state = access();
    state.customLines.clear();
    state.auth.clear();
    state.authStatus = AllRequiredBit;
    state.isDisabled = true;
    state.handManaged = false;
    state.handManagedReasons.clear();
    state.authName.clear();
    state.loopbackAlone.clear();
    state.addressesInForce.clear();
    state.authTypeInForce = false;
    // Lines the writer would replace by its own, with another meaning.
    QStringList notOurs;
    std::optional<QString> authNameInForce, authNameCommented;
    // The address entries each list was read from, as the lines gave them.
    QHash<QString, QStringList> addressEntries;

    const PHModelContext &front = context();
    const QStringList users = front.userNames();
    const QStringList groups = front.groupNames();
    QStringList *known = front.names ? &front.names->addresses() : nullptr;
    const bool discover = front.names && front.names->discoversAddresses();

    // Keys whose list came from a line in force. Further lines in force add to
    // it (the server applies them all); a commented line never replaces it.
    QSet<QString> inForce;
    // A list the writer split over several commented lines reads back whole:
    // a commented line adds to the commented line of the same key just above.
    QString lastCommentedKey, previousCommentedKey;
    // Returns whether the list was replaced (false: added to, or not taken).
    auto store = [&](const QString &key, QStringList list, bool commented) {
        bool replaced = true;
        if (commented) {
            if (inForce.contains(key))
                return std::optional<bool>();
            if (key == previousCommentedKey) {
                list = listForKey(key) + list;
                replaced = false;
            }
            lastCommentedKey = key;
        } else if (inForce.contains(key)) {
            list = listForKey(key) + list;
            replaced = false;
        } else {
            inForce.insert(key);
        }
        if (key == RequireUserKey && list.contains(anyUserRealName))
            list = QStringList{anyUserRealName};
        state.auth.insert(key, list);
        return std::optional<bool>(replaced);
    };
    std::optional<bool> satisfyAnyInForce, satisfyAnyCommented;
    auto enable = [&](qint32 bit, bool commented) {
        if (commented)
            return;
        state.authStatus |= bit;
        state.isDisabled = false;
    };

    for (const PHConfigText::Line &line : PHConfigText::lines(state.accessText)) {
        if (line.text.isEmpty())
            continue;

        // A line is a comment only when "#" is its first non-blank character
        // once continued lines are joined, as the server reads it; a "#"
        // further in is part of the line.
        const bool commented = line.text.startsWith(QLatin1Char('#'));
        const QStringView work = commented ? QStringView(line.text).sliced(1) : QStringView(line.text);
        previousCommentedKey = std::exchange(lastCommentedKey, QString());
        // A line that is not ours is kept as written; a comment from its "#".
        const auto keep = [&] {
            state.customLines.append(
                commented && !line.continued() ? line.raw.mid(line.raw.indexOf(QLatin1Char('#'))) : line.raw);
        };

        // The writer's own "##" lines and the directives it regenerates.
        if (commented && work.startsWith(QLatin1Char('#')))
            continue;
        const QStringList words = PHConfigText::words(work);
        const QString directive = PHConfigText::lowerCase(words.value(0));
        if (regeneratedDirectives().contains(directive)) {
            if (!commented && directive == QLatin1String("order") &&
                words.value(1).compare(QLatin1String("deny,allow"), Qt::CaseInsensitive) != 0)
                state.handManaged = true;
            // The realm is the file's own: the next write keeps it.
            if (directive == QLatin1String("authname") && words.size() >= 2)
                (commented ? authNameCommented : authNameInForce) = words.at(1);
            if (!commented && directive == QLatin1String("authtype"))
                state.authTypeInForce = true;
            if (!commented && directive == QLatin1String("authtype") &&
                words.value(1).compare(QLatin1String("basic"), Qt::CaseInsensitive) != 0)
                notOurs.append(
                    QStringLiteral("it asks for %1 authentication, not Basic").arg(words.value(1)));
            // Another user or group file decides who the names are: the
            // panel's would let in other passwords than the server does now.
            if (!commented &&
                (directive == QLatin1String("authuserfile") || directive == QLatin1String("authgroupfile"))) {
                const bool userFile = directive == QLatin1String("authuserfile");
                const QString ours =
                    serverLocation(context(), userFile ? PHWebRoot::UserFile : PHWebRoot::GroupFile);
                const QString named = words.value(1);
                if (isOtherExistingFile(named, ours))
                    notOurs.append(
                        QStringLiteral("its %1 file is %2, not %3")
                            .arg(userFile ? QStringLiteral("user") : QStringLiteral("group"), named, ours));
            }
            continue;
        }

        // Provider names are compared exactly by the server.
        const QString provider = words.value(1);
        if (directive == QLatin1String("require") && provider == anyUserRealName) {
            store(RequireUserKey, QStringList{anyUserRealName}, commented);
            enable(PasswordBit, commented);
            continue;
        }
        if (directive == QLatin1String("require") &&
            (provider == QLatin1String("user") || provider == QLatin1String("group"))) {
            const bool isUser = provider == QLatin1String("user");
            QStringList kept;
            for (const QString &name : words.mid(2)) {
                if (isUser && users.contains(name)) {
                    kept.append(name);
                } else if (!isUser) {
                    // The server compares group names without regard to case;
                    // the panel's spelling is the one kept.
                    for (const QString &group : groups)
                        if (PHGroupFile::sameGroup(group, name) && !kept.contains(group))
                            kept.append(group);
                }
            }
            store(isUser ? RequireUserKey : RequireGroupKey, kept, commented);
            enable(PasswordBit, commented);
            continue;
        }

        if ((directive == QLatin1String("allow") || directive == QLatin1String("deny")) &&
            words.value(1).compare(QLatin1String("from"), Qt::CaseInsensitive) == 0) {
            // Filed under the canonical key whatever letter case the line uses.
            const bool isDeny = directive == QLatin1String("deny");
            QStringList listed;
            // The server compares "all" and host names ignoring case; the
            // known addresses are kept in lower case.
            QStringList entries;
            for (const QString &entry : words.mid(2))
                entries.append(PHConfigText::lowerCase(entry));
            for (const QString &piece : std::as_const(entries)) {
                // This computer's address covers its IPv6 loopback too.
                if (listed.contains(piece) || (piece == kThisComputerV6 && entries.contains(kThisComputer)))
                    continue;
                if (known && known->contains(piece) && isAcceptableAddress(piece)) {
                    listed.append(piece);
                } else if (piece == QLatin1String("all") && isDeny) {
                    state.auth.insert(AllowOrDenyKey, true);
                } else if (known && isAcceptableAddress(piece) &&
                           (!commented || (discover && PHRegex::isMatchedByRegexOptionsInRangeError(
                                                           piece, QStringLiteral("[a-z0-9]"), 0,
                                                           PHRegex::kWholeText, nullptr)))) {
                    // An entry the server enforces is never dropped: it stays
                    // on the folder and joins the known addresses.
                    listed.append(piece);
                    known->append(piece);
                }
            }

            const QString key = isDeny ? DenyFromKey : AllowFromKey;
            if (!commented)
                for (const QString &entry : std::as_const(listed))
                    state.addressesInForce.insert(entry);
            if (const std::optional<bool> replaced = store(key, listed, commented)) {
                if (*replaced)
                    addressEntries[key] = entries;
                else
                    addressEntries[key] += entries;
            }
            enable(AddressBit, commented);
            continue;
        }

        if (directive == QLatin1String("satisfy")) {
            const bool any = words.value(1).compare(QLatin1String("any"), Qt::CaseInsensitive) == 0;
            if (commented)
                satisfyAnyCommented = any;
            else
                satisfyAnyInForce = any; // the last one is the one in force
            continue;
        }

        keep();
    }

    // A Satisfy line in force decides; a commented one only speaks for a
    // folder that has none in force (a disabled folder remembers its mode).
    if (satisfyAnyInForce ? *satisfyAnyInForce : satisfyAnyCommented.value_or(false))
        state.authStatus &= ~AllRequiredBit;
    state.authName = authNameInForce.value_or(authNameCommented.value_or(QString()));
    // An IPv4 loopback listed without the IPv6 one stays alone: the file did
    // not let ::1 in, and an edit of something else must not either.
    for (auto entries = addressEntries.cbegin(); entries != addressEntries.cend(); ++entries)
        if (entries->contains(kThisComputer) && !entries->contains(kThisComputerV6))
            state.loopbackAlone.insert(entries.key());

    // Rules the panel cannot represent make the file hand-managed.
    const PHEffectiveAccess::Section section = PHEffectiveAccess::parse(state.accessText);
    state.handManagedReasons = section.handManagedReasons;
    if (state.handManaged && state.handManagedReasons.isEmpty())
        state.handManagedReasons.append(
            QStringLiteral("its address rules use an order other than deny,allow"));
    state.handManagedReasons += notOurs;
    // Names asked for with no way to ask for a password: the server answers
    // 500 to whoever it would ask. The panel's rewrite would change that
    // answer too, which is not what an edit of the names is for.
    if ((state.authStatus & PasswordBit) && !state.isDisabled && !state.authTypeInForce) {
        bool inherited = false;
        for (const PHFSItem *above = m_parent; above && !inherited; above = above->m_parent) {
            above->loadAccess();
            inherited = above->access().authTypeInForce;
        }
        if (!inherited)
            state.handManagedReasons.append(QStringLiteral(
                "it names users or groups without an AuthType in force, so the server answers 500 "
                "Internal Server Error to them"));
    }
    state.handManaged = !state.handManagedReasons.isEmpty();
}

void PHFSItem::readAccessFirstTime() {
    m_accessLoaded = true;
    access().auth.insert(AllowOrDenyKey, true);
    // The first reading is the node's initial state, not a change to announce.
    // A dry run's pending files are not on disk: the file is looked for first.
    if (PHWriteJournal::isDryRun()) {
        if (hasAccessFile())
            readFromDisk(false);
        return;
    }
    // Read at once (most folders of a walk have one, and a missing file is
    // one failed open): only a file that could not be read is looked for, as
    // a folder reached through a link can have none and still not be read.
    PHTextFile file = PHTextFile::readBelow(treeRootPath(), accessPath());
    if (file.status == PHTextFile::Status::Missing ||
        ((file.status == PHTextFile::Status::Unreadable) && !hasAccessFile()))
        return;
    readFromDisk(false, &file);
}

void PHFSItem::readFromDisk(bool announce, PHTextFile *read) {
    m_accessLoaded = true;
    const PHTextFile file = read ? std::move(*read) : PHTextFile::readBelow(treeRootPath(), accessPath());
    access().unreadable =
        file.status == PHTextFile::Status::Unreadable || file.status == PHTextFile::Status::Undecodable;
    if (access().unreadable)
        Log::write(QStringLiteral("Could not read %1: %2").arg(accessPath(), file.error));
    // The server reads a byte-order mark as part of the first line, and
    // refuses the file: the text keeps it, so the reader sees what the server does.
    QString text = file.ok() ? file.text : QString();
    if (file.ok() && file.byteOrderMark)
        text.prepend(QChar(0xFEFF));
    if (announce) {
        setStringValue(text);
    } else {
        access().accessText = text;
        parseAccessString();
    }
}

// ===== Writing =====

bool PHFSItem::writeAccessFile() {
    return writeAccessFileFrom(false);
}

bool PHFSItem::writeAccessFileEvenWhenUnprotected() {
    return writeAccessFileFrom(true);
}

bool PHFSItem::writeAccessFileFrom(bool evenWhenUnprotected) {
    loadAccess();
    AccessState &state = access();
    if (accessPath().isEmpty())
        return false;
    // Rebuilding a file whose rules we cannot represent would change who gets
    // in. Only the manual editor writes it, and then exactly as typed.
    const bool verbatim = state.handManaged && evenWhenUnprotected;
    if (state.handManaged && !evenWhenUnprotected) {
        failWrite(ErrorAccessFileHandManaged, state.handManagedReasons.join(QStringLiteral("; ")));
        return false;
    }
    if (authStatus() == 0 && !evenWhenUnprotected)
        return true;

    // Held from the last reading to the rename, so that another Porthold
    // writing the same tree waits for this one.
    const PHWriteLock lock(treeRootPath(), QStringLiteral(".htaccess"));
    if (lock.timedOut()) {
        failWrite(ErrorAccessFileWrite, lock.error());
        return false;
    }
    // Replacing a file we could not read would lose what is in it.
    const PHTextFile current = PHTextFile::readBelow(treeRootPath(), accessPath());
    if (current.status == PHTextFile::Status::Unreadable ||
        current.status == PHTextFile::Status::Undecodable) {
        failWrite(ErrorAccessFileUnreadable, current.error);
        return false;
    }
    if (hasLineBreak(serverLocation(context(), PHWebRoot::UserFile)) ||
        hasLineBreak(serverLocation(context(), PHWebRoot::GroupFile))) {
        failWrite(ErrorAccessFileBadPath,
                  QStringLiteral("the user or group file's path contains a line break"));
        return false;
    }

    QString why;
    // Reached from the web root without following links: a link at the
    // access file, or a folder on the way that is one, is refused.
    const QString text = verbatim ? state.accessText : accessFileText();
    if (const QString refusal = serverRefusal(text, verbatim); !refusal.isEmpty()) {
        failWrite(ErrorAccessFileServerRefuses, refusal);
        return false;
    }
    if (!PHWebTreeFile::write(treeRootPath(), accessPath(), text.toUtf8(), &why)) {
        failWrite(ErrorAccessFileWrite, why);
        return false;
    }
    readFromDisk();
    NotificationCenter::defaultCenter().post(AccessFileDidSaveNotification, this);
    return true;
}

QString PHFSItem::serverRefusal(const QString &text, bool verbatim) const {
    if (text.trimmed().isEmpty())
        return {};
    const std::shared_ptr<const PHServerRules> server = PHServerRules::servingRoot(treeRootPath());
    const bool serverRead = server != nullptr;
    // Typed by hand with no configuration to judge it by, the text is the
    // person's own to save.
    if (verbatim && !serverRead)
        return {};
    PHEffectiveAccess::Reading reading;
    if (serverRead) {
        const QString root = PHServerRules::canonicalPath(treeRootPath());
        reading =
            server->readingAt(treePath() == QLatin1String(".") ? root : root + QLatin1Char('/') + treePath());
    }
    const PHEffectiveAccess::Section section = PHEffectiveAccess::parse(text, treePath(), reading);
    if (!section.ignoredNote.isEmpty())
        return section.ignoredNote;
    if (section.errors.isEmpty())
        return {};
    QString why =
        QStringLiteral("the server would refuse it (%1)").arg(section.errors.join(QStringLiteral("; ")));
    if (!reading.overrideOrigin.isEmpty() && why.contains(QLatin1String("not allowed here")))
        why += QStringLiteral(": see AllowOverride in %1").arg(reading.overrideOrigin);
    return why;
}

void PHFSItem::failWrite(qint32 code, const QString &why) {
    Log::write(QStringLiteral("Could not write %1: %2").arg(accessPath(), why));
    // Show what is in force, not what we failed to write.
    readFromDisk();
    context().displayError(code, QStringLiteral("%1: %2").arg(accessPath(), why));
}

QString PHFSItem::accessFileText() const {
    loadAccess();
    AccessState &state = access();
    const bool passwordActive = !state.isDisabled && (state.authStatus & PasswordBit);
    const bool addressActive = !state.isDisabled && (state.authStatus & AddressBit);
    const QStringList users = writableNames(listForKey(RequireUserKey));
    const QStringList groups = writableNames(listForKey(RequireGroupKey));
    const bool allowMode = isAllowSet();

    // Addresses the panel knows, and those the file had in force when it was
    // read (taken off the Addresses list meanwhile, they stay on the folder
    // until they are taken off it).
    const PHModelContext &front = context();
    const QStringList *known = front.names ? &front.names->addresses() : nullptr;
    auto knownAddresses = [&](const QString &key) {
        QStringList result;
        for (const QString &address : listForKey(key))
            if (((known && known->contains(address)) || state.addressesInForce.contains(address)) &&
                isAcceptableAddress(address) && !result.contains(address))
                result.append(address);
        // This computer is reached over IPv4 and IPv6 loopback alike; the two
        // stay on one line, unless the file this came from listed IPv4 alone.
        if (result.contains(kThisComputer) && !state.loopbackAlone.contains(key)) {
            result.removeAll(kThisComputerV6);
            result.replace(result.indexOf(kThisComputer), kThisComputer + QLatin1Char(' ') + kThisComputerV6);
        }
        return result;
    };
    QStringList allowList = knownAddresses(AllowFromKey);
    QStringList denyList = knownAddresses(DenyFromKey);
    if (allowMode && allowList.isEmpty())
        allowList = QStringList{placeholderName};
    if (!allowMode && denyList.isEmpty())
        denyList = QStringList{placeholderName};

    const QString date =
        QLocale::c().toString(QDateTime::currentDateTime(), QStringLiteral("MMM d, yyyy 'at' hh:mm AP"));
    QString text = QStringLiteral("## This file was generated by %1 %2 (%3)\n## on %4\n")
                       .arg(PHApplication::applicationName(), PHApplication::applicationVersion(),
                            PHApplication::applicationCompany(), date);
    text += QStringLiteral("## See Porthold's Help/Tutorial for limitations on manual editing\n");

    text += QStringLiteral("\n## General Password Settings\n");
    text += directiveLine(passwordActive, QStringLiteral("AuthType"), QStringLiteral("Basic"));
    text += quotedDirectiveLine(passwordActive, QStringLiteral("AuthName"),
                                state.authName.isEmpty() ? QStringLiteral("Protected") : state.authName);

    text += QStringLiteral("\n## User file location and authorized users\n");
    text += quotedDirectiveLine(passwordActive, QStringLiteral("AuthUserFile"),
                                serverLocation(context(), PHWebRoot::UserFile));
    const bool nothingListed = users.isEmpty() && groups.isEmpty();
    const QString requireKeyword = !users.isEmpty() && users.first() == anyUserRealName
                                       ? QStringLiteral("Require")
                                       : QStringLiteral("Require user");
    const QStringList requireValue =
        nothingListed && (state.authStatus & PasswordBit) ? QStringList{placeholderName} : users;
    text += listDirectiveLines(passwordActive && (nothingListed || !users.isEmpty()), requireKeyword,
                               requireValue);

    text += QStringLiteral("\n## Group file location and authorized groups\n");
    text += quotedDirectiveLine(passwordActive && !groups.isEmpty(), QStringLiteral("AuthGroupFile"),
                                serverLocation(context(), PHWebRoot::GroupFile));
    text += listDirectiveLines(passwordActive && !groups.isEmpty(), QStringLiteral("Require group"), groups);

    text += QStringLiteral("\n## Address Settings\n");
    // In deny mode the allow list kept from allow mode stays commented out:
    // with "Order deny,allow" any entry of it that covers a denied client
    // (the same address, its network, its domain) would let that client in.
    const bool ordered = addressActive && allowMode;
    text += directiveLine(ordered, QStringLiteral("Order"), QStringLiteral("deny,allow"));
    text += listDirectiveLines(addressActive, QStringLiteral("Deny from"),
                               allowMode ? QStringList{QStringLiteral("all")} : denyList);
    text += listDirectiveLines(ordered, QStringLiteral("Allow from"), allowList);

    // "Satisfy" is in force whenever the folder is protected: address rules
    // and "Satisfy any" of a folder above are then not inherited, so only
    // "Password or Address" lets either one suffice.
    text += QStringLiteral("\n## Applies to all of the above\n");
    const bool eitherSuffices = (state.authStatus & PasswordBit) && (state.authStatus & AddressBit) &&
                                !(state.authStatus & AllRequiredBit);
    text += directiveLine(passwordActive || addressActive, QStringLiteral("Satisfy"),
                          eitherSuffices ? QStringLiteral("any") : QStringLiteral("all"));

    if (!state.customLines.isEmpty()) {
        text += QLatin1Char('\n');
        for (const QString &line : state.customLines)
            text += line + QLatin1Char('\n');
    }
    return text;
}

// ===== Deleting =====

bool PHFSItem::hasAccessFile() const {
    const QString path = accessPath();
    return !path.isEmpty() && PHWebTreeFile::existsFollowingFolders(treeRootPath(), path);
}

bool PHFSItem::deleteAccessFile() {
    if (accessPath().isEmpty())
        return false;
    loadAccess();
    AccessState &state = access();
    const PHWriteLock lock(treeRootPath(), QStringLiteral(".htaccess"));
    QString why = lock.timedOut() ? lock.error() : QString();
    if (!why.isEmpty() || !PHWebTreeFile::remove(treeRootPath(), accessPath(), &why)) {
        Log::write(QStringLiteral("Could not delete %1: %2").arg(accessPath(), why));
        readFromDisk();
        context().displayError(ErrorAccessFileDelete, QStringLiteral("%1: %2").arg(accessPath(), why));
        return false;
    }
    state.auth.clear();
    state.accessText.clear();
    accessTextChanged();
    state.handManaged = false;
    state.handManagedReasons.clear();
    state.unreadable = false;
    setAuthStatusDisable(0, true);
    return true;
}

// ===== Effective access =====

QString PHFSItem::treePath() const {
    if (!m_parent)
        return QStringLiteral(".");
    qsizetype length = 0;
    int levels = 0;
    for (const PHFSItem *node = this; node->m_parent; node = node->m_parent) {
        length += node->m_name.size() + 1;
        ++levels;
    }
    QVarLengthArray<const QString *, 64> names(levels);
    int i = levels;
    for (const PHFSItem *node = this; node->m_parent; node = node->m_parent)
        names[--i] = &node->m_name;
    QString path;
    path.reserve(length);
    for (const QString *name : names) {
        if (!path.isEmpty())
            path += QLatin1Char('/');
        path += *name;
    }
    return path;
}

QString PHFSItem::modeNote() const {
    return modeNote(effectiveAccess());
}

QString PHFSItem::modeNote(const PHEffectiveAccess &access) const {
    // Either lets a listed address in without a password: it does not promise one.
    const PHMode shown = mode();
    return access.shownModeNote(shown == PHMode::Password || shown == PHMode::Both);
}

namespace {

// What a folder's children inherit: the merge of the access files from the
// root of the tree down to the folder, kept for the folders of the chain last
// asked about (the root's first), so that a walk adds one layer per folder
// instead of merging every layer above each folder again. Any change to an
// access text, and any node deleted, starts it afresh.
struct MergedFolder {
    const PHFSItem *node;
    QString treePath; // as PHFSItem::treePath names it, made from the parent's
    PHEffectiveAccess merged;
};
std::vector<MergedFolder> &mergedChain() {
    static std::vector<MergedFolder> chain;
    return chain;
}
quint64 g_accessGeneration = 0;
quint64 g_chainGeneration = 0;

QString childTreePath(const QString &parentPath, const PHFSItem *child) {
    return parentPath == QLatin1String(".") ? child->name() : parentPath + QLatin1Char('/') + child->name();
}

/// With the server's configuration read (`server`, and the web root `root`
/// as the server sees it), its sections and what its AllowOverride lets each
/// access file say come in where the server merges them.
QString absoluteFolder(const QString &root, const QString &treePath) {
    return treePath == QLatin1String(".") ? root : root + QLatin1Char('/') + treePath;
}

const MergedFolder &mergedThrough(const PHFSItem *node, const PHServerRules *server, const QString &root) {
    std::vector<MergedFolder> &chain = mergedChain();
    static const PHServerRules *chainServer = nullptr;
    static QString chainRoot, chainStamp;
    // The access files above the web root are the server's, not the tree's:
    // a change to them is seen by looking (an lstat of each the server reads).
    const QString stamp = server ? server->aboveRootStamp(root) : QString();
    if (g_chainGeneration != g_accessGeneration || chainServer != server || chainRoot != root ||
        chainStamp != stamp) {
        chain.clear();
        g_chainGeneration = g_accessGeneration;
        chainServer = server;
        chainRoot = root;
        chainStamp = stamp;
    }
    // The chain holds each folder at its depth: the deepest one it holds on
    // the way up is where the merge goes on from (a folder's ancestors are
    // fixed, so the chain agrees with the way above it too).
    const auto held = [&chain](const PHFSItem *folder) {
        const size_t level = size_t(folder->depth());
        return level < chain.size() && chain[level].node == folder;
    };
    QVarLengthArray<const PHFSItem *, 16> missing;
    const PHFSItem *above = node;
    for (; above && !held(above); above = above->parent())
        missing.append(above);
    chain.resize(above ? size_t(above->depth()) + 1 : 0);
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        const PHFSItem *folder = *it;
        MergedFolder next{folder,
                          chain.empty() ? QStringLiteral(".") : childTreePath(chain.back().treePath, folder),
                          chain.empty() ? PHEffectiveAccess::start() : chain.back().merged};
        const QString text = folder->stringValue();
        PHEffectiveAccess::Layer layer{text.isEmpty() ? QString() : next.treePath, text};
        if (server) {
            const QString absolute = absoluteFolder(root, next.treePath);
            for (const PHEffectiveAccess::Layer &section :
                 chain.empty() ? server->layersDownTo(root) : server->directoryLayers(absolute))
                next.merged.add(section, false);
            layer.reading = server->readingAt(absolute);
        }
        next.merged.add(layer, false);
        chain.push_back(std::move(next));
    }
    return chain.back();
}

} // namespace

void PHFSItem::accessTextChanged() {
    ++g_accessGeneration;
}

bool PHFSItem::accessFileSeen() const {
    // The generation's low bits: a node whose stamp matched after 2^32
    // changes would only show a stale delete button until the next one.
    const auto generation = quint32(g_accessGeneration);
    if (!m_seenKnown || m_seenGeneration != generation) {
        m_seen = hasAccessFile();
        m_seenKnown = true;
        m_seenGeneration = generation;
    }
    return m_seen;
}

namespace {
quint64 g_effectiveMerges = 0;
} // namespace

quint64 PHFSItem::effectiveAccessMerges() {
    return g_effectiveMerges;
}

PHEffectiveAccess PHFSItem::effectiveAccess() const {
    loadAccess();
    AccessState &state = access();
    // As the merge takes them: the server's rules only where they serve the
    // web root (the same rules always give the same answer for it).
    const std::shared_ptr<const PHServerRules> rules = PHServerRules::servingRoot(treeRootPath());
    const PHServerRules *server = rules.get();
    QString stamp = server ? server->aboveRootStamp(PHServerRules::canonicalPath(treeRootPath())) : QString();
    if (!state.effective || state.effectiveGeneration != g_accessGeneration ||
        state.effectiveRules.lock() != rules || state.effectiveStamp != stamp) {
        ++g_effectiveMerges;
        // Taken before the merge: reading a folder above for the first time
        // is no change, but a change made meanwhile must not be kept as seen.
        const quint64 generation = g_accessGeneration;
        state.effective = effectiveAccessWithText(state.accessText);
        state.effectiveGeneration = generation;
        state.effectiveRules = rules;
        state.effectiveStamp = std::move(stamp);
    }
    return *state.effective;
}

PHEffectiveAccess PHFSItem::effectiveAccessWithText(const QString &ownText) const {
    const std::shared_ptr<const PHServerRules> rules = PHServerRules::servingRoot(treeRootPath());
    const PHServerRules *server = rules.get();
    const QString root = server ? PHServerRules::canonicalPath(treeRootPath()) : QString();
    // Only this folder's own layer is merged here: what is above comes from
    // its parent's merge.
    PHEffectiveAccess access;
    QString folder;
    if (!m_parent) {
        access = PHEffectiveAccess::start();
        folder = treePath();
        if (server)
            for (const PHEffectiveAccess::Layer &section : server->layersDownTo(root))
                access.add(section, false);
    } else {
        const MergedFolder &above = mergedThrough(m_parent, server, root);
        access = above.merged;
        folder = childTreePath(above.treePath, this);
        if (server)
            for (const PHEffectiveAccess::Layer &section :
                 server->directoryLayers(absoluteFolder(root, folder)))
                access.add(section, false);
    }
    PHEffectiveAccess::Layer own{folder, ownText};
    if (server)
        own.reading = server->readingAt(absoluteFolder(root, folder));
    access.add(own, true);
    if (server)
        for (const PHEffectiveAccess::Layer &section : server->finalLayers(absoluteFolder(root, folder)))
            access.add(section, false);
    return access.finished(folder);
}
