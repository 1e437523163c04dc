#include "platform/PHPendingWork.h"

#include <QCoreApplication>
#include <QVariant>

namespace {

constexpr const char *kProperty = "PHPendingWork";

void add(int delta) {
    QCoreApplication *app = QCoreApplication::instance();
    if (!app)
        return;
    const int now = app->property(kProperty).toInt() + delta;
    app->setProperty(kProperty, now > 0 ? now : 0);
}

} // namespace

void PHPendingWork::begin() {
    add(1);
}

void PHPendingWork::end() {
    add(-1);
}

int PHPendingWork::count() {
    const QCoreApplication *app = QCoreApplication::instance();
    return app ? app->property(kProperty).toInt() : 0;
}
