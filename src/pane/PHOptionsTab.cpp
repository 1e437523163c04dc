#include "pane/PHOptionsTab.h"

#include "model/PHModelContext.h"
#include "model/PHPasswordHash.h"
#include "model/PHSettings.h"
#include "platform/PHAction.h"
#include "support/PHSettingsStore.h"

#include <QAbstractButton>
#include <QComboBox>

namespace {

PHSettingsStore *defaults() {
    return PHSettingsStore::instance();
}

void show(QAbstractButton *box, bool on) {
    if (box)
        box->setChecked(on);
}

} // namespace

PHOptionsTab::PHOptionsTab(const Widgets &widgets, PHManualEditGuard *guard, QObject *parent)
    : QObject(parent), m_guard(guard), m_sortUsers(widgets.sortUsers), m_sortGroups(widgets.sortGroups),
      m_askBeforeClearing(widgets.askBeforeClearing),
      m_askBeforeDeletingUsers(widgets.askBeforeDeletingUsers),
      m_askBeforeDeletingGroups(widgets.askBeforeDeletingGroups), m_manualEditor(widgets.manualEditor),
      m_customRoots(widgets.customRoots), m_remoteServer(widgets.remoteServer),
      m_passwordHash(widgets.passwordHash) {
    const auto onClick = [this](QAbstractButton *box, const char *what, void (PHOptionsTab::*set)(bool)) {
        if (box)
            connect(box, &QAbstractButton::clicked, this,
                    [this, what, set](bool on) { PHAction::run(what, [&] { (this->*set)(on); }); });
    };
    onClick(m_sortUsers, "sort users", &PHOptionsTab::setSortUsers);
    onClick(m_sortGroups, "sort groups", &PHOptionsTab::setSortGroups);
    onClick(m_askBeforeClearing, "ask before clearing", &PHOptionsTab::setAskBeforeClearing);
    onClick(m_askBeforeDeletingUsers, "ask before deleting users", &PHOptionsTab::setAskBeforeDeletingUsers);
    onClick(m_askBeforeDeletingGroups, "ask before deleting groups",
            &PHOptionsTab::setAskBeforeDeletingGroups);
    onClick(m_manualEditor, "show manual editor", &PHOptionsTab::setManualEditorShown);
    onClick(m_customRoots, "allow custom web folders", &PHOptionsTab::setCustomRootsAllowed);
    onClick(m_remoteServer, "remote server", &PHOptionsTab::setRemoteServer);
    if (m_passwordHash) {
        m_passwordHash->clear();
        for (PHPasswordHash::Scheme scheme : PHPasswordHash::schemes())
            m_passwordHash->addItem(PHPasswordHash::label(scheme), PHPasswordHash::settingValue(scheme));
        m_passwordHash->setCurrentIndex(
            m_passwordHash->findData(PHPasswordHash::settingValue(PHPasswordHash::configuredScheme())));
        connect(m_passwordHash, &QComboBox::activated, this,
                [this](int index) { PHAction::run("password scheme", [&] { setPasswordHash(index); }); });
    }
    // Written back as read, as the panel has always done at start.
    setAskBeforeClearing(defaults()->boolForKey(PHSettings::Key::ShowDeleteDialog));
}

void PHOptionsTab::load() {
    show(m_sortUsers, defaults()->boolForKey(PHSettings::Key::SortUsers));
    show(m_sortGroups, defaults()->boolForKey(PHSettings::Key::SortGroups));
    show(m_askBeforeClearing, defaults()->boolForKey(PHSettings::Key::ShowDeleteDialog));
    show(m_askBeforeDeletingUsers, defaults()->boolForKey(PHSettings::Key::UserDeleteDialog));
    show(m_askBeforeDeletingGroups, defaults()->boolForKey(PHSettings::Key::GroupDeleteDialog));
    show(m_manualEditor, defaults()->boolForKey(PHSettings::Key::ShowManualEditor));
    show(m_customRoots, defaults()->boolForKey(PHSettings::Key::AllowCustomWebDir));
    show(m_remoteServer, defaults()->boolForKey(PHSettings::Key::UsesRemoteApache));
}

void PHOptionsTab::applyStored() {
    setCustomRootsAllowed(defaults()->boolForKey(PHSettings::Key::AllowCustomWebDir));
    setManualEditorShown(defaults()->boolForKey(PHSettings::Key::ShowManualEditor));
    setRemoteServer(defaults()->boolForKey(PHSettings::Key::UsesRemoteApache));
}

void PHOptionsTab::setSortUsers(bool sorted) {
    defaults()->setBoolForKey(sorted, PHSettings::Key::SortUsers);
    emit sortUsersChanged(sorted);
}

void PHOptionsTab::setSortGroups(bool sorted) {
    defaults()->setBoolForKey(sorted, PHSettings::Key::SortGroups);
    emit sortGroupsChanged(sorted);
}

void PHOptionsTab::setAskBeforeClearing(bool ask) {
    defaults()->setBoolForKey(ask, PHSettings::Key::ShowDeleteDialog);
    show(m_askBeforeClearing, ask);
}

void PHOptionsTab::setAskBeforeDeletingUsers(bool ask) {
    defaults()->setBoolForKey(ask, PHSettings::Key::UserDeleteDialog);
    show(m_askBeforeDeletingUsers, ask);
}

void PHOptionsTab::setAskBeforeDeletingGroups(bool ask) {
    defaults()->setBoolForKey(ask, PHSettings::Key::GroupDeleteDialog);
    show(m_askBeforeDeletingGroups, ask);
}

bool PHOptionsTab::holdBackTurningOff(const QString &action, QAbstractButton *box,
                                      void (PHOptionsTab::*turnOff)(bool)) {
    return m_guard && m_guard->holdBackForUnsavedEdits(
                          action, this, [this, turnOff] { (this->*turnOff)(false); },
                          [box = QPointer<QAbstractButton>(box)] {
                              if (box)
                                  box->setChecked(true);
                          });
}

void PHOptionsTab::setManualEditorShown(bool shown) {
    if (holdBackTurningOff(QStringLiteral("hide the manual editor"), m_manualEditor,
                           &PHOptionsTab::setManualEditorShown))
        return;
    show(m_manualEditor, shown);
    defaults()->setBoolForKey(shown, PHSettings::Key::ShowManualEditor);
    emit manualEditorShownChanged(shown);
}

void PHOptionsTab::setCustomRootsAllowed(bool allowed) {
    if (defaults()->integerForKey(PHSettings::Key::ProtectedFolder) > 1 &&
        holdBackTurningOff(QStringLiteral("disallow custom web folders"), m_customRoots,
                           &PHOptionsTab::setCustomRootsAllowed))
        return;
    show(m_customRoots, allowed);
    defaults()->setBoolForKey(allowed, PHSettings::Key::AllowCustomWebDir);
    // A remote server is only a choice with a web folder of one's own.
    if (m_remoteServer)
        m_remoteServer->setEnabled(allowed);
    if (!allowed)
        setRemoteServer(false);
    emit customRootsAllowedChanged(allowed);
}

void PHOptionsTab::setRemoteServer(bool remote) {
    defaults()->setBoolForKey(remote, PHSettings::Key::UsesRemoteApache);
    show(m_remoteServer, remote);
    emit remoteServerChanged(remote);
}

void PHOptionsTab::setPasswordHash(int index) {
    if (!m_passwordHash)
        return;
    defaults()->setObjectForKey(m_passwordHash->itemData(index), PHPasswordHash::settingKey);
    emit passwordHashChanged();
}
