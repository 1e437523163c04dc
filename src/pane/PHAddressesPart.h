#pragma once

#include "model/PHFSItem.h"
#include "model/PHModelContext.h"
#include "platform/PHThemeColors.h"
#include "views/PHAddressModel.h"
#include "views/PHTableView.h"

#include <QObject>
#include <QPointer>
#include <QStringList>

class PHManualEditGuard;
class QAbstractButton;
class QButtonGroup;

/// The address side of a folder's protection: whether the listed addresses
/// are allowed or denied, the known-address list (stored in the settings)
/// with its table, and whether addresses found in access files join it.
class PHAddressesPart : public QObject {
    Q_OBJECT
public:
    struct Widgets {
        QButtonGroup *mode = nullptr; // row 0 allows the listed addresses, row 1 denies them
        PHTableView *table = nullptr;
        QAbstractButton *add = nullptr;
        QAbstractButton *remove = nullptr;
        QAbstractButton *discover = nullptr;
    };

    PHAddressesPart(const Widgets &widgets, const PHModelContext &context, PHManualEditGuard *guard,
                    QObject *parent = nullptr);

    /// The known addresses; the access-file reader appends discovered ones.
    QStringList &addresses() { return m_addresses; }
    QString addressAt(qint32 index) const;
    qint32 indexOf(const QString &address) const { return qint32(m_addresses.indexOf(address)); }
    bool shouldDiscover() const;

    /// The table, with its model.
    void setUp();
    /// Reads the stored list again (empty first).
    void reloadKnown();
    /// Shows the folder's address mode (nothing to choose without a folder).
    void setFolder(PHFSItem *item);
    /// Adds the new, acceptable addresses of `list`, stored once.
    void addFromList(const QStringList &list);
    /// A new row, open for typing.
    void add();
    /// Removes the selected addresses from the list; one in force on the
    /// folder stays until it is unticked there.
    void removeSelected();
    /// An edited row; a refused address goes back into its cell.
    void replace(qint32 index, const QString &address);

signals:
    void messageShown(PHThemeColors::Meaning meaning, const QString &text);

private:
    void setMode(int row);
    void selectionChanged();
    void store();
    void removeAddress(const QString &address);
    void reedit(qint32 index);
    void setDiscover(bool discover);

    PHModelContext m_context;
    PHManualEditGuard *m_guard;
    QPointer<QButtonGroup> m_mode;
    QPointer<PHTableView> m_table;
    QPointer<QAbstractButton> m_remove;
    QPointer<PHAddressModel> m_source;
    PHFSItemPointer m_folder;
    QStringList m_addresses;
};
