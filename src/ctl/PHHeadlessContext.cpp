#include "ctl/PHHeadlessContext.h"

#include "model/PHFSItem.h"
#include "model/PHGroupsDataSource.h"
#include "model/PHPasswordHash.h"
#include "model/PHUsersDataSource.h"
#include "platform/PHException.h"
#include "support/PHBundleLocation.h"
#include "support/PHUserDefaults.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QVariantList>
#include <QXmlStreamReader>

#include <pwd.h>
#include <unistd.h>

#ifndef PORTHOLD_VERSION
#define PORTHOLD_VERSION "1.0.0"
#endif

namespace {

const QString kIdentifier = QStringLiteral("com.quillmere.porthold");

QString homeFolder() {
    // The password entry, not $HOME: the panel finds the same folder.
    if (const passwd *entry = ::getpwuid(::getuid()); entry && entry->pw_dir)
        return QString::fromLocal8Bit(entry->pw_dir);
    return QDir::homePath();
}

PHUserDefaults &settings() {
    return *PHUserDefaults::standardUserDefaults();
}

/// The error texts, a property list holding one array of strings.
QStringList readErrorTexts(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QStringList texts;
    QXmlStreamReader xml(&file);
    int depth = 0; // inside <plist><array>, strings are the texts
    while (!xml.atEnd()) {
        const auto token = xml.readNext();
        if (token == QXmlStreamReader::StartElement) {
            ++depth;
            if (depth == 3 && xml.name() == QLatin1String("string")) {
                texts.append(xml.readElementText());
                --depth;
            }
        } else if (token == QXmlStreamReader::EndElement) {
            --depth;
        }
    }
    return xml.hasError() ? QStringList() : texts;
}

} // namespace

void PHHeadlessContext::registerDefaults() {
    // The panel's own defaults for the keys read here; a key the panel has
    // never stored reads the same in both.
    settings().setApplicationIdentifier(kIdentifier);
    settings().registerDefaults({
        {"Address Array", QVariantList{QStringLiteral("127.0.0.1")}},
        {"Should Discover Addresses", true},
        {"Sort Users", false},
        {"Sort Groups", false},
        {"Porthold Protected Folder", 0},
        {"Web Dir", QString()},
        {"stripVolumesFromPortholdFolder", 0},
        {"portholdFolderPrefix", QString()},
        {"New File Extension", QStringLiteral(".new")},
        {PHPasswordHash::settingKey, PHPasswordHash::bcryptValue},
    });
}

QString PHHeadlessContext::configuredWebRoot() {
    switch (settings().integerForKey(QStringLiteral("Porthold Protected Folder"))) {
    case 1:
        return QStringLiteral("/var/www/html/");
    case 2:
        return settings().stringForKey(QStringLiteral("Web Dir")).value_or(QString());
    default:
        return QDir(homeFolder()).filePath(QStringLiteral("public_html"));
    }
}

PHHeadlessContext::PHHeadlessContext(const QString &webRoot)
    : m_webRoot(webRoot.isEmpty() ? configuredWebRoot() : webRoot),
      m_bundlePath(PHBundleLocation::locateForThisProgram()), m_previous(PanelContext::sharedInstance()) {
    if (!m_bundlePath.isEmpty())
        m_errorTexts = readErrorTexts(QDir(m_bundlePath).filePath(QStringLiteral("Resources/errors.plist")));
    PanelContext::setSharedInstance(this);
}

PHHeadlessContext::~PHHeadlessContext() {
    // The data sources may still ask the context while they go.
    m_groups.reset();
    m_users.reset();
    PanelContext::setSharedInstance(m_previous);
}

void PHHeadlessContext::load(bool userRecords) {
    if (userRecords)
        m_users = std::make_unique<PHUsersDataSource>();
    m_groups = std::make_unique<PHGroupsDataSource>(userArray());
    // Without the user file every member would look unknown and be dropped.
    m_groups->setUserFileLoadFailed(!m_users || m_users->loadFailed());

    // As the panel fills its list at start-up: lower-cased, each once, and
    // never a reserved word or a text that would break an access file.
    m_addresses.clear();
    const QVariantList stored =
        settings().arrayForKey(QStringLiteral("Address Array")).value_or(QVariantList());
    for (const QVariant &value : stored) {
        if (value.typeId() != QMetaType::QString)
            continue;
        const QString address = value.toString().toLower();
        if (addressRefusal(address).isEmpty() && !m_addresses.contains(address))
            m_addresses.append(address);
    }
}

QString PHHeadlessContext::addressRefusal(const QString &lowerCased) {
    if (PHFSItem::isReservedAddress(lowerCased))
        return QStringLiteral("\"%1\" is a reserved word and cannot be used as an address").arg(lowerCased);
    if (lowerCased.isEmpty())
        return QStringLiteral("An address cannot be empty");
    if (!PHFSItem::isAcceptableAddress(lowerCased))
        return QStringLiteral("\"%1\" is not an address: addresses cannot contain spaces, tabs, line returns "
                              "or quotation marks")
            .arg(lowerCased);
    return {};
}

