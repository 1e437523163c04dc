#include "platform/PanelContext.h"

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
