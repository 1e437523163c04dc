#include "ctl/PHHeadlessContext.h"

#include "core/PHException.h"
#include "model/PHAuthFiles.h"
#include "model/PHEditRules.h"
#include "model/PHErrorTexts.h"
#include "model/PHFSItem.h"
#include "model/PHGroupsModel.h"
#include "model/PHSettings.h"
#include "model/PHUsersModel.h"
#include "model/PHWebRoot.h"
#include "support/PHBundleLocation.h"
#include "support/PHSettingsStore.h"
#include "support/PHTextFile.h"

#include <QSet>

#include <unistd.h>

#ifndef PORTHOLD_VERSION
#define PORTHOLD_VERSION "1.0.0"
#endif

namespace {

PHSettingsStore &settings() {
    return *PHSettingsStore::instance();
}

} // namespace

void PHHeadlessContext::registerDefaults() {
    PHSettings::registerDefaults();
}

QString PHHeadlessContext::configuredWebRoot() {
    // Root has no web folder of its own (the server's user folders leave
    // root out): until a web root is chosen, root's is the server's.
    if (::geteuid() == 0 &&
        !PHSettingsStore::instance()->hasStoredValueForKey(PHSettings::Key::ProtectedFolder))
        return PHWebRoot::systemWebFolder();
    return PHWebRoot::configured();
}

PHHeadlessContext::PHHeadlessContext(const QString &webRoot)
    : m_webRoot(webRoot.isEmpty() ? configuredWebRoot() : webRoot),
      m_bundlePath(PHBundleLocation::locateForThisProgram()) {
    m_errorTexts = PHErrorTexts::read(m_bundlePath);
    const QVariantMap info = bundleInfo();
    m_previousInformation =
        PHApplication::setInformation({info.value(QStringLiteral("CFBundleName")).toString(),
                                       info.value(QStringLiteral("CFBundleVersion")).toString(),
                                       info.value(QStringLiteral("CFBundleCompany")).toString()});
}

PHHeadlessContext::~PHHeadlessContext() {
    // The models may still ask the context while they go.
    m_groups.reset();
    m_users.reset();
    PHApplication::setInformation(m_previousInformation);
}

void PHHeadlessContext::load() {
    m_listedUsers.reset();
    m_users = std::make_unique<PHUsersModel>(modelContext());
    // A deleted user leaves every group.
    QObject::connect(m_users.get(), &PHUsersModel::userDeleted, m_users.get(), [this](const QString &name) {
        if (m_groups)
            m_groups->removeUserFromGroups(name);
    });
    loadGroupsAndAddresses();
}

void PHHeadlessContext::loadWithoutUserRecords(std::optional<QStringList> listedUsers) {
    m_users.reset();
    m_listedUsers = std::move(listedUsers);
    loadGroupsAndAddresses();
}

void PHHeadlessContext::addListedUsers(const QStringList &names) {
    if (!m_listedUsers)
        return;
    for (const QString &name : names)
        if (!m_listedUsers->contains(name))
            m_listedUsers->append(name);
}

void PHHeadlessContext::removeListedUser(const QString &name) {
    if (m_listedUsers)
        m_listedUsers->removeAll(name);
}

QStringList PHHeadlessContext::groupFileMembers() {
    const PHTextFile file = PHTextFile::readBelow(m_webRoot, location(PHWebRoot::GroupFile));
    if (file.status != PHTextFile::Status::Read)
        return {};
    QStringList members;
    QSet<QString> seen;
    for (const PHGroupFile::Group &group : PHGroupFile::read(file.text))
        for (const QString &member : group.members)
            if (!seen.contains(member)) {
                seen.insert(member);
                members.append(member);
            }
    return members;
}

void PHHeadlessContext::loadGroupsAndAddresses() {
    m_groups = std::make_unique<PHGroupsModel>(modelContext(), userNames());
    // Without the user file every member would look unknown and be dropped.
    m_groups->setUserFileLoadFailed(m_users ? m_users->loadFailed() : !m_listedUsers);

    // As the panel fills its list at start-up: lower-cased, each once, and
    // never a reserved word or a text that would break an access file.
    m_discoversAddresses.reset();
    m_addresses.clear();
    const QVariantList stored =
        settings().arrayForKey(PHSettings::Key::AddressArray).value_or(QVariantList());
    for (const QVariant &value : stored) {
        if (value.typeId() != QMetaType::QString)
            continue;
        const QString address = value.toString().toLower();
        if (PHEditRules::addressRefusal(address).isEmpty() && !m_addresses.contains(address))
            m_addresses.append(address);
    }
}

void PHHeadlessContext::addKnownAddress(const QString &address) {
    const QString lowerCased = address.toLower();
    if (!PHEditRules::addressRefusal(lowerCased).isEmpty() || m_addresses.contains(lowerCased))
        return;
    m_addresses.append(lowerCased);
    storeAddresses();
}

void PHHeadlessContext::storeAddresses() {
    settings().setObjectForKey(QVariant(m_addresses), PHSettings::Key::AddressArray);
}

QString PHHeadlessContext::errorMessage(qint32 code) const {
    if (static_cast<quint32>(code) < static_cast<quint32>(m_errorTexts.size()))
        return PHErrorTexts::message(m_errorTexts, code);
    // Without the panel's bundle the code still identifies the failure.
    return QStringLiteral("%1 (code %2)").arg(PHErrorTexts::message(m_errorTexts, code)).arg(code);
}

QStringList PHHeadlessContext::userNames() {
    if (m_users)
        return m_users->userNames();
    return m_listedUsers.value_or(QStringList());
}

QStringList PHHeadlessContext::groupNames() {
    return m_groups ? m_groups->list() : QStringList();
}

bool PHHeadlessContext::discoversAddresses() {
    if (!m_discoversAddresses)
        m_discoversAddresses = settings().boolForKey(PHSettings::Key::ShouldDiscoverAddresses);
    return *m_discoversAddresses;
}

void PHHeadlessContext::displayError(qint32 code, const QString &detail) {
    if (code == 0)
        return;
    m_errors.append(code);
    m_errorDetails.append(detail);
}

QString PHHeadlessContext::reportedMessage(qsizetype index, const QString &file) const {
    QString message = QStringLiteral("%1: %2").arg(file, errorMessage(m_errors.at(index)));
    // The detail names the file first; its reason is what adds to the text.
    QString reason = m_errorDetails.value(index);
    if (reason.startsWith(file + QStringLiteral(": ")))
        reason = reason.mid(file.size() + 2);
    if (!reason.isEmpty())
        message += QStringLiteral(" (%1)").arg(reason);
    return message;
}

QString PHHeadlessContext::location(PHWebRoot::PathKind kind) {
    return PHWebRoot::location(m_webRoot, kind);
}

QString PHHeadlessContext::serverLocation(PHWebRoot::PathKind kind) {
    return PHWebRoot::adjusted(location(kind));
}

void PHHeadlessContext::replaceKnownAddress(qint32 index, const QString &address) {
    PH_PARAMETER_ASSERT(index >= 0 && index < m_addresses.size());
    m_addresses[index] = address;
    if (PHEditRules::addressRefusal(address).isEmpty())
        storeAddresses();
}

QVariantMap PHHeadlessContext::bundleInfo() {
    return {{"CFBundleName", QStringLiteral("Porthold")},
            {"CFBundleVersion", QStringLiteral(PORTHOLD_VERSION)},
            {"CFBundleCompany", QStringLiteral("Quillmere Software")},
            {"CFBundleIdentifier", PHSettings::defaultIdentifier}};
}