void PHHeadlessContext::addKnownAddress(const QString &address) {
    const QString lowerCased = address.toLower();
    if (!addressRefusal(lowerCased).isEmpty() || m_addresses.contains(lowerCased))
        return;
    m_addresses.append(lowerCased);
    storeAddresses();
}

void PHHeadlessContext::storeAddresses() {
    settings().setObjectForKey(QVariant(m_addresses), QStringLiteral("Address Array"));
}

QString PHHeadlessContext::errorMessage(qint32 code) const {
    if (static_cast<quint32>(code) < static_cast<quint32>(m_errorTexts.size()))
        return QStringLiteral("An error was encountered by Porthold in phase %1: %2")
            .arg(QStringLiteral("1"), m_errorTexts.at(code));
    // Without the panel's bundle, the model's own failures still read plainly.
    switch (code) {
    case PHFSItem::ErrorAccessFileWrite:
        return QStringLiteral("The access file could not be written; the old file is unchanged");
    case PHFSItem::ErrorAccessFileDelete:
        return QStringLiteral("The access file could not be deleted");
    case PHFSItem::ErrorAccessFileHandManaged:
        return PHFSItem::handManagedMessage;
    case PHFSItem::ErrorAccessFileBadPath:
        return QStringLiteral(
            "The path of the user or group file contains a line break and cannot be named in "
            "an access file");
    case PHFSItem::ErrorAccessFileUnreadable:
        return QStringLiteral("The access file could not be read; it is left alone");
    case PHUsersDataSource::kUserFileWriteError:
        return QStringLiteral("The user file could not be saved; it is unchanged");
    case PHUsersDataSource::kUserFileReadError:
        return QStringLiteral("The user file could not be read; it is left alone");
    case PHGroupsDataSource::kGroupFileWriteError:
        return QStringLiteral("The group file could not be saved; it is unchanged");
    case PHGroupsDataSource::kGroupFileReadError:
        return QStringLiteral("The group file could not be read; it is left alone");
    default:
        return QStringLiteral("An unknown error occured (code %1)").arg(code);
    }
}

QStringList PHHeadlessContext::userArray() {
    return m_users ? m_users->userNames() : QStringList();
}

QStringList PHHeadlessContext::groupArray() {
    return m_groups ? m_groups->list() : QStringList();
}

bool PHHeadlessContext::shouldDiscoverAddresses() {
    return settings().boolForKey(QStringLiteral("Should Discover Addresses"));
}

QString PHHeadlessContext::addressAtIndex(qint32 index) {
    return index >= 0 && index < m_addresses.size() ? m_addresses.at(index) : QString();
}

void PHHeadlessContext::presentManualEditingErrorWithInvocation(const DeferredAction &action) {
    // There is no manual editor here, so nothing unsaved can be lost.
    if (action.perform)
        action.perform();
}

void PHHeadlessContext::displayError(qint32 code) {
    if (code != 0)
        m_errors.append(code);
}

QString PHHeadlessContext::portholdLocation(qint32 kind) {
    if (m_webRoot.isEmpty())
        return {};
    switch (kind) {
    case 1:
        return QDir(m_webRoot).filePath(QStringLiteral(".htusers"));
    case 3:
        return QDir(m_webRoot).filePath(QStringLiteral(".htgroups"));
    case 4:
        return m_webRoot;
    default:
        return {};
    }
}

QString PHHeadlessContext::adjustedPortholdLocation(qint32 kind) {
    QString path = portholdLocation(kind);
    if (path.isEmpty())
        return path;
    // A web root on a mounted volume may be served under another path.
    if (settings().boolForKey(QStringLiteral("stripVolumesFromPortholdFolder"))) {
        QStringList components = path.split(QLatin1Char('/'));
        // "/Volumes/Disk/x" splits into "", "Volumes", "Disk", "x".
        if (components.size() > 2 && components.at(0).isEmpty() &&
            components.at(1) == QLatin1String("Volumes")) {
            components.removeAt(1);
            path = components.join(QLatin1Char('/'));
        }
    }
    QString prefix = settings().stringForKey(QStringLiteral("portholdFolderPrefix")).value_or(QString());
    if (prefix.isEmpty())
        return path;
    while (prefix.size() > 1 && prefix.endsWith(QLatin1Char('/')))
        prefix.chop(1);
    QString rest = path;
    while (rest.startsWith(QLatin1Char('/')))
        rest.remove(0, 1);
    return prefix == QLatin1String("/") ? QLatin1Char('/') + rest : prefix + QLatin1Char('/') + rest;
}

void PHHeadlessContext::replaceAddressAtIndexWithAddress(qint32 index, const QString &address) {
    PH_PARAMETER_ASSERT(index >= 0 && index < m_addresses.size());
    m_addresses[index] = address;
    if (addressRefusal(address).isEmpty())
        storeAddresses();
}

void PHHeadlessContext::userWasDeleted(const QString &name) {
    if (m_groups)
        m_groups->removeUserFromGroups(name);
}

QVariantMap PHHeadlessContext::bundleInfo() {
    return {{"CFBundleName", QStringLiteral("Porthold")},
            {"CFBundleVersion", QStringLiteral(PORTHOLD_VERSION)},
            {"CFBundleCompany", QStringLiteral("Quillmere Software")},
            {"CFBundleIdentifier", kIdentifier}};
}
