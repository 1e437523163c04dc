#include "support/PHSettingsStore.h"

#include "core/Log.h"
#include "core/NotificationCenter.h"
#include "core/PHException.h"
#include "support/PHAtomicFile.h"
#include "support/PHPath.h"
#include "support/PHPropertyList.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QThread>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::unique_ptr<PHSettingsStore> g_shared;

using PHPropertyList::isIntegerType;
using PHPropertyList::isRealType;
using Plist = PHPropertyList::Node;

QString configFolder() {
    QString configured = qEnvironmentVariable("XDG_CONFIG_HOME");
    // XDG_CONFIG_HOME must be absolute; a relative value counts as unset.
    if (configured.startsWith(u'/'))
        return configured;
    return PHPath::homeFolder() + QStringLiteral("/.config");
}

QString hostIdentifier() {
    const QString name = QCoreApplication::applicationName();
    return name.isEmpty() ? QString::fromLocal8Bit(program_invocation_short_name) : name;
}

bool isPropertyListValue(const QVariant &value) {
    return Plist(PHPropertyList::fromVariant(value)) != nullptr;
}

// Settings keep small integers as int, as they were set.
QVariant fromPlist(plist_t node) {
    return PHPropertyList::toVariant(node, {.narrowIntegers = true});
}

/// The value as it will read back from the file, so that this run and the
/// next see the same types.
QVariant normalised(const QVariant &value) {
    Plist node(PHPropertyList::fromVariant(value));
    return node ? fromPlist(node.get()) : QVariant();
}

/// Equal values of the same type: true and 1 differ, so that a change of type
/// is written.
bool sameValue(const QVariant &stored, const QVariant &wanted) {
    return stored.typeId() == wanted.typeId() && stored == wanted;
}

// Text to numbers as the platform reads them: leading blanks skipped, the
// longest number at the front taken, nothing else required.
qsizetype skipBlanks(const QString &text) {
    qsizetype i = 0;
    while (i < text.size() && text.at(i).isSpace())
        ++i;
    return i;
}

qint32 integerFromText(const QString &text) {
    qsizetype i = skipBlanks(text);
    bool negative = false;
    if (i < text.size() && (text.at(i) == u'+' || text.at(i) == u'-'))
        negative = text.at(i++) == u'-';
    qint64 magnitude = 0;
    for (; i < text.size() && text.at(i) >= u'0' && text.at(i) <= u'9'; ++i)
        magnitude = std::min<qint64>(magnitude * 10 + (text.at(i).unicode() - u'0'), qint64(INT_MAX) + 1);
    if (negative)
        return static_cast<qint32>(-magnitude);
    return static_cast<qint32>(std::min<qint64>(magnitude, INT_MAX));
}

double doubleFromText(const QString &text) {
    qsizetype i = skipBlanks(text);
    const qsizetype start = i;
    auto digits = [&] {
        const qsizetype from = i;
        while (i < text.size() && text.at(i) >= u'0' && text.at(i) <= u'9')
            ++i;
        return i - from;
    };
    if (i < text.size() && (text.at(i) == u'+' || text.at(i) == u'-'))
        ++i;
    qsizetype mantissa = digits();
    if (i < text.size() && text.at(i) == u'.') {
        ++i;
        mantissa += digits();
    }
    if (mantissa == 0)
        return 0;
    qsizetype end = i;
    if (i < text.size() && (text.at(i) == u'e' || text.at(i) == u'E')) {
        ++i;
        if (i < text.size() && (text.at(i) == u'+' || text.at(i) == u'-'))
            ++i;
        if (digits() > 0)
            end = i;
    }
    return text.mid(start, end - start).toLatin1().toDouble(); // always the C locale
}

bool boolFromText(const QString &text) {
    qsizetype i = skipBlanks(text);
    if (i < text.size() && (text.at(i) == u'+' || text.at(i) == u'-'))
        ++i;
    while (i < text.size() && text.at(i) == u'0')
        ++i;
    if (i >= text.size())
        return false;
    const QChar c = text.at(i);
    return c == u'Y' || c == u'y' || c == u'T' || c == u't' || (c >= u'1' && c <= u'9');
}

