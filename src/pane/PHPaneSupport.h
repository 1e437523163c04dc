#pragma once

#include "model/PHAccessCheck.h"
#include "model/PHItemModel.h"

#include <QHeaderView>
#include <QString>

#include <functional>

class QAbstractItemView;
class QAction;
class QMenu;
class QObject;
class QPoint;

/// Small helpers the panel's tabs share.
namespace PHPaneSupport {

/// Runs an access check's requests on a worker thread (each may wait up to
/// 10 s, so the panel stays usable) and hands the report to `done` on the
/// main thread through a queued call, run as `action`; dropped when `owner`
/// is gone by then.
void askServerInBackground(QObject *owner, const PHAccessCheck::Plan &plan, const char *action,
                           std::function<void(const PHAccessCheck::Report &)> done);

/// Where a context menu asked for at `at` opens: at the pointer, or (from
/// the keyboard) at the current row.
QPoint menuPosition(QAbstractItemView *view, const QPoint &at);
/// An entry that runs `action` inside the action guard.
QAction *addMenuEntry(QMenu *menu, const QString &title, const char *name, std::function<void()> action);
/// Opens a context menu that deletes itself once closed; from the keyboard
/// the arrows start on the first entry that can be chosen.
void popUpMenu(QMenu *menu, const QPoint &global);

/// The users', groups' and addresses' columns: a check box, and the name
/// taking the rest of the width.
template <typename View>
void checkAndNameColumns(View *view, QHeaderView *header, const QString &identifier, const QString &title) {
    view->setColumns({{QStringLiteral("active"), QString(), PHItemModel::ColumnKind::Check},
                      {identifier, title, PHItemModel::ColumnKind::Text}});
    header->setSectionResizeMode(0, QHeaderView::Fixed);
    header->resizeSection(0, 28);
    header->setStretchLastSection(true);
}

} // namespace PHPaneSupport
