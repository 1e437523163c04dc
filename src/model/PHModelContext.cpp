#include "model/PHModelContext.h"

#include "core/PHErrorReporter.h"

#include <QObject>
#include <QPointer>

bool PHManualEditGuard::holdBackForManualEdits(const QString &name, const QObject *owner,
                                               const std::function<void()> &retry,
                                               const std::function<void()> &putBack) {
    if (!hasBeenManuallyEdited())
        return false;
    if (putBack)
        putBack();
    // The prompt is answered later; what asked may be gone by then.
    const QPointer<const QObject> alive(owner);
    const bool owned = owner != nullptr;
    presentManualEditingErrorWithInvocation(DeferredAction{name, [alive, owned, retry] {
                                                               if (!owned || alive)
                                                                   retry();
                                                           }});
    return true;
}

QStringList PHModelContext::userNames() const {
    return names ? names->userNames() : QStringList();
}

QStringList PHModelContext::groupNames() const {
    return names ? names->groupNames() : QStringList();
}

QString PHModelContext::location(PHWebRoot::PathKind kind) const {
    return locations ? locations->location(kind) : QString();
}

QString PHModelContext::serverLocation(PHWebRoot::PathKind kind) const {
    return locations ? locations->serverLocation(kind) : QString();
}

void PHModelContext::displayError(qint32 code, const QString &detail) const {
    if (errors)
        errors->displayError(code, detail);
}

PHFSItem *PHModelContext::selectedItem() const {
    return selection ? selection->selectedItem() : nullptr;
}

bool PHModelContext::hasBeenManuallyEdited() const {
    return manualEdits && manualEdits->hasBeenManuallyEdited();
}

bool PHModelContext::holdBackForManualEdits(const QString &name, const QObject *owner,
                                            const std::function<void()> &retry,
                                            const std::function<void()> &putBack) const {
    return manualEdits && manualEdits->holdBackForManualEdits(name, owner, retry, putBack);
}
