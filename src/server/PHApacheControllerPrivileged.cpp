// The server tab's privileged side: the padlock's rights and news, and running
// the tool as root through pkexec.

#include "server/PHApacheController.h"

#include "core/Log.h"
#include "core/PHProcess.h"
#include "platform/PHAction.h"
#include "platform/PHEnabling.h"
#include "support/PHExtensions.h"

#include <QCheckBox>
#include <QFile>
#include <QPushButton>
#include <QTimer>

#include <cerrno>
#include <sys/socket.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

void PHApacheController::setUpAuthorization() {
    if (!m_authView)
        return;
    // One password for what the padlock shows: the unlock action implies the
    // two that pkexec asks about when it starts the tool.
    m_authView->setPolkitActions(QStringLiteral(PORTHOLD_POLKIT_PREFIX ".unlock"),
                                 {QStringLiteral(PORTHOLD_POLKIT_PREFIX ".replace-configuration"),
                                  QStringLiteral(PORTHOLD_POLKIT_PREFIX ".control-server")});
    connect(m_authView, &PHAuthorizationLock::unlocked, this, &PHApacheController::padlockUnlocked);
    connect(m_authView, &PHAuthorizationLock::locked, this, &PHApacheController::padlockLocked);
    m_authView->updateStatus();
}

qint32 PHApacheController::sentrelWithArgs(const QStringList &arguments) {
    if (m_helperPath.isEmpty())
        return kToolMissing;
    // An ordinary user's panel starts the tool through pkexec, which runs it as
    // root only when polkit says yes for this user and the action that its
    // first argument names; a panel that already runs as root needs no one's
    // leave.
    const bool throughPkexec = ::geteuid() != 0;
    const QString program = throughPkexec ? QStringLiteral(PORTHOLD_PKEXEC) : m_helperPath;
    const QStringList toolArguments = throughPkexec ? QStringList{m_helperPath} + arguments : arguments;

    PHProcess tool(program, toolArguments);
    tool.setStandardInput(PHProcess::Stream::Null);
    if (!tool.launch()) {
        Log::write(QStringLiteral("%1 could not be started: %2").arg(program, tool.errorString()));
        return kToolMissing;
    }
    const qint32 status = tool.waitUntilExit();
    // pkexec's own answers: 126, the authentication was dismissed; 127, polkit
    // said no or could not be asked. The tool itself never ends with 126, and
    // with 127 only when the control script would not start, which pkexec's
    // refusal cannot be told apart from: both are reported as a refusal.
    if (throughPkexec && (status == 126 || status == 127)) {
        Log::write(QStringLiteral("pkexec did not run %1 as root (status %2)").arg(m_helperPath).arg(status));
        return kAuthorizationFailed;
    }
    m_toolRan = true;
    return status;
}

void PHApacheController::padlockUnlocked() {
    PHEnabling::setEnabled(m_toggleButton, true, QString());
    PHEnabling::setEnabled(m_sentrelButton, true, QString());
    PHEnabling::setEnabled(m_restartButton, m_isApacheRunning, notRunningReason());
    PHEnabling::setEnabled(m_gracefulSwitch, m_isApacheRunning, notRunningReason());

    // A new authorization restarts the countdown of the one before.
    if (!m_authTimer) {
        m_authTimer = new QTimer(this);
        m_authTimer->setSingleShot(true);
        connect(m_authTimer, &QTimer::timeout, this, [this] {
            PHAction::run("deauthorize", [this] {
                if (m_authView)
                    m_authView->deauthorize();
            });
        });
    }
    m_authTimer->start(kDeauthorizeSeconds * 1000);
}

void PHApacheController::padlockLocked() {
    if (m_authTimer)
        m_authTimer->stop();
    for (QAbstractButton *control : {static_cast<QAbstractButton *>(m_toggleButton.data()),
                                     static_cast<QAbstractButton *>(m_restartButton.data()),
                                     static_cast<QAbstractButton *>(m_gracefulSwitch.data()),
                                     static_cast<QAbstractButton *>(m_sentrelButton.data())})
        PHEnabling::setEnabled(control, false, lockedReason());
}

QString PHApacheController::lockedReason() {
    return QStringLiteral("Click the padlock at the bottom of this tab to make changes");
}

QString PHApacheController::notRunningReason() {
    return QStringLiteral("Apache is not running");
}
