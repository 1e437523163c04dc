#pragma once

#include "views/PHState.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QComboBox>
#include <QString>

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

} // namespace PortholdPrefSupport
