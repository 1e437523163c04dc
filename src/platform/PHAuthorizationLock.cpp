#include "platform/PHAuthorizationLock.h"

#include "core/Log.h"
#include "platform/PHAction.h"

#include <QApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDir>
#include <QFile>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QProgressBar>
#include <QTimer>
#include <QToolButton>

#include <unistd.h>

namespace {

const QString kPolkitService = QStringLiteral("org.freedesktop.PolicyKit1");
const QString kPolkitPath = QStringLiteral("/org/freedesktop/PolicyKit1/Authority");
const QString kPolkitInterface = QStringLiteral("org.freedesktop.PolicyKit1.Authority");
/// CheckAuthorization's flag that lets the agent ask for a password.
constexpr quint32 kAllowUserInteraction = 1;

/// polkit's subject: this process ("unix-process", its id and start time).
struct PolkitSubject {
    QString kind;
    QVariantMap details;
};

QDBusArgument &operator<<(QDBusArgument &argument, const PolkitSubject &subject) {
    argument.beginStructure();
    argument << subject.kind << subject.details;
    argument.endStructure();
    return argument;
}

const QDBusArgument &operator>>(const QDBusArgument &argument, PolkitSubject &subject) {
    argument.beginStructure();
    argument >> subject.kind >> subject.details;
    argument.endStructure();
    return argument;
}

} // namespace

Q_DECLARE_METATYPE(PolkitSubject)

namespace {

/// The kernel's start time of this process (field 22 of /proc/self/stat, after
/// the command name, which may hold anything but ends at the last ")"); 0 when
/// it cannot be read, which lets polkit look it up itself.
quint64 ownStartTime() {
    QFile stat(QStringLiteral("/proc/self/stat"));
    if (!stat.open(QIODevice::ReadOnly))
        return 0;
    const QByteArray text = stat.readAll();
    const qsizetype end = text.lastIndexOf(')');
    if (end < 0)
        return 0;
    const QList<QByteArray> fields = text.mid(end + 2).split(' ');
    // Fields after the name start at 3 (the state): 22 is the 20th of them.
    return fields.size() > 19 ? fields.at(19).toULongLong() : 0;
}

PolkitSubject ownSubject() {
    static const quint64 startTime = ownStartTime();
    return {QStringLiteral("unix-process"),
            {{QStringLiteral("pid"), QVariant::fromValue(quint32(::getpid()))},
             {QStringLiteral("start-time"), QVariant::fromValue(startTime)},
             {QStringLiteral("uid"), QVariant::fromValue(qint32(::getuid()))}}};
}

/// The padlock's own connection to the system bus, made again when it is lost
/// (a bus that was not there yet, or restarted).
QDBusConnection systemBus() {
    static const QString name = QStringLiteral("porthold-padlock");
    QDBusConnection existing(name);
    if (existing.isConnected())
        return existing;
    QDBusConnection::disconnectFromBus(name);
    // The address as the bus library finds it, read again at every
    // connection (the library itself reads it once a process).
    const QString address = qEnvironmentVariable("DBUS_SYSTEM_BUS_ADDRESS",
                                                 QStringLiteral("unix:path=/run/dbus/system_bus_socket"));
    return QDBusConnection::connectToBus(address, name);
}

QDBusMessage polkitCall(const QString &method) {
    return QDBusMessage::createMethodCall(kPolkitService, kPolkitPath, kPolkitInterface, method);
}

/// The desktop theme's padlock, or the one shipped in the bundle when the
/// theme has none.
QIcon makePadlockIcon(const QString &bundlePath, bool locked) {
    QIcon shipped;
    if (!bundlePath.isEmpty()) {
        const QDir resources(QDir(bundlePath).filePath(QStringLiteral("Resources")));
        const QString name = locked ? QStringLiteral("padlock-locked") : QStringLiteral("padlock-unlocked");
        for (const QString &file : {name + QStringLiteral(".png"), name + QStringLiteral("@2x.png")})
            if (resources.exists(file))
                shipped.addFile(resources.filePath(file));
    }
    return QIcon::fromTheme(locked ? QStringLiteral("object-locked") : QStringLiteral("object-unlocked"),
                            shipped);
}

bool rootAsksPolkit = false;

bool runsAsRoot() {
    return ::geteuid() == 0 && !rootAsksPolkit;
}

} // namespace

