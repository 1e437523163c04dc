#include "platform/PHAction.h"

#include "core/Log.h"
#include "core/PHException.h"

namespace PHAction {

bool run(const char *what, const std::function<void()> &action) {
    try {
        action();
        return true;
    } catch (const PHException &e) {
        Log::write(
            QStringLiteral("*** %1 abandoned: %2: %3").arg(QString::fromUtf8(what), e.name(), e.reason()));
    } catch (const std::exception &e) {
        Log::write(
            QStringLiteral("*** %1 abandoned: %2").arg(QString::fromUtf8(what), QString::fromUtf8(e.what())));
    }
    return false;
}

} // namespace PHAction
