#pragma once

#include "model/PHFSItem.h"
#include "model/PHWebRoot.h"
#include "platform/PHThemeColors.h"

#include <QComboBox>
#include <QLabel>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

class PHManualEditGuard;

/// The web folder the panel protects: the pop-up of the user's, the
/// system's and a custom folder with its chooser, the paths derived from
/// it, its web address, and what Linux needs explained about it (missing,
/// not writable, not served).
class PHWebRootPart : public QObject {
    Q_OBJECT
public:
    struct Widgets {
        QWidget *window = nullptr; // parent of the chooser
        QComboBox *popUp = nullptr;
        QLabel *status = nullptr; // the notes about the web folder
    };

    PHWebRootPart(const Widgets &widgets, PHManualEditGuard *guard, QObject *parent = nullptr);

    /// A path of the web folder's, here and as the server names it.
    static QString location(PHWebRoot::PathKind kind);
    static QString serverLocation(PHWebRoot::PathKind kind);
    /// Why folders, users and groups cannot be changed now (the web folder is
    /// missing or cannot be written), or empty.
    static QString whyFoldersCannotChange();
    /// The web address of a folder of the tree.
    QUrl webAddress(PHFSItem *item) const;

    /// Selects the stored web folder in the pop-up.
    void load();
    /// The pop-up's choice: a folder, or the custom entry's chooser.
    void choose(qint32 index);
    /// The chooser's answer.
    void chooserEnded(const QString &path, bool accepted);
    /// False (and nothing changed) when the folder is missing or refused.
    bool setCustomFolder(const QString &path);
    /// Adds the custom entries to the pop-up, or takes them away and roots
    /// the panel in the folder the pop-up now shows.
    void allowCustomRoots(bool allowed);
    /// Makes the pop-up's entry `index` the web folder.
    void setStartDirectory(qint32 index);
    /// The notes about the web folder, in a row of their own (none when
    /// there is nothing to say).
    void explain();
    /// Opens a folder in the desktop's file manager, or says why it could not.
    void openFolder(const QString &path);

signals:
    /// The web folder is another one now.
    void rootChanged();
    void errorShown(qint32 code);
    void messageShown(PHThemeColors::Meaning meaning, const QString &text);

private:
    int customEntryIndex() const { return m_popUp->count() - 1; }
    void fillIcons();

    PHManualEditGuard *m_guard;
    QPointer<QWidget> m_window;
    QPointer<QComboBox> m_popUp;
    QPointer<QLabel> m_status;
};
