#pragma once

#include "core/NotificationCenter.h"

#include <QDateTime>
#include <QObject>
#include <QPointer>
#include <QString>

#include <functional>
#include <memory>

class PHMessageLine;
class PHUpdateController;
class QAbstractButton;
class QWidget;

/// The panel's side of the software-update check: creates the update
/// controller on first use, starts checks (also by itself on the panel's first
/// selection), follows the controller's notifications with the spinner and the
/// button title ("Check Now" / "Cancel"), and shows when the last check was.
///
/// The About tab constructs one with its widgets. It connects the
/// version-check button (a check while idle, a cancel while a check runs)
/// and the check-at-launch box itself.
class PHUpdateDisplay : public QObject {
    Q_OBJECT

public:
    struct Widgets {
        QAbstractButton *versionCheckButton = nullptr;
        /// Spins while a check runs (a QProgressBar is put in busy mode);
        /// hidden otherwise.
        QWidget *versionCheckProgress = nullptr;
        QAbstractButton *launchVersionCheck = nullptr;
        /// A QLabel or QLineEdit: its "text" property takes the line.
        QWidget *lastCheckText = nullptr;
        /// The panel's window: parent of the outcome sheets.
        QWidget *window = nullptr;
        /// Where a failed check at launch is noted instead of a sheet.
        PHMessageLine *messageLine = nullptr;
    };

    explicit PHUpdateDisplay(const Widgets &widgets, QObject *parent = nullptr);
    ~PHUpdateDisplay() override;

    /// The update panel's layout file; by default "SWU.ui" in the "Resources"
    /// folder of the bundle (or the bundle folder itself).
    QString interfacePath() const;
    void setBundlePath(const QString &path) { m_bundlePath = path; }
    void setInterfacePath(const QString &path) { m_interfacePath = path; }

    /// The update controller, or null before the first `prepSWU`.
    PHUpdateController *SWUController() const { return m_controller.get(); }

    /// Creates the update controller once, loads its layout and follows its
    /// notifications. Raises "Bundle 'SWU' could not be loaded. Software Update
    /// unavailable" when the layout cannot be loaded (the controller stays).
    void prepSWU();
    /// `prepSWU`, then a check (one the user asked for unless said otherwise).
    void beginSWUCheck(bool atLaunch = false);
    /// On the panel's first selection, a check when "Check for Updates" is set;
    /// the first-selection flag is cleared whatever the setting.
    void didSelect();
    /// The button: "Check Now" starts a check, "Cancel" stops the running one.
    void versionCheckButtonClicked();
    void receiveSWUNotification(const Notification &notification);

    /// Shows "Last Check: ..." for a time in seconds since 2001-01-01 UTC (0:
    /// never) and stores it under "Last Version Check" when it differs.
    void setSecondsSinceCheck(double seconds);
    /// The line for a check time as seen at `now` (local time zone).
    static QString lastCheckLine(double seconds, const QDateTime &now);
    /// The next selection counts as the process's first again.
    static void resetFirstSelectionForTesting();

    void setShouldCheckAtLaunch(bool shouldCheck);

    /// Test hook: the clock that "today" is taken from.
    void setClock(std::function<QDateTime()> clock) { m_clock = std::move(clock); }

private:
    void setCheckRunning(bool running);

    QPointer<QAbstractButton> m_versionCheckButton;
    QPointer<QWidget> m_versionCheckProgress;
    QPointer<QAbstractButton> m_launchVersionCheck;
    QPointer<QWidget> m_lastCheckText;
    QPointer<QWidget> m_window;
    QPointer<PHMessageLine> m_messageLine;

    std::unique_ptr<PHUpdateController> m_controller;
    ObserverRegistration m_observer;
    QString m_interfacePath;
    QString m_bundlePath;
    std::function<QDateTime()> m_clock;
};
