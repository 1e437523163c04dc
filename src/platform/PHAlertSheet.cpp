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
    QPushButton *defaultButton =
        box->addButton(request.defaultButton.isEmpty() ? QStringLiteral("OK") : request.defaultButton,
                       QMessageBox::AcceptRole);
    QPushButton *alternateButton =
        request.alternateButton.isEmpty()
            ? nullptr
            : box->addButton(request.alternateButton, QMessageBox::DestructiveRole);
    QPushButton *otherButton = request.otherButton.isEmpty()
                                   ? nullptr
                                   : box->addButton(request.otherButton, QMessageBox::RejectRole);
    box->setDefaultButton(defaultButton);
    if (otherButton)
        box->setEscapeButton(otherButton);
    QObject::connect(box, &QMessageBox::finished, box,
                     [box, defaultButton, alternateButton, otherButton, onEnd] {
                         QAbstractButton *clicked = box->clickedButton();
                         int code = Error;
                         if (clicked == defaultButton)
                             code = Default;
                         else if (alternateButton && clicked == alternateButton)
                             code = Alternate;
                         else if (otherButton && (clicked == otherButton || !clicked))
                             code = Other; // its button, or closed with Escape
                         PHAction::run("alert sheet end", [&] {
                             if (onEnd)
                                 onEnd(code);
                         });
                     });
    g_current = box;
    box->open();
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
