#pragma once

#include "model/PHAccessCheck.h"
#include "views/PHState.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QComboBox>
#include <QString>

#include <functional>

/// Small helpers the panel controller's files share.
namespace PortholdPrefSupport {

/// A sender's check-box state: a check box or a boxed state.
inline qint32 stateOf(QObject *sender) {
    if (auto *state = qobject_cast<PHState *>(sender))
        return state->state();
    if (auto *button = qobject_cast<QAbstractButton *>(sender))
        return button->isChecked() ? 1 : 0;
    return 0;
}

/// A sender's selected index (pop-up) or row (matrix, table), or -1.
inline qint32 selectionOf(QObject *sender) {
    if (auto *state = qobject_cast<PHState *>(sender))
        return state->state();
    if (auto *popup = qobject_cast<QComboBox *>(sender))
        return popup->currentIndex();
    if (auto *matrix = qobject_cast<QButtonGroup *>(sender))
        return matrix->checkedId();
    return -1;
}

/// Runs an access check's requests on a worker thread (each may wait up to
/// 10 s, so the panel stays usable) and hands the report to `done` on the
/// main thread through a queued call, run as `action`; dropped when `owner`
/// is gone by then.
void askServerInBackground(QObject *owner, const PHAccessCheck::Plan &plan, const char *action,
                           std::function<void(const PHAccessCheck::Report &)> done);

} // namespace PortholdPrefSupport