PHAuthorizationLock::PHAuthorizationLock(QWidget *parent) : QWidget(parent) {
    qDBusRegisterMetaType<PolkitSubject>();
    qDBusRegisterMetaType<QMap<QString, QString>>();
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
    // A question with the password dialog open may take minutes: the padlock
    // shows it is still working.
    m_busy = new QProgressBar(this);
    m_busy->setObjectName(QStringLiteral("padlockBusy"));
    m_busy->setRange(0, 0);
    m_busy->setTextVisible(false);
    m_busy->setMaximumWidth(80);
    m_busy->setAccessibleName(tr("Waiting for polkit"));
    m_busy->hide();
    layout->addWidget(m_busy);

    m_expiry = new QTimer(this);
    m_expiry->setSingleShot(true);
    connect(m_expiry, &QTimer::timeout, this,
            [this] { PHAction::run("authorization expiry", [this] { deauthorize(); }); });
    connect(m_padlock, &QToolButton::clicked, this,
            [this] { PHAction::run("padlock", [this] { clicked(); }); });
    showState();
}

PHAuthorizationLock::~PHAuthorizationLock() {
    ++m_generation;
    if (!m_interactiveCancellationId.isEmpty()) {
        QDBusMessage cancel = polkitCall(QStringLiteral("CancelCheckAuthorization"));
        cancel << m_interactiveCancellationId;
        systemBus().call(cancel, QDBus::NoBlock);
    }
    // Nothing is left waiting for the answers: the view, and maybe the
    // process, is going.
    revokeKept(false);
}

void PHAuthorizationLock::setRootAsksPolkit(bool asks) {
    rootAsksPolkit = asks;
}

void PHAuthorizationLock::setPolkitActions(const QString &unlockAction, const QStringList &actions) {
    m_unlockAction = unlockAction;
    m_actions = actions;
}

QString PHAuthorizationLock::statusText() const {
    return m_label->text();
}

void PHAuthorizationLock::check(
    const QString &action, bool interactive,
    std::function<void(bool, bool, const QMap<QString, QString> &, const QString &)> reply) {
    QDBusConnection bus = systemBus();
    if (!bus.isConnected()) {
        reply(false, false, {},
              QStringLiteral("org.freedesktop.DBus.Error.NoServer\n") + bus.lastError().message());
        return;
    }
    QDBusMessage call = polkitCall(QStringLiteral("CheckAuthorization"));
    static int questions = 0;
    const QString cancellationId =
        interactive ? QStringLiteral("porthold-%1-%2").arg(::getpid()).arg(++questions) : QString();
    if (interactive)
        m_interactiveCancellationId = cancellationId;
    call << QVariant::fromValue(ownSubject()) << action << QVariant::fromValue(QMap<QString, QString>())
         << quint32(interactive ? kAllowUserInteraction : 0) << cancellationId;
    // Interaction allows the agent to bring up its dialog on the desktop.
    call.setInteractiveAuthorizationAllowed(interactive);
    beginWaiting();
    auto *watcher = new QDBusPendingCallWatcher(
        bus.asyncCall(call, interactive ? kInteractiveTimeoutMs : kCheckTimeoutMs), this);
    const int generation = m_generation;
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, watcher, generation, interactive, reply = std::move(reply)] {
                watcher->deleteLater();
                if (interactive)
                    m_interactiveCancellationId.clear();
                endWaiting();
                if (generation != m_generation)
                    return;
                const QDBusMessage answer = watcher->reply();
                if (answer.type() == QDBusMessage::ErrorMessage) {
                    reply(false, false, {}, answer.errorName() + QLatin1Char('\n') + answer.errorMessage());
                    return;
                }
                bool authorized = false, challenge = false;
                QMap<QString, QString> details;
                if (answer.arguments().size() == 1) {
                    const QDBusArgument result = answer.arguments().at(0).value<QDBusArgument>();
                    result.beginStructure();
                    result >> authorized >> challenge >> details;
                    result.endStructure();
                }
                const QString kept = details.value(QStringLiteral("polkit.temporary_authorization_id"));
                if (!kept.isEmpty() && !m_keptIds.contains(kept))
                    m_keptIds.append(kept);
                PHAction::run("polkit answer", [&] { reply(authorized, challenge, details, QString()); });
            });
}

