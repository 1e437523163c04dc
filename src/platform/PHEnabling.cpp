#include "platform/PHEnabling.h"

#include <QVariant>
#include <QWidget>

namespace {
// The control's own tooltip and description, kept while a reason replaces them.
const char *const kOwnToolTip = "ownToolTip";
const char *const kOwnDescription = "ownAccessibleDescription";
} // namespace

void PHEnabling::setEnabled(QWidget *widget, bool enabled, const QString &whyNot) {
    if (!widget)
        return;
    if (!widget->property(kOwnToolTip).isValid()) {
        widget->setProperty(kOwnToolTip, widget->toolTip());
        widget->setProperty(kOwnDescription, widget->accessibleDescription());
    }
    const QString ownTip = widget->property(kOwnToolTip).toString();
    const QString ownDescription = widget->property(kOwnDescription).toString();
    widget->setEnabled(enabled);
    if (enabled || whyNot.isEmpty()) {
        widget->setToolTip(ownTip);
        widget->setAccessibleDescription(ownDescription);
        return;
    }
    widget->setToolTip(ownTip.isEmpty() ? whyNot : whyNot + QLatin1Char('\n') + ownTip);
    widget->setAccessibleDescription(whyNot);
}
