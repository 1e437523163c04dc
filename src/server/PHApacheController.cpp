// The server tab: construction, the tab's layout, server commands and status.
// Configuration discovery and repair live in PHApacheControllerRepair.cpp, the
// privileged execution in PHApacheControllerPrivileged.cpp.

#include "server/PHApacheController.h"

#include "core/Log.h"
#include "core/PHException.h"
#include "core/PHProcess.h"
#include "model/PHSettings.h"
#include "platform/PHAction.h"
#include "platform/PHAuthorizationLock.h"
#include "platform/PHEnabling.h"
#include "platform/PHLayoutLoader.h"
#include "platform/PHMessageLine.h"
#include "server/PHLogWindow.h"
#include "server/PHServerLayout.h"
#include "server/PHServerLogs.h"
#include "support/PHExtensions.h"
#include "support/PHPath.h"
#include "support/PHSettingsStore.h"

#include <QApplication>
#include <QBoxLayout>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <string>
#include <string_view>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

const QStringList PHApacheController::validCommands = {QStringLiteral("start"), QStringLiteral("stop"),
                                                       QStringLiteral("restart"), QStringLiteral("graceful"),
                                                       QStringLiteral("configtest")};

namespace {

/// How far the configuration-error view pushes the boxes below it.
constexpr int kErrorPanelHeight = 78;

/// Makes the padlock for the layout's placeholder of class PHAuthorizationLock.
class ApacheControlLoader : public PHLayoutLoader {
public:
    using PHLayoutLoader::PHLayoutLoader;
    QWidget *createWidget(const QString &className, QWidget *parent, const QString &name) override {
        if (className == QLatin1String("PHAuthorizationLock")) {
            auto *view = new PHAuthorizationLock(parent);
            view->setObjectName(name);
            return view;
        }
        return PHLayoutLoader::createWidget(className, parent, name);
    }
};

/// The first line of a program's error output that says something.
QString firstLine(const QString &text) {
    for (const QString &line : text.split(QLatin1Char('\n'))) {
        QString trimmed = line.trimmed();
        if (!trimmed.isEmpty())
            return trimmed;
    }
    return {};
}

void showProblem(QLabel *label, const QString &problem) {
    if (!label)
        return;
    label->setText(problem);
    label->setVisible(!problem.isEmpty());
}

} // namespace

PHApacheController::PHApacheController(QWidget *window, const PHModelContext &context,
                                       const QString &bundlePath, QObject *parent)
    : QObject(parent), m_context(context), m_bundlePath(bundlePath), m_window(window),
      m_validCommands(validCommands), m_controlScript(QStringLiteral(PORTHOLD_APACHECTL)) {
    // Meanings, not colours: the theme decides how each one looks.
    using Meaning = PHThemeColors::Meaning;
    m_colors = {
        {QStringLiteral("normal"), Meaning::Normal},
        {QStringLiteral("no apache"), Meaning::Negative},
        {QStringLiteral("no config"), Meaning::Negative},
        {QStringLiteral("no apache or config"), Meaning::Negative},
        {QStringLiteral("config success"), Meaning::Positive},
        {QStringLiteral("config error"), Meaning::Warning},
    };
    // The tool: the bundle's auxiliary executable "Sentrel".
    if (!m_bundlePath.isEmpty()) {
        const QFileInfo tool(QDir(m_bundlePath).filePath(QStringLiteral("Sentrel")));
        if (tool.exists() && tool.isFile())
            m_helperPath = tool.absoluteFilePath();
    }
    m_isApacheRunning = false;
    m_errorPanelIsVisible = false;
    PHProcess::ignoreSigpipe();
    getApacheConfFile();
    loadInterface();
}

PHApacheController::~PHApacheController() {
    // Parses of this discovery run code of the panel: let them end first.
    PHConfParser::waitForAllParses();
    if (m_authView)
        m_authView->disconnect(this);
    // Log windows belong to the panel's window; they close with their tab.
    delete m_logList;
    if (m_apacheTab && !m_apacheTab->parent())
        delete m_apacheTab.data();
}