QString PHAuthorizationLock::unavailableReason(const QString &errorName, const QString &message) {
    if (errorName == QLatin1String("org.freedesktop.DBus.Error.NoServer") ||
        errorName == QLatin1String("org.freedesktop.DBus.Error.FileNotFound") ||
        errorName == QLatin1String("org.freedesktop.DBus.Error.Disconnected"))
        return tr("No system message bus is running, so polkit cannot be asked for administrator rights. "
                  "Install and start dbus and polkitd.");
    if (errorName == QLatin1String("org.freedesktop.DBus.Error.ServiceUnknown") ||
        errorName == QLatin1String("org.freedesktop.DBus.Error.NameHasNoOwner"))
        return tr("polkit is not running, so administrator rights cannot be asked for. Install polkitd "
                  "and pkexec (sudo apt install polkitd pkexec) and start polkitd.");
    if (message.contains(QLatin1String("is not registered")))
        return tr("Porthold's polkit actions are not installed in /usr/share/polkit-1/actions. "
                  "Reinstall Porthold.");
    return {};
}

bool PHAuthorizationLock::updateStatus() {
    if (runsAsRoot() || m_unlockAction.isEmpty() || m_checking)
        return m_state == UnlockedState;
    m_checking = true;
    const QStringList wanted = actions();
    auto answers = std::make_shared<int>(0);
    auto allAuthorized = std::make_shared<bool>(true);
    auto unavailable = std::make_shared<QString>();
    for (const QString &action : wanted) {
        check(action, false,
              [this, answers, allAuthorized, unavailable, total = int(wanted.size())](
                  bool authorized, bool, const QMap<QString, QString> &, const QString &error) {
                  if (!error.isEmpty()) {
                      const QString name = error.section(QLatin1Char('\n'), 0, 0);
                      const QString why = unavailableReason(name, error.section(QLatin1Char('\n'), 1));
                      *unavailable =
                          why.isEmpty()
                              ? tr("polkit could not be asked: %1").arg(error.section(QLatin1Char('\n'), 1))
                              : why;
                      Log::write(QStringLiteral("polkit check failed: %1").arg(error.simplified()));
                  }
                  *allAuthorized = *allAuthorized && authorized && error.isEmpty();
                  if (++*answers < total)
                      return;
                  m_checking = false;
                  if (!unavailable->isEmpty())
                      becomeUnavailable(*unavailable);
                  else if (*allAuthorized && !m_lockedByUser)
                      becomeUnlocked();
                  else
                      becomeLocked();
              });
    }
    return m_state == UnlockedState;
}

bool PHAuthorizationLock::authorize() {
    if (m_state == UnlockedState)
        return true;
    if (runsAsRoot()) {
        becomeUnlocked();
        return true;
    }
    if (isWaiting() || m_unlockAction.isEmpty()) {
        QApplication::beep();
        return false;
    }
    m_lockedByUser = false;
    m_message.clear();
    check(
        m_unlockAction, true,
        [this](bool authorized, bool challenge, const QMap<QString, QString> &details, const QString &error) {
            if (!error.isEmpty()) {
                const QString name = error.section(QLatin1Char('\n'), 0, 0);
                const QString why = unavailableReason(name, error.section(QLatin1Char('\n'), 1));
                Log::write(QStringLiteral("polkit unlock failed: %1").arg(error.simplified()));
                if (!why.isEmpty()) {
                    becomeUnavailable(why);
                    return;
                }
                becomeLocked(tr("polkit could not be asked: %1").arg(error.section(QLatin1Char('\n'), 1)));
                QApplication::beep();
                return;
            }
            if (authorized) {
                // What the padlock stands for is the actions the unlock
                // implies: they decide.
                updateStatus();
                return;
            }
            if (details.value(QStringLiteral("polkit.dismissed")) == QLatin1String("true")) {
                becomeLocked();
                return;
            }
            if (challenge) {
                becomeLocked(tr("No authentication agent is running, so nobody can be asked for an "
                                "administrator's password. Start your desktop's polkit agent, or install "
                                "one (for example: sudo apt install policykit-1-gnome) and log in again."));
            } else {
                becomeLocked(tr("polkit's rules do not allow this account to make these changes. Ask an "
                                "administrator."));
            }
            QApplication::beep();
        });
    return false;
}