qint32 clampToInt32(double value) {
    if (std::isnan(value))
        return 0;
    if (value >= double(INT_MAX))
        return INT_MAX;
    if (value <= double(INT_MIN))
        return INT_MIN;
    return static_cast<qint32>(value);
}

/// Holds an exclusive lock on the settings folder while a change is read,
/// made and written, so two processes never interleave their changes.
class FolderLock {
public:
    explicit FolderLock(const QString &folder) {
        if (!QFileInfo(folder).isDir() && QDir().mkpath(folder))
            QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        m_fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (m_fd < 0)
            return; // unlocked: the write itself reports what is wrong with the folder
        while (::flock(m_fd, LOCK_EX) != 0 && errno == EINTR) {
        }
    }
    ~FolderLock() {
        if (m_fd >= 0)
            ::close(m_fd); // releases the lock
    }
    FolderLock(const FolderLock &) = delete;
    FolderLock &operator=(const FolderLock &) = delete;

private:
    int m_fd = -1;
};

} // namespace

PHSettingsStore *PHSettingsStore::instance() {
    if (!g_shared)
        g_shared.reset(new PHSettingsStore());
    return g_shared.get();
}

void PHSettingsStore::resetInstanceForTesting() {
    g_shared.reset();
}

PHSettingsStore::PHSettingsStore() : m_appID(hostIdentifier()) {
}

PHSettingsStore::~PHSettingsStore() {
    delete m_watcher.data();
}

void PHSettingsStore::setApplicationIdentifier(const QString &identifier) {
    m_appID = identifier;
}

QString PHSettingsStore::storagePath(const QString &identifier) {
    // An identifier is a reverse domain name; never let it name a file
    // outside the settings folder.
    QString name = identifier;
    name.replace(u'/', u'_');
    if (name.isEmpty() || name.startsWith(u'.'))
        name.prepend(u'_');
    return configFolder() + QStringLiteral("/porthold/") + name + QStringLiteral(".plist");
}

void PHSettingsStore::registerDefaults(const QVariantMap &defaults) {
    m_registration[m_appID].insert(defaults);
}

QVariant PHSettingsStore::registeredDefaultForKey(const QString &key) const {
    return m_registration.value(m_appID).value(key);
}

QVariant PHSettingsStore::objectForKey(const QString &key) const {
    const QVariantMap &stored = storedValues(m_appID);
    if (const auto found = stored.constFind(key); found != stored.constEnd())
        return *found;
    return registeredDefaultForKey(key);
}

bool PHSettingsStore::hasStoredValueForKey(const QString &key) const {
    return storedValues(m_appID).contains(key);
}

qint32 PHSettingsStore::integerForKey(const QString &key) const {
    const QVariant value = objectForKey(key);
    const int type = value.typeId();
    if (type == QMetaType::QString)
        return integerFromText(value.toString());
    if (type == QMetaType::Bool)
        return value.toBool() ? 1 : 0;
    if (isIntegerType(type)) {
        if (type == QMetaType::ULongLong || type == QMetaType::ULong || type == QMetaType::UInt)
            return static_cast<qint32>(std::min<qulonglong>(value.toULongLong(), INT_MAX));
        return static_cast<qint32>(std::clamp<qlonglong>(value.toLongLong(), INT_MIN, INT_MAX));
    }
    if (isRealType(type))
        return clampToInt32(value.toDouble());
    return 0;
}

bool PHSettingsStore::boolForKey(const QString &key) const {
    const QVariant value = objectForKey(key);
    const int type = value.typeId();
    if (type == QMetaType::QString)
        return boolFromText(value.toString());
    if (type == QMetaType::Bool)
        return value.toBool();
    if (isIntegerType(type))
        return value.toLongLong() != 0 || value.toULongLong() != 0;
    if (isRealType(type))
        return value.toDouble() != 0.0;
    return false;
}

double PHSettingsStore::doubleForKey(const QString &key) const {
    const QVariant value = objectForKey(key);
    const int type = value.typeId();
    if (type == QMetaType::QString)
        return doubleFromText(value.toString());
    if (type == QMetaType::Bool)
        return value.toBool() ? 1.0 : 0.0;
    if (isIntegerType(type) || isRealType(type))
        return value.toDouble();
    return 0;
}

