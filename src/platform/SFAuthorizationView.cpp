#include "platform/SFAuthorizationView.h"

#include "platform/Log.h"
#include "platform/PHAction.h"
#include "platform/PanelContext.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>

#include <pwd.h>
#include <unistd.h>

namespace {

SFAuthorizationView::CredentialsProvider credentialsProvider;

QString currentUserName() {
    const passwd *account = ::getpwuid(::getuid());
    return account ? QString::fromLocal8Bit(account->pw_name) : QString();
}

/// The desktop theme's padlock, or the one shipped in the bundle when the
/// theme has none.
QIcon makePadlockIcon(bool locked) {
    QIcon shipped;
    if (PanelContext *context = PanelContext::sharedInstance(); context && !context->bundlePath().isEmpty()) {
        const QDir resources(QDir(context->bundlePath()).filePath(QStringLiteral("Resources")));
        const QString name = locked ? QStringLiteral("padlock-locked") : QStringLiteral("padlock-unlocked");
        for (const QString &file : {name + QStringLiteral(".png"), name + QStringLiteral("@2x.png")})
            if (resources.exists(file))
                shipped.addFile(resources.filePath(file));
    }
    return QIcon::fromTheme(locked ? QStringLiteral("object-locked") : QStringLiteral("object-unlocked"),
                            shipped);
}

/// The text, then the bytes it was held in, wiped.
void wipe(QString &text) {
    text.fill(QChar(0));
    text.clear();
}

} // namespace

SFAuthorizationView::SFAuthorizationView(QWidget *parent) : QWidget(parent) {
    m_padlock = new QToolButton(this);
    m_padlock->setObjectName(QStringLiteral("padlock"));
    m_padlock->setAutoRaise(true);
    m_padlock->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    m_label = new QLabel(this);
    m_label->setObjectName(QStringLiteral("padlockStatus"));
    m_label->setWordWrap(true);
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_padlock);
    layout->addWidget(m_label, 1);

    m_expiry = new QTimer(this);
    m_expiry->setSingleShot(true);
    connect(m_expiry, &QTimer::timeout, this,
            [this] { PHAction::run("authorization expiry", [this] { deauthorize(); }); });
    connect(m_padlock, &QToolButton::clicked, this,
            [this] { PHAction::run("padlock", [this] { clicked(); }); });
    showState();
    updateStatus();
}

SFAuthorizationView::~SFAuthorizationView() {
    if (m_authorization)
        AuthorizationFree(m_authorization, kAuthorizationFlagDestroyRights);
}

void SFAuthorizationView::setAuthorizationRights(const AuthorizationRights &rights) {
    m_rights = rights;
}

void SFAuthorizationView::setCredentialsProvider(CredentialsProvider provider) {
    credentialsProvider = std::move(provider);
}

QString SFAuthorizationView::statusText() const {
    return m_label->text();
}

bool SFAuthorizationView::updateStatus(QObject *) {
    std::string reason;
    if (!AuthorizationHelperIsUsable(&reason)) {
        if (m_state == UnlockedState)
            deauthorize();
        m_state = UnavailableState;
        m_unavailableReason = QString::fromStdString(reason);
        showState();
        return false;
    }
    if (m_state == UnlockedState && !AuthorizationIsLive(m_authorization)) {
        deauthorize();
    } else if (m_state == UnavailableState) {
        m_state = LockedState;
        showState();
    }
    return m_state == UnlockedState;
}

bool SFAuthorizationView::authorize(QObject *) {
    if (m_state == UnlockedState)
        return true;
    if (!updateStatus() && m_state == UnavailableState) {
        QApplication::beep();
        return false;
    }
    const QString defaultName = currentUserName();
    if (!credentialsProvider) {
        askInDialog();
        return m_state == UnlockedState;
    }
    std::optional<Credentials> credentials = credentialsProvider(this, defaultName, QString());
    if (!credentials)
        return false;
    QString problem;
    const bool done = tryCredentials(credentials->name, std::move(credentials->password), &problem);
    if (!done) {
        m_label->setText(problem);
        QApplication::beep();
    }
    return done;
}

bool SFAuthorizationView::deauthorize(QObject *) {
    m_expiry->stop();
    if (m_authorization) {
        const OSStatus status = AuthorizationFree(m_authorization, kAuthorizationFlagDestroyRights);
        if (status != errAuthorizationSuccess)
            Log::format("Authorization could not be destroyed (%d); it expires by itself",
                        static_cast<int>(status));
    }
    if (m_state != UnlockedState)
        return false;
    m_state = LockedState;
    showState();
    if (m_delegate)
        m_delegate->authorizationViewDidDeauthorize(this);
    return true;
}

void SFAuthorizationView::clicked() {
    if (m_state == UnlockedState)
        deauthorize();
    else
        authorize();
}

QString SFAuthorizationView::requestDescription() const {
    QStringList wanted;
    QStringList others;
    for (const AuthorizationItem &right : m_rights) {
        if (right.name == "com.quillmere.porthold.apachectl")
            wanted.prepend(tr("run the Apache control script"));
        else if (right.name == "com.quillmere.porthold.sentrel")
            wanted.append(tr("replace Apache's configuration files"));
        else if (right.name == kAuthorizationRightExecute && !right.value.empty())
            others.append(tr("set up its helper tool %1")
                              .arg(QFile::decodeName(QByteArray::fromStdString(right.value))));
        else
            others.append(tr("use the right \u201c%1\u201d").arg(QString::fromStdString(right.name)));
    }
    wanted += others;
    if (wanted.isEmpty())
        return tr("Porthold wants to make changes as root.");
    QString actions = wanted.takeLast();
    if (!wanted.isEmpty())
        actions = wanted.join(QStringLiteral(", ")) + tr(" and ") + actions;
    return tr("Porthold wants to %1 as root.").arg(actions);
}

