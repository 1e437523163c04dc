#include "platform/PHAlertSheet.h"

#include "platform/PHAction.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QLabel>
#include <QMessageBox>
#include <QMetaObject>
#include <QPushButton>

namespace PHAlertSheet {
namespace {
Answerer g_answerer;
QList<Request> g_recorded;
QPointer<QMessageBox> g_current;
/// The box's property holding the button that answers Default (not always
/// the box's default button, which Return presses).
const char *const kDefaultAnswer = "defaultAnswer";

// The box sizes itself to its texts when shown, and that is where most of
// its cost goes: its labels are selectable, so each measure lays the text
// out again. Two things made it measure more than it needs to:
//  - its new widgets' polish requests were still queued. Delivered after
//    the box was shown, the buttons asked for a new layout and the box
//    measured its texts a second time, to the same size. Delivered now,
//    before it is shown, they are part of its one sizing.
//  - the box measures the message first with the message's size policy
//    ignored, then for the width it settles on. A label measures again
//    whenever its size policy differs from the one it last measured for:
//    set to ignored here, the measure taken for the box's first layout
//    (before it is shown) serves the first step too. The box sets the
//    policy the message ends with itself.
void settleBeforeShowing(QMessageBox *box) {
    for (QWidget *widget : box->findChildren<QWidget *>())
        QCoreApplication::sendPostedEvents(widget, QEvent::PolishRequest);
    if (auto *informative = box->findChild<QLabel *>(QStringLiteral("qt_msgbox_informativelabel")))
        informative->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
}

} // namespace

void begin(QWidget *window, const Request &request, EndCallback onEnd) {
    if (g_answerer) {
        g_recorded.append(request);
        const int code = g_answerer(request);
        QObject *target = QCoreApplication::instance();
        QMetaObject::invokeMethod(
            target,
            [onEnd, code] {
                PHAction::run("alert sheet end", [&] {
                    if (onEnd)
                        onEnd(code);
                });
            },
            Qt::QueuedConnection);
        return;
    }

    QMessageBox *box = makeBox(window, request);
    QObject::connect(box, &QMessageBox::finished, box, [box, onEnd] {
        QAbstractButton *clicked = box->clickedButton();
        int code = Error;
        if (clicked && clicked == box->property(kDefaultAnswer).value<QObject *>())
            code = Default;
        else if (clicked && box->buttonRole(clicked) == QMessageBox::DestructiveRole)
            code = Alternate;
        else if (box->escapeButton() && (clicked == box->escapeButton() || !clicked))
            code = Other; // its button, or closed with Escape
        PHAction::run("alert sheet end", [&] {
            if (onEnd)
                onEnd(code);
        });
    });
    g_current = box;
    settleBeforeShowing(box);
    box->open();
}

QMessageBox *makeBox(QWidget *window, const Request &request) {
    auto *box = new QMessageBox(window);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(window ? Qt::WindowModal : Qt::ApplicationModal);
    box->setIcon(request.informational ? QMessageBox::Information : QMessageBox::Warning);
    // The texts quote names from files and from users ("<b>eve</b>" is a
    // possible user name): shown as they are, never read as markup or links.
    box->setTextFormat(Qt::PlainText);
    box->setText(request.title);
    box->setInformativeText(request.message);
    if (auto *informative = box->findChild<QLabel *>(QStringLiteral("qt_msgbox_informativelabel")))
        informative->setTextFormat(Qt::PlainText);
    QPushButton *answer =
        box->addButton(request.defaultButton.isEmpty() ? QStringLiteral("OK") : request.defaultButton,
                       QMessageBox::AcceptRole);
    box->setProperty(kDefaultAnswer, QVariant::fromValue<QObject *>(answer));
    box->setDefaultButton(answer);
    if (!request.alternateButton.isEmpty())
        box->addButton(request.alternateButton, QMessageBox::DestructiveRole);
    if (!request.otherButton.isEmpty()) {
        QPushButton *other = box->addButton(request.otherButton, QMessageBox::RejectRole);
        box->setEscapeButton(other);
        if (request.otherIsSafe)
            box->setDefaultButton(other);
    }
    return box;
}

QMessageBox *current() {
    return g_current.data();
}

void setAnswerer(Answerer answerer) {
    g_answerer = std::move(answerer);
}

const QList<Request> &recorded() {
    return g_recorded;
}

void clearRecorded() {
    g_recorded.clear();
}

} // namespace PHAlertSheet
