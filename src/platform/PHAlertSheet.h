#pragma once

#include <QPointer>
#include <QString>
#include <QStringList>

#include <functional>

class QWidget;
class QMessageBox;

/// Alert sheets: a window-modal message box whose buttons map to the return
/// codes 1 (default), 0 (alternate), -1 (other) and -2 (error). The end
/// callback receives the code; it runs inside the action guard.
///
/// Tests answer sheets through the same helper: with an answerer installed,
/// each sheet is recorded and answered at once (on the next event-loop turn)
/// with the code the answerer returns, and no box is shown.
namespace PHAlertSheet {

enum Answer { Default = 1, Alternate = 0, Other = -1, Error = -2 };

struct Request {
    QString title;
    QString message;
    QString defaultButton;      // empty: "OK"
    QString alternateButton;    // empty: none
    QString otherButton;        // empty: none
    QString context;            // a tag the caller may use (for tests and logs)
    bool informational = false; // news, not a problem: the information icon
    /// Return answers the other button (a "No" that keeps everything), not
    /// the default one: for questions whose default destroys something.
    bool otherIsSafe = false;
};

using EndCallback = std::function<void(int answer)>;

/// Shows the sheet on the window (or application-modal without a window) and
/// returns at once; the callback runs when the user answers.
void begin(QWidget *window, const Request &request, EndCallback onEnd);

/// The box currently shown for a window, or nullptr.
QMessageBox *current();

/// The message box a sheet for `request` is, made and not shown: icon,
/// texts (plain) and buttons, the default and escape buttons set. begin()
/// shows it; on its own it sizes itself as any message box does.
QMessageBox *makeBox(QWidget *window, const Request &request);

// Test hook.
using Answerer = std::function<int(const Request &)>;
void setAnswerer(Answerer answerer);
/// Every sheet begun while an answerer is installed, in order.
const QList<Request> &recorded();
void clearRecorded();

} // namespace PHAlertSheet
