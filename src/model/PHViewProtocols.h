#pragma once

#include <QString>
#include <QStringList>
#include <QVariant>

class QMimeData;
class QMenu;

/// What a data source or delegate may set on a cell before it is shown: the
/// stand-in for the cell object a view hands to `…WillDisplayCell…`.
struct PHCell {
    bool enabled = true;      // check boxes, pop-ups and buttons act only when enabled
    bool transparent = false; // nothing drawn, nothing clickable (a member row's check box)
    // Images are QIcons held in a QVariant: the view draws them, and the model passes on
    // only icons its view handed it, so the model needs no GUI library.
    QVariant image;           // icon of an icon-and-text cell, image of a button cell
    QVariant pressedImage;    // a button cell's image while pressed
    QMenu *menu = nullptr;    // a pop-up cell's menu
    qint32 selectedItem = -1; // a pop-up cell's selected item, when the delegate sets it
    QString mark;             // a short sign drawn after a pop-up cell's title
    QString toolTip;          // shown when the pointer rests on the cell
    QString title;            // a text cell's shown text, when it is not the value (typing edits the value)
};

/// Delegate answers of a table (`PHTableView`). Every answer has a harmless
/// default, so a data source implements only what its table needs.
class PHTableViewDelegate {
public:
    virtual ~PHTableViewDelegate() = default;
    /// Whether typing into a text cell may start.
    virtual bool tableViewShouldEditTableColumnRow(QObject *, const QString &, qint32) { return true; }
    virtual void tableViewWillDisplayCellForTableColumnRow(QObject *, PHCell &, const QString &, qint32) {}
    /// Drag source: fill the pasteboard for the rows; false refuses the drag.
    virtual bool tableViewWriteRowsToPasteboard(QObject *, const QList<qint32> &, QMimeData *) {
        return false;
    }
    virtual QStringList tableViewPasteboardTypes(QObject *) { return {}; }
};

/// An outline's data source. Items are the data source's own nodes, passed as
/// untyped pointers (nullptr is the invisible top); the data source keeps them
/// alive until it asks its view to reload.
class PHOutlineViewDataSource {
public:
    virtual ~PHOutlineViewDataSource() = default;
    virtual qint32 outlineViewNumberOfChildrenOfItem(QObject *outline, void *item) = 0;
    virtual bool outlineViewIsItemExpandable(QObject *outline, void *item) = 0;
    virtual void *outlineViewChildOfItem(QObject *outline, qint32 index, void *item) = 0;
    virtual QVariant outlineViewObjectValueForTableColumnByItem(QObject *outline, const QString &column,
                                                                void *item) = 0;
    virtual void outlineViewSetObjectValueForTableColumnByItem(QObject *, const QVariant &, const QString &,
                                                               void *) {}
    /// The item's parent (nullptr at the top), so the view can find an item it
    /// has not shown yet. `known` is false when the data source cannot tell.
    virtual void *outlineViewParentOfItem(QObject *, void *, bool *known) {
        *known = false;
        return nullptr;
    }
    /// True when `outlineViewParentOfItem` answers for every item the view has
    /// been given, for as long as the view may hold it: the view then keeps no
    /// note of where each row it is given sits, only of the items it looks up.
    virtual bool outlineViewKnowsParents(QObject *) { return false; }
};

/// Delegate answers of an outline (`PHOutlineView`), all optional.
class PHOutlineViewDelegate {
public:
    virtual ~PHOutlineViewDelegate() = default;
    virtual bool outlineViewShouldEditTableColumnItem(QObject *, const QString &, void *) { return true; }
    virtual void outlineViewWillDisplayCellForTableColumnItem(QObject *, PHCell &, const QString &, void *) {}
    /// Whether the item may become selected; may hold the selection back.
    virtual bool outlineViewShouldSelectItem(QObject *, void *) { return true; }
    virtual void outlineViewSelectionDidChange(QObject *) {}
    virtual void outlineViewItemWillExpand(QObject *, void *) {}
    virtual void outlineViewItemWillCollapse(QObject *, void *) {}

    /// The in-place editor's name check. Only delegates that answer true to
    /// `validatesText` are asked; false keeps the edit open.
    virtual bool validatesText() const { return false; }
    virtual bool outlineViewValidateText(QObject *, const QString &) { return true; }
    /// Called after an accepted edit when "Sort Groups" is on: sort the top level.
    virtual void outlineViewSortTopLevelItems(QObject *) {}

    // Drag and drop.
    virtual QStringList outlineViewPasteboardTypes(QObject *) { return {}; }
    /// The drop check: true accepts. `item` and `childIndex` may be retargeted.
    virtual bool outlineViewValidateDrop(QObject *, const QMimeData *, void *&, qint32 &) { return false; }
    virtual bool outlineViewAcceptDrop(QObject *, const QMimeData *, void *, qint32) { return false; }
};