void SFAuthorizationView::askInDialog() {
    if (m_dialog) {
        m_dialog->raise();
        return;
    }
    auto *dialog = new QDialog(window());
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setWindowTitle(tr("Authenticate to Make Changes"));
    auto *form = new QFormLayout(dialog);
    auto *explanation = new QLabel(requestDescription() + QLatin1Char(' ') +
                                   tr("Type an administrator's name and password to allow this."));
    explanation->setObjectName(QStringLiteral("explanation"));
    explanation->setWordWrap(true);
    auto *name = new QLineEdit(currentUserName());
    name->setObjectName(QStringLiteral("name"));
    auto *password = new QLineEdit;
    password->setObjectName(QStringLiteral("password"));
    password->setEchoMode(QLineEdit::Password);
    auto *problem = new QLabel;
    problem->setObjectName(QStringLiteral("problem"));
    problem->setWordWrap(true);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    buttons->button(QDialogButtonBox::Ok)->setText(tr("Unlock"));
    form->addRow(explanation);
    form->addRow(tr("Name:"), name);
    form->addRow(tr("Password:"), password);
    form->addRow(problem);
    form->addRow(buttons);
    (name->text().isEmpty() ? name : password)->setFocus();
    // Root is asked for no password (none is ever passed on for root).
    if (::getuid() == 0) {
        form->setRowVisible(password, false);
        name->setReadOnly(true);
        explanation->setText(requestDescription() + QLatin1Char(' ') +
                             tr("You are root, so no password is needed: choose Unlock to allow this."));
        buttons->button(QDialogButtonBox::Ok)->setFocus();
    }
    // The title stays whole in the title bar.
    dialog->setMinimumWidth(qMax(420, dialog->fontMetrics().horizontalAdvance(dialog->windowTitle()) * 3));

    connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    connect(buttons, &QDialogButtonBox::accepted, dialog, [this, dialog, name, password, problem] {
        PHAction::run("authenticate", [&] {
            QString why;
            QString typed = password->text();
            password->clear();
            if (tryCredentials(name->text(), std::move(typed), &why)) {
                dialog->accept();
                return;
            }
            problem->setText(why);
            password->setFocus();
            QApplication::beep();
        });
    });
    m_dialog = dialog;
    dialog->open();
}

bool SFAuthorizationView::tryCredentials(const QString &name, QString password, QString *problem) {
    QByteArray secret = password.toUtf8();
    wipe(password);
    const AuthorizationEnvironment environment{
        {kAuthorizationEnvironmentUsername, name.trimmed().toStdString(), 0},
        {kAuthorizationEnvironmentPassword,
         std::string(secret.constData(), static_cast<std::size_t>(secret.size())), 0}};
    secret.fill('\0');

    AuthorizationRef created;
    QApplication::setOverrideCursor(Qt::WaitCursor);
    const OSStatus status =
        AuthorizationCreate(&m_rights, &environment,
                            kAuthorizationFlagInteractionAllowed | kAuthorizationFlagExtendRights |
                                kAuthorizationFlagPreAuthorize,
                            &created);
    QApplication::restoreOverrideCursor();
    for (const AuthorizationItem &item : environment)
        ::explicit_bzero(const_cast<char *>(item.value.data()), item.value.size());

    if (status == errAuthorizationSuccess) {
        becomeUnlocked(std::move(created));
        return true;
    }
    switch (status) {
    case errAuthorizationDenied:
        *problem = tr("The name or password is wrong, or the account is not an administrator's. Try again. "
                      "After several wrong passwords Porthold waits longer before it checks the next one "
                      "(up to five minutes).");
        break;
    case errAuthorizationInvalidSet:
        *problem = tr("That name cannot be an administrator's. Type the name of an administrator account.");
        break;
    default:
        *problem =
            tr("The authorization helper failed (error %1). Check that Porthold is installed correctly.")
                .arg(status);
        break;
    }
    Log::format("Authorization failed: error %d", static_cast<int>(status));
    return false;
}

void SFAuthorizationView::becomeUnlocked(AuthorizationRef authorization) {
    if (m_authorization && m_authorization != authorization)
        AuthorizationFree(m_authorization, kAuthorizationFlagDestroyRights);
    m_authorization = std::move(authorization);
    m_state = UnlockedState;
    // The record dies on its own after its lifetime; the padlock locks with it.
    m_expiry->start(kAuthorizationLifetimeSeconds * 1000);
    showState();
    if (m_delegate)
        m_delegate->authorizationViewCreatedAuthorization(this);
    if (m_delegate)
        m_delegate->authorizationViewDidAuthorize(this);
}

const QIcon &SFAuthorizationView::padlockIcon(bool locked) {
    std::optional<QIcon> &icon = m_padlockIcons[locked ? 1 : 0];
    if (!icon)
        icon = makePadlockIcon(locked);
    return *icon;
}

void SFAuthorizationView::showState() {
    switch (m_state) {
    case LockedState:
        m_padlock->setIcon(padlockIcon(true));
        m_padlock->setText(tr("Locked"));
        m_padlock->setEnabled(true);
        m_label->setText(tr("Click the padlock to make changes."));
        break;
    case UnlockedState:
        m_padlock->setIcon(padlockIcon(false));
        m_padlock->setText(tr("Unlocked"));
        m_padlock->setEnabled(true);
        m_label->setText(tr("Click the padlock to prevent further changes."));
        break;
    case UnavailableState:
        m_padlock->setIcon(padlockIcon(true));
        m_padlock->setText(tr("Locked"));
        m_padlock->setEnabled(false);
        m_label->setText(m_unavailableReason);
        break;
    }
    emit authorizationStateChanged();
}