bool PHAuthorizationLock::deauthorize() {
    m_expiry->stop();
    // A question under way is withdrawn: the agent closes its dialog.
    if (!m_interactiveCancellationId.isEmpty()) {
        QDBusMessage cancel = polkitCall(QStringLiteral("CancelCheckAuthorization"));
        cancel << m_interactiveCancellationId;
        systemBus().call(cancel, QDBus::NoBlock);
    }
    ++m_generation;
    m_checking = false;
    revokeKept();
    if (m_state != UnlockedState)
        return false;
    // polkit may not be able to forget (a process outside any login
    // session): the padlock stays locked until it is clicked again.
    m_lockedByUser = !runsAsRoot();
    becomeLocked();
    return true;
}

void PHAuthorizationLock::revokeKept(bool logFailures) {
    if (m_keptIds.isEmpty())
        return;
    QDBusConnection bus = systemBus();
    for (const QString &id : std::as_const(m_keptIds)) {
        QDBusMessage revoke = polkitCall(QStringLiteral("RevokeTemporaryAuthorizationById"));
        revoke << id;
        if (!bus.isConnected())
            break;
        if (!logFailures) {
            bus.call(revoke, QDBus::NoBlock);
            continue;
        }
        // Answered later; a failure only means polkit keeps it until it expires.
        auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(revoke));
        QObject::connect(watcher, &QDBusPendingCallWatcher::finished, watcher, [watcher, id] {
            if (watcher->isError())
                Log::write(
                    QStringLiteral("polkit kept authorization %1 could not be revoked: %2; it expires by "
                                   "itself")
                        .arg(id, watcher->error().message()));
            watcher->deleteLater();
        });
    }
    m_keptIds.clear();
}

void PHAuthorizationLock::clicked() {
    if (isWaiting())
        return;
    if (m_state == UnlockedState)
        deauthorize();
    else
        authorize();
}

void PHAuthorizationLock::becomeUnlocked() {
    m_message.clear();
    if (m_state == UnlockedState)
        return;
    m_state = UnlockedState;
    // polkit's kept answer ends after its lifetime; the padlock locks with it.
    m_expiry->start(kKeptSeconds * 1000);
    showState();
    emit unlocked();
}

void PHAuthorizationLock::becomeLocked(const QString &why) {
    m_message = why;
    const bool wasUnlocked = m_state == UnlockedState;
    m_state = LockedState;
    m_expiry->stop();
    showState();
    if (wasUnlocked)
        emit locked();
}

void PHAuthorizationLock::becomeUnavailable(const QString &why) {
    const bool wasUnlocked = m_state == UnlockedState;
    m_state = UnavailableState;
    m_message = why;
    m_expiry->stop();
    showState();
    if (wasUnlocked)
        emit locked();
}

void PHAuthorizationLock::beginWaiting() {
    if (m_pending++ == 0) {
        showState();
        emit waitingChanged(true);
    }
}

void PHAuthorizationLock::endWaiting() {
    if (--m_pending == 0) {
        showState();
        emit waitingChanged(false);
    }
}

const QIcon &PHAuthorizationLock::padlockIcon(bool locked) {
    std::optional<QIcon> &icon = m_padlockIcons[locked ? 1 : 0];
    if (!icon)
        icon = makePadlockIcon(m_bundlePath, locked);
    return *icon;
}

void PHAuthorizationLock::setBundlePath(const QString &bundlePath) {
    m_bundlePath = bundlePath;
    m_padlockIcons = {};
    showState();
}

void PHAuthorizationLock::showState() {
    switch (m_state) {
    case LockedState:
        m_padlock->setIcon(padlockIcon(true));
        m_padlock->setText(tr("Locked"));
        m_padlock->setEnabled(true);
        m_label->setText(m_message.isEmpty() ? tr("Click the padlock to make changes.") : m_message);
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
        m_label->setText(m_message);
        break;
    }
    // While polkit is asked, the padlock takes no click and shows that it waits.
    m_busy->setVisible(isWaiting());
    if (isWaiting()) {
        m_padlock->setEnabled(false);
        setCursor(Qt::BusyCursor);
        m_label->setText(tr("Waiting for polkit\u2026"));
    } else {
        unsetCursor();
    }
    emit authorizationStateChanged();
}
