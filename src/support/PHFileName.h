#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

/// File names as the kernel keeps them: bytes, usually but not always UTF-8.
/// A name read from a folder must open the same file again, so a byte that
/// is not part of valid UTF-8 is kept in the text as the lone surrogate
/// U+DC00 + byte, and turned back into that byte on the way out. Valid UTF-8
/// never yields such a surrogate, so every name survives the round trip.
namespace PHFileName {

/// The text of a file name or path, every byte kept.
QString decode(QByteArrayView bytes);
/// The bytes of a text made by `decode` (or any text: it is UTF-8 encoded).
QByteArray encode(const QString &text);
/// The name for people: each byte that is not UTF-8 shows as U+FFFD.
QString readable(const QString &text);

} // namespace PHFileName
