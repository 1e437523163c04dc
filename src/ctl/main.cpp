#include "ctl/PHCtl.h"
#include "model/PHServerConfigCache.h"

#include <QCoreApplication>

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    // Each command is a process of its own: the server program's answers are
    // kept between them.
    PHServerConfigCache::setEnabled(true);
    return PHCtl::run(arguments);
}