float PHSettingsStore::floatForKey(const QString &key) const {
    return static_cast<float>(doubleForKey(key));
}

std::optional<QString> PHSettingsStore::stringForKey(const QString &key) const {
    const QVariant value = objectForKey(key);
    if (value.typeId() != QMetaType::QString)
        return std::nullopt;
    return value.toString();
}

std::optional<QVariantList> PHSettingsStore::arrayForKey(const QString &key) const {
    const QVariant value = objectForKey(key);
    if (value.typeId() != QMetaType::QVariantList && value.typeId() != QMetaType::QStringList)
        return std::nullopt;
    return value.toList();
}

void PHSettingsStore::setObjectForKey(const QVariant &value, const QString &key) {
    PH_PARAMETER_ASSERT(isPropertyListValue(value));
    storeValueForKey(value, key);
}

void PHSettingsStore::setIntegerForKey(qint32 value, const QString &key) {
    storeValueForKey(QVariant(value), key);
}

void PHSettingsStore::setBoolForKey(bool value, const QString &key) {
    storeValueForKey(QVariant(value), key);
}

void PHSettingsStore::setDoubleForKey(double value, const QString &key) {
    storeValueForKey(QVariant(value), key);
}

void PHSettingsStore::removeValueForKey(const QString &key) {
    storeValueForKey(QVariant(), key);
}

void PHSettingsStore::storeValueForKey(const QVariant &value, const QString &key) {
    PH_PARAMETER_ASSERT(!value.isValid() || isPropertyListValue(value));
    // Another process may have changed other keys since this one read the
    // file: read it again under the lock and change only this key.
    const QString path = storagePath(m_appID);
    const FolderLock lock(QFileInfo(path).absolutePath());
    const bool onDisk = stampOf(path).exists;
    if (onDisk)
        m_stamps.remove(m_appID);
    QVariantMap &stored = storedValues(m_appID);
    const QVariant wanted = value.isValid() ? normalised(value) : QVariant();
    // What the file already says is not written again (a file that went away
    // is, with every value read from it).
    const auto found = stored.constFind(key);
    const bool unchanged = found == stored.constEnd() ? !wanted.isValid() : sameValue(*found, wanted);
    if (onDisk && unchanged)
        return;
    if (!wanted.isValid())
        stored.remove(key);
    else
        stored.insert(key, wanted);
    synchronize(m_appID);
}

