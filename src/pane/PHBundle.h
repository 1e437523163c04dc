#pragma once

#include <QString>
#include <QVariant>
#include <QVariantMap>

/// The panel's bundle folder: its information record (Info.plist), its
/// resources (Resources/) and its auxiliary executables (the helper tool).
class PHBundle {
public:
    PHBundle() = default;
    explicit PHBundle(const QString &path);

    bool isValid() const { return !m_path.isEmpty(); }
    QString bundlePath() const { return m_path; }
    QString resourcePath() const;
    /// "Resources/<name>.<type>" when it exists, else empty.
    QString pathForResource(const QString &name, const QString &type) const;
    /// The helper executable of that name inside the bundle, or empty.
    const QVariantMap &infoDictionary() const { return m_info; }

    /// A property-list file as a Qt value (dictionaries as QVariantMap, arrays
    /// as QVariantList); invalid when it cannot be read or parsed.
    static QVariant readPropertyList(const QString &path);

private:
    QString m_path;
    QVariantMap m_info;
};
