#pragma once

#include "pane/PHUpdateDisplay.h"
#include "platform/PHThemeColors.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QUrl>

class PHBundle;
class PHMessageLine;
class QAbstractButton;
class QLabel;
class QTextBrowser;
class QWidget;

/// About, help and updates: the name and version, the credits (laid out
/// when their tab first shows them), the web site and donation buttons, the
/// help window, and the update check with its settings in Options.
class PHAboutTab : public QObject {
    Q_OBJECT
public:
    struct Widgets {
        QWidget *window = nullptr; // parent of the update sheets
        QLabel *nameVersion = nullptr;
        QTextBrowser *credits = nullptr;
        QAbstractButton *website = nullptr;
        QAbstractButton *donate = nullptr;
        QAbstractButton *help = nullptr;
        QAbstractButton *versionCheck = nullptr;
        QWidget *versionCheckProgress = nullptr;
        QAbstractButton *checkAtLaunch = nullptr;
        QWidget *lastCheck = nullptr;
        PHMessageLine *messageLine = nullptr; // where a failed check at launch is noted
    };

    PHAboutTab(const Widgets &widgets, const PHBundle &bundle, QObject *parent = nullptr);
    ~PHAboutTab() override;

    PHUpdateDisplay *updateDisplay() const { return m_updateDisplay; }
    /// The help window, once help has been asked for.
    QWidget *helpWindow() const { return m_helpWindow; }

    /// Shows the stored update setting.
    void load();
    /// The first selection may start an update check.
    void didSelect();
    void didUnselect();
    /// Opens the help window, whole on the panel's screen.
    void help();
    /// Opens a page in the desktop's browser, or says why not.
    void openWebPage(const QUrl &address);

signals:
    void messageShown(PHThemeColors::Meaning meaning, const QString &text);

private:
    void loadHelp();
    void loadCredits();

    const PHBundle &m_bundle;
    QPointer<QWidget> m_window;
    QPointer<QTextBrowser> m_credits;
    QPointer<QAbstractButton> m_checkAtLaunch;
    QPointer<QWidget> m_helpWindow;
    QPointer<PHUpdateDisplay> m_updateDisplay;
};
