#pragma once

#include <QString>

/// Where a part that shows nothing itself reports a failure: the panel shows
/// an alert, portholdctl prints it, a test records it.
class PHErrorReporter {
public:
    virtual ~PHErrorReporter() = default;
    /// Reports the text of an error code (0 reports nothing); `detail` names
    /// the file and the system's reason ("/var/www/html/.htusers: Permission
    /// denied") and is shown after the text.
    virtual void displayError(qint32 code, const QString &detail = QString()) = 0;
};
