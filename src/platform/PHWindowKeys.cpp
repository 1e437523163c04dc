#include "platform/PHWindowKeys.h"

#include <QShortcut>
#include <QWidget>

namespace {

QList<QKeySequence> withFallback(QKeySequence::StandardKey key, const QKeySequence &fallback) {
    QList<QKeySequence> keys = QKeySequence::keyBindings(key);
    if (!keys.contains(fallback))
        keys.append(fallback);
    return keys;
}

} // namespace

QList<QKeySequence> PHWindowKeys::closeKeys() {
    return withFallback(QKeySequence::Close, QKeySequence(Qt::CTRL | Qt::Key_W));
}

QList<QKeySequence> PHWindowKeys::quitKeys() {
    return withFallback(QKeySequence::Quit, QKeySequence(Qt::CTRL | Qt::Key_Q));
}

QShortcut *PHWindowKeys::add(QWidget *window, const QList<QKeySequence> &keys) {
    auto *shortcut = new QShortcut(window);
    shortcut->setKeys(keys);
    shortcut->setContext(Qt::WindowShortcut);
    return shortcut;
}
