#pragma once

#include <QChar>
#include <QKeyEvent>
#include <QString>

/// The character the delete key produces.
inline const QString PHDeleteKey = QString(QChar(0x7F));

/// Whether a key press is the delete key of the tables: the Delete key, the
/// Backspace key, or anything typing U+007F.
inline bool PHIsDeleteKey(const QKeyEvent *event) {
    return event->key() == Qt::Key_Delete || event->key() == Qt::Key_Backspace ||
           event->text() == PHDeleteKey;
}