void PHApacheController::loadInterface() {
    const QString &bundle = m_bundlePath;
    QFile file(QDir(bundle).filePath(QStringLiteral("Resources/ApacheControl.ui")));
    QWidget *tab = nullptr;
    if (qobject_cast<QApplication *>(QCoreApplication::instance()) && !bundle.isEmpty() &&
        file.open(QIODevice::ReadOnly)) {
        ApacheControlLoader loader;
        tab = loader.load(&file, nullptr);
    }
    if (!tab) {
        Log::write(QStringLiteral("An error occurred loading ApacheControl.nib"));
        m_logList = new PHServerLogs({}, this); // the logs are still found, for no picker
        return;
    }
    m_apacheTab = tab;
    m_apachectlBox = tab->findChild<QGroupBox *>(QStringLiteral("apachectlBox"));
    m_logBox = tab->findChild<QGroupBox *>(QStringLiteral("logBox"));
    m_sentrelBox = tab->findChild<QGroupBox *>(QStringLiteral("sentrelBox"));
    m_toggleButton = tab->findChild<QPushButton *>(QStringLiteral("toggleButton"));
    m_restartButton = tab->findChild<QPushButton *>(QStringLiteral("restartButton"));
    m_gracefulSwitch = tab->findChild<QCheckBox *>(QStringLiteral("gracefulSwitch"));
    m_configCheckButton = tab->findChild<QPushButton *>(QStringLiteral("configCheckButton"));
    m_configCheckStatus = tab->findChild<QLabel *>(QStringLiteral("configCheckStatus"));
    m_configErrorView = tab->findChild<QPlainTextEdit *>(QStringLiteral("configErrorView"));
    m_logList = new PHServerLogs({m_window, tab->findChild<QComboBox *>(QStringLiteral("logPicker")),
                                  tab->findChild<QPushButton *>(QStringLiteral("logDisplayButton")),
                                  tab->findChild<QLabel *>(QStringLiteral("logProblem"))},
                                 this);
    m_sentrelButton = tab->findChild<QPushButton *>(QStringLiteral("sentrelButton"));
    m_authView = tab->findChild<PHAuthorizationLock *>(QStringLiteral("authView"));
    if (m_authView)
        m_authView->setBundlePath(m_bundlePath);
    m_apacheStatus = tab->findChild<QLabel *>(QStringLiteral("apacheStatus"));
    m_serverProblem = tab->findChild<QLabel *>(QStringLiteral("serverProblem"));
    showProblem(m_serverProblem, QString());
    // The scrolled page shows the tab's own background, as it did unscrolled.
    for (QScrollArea *area : tab->findChildren<QScrollArea *>()) {
        area->viewport()->setAutoFillBackground(false);
        if (QWidget *content = area->widget())
            content->setAutoFillBackground(false);
    }
    // Results of the tab's commands are said at its top, without a dialog.
    m_messageLine = new PHMessageLine(tab);
    if (auto *layout = qobject_cast<QBoxLayout *>(tab->layout()))
        m_messageLine->placeIn(layout, 0);
    setUpControls();
}

void PHApacheController::setUpControls() {
    // The server's commands start off, until the padlock is open.
    for (QAbstractButton *control : {static_cast<QAbstractButton *>(m_toggleButton.data()),
                                     static_cast<QAbstractButton *>(m_restartButton.data()),
                                     static_cast<QAbstractButton *>(m_gracefulSwitch.data()),
                                     static_cast<QAbstractButton *>(m_sentrelButton.data())})
        if (control && !control->isEnabled())
            PHEnabling::setEnabled(control, false, lockedReason());
    setUpAuthorization();
    relistLogs();

    // The error output's scrolling container is shown and hidden inside the
    // box's layout; the box grows and shrinks by a fixed amount around it.
    if (m_configErrorView) {
        QWidget *container = m_configErrorView->parentWidget();
        m_configScrollView = container && container != m_apachectlBox ? container : m_configErrorView.data();
        m_configScrollView->hide();
    }
    if (m_apachectlBox) {
        m_apachectlBox->layout()->activate();
        m_apachectlBoxHeight = m_apachectlBox->sizeHint().height();
        m_apachectlBox->setFixedHeight(m_apachectlBoxHeight);
    }

    m_isGraceful = PHSettingsStore::instance()->boolForKey(PHSettings::Key::GracefulRestart);
    if (m_gracefulSwitch)
        m_gracefulSwitch->setChecked(m_isGraceful);

    auto wire = [this](QAbstractButton *button, void (PHApacheController::*action)(), const char *name) {
        if (!button)
            return;
        connect(button, &QAbstractButton::clicked, this,
                [this, action, name] { PHAction::run(name, [&] { (this->*action)(); }); });
    };
    wire(m_toggleButton, &PHApacheController::toggleApache, "toggleApache");
    wire(m_restartButton, &PHApacheController::resetApache, "resetApache");
    if (m_gracefulSwitch)
        connect(m_gracefulSwitch, &QAbstractButton::clicked, this,
                [this](bool on) { PHAction::run("setGraceful", [&] { setGraceful(on); }); });
    wire(m_configCheckButton, &PHApacheController::checkApacheConfig, "checkApacheConfig");
    wire(m_sentrelButton, &PHApacheController::confirmRepair, "confirmRepair");
}

