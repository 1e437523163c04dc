#include "views/PHUiLoader.h"

#include "views/PHOutlineView.h"
#include "views/PHTableView.h"

QWidget *PHUiLoader::createWidget(const QString &className, QWidget *parent, const QString &name) {
    QWidget *widget = nullptr;
    if (className == QLatin1String("PHTableView"))
        widget = new PHTableView(parent);
    else if (className == QLatin1String("PHOutlineView"))
        widget = new PHOutlineView(parent);
    else
        return PHLayoutLoader::createWidget(className, parent, name);
    widget->setObjectName(name);
    return widget;
}
