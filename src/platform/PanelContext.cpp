#include "platform/PanelContext.h"

#include <QObject>
#include <QPointer>

#include <atomic>

namespace {
std::atomic<PanelContext *> g_shared{nullptr};
}

PanelContext *PanelContext::sharedInstance() {
    return g_shared.load();
}

void PanelContext::setSharedInstance(PanelContext *context) {
    g_shared.store(context);
}

bool PanelContext::holdBackForManualEdits(const QString &name, const QObject *owner,
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