QWidget *PHApacheController::tabViewItem() const {
    return m_apacheTab.data();
}

void PHApacheController::setStatusDisplay(QLabel *field) {
    m_apacheStatus = field;
}

void PHApacheController::enable() {
    if (m_apacheT)
        return;
    const double stored = PHSettingsStore::instance()->doubleForKey(PHSettings::Key::ApacheCheckInterval);
    // A zero or negative interval means the default. Under half a second the
    // process table is read all the time; over an hour the timer would not fit.
    const double interval = !(stored > 0) ? 2.0 : std::clamp(stored, 0.5, 3600.0);
    if (interval != stored)
        Log::write(QStringLiteral("ApacheCheckInterval %1 is out of range; the status is checked every %2 s")
                       .arg(stored)
                       .arg(interval));
    m_apacheT = new QTimer(this);
    m_apacheT->setInterval(int(std::lround(interval * 1000)));
    connect(m_apacheT, &QTimer::timeout, this,
            [this] { PHAction::run("checkApacheStatus", [this] { checkApacheStatus(); }); });
    m_apacheT->start();
    // The status shows as soon as the panel does, not one interval later.
    QTimer::singleShot(0, this, [this] {
        if (m_apacheT)
            PHAction::run("checkApacheStatus", [this] { checkApacheStatus(); });
    });
}

void PHApacheController::disable() {
    if (m_authView)
        m_authView->deauthorize();
    if (m_apacheT) {
        m_apacheT->stop();
        delete m_apacheT;
        m_apacheT = nullptr;
    }
}

// ---- Server commands

void PHApacheController::toggleApache() {
    apachectl(m_isApacheRunning ? QStringLiteral("stop") : QStringLiteral("start"));
}

void PHApacheController::resetApache() {
    apachectl(m_isGraceful ? QStringLiteral("graceful") : QStringLiteral("restart"));
}

void PHApacheController::setGraceful(bool graceful) {
    m_isGraceful = graceful;
    PHSettingsStore::instance()->setBoolForKey(m_isGraceful, PHSettings::Key::GracefulRestart);
}

void PHApacheController::checkApacheConfig() {
    apachectl(QStringLiteral("configtest"));
}

std::pair<int, QString> PHApacheController::runConfigTest() {
    PHProcess::Result result = PHProcess::run(m_controlScript, {QStringLiteral("configtest")},
                                              PHProcess::Stream::Null, PHProcess::Stream::Pipe);
    if (!result.launched)
        return {127, QStringLiteral("%1 could not be run.\n").arg(m_controlScript)};
    QString errors = QString::fromUtf8(result.error);

    // Debian's control script first creates the server's run and lock folders,
    // which only root may do. Without rights, test the configuration with the
    // server binary itself, Debian's environment and private folders instead.
    const QString envvars = QStringLiteral("/etc/apache2/envvars");
    if (result.status != 0 && geteuid() != 0 && QFileInfo::exists(envvars) &&
        errors.contains(QLatin1String("Permission denied")) &&
        (errors.contains(QLatin1String("/run/apache2")) || errors.contains(QLatin1String("/lock/apache2")))) {
        QString binary = PHSettingsStore::instance()
                             ->stringForKey(PHSettings::Key::ApacheBinaryLocation)
                             .value_or(QString());
        if (!QFileInfo(binary).isExecutable())
            binary = QStringLiteral("/usr/sbin/apache2");
        QTemporaryDir runFolder;
        if (runFolder.isValid()) {
            const QString script =
                QStringLiteral(". \"$1\" && APACHE_RUN_DIR=\"$2\" && APACHE_LOCK_DIR=\"$2\" && "
                               "APACHE_PID_FILE=\"$2/apache2.pid\" "
                               "&& export APACHE_RUN_DIR APACHE_LOCK_DIR APACHE_PID_FILE && exec \"$3\" -t");
            result = PHProcess::run(
                QStringLiteral("/bin/sh"),
                {QStringLiteral("-c"), script, QStringLiteral("sh"), envvars, runFolder.path(), binary},
                PHProcess::Stream::Null, PHProcess::Stream::Pipe);
            if (result.launched)
                errors = QString::fromUtf8(result.error);
        }
    }
    return {result.launched ? result.status : 127, errors};
}

