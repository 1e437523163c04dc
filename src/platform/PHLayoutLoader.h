#pragma once

#include <QUiLoader>

/// The loader of the panel's layout files. Unlike a plain QUiLoader it loads
/// no Qt Designer plug-ins: a QUiLoader loads every plug-in of Qt's
/// "designer" folders when it is made (with Qt Quick and its libraries behind
/// them), and the layouts use none of them, only Qt's own widgets and the
/// classes a subclass makes in createWidget.
class PHLayoutLoader : public QUiLoader {
    Q_OBJECT
public:
    explicit PHLayoutLoader(QObject *parent = nullptr);

private:
    struct PluginSearchOff;
    PHLayoutLoader(QObject *parent, const PluginSearchOff &);
};
