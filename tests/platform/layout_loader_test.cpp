#include "platform/PHLayoutLoader.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLibrary>

namespace {

// The Qt Designer plug-ins mapped into this process.
QStringList mappedDesignerPlugins() {
    QFile maps(QStringLiteral("/proc/self/maps"));
    if (!maps.open(QIODevice::ReadOnly))
        return {QStringLiteral("(cannot read /proc/self/maps)")};
    QStringList found;
    for (const QByteArray &line : maps.readAll().split('\n'))
        if (line.contains("/designer/"))
            found.append(QString::fromLocal8Bit(line.mid(line.indexOf('/'))));
    found.removeDuplicates();
    return found;
}

bool designerPluginInstalled() {
    for (const QString &folder : QCoreApplication::libraryPaths())
        for (const QString &file : QDir(folder + QStringLiteral("/designer")).entryList(QDir::Files))
            if (QLibrary::isLibrary(file))
                return true;
    return false;
}

TEST(LayoutLoader, LoadsLayoutsWithoutDesignerPluginsAndKeepsQtsPluginFolders) {
    int argc = 1;
    char name[] = "layout_loader_test";
    char *argv[] = {name, nullptr};
    QApplication app(argc, argv);
    const QStringList folders = QCoreApplication::libraryPaths();

    {
        PHLayoutLoader loader;
        EXPECT_TRUE(loader.pluginPaths().isEmpty());
        QBuffer layout;
        layout.setData("<ui version=\"4.0\"><class>Form</class><widget class=\"QLabel\" name=\"greeting\">"
                       "<property name=\"text\"><string>Hello</string></property></widget></ui>");
        std::unique_ptr<QWidget> form(loader.load(&layout));
        ASSERT_TRUE(form) << loader.errorString().toStdString();
        auto *label = qobject_cast<QLabel *>(form.get());
        ASSERT_TRUE(label);
        EXPECT_EQ(label->text(), QStringLiteral("Hello"));
    }
    EXPECT_EQ(QCoreApplication::libraryPaths(), folders);
    EXPECT_EQ(mappedDesignerPlugins().join(QLatin1Char(' ')).toStdString(), "");

    // A plain loader does load them: the check above can see a loaded one.
    if (!designerPluginInstalled())
        GTEST_SKIP() << "no Qt Designer plug-in installed to compare with";
    QUiLoader plain;
    EXPECT_FALSE(mappedDesignerPlugins().isEmpty());
}

} // namespace
