#pragma once

#include <QString>

class QWidget;

/// Turning a control on and off with the reason it is off: while disabled its
/// tooltip (and what a screen reader hears beside its name) says why, before
/// what it does; enabled again, it has its own tooltip back.
namespace PHEnabling {

void setEnabled(QWidget *widget, bool enabled, const QString &whyNot);

} // namespace PHEnabling
