#include "pane/PHGroupFileModule.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include "core/PHProcess.h"

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

std::optional<bool> loadedByServer(const QString &binary, const QString &confFile) {
    const QFileInfo program(binary);
    if (binary.isEmpty() || confFile.isEmpty() || !program.isFile() || !program.isExecutable() ||
        !QFileInfo(confFile).isReadable())
        return std::nullopt;
    // Debian's configuration takes its folders from envvars beside it; run and
    // lock folders of our own keep the question free of rights.
    const QString envvars = QFileInfo(confFile).dir().filePath(QStringLiteral("envvars"));
    QTemporaryDir runFolder;
    if (!runFolder.isValid())
        return std::nullopt;
    const QString script =
        QFileInfo::exists(envvars)
            ? QStringLiteral(". \"$1\" && APACHE_RUN_DIR=\"$2\" && APACHE_LOCK_DIR=\"$2\" && "
                             "APACHE_PID_FILE=\"$2/apache2.pid\" && export APACHE_RUN_DIR APACHE_LOCK_DIR "
                             "APACHE_PID_FILE && exec \"$3\" -M -f \"$4\"")
            : QStringLiteral("exec \"$3\" -M -f \"$4\"");
    const PHProcess::Result result = PHProcess::run(
        QStringLiteral("/bin/sh"),
        {QStringLiteral("-c"), script, QStringLiteral("sh"), envvars, runFolder.path(), binary, confFile},
        PHProcess::Stream::Pipe, PHProcess::Stream::Null);
    const QString output = QString::fromUtf8(result.output);
    if (!result.launched || result.status != 0 || !output.contains(QLatin1String("Loaded Modules")))
        return std::nullopt;
    return output.contains(QLatin1String("authz_groupfile_module"));
}

QString enableCommand() {
    return QStringLiteral("sudo a2enmod authz_groupfile && sudo systemctl restart apache2");
}

} // namespace PHGroupFileModule
