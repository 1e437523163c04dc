#include "pane/PHUpdateDisplay.h"

#include "core/PHException.h"
#include "model/PHSettings.h"
#include "platform/PHAction.h"
#include "platform/PHMessageLine.h"
#include "support/PHExtensions.h"
#include "support/PHSettingsStore.h"
#include "update/PHUpdateController.h"

#include <QAbstractButton>
#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QProgressBar>
#include <QVariant>
#include <QWidget>

namespace {

constexpr qint64 kReferenceDateOffset = 978307200; // 2001-01-01 00:00:00 UTC in Unix seconds

// The check at launch runs once per process, however often the panel is loaded.
bool g_firstSelection = true;

} // namespace

PHUpdateDisplay::PHUpdateDisplay(const Widgets &widgets, QObject *parent)
    : QObject(parent), m_versionCheckButton(widgets.versionCheckButton),
      m_versionCheckProgress(widgets.versionCheckProgress), m_launchVersionCheck(widgets.launchVersionCheck),
      m_lastCheckText(widgets.lastCheckText), m_window(widgets.window), m_messageLine(widgets.messageLine),
      m_clock([] { return QDateTime::currentDateTime(); }) {
    if (m_versionCheckButton)
        connect(m_versionCheckButton, &QAbstractButton::clicked, this,
                [this] { PHAction::run("version check button", [&] { versionCheckButtonClicked(); }); });
    if (m_launchVersionCheck)
        connect(m_launchVersionCheck, &QAbstractButton::clicked, this, [this](bool checked) {
            PHAction::run("check at launch", [&] { setShouldCheckAtLaunch(checked); });
        });
    if (m_versionCheckProgress)
        m_versionCheckProgress->setVisible(false);
}

PHUpdateDisplay::~PHUpdateDisplay() = default;

QString PHUpdateDisplay::interfacePath() const {
    if (!m_interfacePath.isEmpty())
        return m_interfacePath;
    const QString &bundle = m_bundlePath;
    if (bundle.isEmpty())
        return {};
    const QString inResources = QDir(bundle).filePath(QStringLiteral("Resources/SWU.ui"));
    const QString inBundle = QDir(bundle).filePath(QStringLiteral("SWU.ui"));
    return QFileInfo::exists(inResources) || !QFileInfo::exists(inBundle) ? inResources : inBundle;
}

void PHUpdateDisplay::prepSWU() {
    if (m_controller)
        return;
    m_controller = std::make_unique<PHUpdateController>();
    m_controller->setWindow(m_window);
    if (!m_controller->loadInterface(interfacePath())) {
        // Without its layout the controller could run a check that nothing
        // shows or ends: the next attempt starts from scratch and fails too.
        m_controller.reset();
        const QString failure =
            QStringLiteral("Bundle 'SWU' could not be loaded. Software Update unavailable");
        throw PHException(failure, failure);
    }
    m_observer = ObserverRegistration(QString(), m_controller.get(),
                                      [this](const Notification &note) { receiveSWUNotification(note); });
}

void PHUpdateDisplay::beginSWUCheck(bool atLaunch) {
    prepSWU();
    m_controller->checkForNewVersion(atLaunch ? PHUpdateController::Origin::Launch
                                              : PHUpdateController::Origin::User);
}

void PHUpdateDisplay::didSelect() {
    const bool first = g_firstSelection;
    g_firstSelection = false;
    if (first && PHSettingsStore::instance()->boolForKey(PHSettings::Key::CheckForUpdates))
        beginSWUCheck(true);
}

void PHUpdateDisplay::resetFirstSelectionForTesting() {
    g_firstSelection = true;
}

void PHUpdateDisplay::versionCheckButtonClicked() {
    if (m_controller && m_controller->isChecking())
        m_controller->cancelCheck();
    else
        beginSWUCheck();
}

void PHUpdateDisplay::setCheckRunning(bool running) {
    if (m_versionCheckProgress) {
        if (auto *bar = qobject_cast<QProgressBar *>(m_versionCheckProgress))
            bar->setRange(0, 0); // busy: the bar spins
        m_versionCheckProgress->setVisible(running);
    }
    if (m_versionCheckButton)
        m_versionCheckButton->setText(running ? QStringLiteral("Cancel") : QStringLiteral("Check Now"));
}

void PHUpdateDisplay::receiveSWUNotification(const Notification &notification) {
    if (notification.name == QLatin1String("PHSWUStarted"))
        setCheckRunning(true);
    else if (notification.name == QLatin1String("PHSWUEnded") ||
             notification.name == QLatin1String("PHSWUCancelled"))
        setCheckRunning(false);
    else if (notification.name == QLatin1String("PHSWUUpdated"))
        setSecondsSinceCheck(notification.userInfo.value(QStringLiteral("PHSWUSeconds")).toDouble());
    else if (notification.name == QLatin1String("PHSWUFailed") && m_messageLine)
        m_messageLine->showMessage(
            PHThemeColors::Meaning::Warning,
            QStringLiteral("Could not check for updates: %1. Use \u201cCheck Now\u201d to try again.")
                .arg(notification.userInfo.value(QStringLiteral("PHSWUReason")).toString()));
}

QString PHUpdateDisplay::lastCheckLine(double seconds, const QDateTime &now) {
    if (seconds == 0.0)
        return QStringLiteral("Last Check: never");
    const QDate today = now.toLocalTime().date();
    const QDateTime todayStart = today.startOfDay();
    const QDateTime yesterdayStart = today.addDays(-1).startOfDay();
    // The first of January itself: the days of last December belong to last year.
    const QDateTime yearStart = QDate(today.year(), 1, 1).startOfDay();
    const QDateTime when =
        QDateTime::fromMSecsSinceEpoch(qRound64((seconds + kReferenceDateOffset) * 1000.0)).toLocalTime();

    const QLocale c = QLocale::c();
    QString day;
    if (when < yearStart)
        day = c.toString(when.date(), QStringLiteral("MMMM d, yyyy"));
    else if (when < yesterdayStart)
        day = c.toString(when.date(), QStringLiteral("MMMM d"));
    else if (when < todayStart)
        day = QStringLiteral("Yesterday");
    else
        day = QStringLiteral("Today");
    const QString time =
        PHString::stringByRemovingLeadingZero(c.toString(when.time(), QStringLiteral("hh:mm AP")));
    return QStringLiteral("Last Check: %1 at %2").arg(day, time);
}

void PHUpdateDisplay::setSecondsSinceCheck(double seconds) {
    if (m_lastCheckText)
        m_lastCheckText->setProperty("text", lastCheckLine(seconds, m_clock()));
    PHSettingsStore *defaults = PHSettingsStore::instance();
    if (defaults->doubleForKey(PHSettings::Key::LastVersionCheck) != seconds)
        defaults->setDoubleForKey(seconds, PHSettings::Key::LastVersionCheck);
}

void PHUpdateDisplay::setShouldCheckAtLaunch(bool shouldCheck) {
    PHSettingsStore::instance()->setBoolForKey(shouldCheck, PHSettings::Key::CheckForUpdates);
}
