#include "pane/PHGroupFileModule.h"

#include <QDir>
#include <QFileInfo>

namespace {
QString &root() {
    static QString path = QStringLiteral("/etc/apache2");
    return path;
}
} // namespace

namespace PHGroupFileModule {

QString serverRoot() {
    return root();
}

void setServerRoot(const QString &path) {
    root() = path;
}

bool isDisabled() {
    const QDir server(root());
    // A symbolic link to the module's .load file is how Debian enables it; a
    // dangling one enables nothing, which QFileInfo::exists reports as absent.
    return QFileInfo(server.filePath(QStringLiteral("mods-available"))).isDir() &&
           !QFileInfo::exists(server.filePath(QStringLiteral("mods-enabled/authz_groupfile.load")));
}

QString enableCommand() {
    return QStringLiteral("sudo a2enmod authz_groupfile && sudo systemctl restart apache2");
}

} // namespace PHGroupFileModule
