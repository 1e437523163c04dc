#pragma once

#include <QFileSystemWatcher>
#include <QHash>
#include <QPointer>
#include <QSet>
#include <QString>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

#include <memory>
#include <optional>

/// The panel's settings: per-user values under an application identifier of the
/// panel's choosing, falling back to registered defaults. Every change is
/// written through at once to $XDG_CONFIG_HOME/porthold/<identifier>.plist
/// (~/.config when unset), an XML property list replaced atomically.
///
/// Setting the value a key already holds in the file writes nothing.
///
/// Several processes share the file (the panel and portholdctl): a change
/// re-reads the file under a lock and writes only its own key, so the last
/// writer wins per key, never per file; a read notices a file replaced by
/// another process and reads it again. With an event loop running, a change
/// made by another process is posted as `DidChangeNotification`.
///
/// Values are property-list values: QString, QByteArray, numbers (bool counts
/// as a number), QDateTime, QVariantList (QStringList accepted) and QVariantMap
/// of these. A settings file that exists but cannot be parsed is moved aside
/// (logged) and never overwritten. Main thread only.
class PHSettingsStore {
public:
    /// Posted (sender: the store) when another process changed the current
    /// identifier's file; userInfo "keys" lists the keys whose values changed.
    static inline const QString DidChangeNotification = QStringLiteral("PHSettingsStoreDidChange");

    /// The one shared instance, created on first use.
    static PHSettingsStore *instance();

    QString applicationIdentifier() const { return m_appID; }
    /// Values stored and defaults registered earlier stay under the old identifier.
    void setApplicationIdentifier(const QString &identifier);

    /// Merges into the current identifier's registered defaults (same keys replaced).
    void registerDefaults(const QVariantMap &defaults);
    /// The registered default under the current identifier, or an invalid QVariant.
    QVariant registeredDefaultForKey(const QString &key) const;

    /// The stored value, else the registered default, else an invalid QVariant.
    QVariant objectForKey(const QString &key) const;
    /// Whether the user's settings hold a value of their own for the key.
    bool hasStoredValueForKey(const QString &key) const;
    /// Converted from a number or a text ("  42abc" is 42); otherwise 0.
    qint32 integerForKey(const QString &key) const;
    /// A number: non-zero; a text: begins (after blanks) with Y, T or a non-zero digit.
    bool boolForKey(const QString &key) const;
    float floatForKey(const QString &key) const;
    double doubleForKey(const QString &key) const;
    /// The value if it is text, otherwise none.
    std::optional<QString> stringForKey(const QString &key) const;
    /// The value if it is a list, otherwise none.
    std::optional<QVariantList> arrayForKey(const QString &key) const;

    /// Stores a property-list value and writes it through; any other value (an
    /// invalid QVariant included) raises "Invalid parameter not satisfying: ...".
    void setObjectForKey(const QVariant &value, const QString &key);
    void setIntegerForKey(qint32 value, const QString &key);
    void setBoolForKey(bool value, const QString &key);
    void setDoubleForKey(double value, const QString &key);
    /// Removes the stored value so that the registered default shows again.
    void removeValueForKey(const QString &key);
    /// The common write: sets the value (an invalid QVariant removes it) under
    /// the current identifier and writes that identifier's file.
    void storeValueForKey(const QVariant &value, const QString &key);

    /// The file that holds an identifier's values.
    static QString storagePath(const QString &identifier);

    /// Test hook: forget the shared instance, so the next use starts afresh
    /// (re-reading the files, with nothing registered).
    static void resetInstanceForTesting();

    PHSettingsStore(const PHSettingsStore &) = delete;
    PHSettingsStore &operator=(const PHSettingsStore &) = delete;

    ~PHSettingsStore();

private:
    /// What identifies one version of a file: replaced or rewritten, it differs.
    struct FileStamp {
        bool exists = false;
        qint64 size = 0;
        qint64 modified = 0; // nanoseconds
        quint64 inode = 0;
        qint64 changed = 0; // nanoseconds
        bool operator==(const FileStamp &) const = default;
    };
    static FileStamp stampOf(const QString &path);

    PHSettingsStore();
    /// The identifier's values, read again when its file changed since.
    QVariantMap &storedValues(const QString &identifier) const;
    QVariantMap readValues(const QString &identifier) const;
    void synchronize(const QString &identifier) const;
    /// Watches the settings folder (once, with an event loop) for other writers.
    void watch(const QString &path) const;
    void folderChanged() const;

    QString m_appID;
    QHash<QString, QVariantMap> m_registration;
    /// Values read from (and written to) each identifier's file, loaded on first use.
    mutable QHash<QString, QVariantMap> m_stored;
    /// The file version each identifier's values were read from or written as.
    mutable QHash<QString, FileStamp> m_stamps;
    /// Identifiers whose file exists but could not be read or moved aside: never overwritten.
    mutable QSet<QString> m_unwritable;
    /// Owned by the application, so it never outlives the event loop.
    mutable QPointer<QFileSystemWatcher> m_watcher;
};
