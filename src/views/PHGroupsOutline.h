#pragma once

#include "views/PHViewProtocols.h"

#include <QObject>
#include <QPointer>

class PHGroupsDataSource;

/// Shows the group tree in the groups outline: groups at the top level,
/// members below, a check column that says whether the selected folder
/// requires each group. It only presents: ticking, renaming and drops belong
/// to the groups data source's own outline answers, which the panel uses
/// instead of this class as soon as the data source provides them.
class PHGroupsOutline : public QObject, public PHOutlineViewDataSource, public PHOutlineViewDelegate {
    Q_OBJECT
public:
    PHGroupsOutline(PHGroupsDataSource *groups, QObject *parent = nullptr);

    qint32 outlineViewNumberOfChildrenOfItem(QObject *outline, void *item) override;
    bool outlineViewIsItemExpandable(QObject *outline, void *item) override;
    void *outlineViewChildOfItem(QObject *outline, qint32 index, void *item) override;
    QVariant outlineViewObjectValueForTableColumnByItem(QObject *outline, const QString &column,
                                                        void *item) override;
    bool outlineViewShouldEditTableColumnItem(QObject *outline, const QString &column, void *item) override;
    void outlineViewWillDisplayCellForTableColumnItem(QObject *outline, PHCell &cell, const QString &column,
                                                      void *item) override;
    void outlineViewSelectionDidChange(QObject *outline) override;

private:
    QPointer<PHGroupsDataSource> m_groups;
};
