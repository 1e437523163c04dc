#pragma once

#include "platform/PHPanelPlugin.h"

#include <QPluginLoader>
#include <QWidget>

#include <memory>

/// The settings host's window: loads one panel bundle, shows the panel's view
/// and drives its lifecycle. Closing the window asks the panel first; a panel
/// that answers "later" keeps the window open until it replies.
class PHSettingsHost : public QWidget {
    Q_OBJECT
public:
    explicit PHSettingsHost(QWidget *parent = nullptr);
    ~PHSettingsHost() override;

    /// Loads the bundle's plug-in, creates the panel and its view. On failure
    /// returns false with a message for the user in `error`.
    bool loadBundle(const QString &bundlePath, QString *error);
    /// Shows the window and tells the panel it is selected.
    void select();
    /// Asks the panel to unselect and, once it agrees, unselects and closes.
    void requestClose();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void finishUnselect();

    QPluginLoader m_loader;
    std::unique_ptr<PHPreferencePane> m_pane;
    bool m_selected = false;
    bool m_awaitingReply = false;
    bool m_closing = false;
};