PHSettingsStore::FileStamp PHSettingsStore::stampOf(const QString &path) {
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return {};
    return {true, qint64(info.st_size), qint64(info.st_mtim.tv_sec) * 1000000000 + info.st_mtim.tv_nsec,
            quint64(info.st_ino), qint64(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec};
}

QVariantMap &PHSettingsStore::storedValues(const QString &identifier) const {
    const QString path = storagePath(identifier);
    const FileStamp stamp = stampOf(path);
    const auto found = m_stored.find(identifier);
    if (found != m_stored.end() && m_stamps.value(identifier) == stamp)
        return *found;
    // A file that went away takes nothing with it: the values read stay and
    // the next change writes them back.
    if (found != m_stored.end() && !stamp.exists) {
        m_stamps.insert(identifier, stamp);
        return *found;
    }
    watch(path);
    QVariantMap &values = m_stored[identifier];
    values = readValues(identifier);
    // Taken before reading: a change made while reading is read again next time.
    m_stamps.insert(identifier, stamp);
    return values;
}

QVariantMap PHSettingsStore::readValues(const QString &identifier) const {
    QVariantMap values;
    m_unwritable.remove(identifier);
    const QString path = storagePath(identifier);
    QFile file(path);
    if (!file.exists())
        return values;
    if (!file.open(QIODevice::ReadOnly)) {
        // Perhaps only for now: keep it, and do not overwrite it either.
        Log::write(QStringLiteral("Could not read the settings file %1: %2").arg(path, file.errorString()));
        m_unwritable.insert(identifier);
        return values;
    }
    const QByteArray bytes = file.readAll();
    plist_t raw = nullptr;
    if (!bytes.isEmpty() && bytes.size() <= UINT32_MAX)
        plist_from_memory(bytes.constData(), static_cast<uint32_t>(bytes.size()), &raw);
    const Plist root(raw);
    if (root && plist_get_node_type(root.get()) == PLIST_DICT)
        return fromPlist(root.get()).toMap();
    // Not a settings file we can read: move it aside so that nothing in it is
    // lost when the next change writes a new one.
    const QString stamp = QDateTime::currentDateTime().toString(QStringLiteral("yyyyMMdd-HHmmss"));
    QString aside = QStringLiteral("%1.unreadable-%2").arg(path, stamp);
    for (int n = 2; QFile::exists(aside); ++n)
        aside = QStringLiteral("%1.unreadable-%2-%3").arg(path, stamp).arg(n);
    if (QFile::rename(path, aside)) {
        Log::write(
            QStringLiteral("The settings file %1 could not be parsed; moved it to %2").arg(path, aside));
    } else {
        Log::write(QStringLiteral(
                       "The settings file %1 could not be parsed nor moved aside; changes will not be saved")
                       .arg(path));
        m_unwritable.insert(identifier);
    }
    return values;
}

void PHSettingsStore::synchronize(const QString &identifier) const {
    if (m_unwritable.contains(identifier)) {
        Log::write(QStringLiteral("Settings of %1 not saved: its file could not be read").arg(identifier));
        return;
    }
    const QString path = storagePath(identifier);
    const QString folder = QFileInfo(path).absolutePath();
    if (!QFileInfo::exists(folder)) {
        if (!QDir().mkpath(folder)) {
            Log::write(QStringLiteral("Could not create the settings folder %1").arg(folder));
            return;
        }
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    const Plist root(PHPropertyList::fromVariant(storedValues(identifier)));
    char *xml = nullptr;
    uint32_t length = 0;
    plist_to_xml(root.get(), &xml, &length);
    const QByteArray bytes(xml, length);
    plist_to_xml_free(xml);
    QString error;
    if (!PHAtomicFile::write(path, bytes, &error)) {
        Log::write(QStringLiteral("Could not save the settings file %1: %2").arg(path, error));
        m_stamps.remove(identifier); // read what is there next time
        return;
    }
    m_stamps.insert(identifier, stampOf(path));
}

void PHSettingsStore::watch(const QString &path) const {
    // Only where an event loop can deliver the changes: the main thread of an application.
    QCoreApplication *app = QCoreApplication::instance();
    if (!app || QThread::currentThread() != app->thread())
        return;
    const QString folder = QFileInfo(path).absolutePath();
    if (!m_watcher) {
        m_watcher = new QFileSystemWatcher(app);
        QObject::connect(m_watcher, &QFileSystemWatcher::directoryChanged, m_watcher,
                         [this] { folderChanged(); });
    }
    // A file replaced by renaming shows as a change of its folder.
    if (QFileInfo(folder).isDir() && !m_watcher->directories().contains(folder))
        m_watcher->addPath(folder);
}

void PHSettingsStore::folderChanged() const {
    const auto found = m_stored.constFind(m_appID);
    if (found == m_stored.constEnd() || m_stamps.value(m_appID) == stampOf(storagePath(m_appID)))
        return; // nothing read yet, or this process's own write
    // A copy: reading the file below replaces the map `found` points into.
    const QVariantMap before = *found; // NOLINT(performance-unnecessary-copy-initialization)
    const QVariantMap &after = storedValues(m_appID);
    QStringList keys;
    for (auto it = before.constBegin(); it != before.constEnd(); ++it)
        if (after.value(it.key()) != it.value())
            keys.append(it.key());
    for (auto it = after.constBegin(); it != after.constEnd(); ++it)
        if (!before.contains(it.key()))
            keys.append(it.key());
    if (!keys.isEmpty())
        NotificationCenter::defaultCenter().post(DidChangeNotification, this,
                                                 {{QStringLiteral("keys"), keys}});
}
