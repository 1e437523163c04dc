#pragma once

#include <QString>
#include <QtPlugin>

#include <functional>
#include <memory>

class QWidget;

/// One settings panel as the host drives it: made with its bundle, asked for
/// its main view, then told when it is shown, when the user wants to leave it
/// and when it has been left.
class PHPreferencePane {
public:
    /// Answers to shouldUnselect. "Later" promises a call of the reply
    /// callback (may unselect: true or false) once the panel has asked the user.
    enum UnselectReply { UnselectCancel = 0, UnselectNow = 1, UnselectLater = 2 };
    using ShouldUnselectReply = std::function<void(bool mayUnselect)>;

    virtual ~PHPreferencePane() = default;

    /// Loads the panel's layout into a new view for the given host window and
    /// runs the panel's start-up. The host takes the view into its window.
    virtual QWidget *loadMainView(QWidget *window) = 0;
    virtual void didSelect() = 0;
    virtual UnselectReply shouldUnselect() = 0;
    virtual void didUnselect() = 0;
    /// Where later answers to shouldUnselect go.
    virtual void setShouldUnselectReply(ShouldUnselectReply reply) = 0;
};

/// The entry point of a panel bundle's plug-in.
class PHPanelPlugin {
public:
    virtual ~PHPanelPlugin() = default;
    /// Creates the panel for the bundle folder at the path (resources,
    /// Info.plist and the helper tool live there). Null when it cannot start.
    virtual std::unique_ptr<PHPreferencePane> createPane(const QString &bundlePath) = 0;
};

#define PHPanelPlugin_iid "com.quillmere.porthold.PHPanelPlugin/1.0"
Q_DECLARE_INTERFACE(PHPanelPlugin, PHPanelPlugin_iid)
