#include "model/PHModelContext.h"

#include "core/PHErrorReporter.h"

#include <QObject>
#include <QPointer>

bool PHManualEditGuard::holdBackForUnsavedEdits(const QString &name, const QObject *owner,
                                                const std::function<void()> &retry,
                                                const std::function<void()> &putBack) {
    if (!hasUnsavedEdits())
        return false;
    if (putBack)
        putBack();
    // The prompt is answered later; what asked may be gone by then.
    const QPointer<const QObject> alive(owner);
    const bool owned = owner != nullptr;
    askAboutUnsavedEdits(DeferredAction{name, [alive, owned, retry] {
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

bool PHModelContext::hasUnsavedEdits() const {
    return manualEdits && manualEdits->hasUnsavedEdits();
}

bool PHModelContext::holdBackForUnsavedEdits(const QString &name, const QObject *owner,
                                             const std::function<void()> &retry,
                                             const std::function<void()> &putBack) const {
    return manualEdits && manualEdits->holdBackForUnsavedEdits(name, owner, retry, putBack);
}