void PHApacheController::apachectl(const QString &command) {
    PH_PARAMETER_ASSERT(m_validCommands.contains(command));
    if (command == QLatin1String("configtest")) {
        const auto [status, errors] = runConfigTest();
        if (status != 0) {
            if (m_configCheckStatus) {
                m_configCheckStatus->setText(QStringLiteral("Syntax Errors Encountered!"));
                PHThemeColors::setTextMeaning(m_configCheckStatus,
                                              m_colors.value(QStringLiteral("config error")));
            }
            if (m_configErrorView)
                m_configErrorView->setPlainText(PHString::chop(errors));
            showErrorPanel(true);
        } else {
            if (m_configCheckStatus) {
                m_configCheckStatus->setText(QStringLiteral("Syntax OK"));
                PHThemeColors::setTextMeaning(m_configCheckStatus,
                                              m_colors.value(QStringLiteral("config success")));
            }
            showErrorPanel(false);
        }
        return;
    }
    // What the command did depends on what ran before it: a restart of a
    // stopped server starts it.
    m_server.reset();
    const bool wasRunning = isServerRunningNow();
    m_toolRan = false;
    const qint32 result =
        sentrelWithArgs({QStringLiteral("control-server"), QStringLiteral("-data"), command});
    reportCommandResult(command, result, wasRunning);
    if (result != 0) {
        // A command that failed changed nothing: show the server as it is.
        checkApacheStatus();
        return;
    }
    setApacheState(command == QLatin1String("stop") ? 0 : 1);
    QTimer::singleShot(2000, this,
                       [this] { PHAction::run("checkApacheStatus", [this] { checkApacheStatus(); }); });
}

void PHApacheController::reportCommandResult(const QString &command, qint32 result, bool wasRunning) {
    static const QHash<QString, std::pair<QString, QString>> kWords = {
        {QStringLiteral("start"), {QStringLiteral("Apache started"), QStringLiteral("Apache did not start")}},
        {QStringLiteral("stop"), {QStringLiteral("Apache stopped"), QStringLiteral("Apache did not stop")}},
        {QStringLiteral("restart"),
         {QStringLiteral("Apache restarted"), QStringLiteral("Apache did not restart")}},
        {QStringLiteral("graceful"),
         {QStringLiteral("Apache restarted gracefully"), QStringLiteral("Apache did not restart")}},
    };
    // A server that was not running is started by a restart; one that ran
    // already is left as it was by a start.
    const bool restart = command == QLatin1String("restart") || command == QLatin1String("graceful");
    auto words = kWords.value(restart && !wasRunning ? QStringLiteral("start") : command);
    if (command == QLatin1String("start") && wasRunning)
        words.first = QStringLiteral("Apache was already running");
    if (result == 0) {
        showMessage(PHThemeColors::Meaning::Positive, words.first);
        return;
    }
    QString reason;
    if (!m_toolRan) {
        switch (result) {
        case kNoExternalForm:
            reason = QStringLiteral("no authorization: click the padlock first");
            break;
        case kAuthorizationFailed:
            reason = QStringLiteral("polkit did not allow it, or the authentication was dismissed");
            break;
        default:
            reason = m_helperPath.isEmpty()
                         ? QStringLiteral("the helper tool Sentrel is missing from the bundle")
                         : QStringLiteral("the helper tool Sentrel could not be run");
        }
    } else {
        // The tool keeps the server's words to itself; a broken configuration
        // is the usual cause, and its test says where.
        const auto [status, errors] = runConfigTest();
        reason = status != 0 ? firstLine(errors) : QString();
        if (reason.isEmpty())
            reason = QStringLiteral("the control script ended with status %1; see the server's error log")
                         .arg(result);
    }
    showMessage(PHThemeColors::Meaning::Negative, QStringLiteral("%1: %2").arg(words.second, reason));
}

void PHApacheController::showMessage(PHThemeColors::Meaning meaning, const QString &text) {
    Log::write(text);
    if (m_messageLine)
        m_messageLine->showMessage(meaning, text);
}

PHMessageLine *PHApacheController::messageLine() const {
    return m_messageLine.data();
}

// ---- Status

