#pragma once

#include <QObject>
#include <QPointer>
#include <QString>

class PHManualEditGuard;
class QAbstractButton;
class QComboBox;

/// The Options tab: the check boxes of the panel's settings and the password
/// scheme. Each box stores its setting when clicked and says what changed;
/// the tabs that act on a setting follow the signals.
class PHOptionsTab : public QObject {
    Q_OBJECT
public:
    struct Widgets {
        QAbstractButton *sortUsers = nullptr;
        QAbstractButton *sortGroups = nullptr;
        QAbstractButton *askBeforeClearing = nullptr;
        QAbstractButton *askBeforeDeletingUsers = nullptr;
        QAbstractButton *askBeforeDeletingGroups = nullptr;
        QAbstractButton *manualEditor = nullptr;
        QAbstractButton *customRoots = nullptr;
        QAbstractButton *remoteServer = nullptr;
        QComboBox *passwordHash = nullptr;
    };

    /// `guard` keeps the manual editor's unsaved text from being lost when an
    /// option would hide it.
    PHOptionsTab(const Widgets &widgets, PHManualEditGuard *guard, QObject *parent = nullptr);

    /// Shows the stored settings in the boxes.
    void load();
    /// Acts on the stored settings that shape the panel (custom web folders,
    /// the manual editor, a remote server), as a click on their boxes does.
    void applyStored();

    // Each stores its setting and shows it in its box.
    void setAskBeforeClearing(bool ask);
    void setAskBeforeDeletingUsers(bool ask);
    void setAskBeforeDeletingGroups(bool ask);
    /// Turning the editor off while its text is unsaved asks first.
    void setManualEditorShown(bool shown);
    /// Turning custom web folders off while one is the web folder and the
    /// editor's text is unsaved asks first; off also means a local server.
    void setCustomRootsAllowed(bool allowed);
    void setRemoteServer(bool remote);

signals:
    void sortUsersChanged(bool sorted);
    void sortGroupsChanged(bool sorted);
    void manualEditorShownChanged(bool shown);
    void customRootsAllowedChanged(bool allowed);
    void remoteServerChanged(bool remote);
    void passwordHashChanged();

private:
    /// The unsaved-edit guard in front of turning `box` off through `turnOff`:
    /// "Save" turns it off again once saved, "Cancel" leaves it on.
    bool holdBackTurningOff(const QString &action, QAbstractButton *box, void (PHOptionsTab::*turnOff)(bool));
    void setSortUsers(bool sorted);
    void setSortGroups(bool sorted);
    void setPasswordHash(int index);

    PHManualEditGuard *m_guard;
    QPointer<QAbstractButton> m_sortUsers;
    QPointer<QAbstractButton> m_sortGroups;
    QPointer<QAbstractButton> m_askBeforeClearing;
    QPointer<QAbstractButton> m_askBeforeDeletingUsers;
    QPointer<QAbstractButton> m_askBeforeDeletingGroups;
    QPointer<QAbstractButton> m_manualEditor;
    QPointer<QAbstractButton> m_customRoots;
    QPointer<QAbstractButton> m_remoteServer;
    QPointer<QComboBox> m_passwordHash;
};
