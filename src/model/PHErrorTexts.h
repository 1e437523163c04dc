#pragma once

#include <QString>
#include <QStringList>

/// The wording of error codes (`PHError::Code`), from the bundle's errors
/// list, the same in the panel's alert and in portholdctl's messages.
namespace PHErrorTexts {

/// The texts of "Resources/errors.plist" in the bundle at `bundlePath`, one per
/// code from 0; empty when there is none.
QStringList read(const QString &bundlePath);

/// The message for `code`: its text in a sentence, or "An unknown error
/// occured" when `texts` has none for it.
QString message(const QStringList &texts, qint32 code);

} // namespace PHErrorTexts
