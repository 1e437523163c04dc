// The server tab's privileged side: the padlock's rights and news, the tool's
// one-time self-repair, and running the tool with the user's authorization.

#include "server/PHApacheController.h"

#include "platform/Log.h"
#include "platform/PHAction.h"
#include "platform/PHProcess.h"
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

namespace {
const char *const kSentrelRight = "com.quillmere.porthold.sentrel";
const char *const kApachectlRight = "com.quillmere.porthold.apachectl";
} // namespace

void PHApacheController::setUpAuthorization() {
    m_helperCPath = QFile::encodeName(m_helperPath);
    if (!m_authView)
        return;
    m_authView->setAuthorizationRights(authorizationRights());
    m_authView->setDelegate(this);
    m_authView->updateStatus(nullptr);
}

AuthorizationRights PHApacheController::authorizationRights() const {
    AuthorizationRights rights{{kSentrelRight, {}, 0}, {kApachectlRight, {}, 0}};
    // Without a tool there is nothing to run as root: an empty value would ask
    // for the administrator right without naming the program.
    const QByteArray tool = m_helperCPath.isEmpty() ? QFile::encodeName(m_helperPath) : m_helperCPath;
    if (!tool.isEmpty() && !isHelperSetUID())
        rights.push_back({kAuthorizationRightExecute, tool.toStdString(), 0});
    return rights;
}

bool PHApacheController::isHelperSetUID() const {
    if (m_helperPath.isEmpty())
        return false;
    const std::optional<PHFileAttributes> attributes =
        PHFileManager::attributesOfItemAtPathTraverseLinkError(m_helperPath, true);
    if (!attributes || attributes->ownerID != 0 || !(attributes->permissions & 04000))
        return false;
    // On a file system mounted nosuid the bit does nothing.
    struct statvfs volume {};
    if (statvfs(QFile::encodeName(m_helperPath).constData(), &volume) == 0 && (volume.f_flag & ST_NOSUID))
        return false;
    return true;
}

qint32 PHApacheController::selfRepairHelper() {
    const std::string tool =
        m_helperCPath.isEmpty() ? QFile::encodeName(m_helperPath).toStdString() : m_helperCPath.toStdString();
    std::vector<std::string> arguments{"-selfRepair", "YES", "-mypath", tool};
    std::vector<char *> argv;
    argv.reserve(arguments.size() + 1);
    for (std::string &argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);

    FILE *pipe = nullptr;
    pid_t child = -1;
    const OSStatus status = AuthorizationExecuteWithPrivilegesPid(
        m_auth, tool.c_str(), kAuthorizationFlagDefaults, argv.data(), &pipe, &child);
    if (status != errAuthorizationSuccess) {
        Log::format("Error %d: Authorization failed", int(status));
        return kAuthorizationFailed;
    }
    // The tool answers with its process identifier and ends; it reads nothing.
    QByteArray answer;
    if (pipe) {
        shutdown(fileno(pipe), SHUT_WR);
        char buffer[64];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
            answer.append(buffer, qsizetype(n));
        fclose(pipe);
    }
    // The helper became the tool, so the tool is this panel's own child.
    bool numeric = false;
    const long reported = answer.trimmed().toLong(&numeric);
    if (!numeric || (child > 0 && reported != child))
        Log::write(QStringLiteral("Sentrel self-repair answered \"%1\"").arg(QString::fromLatin1(answer)));
    if (child > 0) {
        int ignored = 0;
        while (waitpid(child, &ignored, 0) < 0 && errno == EINTR) {
        }
    }
    // Whether it worked shows in the tool's file, read by the next step.
    return 0;
}

qint32 PHApacheController::sentrelWithArgs(const QStringList &arguments) {
    if (m_helperPath.isEmpty())
        return kToolMissing;
    if (!isHelperSetUID()) {
        if (const qint32 result = selfRepairHelper(); result != 0)
            return result;
    }
    const QStringList toolArguments = QStringList{QStringLiteral("-mypath"), m_helperPath} + arguments;

    AuthorizationExternalForm externalForm{};
    if (AuthorizationMakeExternalForm(m_auth, &externalForm) != errAuthorizationSuccess)
        return kNoExternalForm;

    PHProcess tool(m_helperPath, toolArguments);
    tool.setStandardInput(PHProcess::Stream::Pipe);
    if (!tool.launch()) {
        Log::write(QStringLiteral("%1 could not be started: %2").arg(m_helperPath, tool.errorString()));
        return kToolMissing;
    }
    // The tool reads exactly 32 bytes; closing the pipe after them means a tool
    // that wants more sees the end instead of waiting for ever.
    tool.writeInput(
        QByteArray(reinterpret_cast<const char *>(externalForm.bytes), sizeof externalForm.bytes));
    tool.closeInput();
    m_toolRan = true;
    return tool.waitUntilExit();
}

void PHApacheController::authorizationViewDidAuthorize(SFAuthorizationView *view) {
    if (view)
        m_auth = view->authorization();
    if (m_toggleButton)
        m_toggleButton->setEnabled(true);
    if (m_sentrelButton)
        m_sentrelButton->setEnabled(true);
    if (m_restartButton)
        m_restartButton->setEnabled(m_isApacheRunning);
    if (m_gracefulSwitch)
        m_gracefulSwitch->setEnabled(m_isApacheRunning);

    // A new authorization restarts the countdown of the one before.
    if (!m_authTimer) {
        m_authTimer = new QTimer(this);
        m_authTimer->setSingleShot(true);
        connect(m_authTimer, &QTimer::timeout, this, [this] {
            PHAction::run("deauthorize", [this] {
                if (m_authView)
                    m_authView->deauthorize(nullptr);
            });
        });
    }
    m_authTimer->start(kDeauthorizeSeconds * 1000);
}

void PHApacheController::authorizationViewDidDeauthorize(SFAuthorizationView *) {
    if (m_authTimer)
        m_authTimer->stop();
    for (QAbstractButton *control : {static_cast<QAbstractButton *>(m_toggleButton.data()),
                                     static_cast<QAbstractButton *>(m_restartButton.data()),
                                     static_cast<QAbstractButton *>(m_gracefulSwitch.data()),
                                     static_cast<QAbstractButton *>(m_sentrelButton.data())})
        if (control)
            control->setEnabled(false);
}

void PHApacheController::authorizationViewCreatedAuthorization(SFAuthorizationView *) {
}