QStringList PHApacheController::allProcessNames() {
    // Read at start-up and then every few seconds: plain system calls, one
    // open and one read of each process's name (a QFile and a QDir listing
    // stat every entry and file and read each file twice).
    QStringList names;
    const int proc = ::open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0)
        return names;
    DIR *listing = ::fdopendir(proc);
    if (!listing) {
        ::close(proc);
        return names;
    }
    while (const dirent *entry = ::readdir(listing)) {
        const std::string_view pid(entry->d_name);
        if (pid.empty() || !std::all_of(pid.begin(), pid.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        const std::string path = std::string(pid) + "/comm";
        const int comm = ::openat(proc, path.c_str(), O_RDONLY | O_CLOEXEC);
        if (comm < 0)
            continue; // the process ended meanwhile
        // The kernel keeps 15 bytes and a newline.
        char name[64];
        ssize_t length;
        do
            length = ::read(comm, name, sizeof name);
        while (length < 0 && errno == EINTR);
        ::close(comm);
        if (length < 0)
            continue;
        if (length > 0 && name[length - 1] == '\n')
            --length;
        names.append(QString::fromUtf8(name, length));
    }
    ::closedir(listing);
    return names;
}

const PHServerProcess &PHApacheController::server() {
    const QString binary =
        PHSettingsStore::instance()->stringForKey(PHSettings::Key::ApacheBinaryLocation).value_or(QString());
    if (!m_server || m_server->binary != binary || m_server->confFile != httpdConfFile())
        m_server = PHServerProcess::locate(binary, httpdConfFile());
    return *m_server;
}

bool PHApacheController::isServerRunningNow() {
    return server().runningProcess() > 0;
}

void PHApacheController::checkApacheStatus() {
    const QString binary =
        PHSettingsStore::instance()->stringForKey(PHSettings::Key::ApacheBinaryLocation).value_or(QString());
    showProblem(m_serverProblem, PHServerLayout::binaryProblem(binary));
    // The server this tab controls, not any process of the same name: the
    // one in its own PidFile, if that is still this server.
    setApacheState(isServerRunningNow() ? 1 : 0);
}

bool PHApacheController::isAuthorized() const {
    if (!m_authView)
        return false;
    m_authView->updateStatus();
    return m_authView->authorizationState() == PHAuthorizationLock::UnlockedState;
}

void PHApacheController::setApacheState(qint32 state) {
    m_isApacheRunning = state != 0;
    if (state == 1) {
        if (m_toggleButton)
            m_toggleButton->setText(QStringLiteral("Stop Apache"));
        const bool authorized = isAuthorized();
        PHEnabling::setEnabled(m_restartButton, authorized, lockedReason());
        PHEnabling::setEnabled(m_gracefulSwitch, authorized, lockedReason());
        if (m_apacheStatus) {
            m_apacheStatus->setText(QStringLiteral("Apache status: Running"));
            PHThemeColors::setTextMeaning(m_apacheStatus, m_colors.value(QStringLiteral("normal")));
        }
    } else if (state == 0) {
        if (m_toggleButton)
            m_toggleButton->setText(QStringLiteral("Start Apache"));
        PHEnabling::setEnabled(m_restartButton, false, notRunningReason());
        PHEnabling::setEnabled(m_gracefulSwitch, false, notRunningReason());
        if (m_apacheStatus) {
            m_apacheStatus->setText(QStringLiteral("Apache status: Stopped"));
            PHThemeColors::setTextMeaning(m_apacheStatus, m_colors.value(QStringLiteral("no apache")));
        }
    }
}

// ---- The error view

void PHApacheController::showErrorPanel(bool show) {
    if (show && !m_errorPanelIsVisible) {
        if (m_configScrollView)
            m_configScrollView->show();
        if (m_apachectlBox)
            m_apachectlBox->setFixedHeight(m_apachectlBoxHeight + kErrorPanelHeight);
        m_errorPanelIsVisible = true;
    } else if (!show && m_errorPanelIsVisible) {
        if (m_configScrollView)
            m_configScrollView->hide();
        if (m_apachectlBox)
            m_apachectlBox->setFixedHeight(m_apachectlBoxHeight);
        m_errorPanelIsVisible = false;
    }
    if (m_apacheTab) {
        // The boxes move now, in the layout of the scrolled content and of the tab.
        if (m_apachectlBox && m_apachectlBox->parentWidget() && m_apachectlBox->parentWidget()->layout())
            m_apachectlBox->parentWidget()->layout()->activate();
        if (QLayout *layout = m_apacheTab->layout())
            layout->activate();
        m_apacheTab->update();
    }
}
