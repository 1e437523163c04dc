#pragma once

#include <QKeySequence>
#include <QList>

class QShortcut;
class QWidget;

/// The keys a Linux desktop closes a window and quits a program with: the
/// theme's own bindings, and Ctrl+W and Ctrl+Q wherever the theme has none
/// (the generic and offscreen platforms bind no Quit key at all).
namespace PHWindowKeys {

QList<QKeySequence> closeKeys();
QList<QKeySequence> quitKeys();
/// A shortcut of `window` (and its children) for `keys`.
QShortcut *add(QWidget *window, const QList<QKeySequence> &keys);

} // namespace PHWindowKeys
