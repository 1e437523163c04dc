#pragma once

#include <QIcon>
#include <QPointer>
#include <QStringList>
#include <QWidget>

#include <QMap>

#include <array>
#include <functional>
#include <optional>

class QLabel;
class QProgressBar;
class QTimer;
class QToolButton;

/// The padlock, answered by polkit over the system bus
/// (org.freedesktop.PolicyKit1.Authority), never by a program of ours.
///
/// Unlocked means that polkit authorizes this process for every one of the
/// view's actions now, without asking anyone (a check without interaction).
/// A click on the locked padlock asks polkit for the unlock action with user
/// interaction allowed: the session's authentication agent shows the desktop's
/// own password dialog, and with the action's auth_admin_keep polkit keeps the
/// answer for a few minutes. Locking (a click, deauthorize(), the view's
/// expiry, its destruction) revokes what polkit kept for this process.
///
/// Every question to polkit is asynchronous: while one runs, the padlock shows
/// that it waits and takes no click; the window never blocks on it. Without a
/// system bus or polkit, the view says so and stays locked; when no
/// authentication agent is running, a click says that plainly and what to
/// install.
///
/// A panel that runs as root needs nobody's leave: its padlock asks nothing and
/// unlocks at the first click.
class PHAuthorizationLock : public QWidget {
    Q_OBJECT
public:
    enum LockState { LockedState, UnlockedState, UnavailableState };

    explicit PHAuthorizationLock(QWidget *parent = nullptr);
    /// Revokes a kept authorization: it never outlives the padlock that shows it.
    ~PHAuthorizationLock() override;

    /// The polkit actions: `unlockAction` is asked for with interaction when
    /// the padlock is clicked; the padlock is unlocked while every one of
    /// `actions` (the unlock action itself when empty) is authorized.
    void setPolkitActions(const QString &unlockAction, const QStringList &actions);
    QString unlockAction() const { return m_unlockAction; }
    QStringList actions() const { return m_actions.isEmpty() ? QStringList{m_unlockAction} : m_actions; }
    /// The panel's bundle, whose padlock images stand in where the desktop
    /// theme has none.
    void setBundlePath(const QString &bundlePath);

    LockState authorizationState() const { return m_state; }
    /// Whether a question to polkit is under way.
    bool isWaiting() const { return m_pending > 0; }
    /// The sentence beside the padlock.
    QString statusText() const;

    /// Asks polkit (without interaction) whether the padlock is unlocked; the
    /// answer arrives later. True when it is unlocked now.
    bool updateStatus();
    /// What a click on the locked padlock does: asks polkit with interaction
    /// (the answer arrives later; false until then), or unlocks at once for
    /// root (true).
    bool authorize();
    /// Locks and revokes what polkit kept. True when it was unlocked.
    bool deauthorize();

    /// Seconds polkit keeps an administrator's answer (auth_admin_keep); the
    /// padlock locks itself after them.
    static constexpr int kKeptSeconds = 300;
    /// Milliseconds the interactive question may take (someone is typing).
    static constexpr int kInteractiveTimeoutMs = 10 * 60 * 1000;
    /// Milliseconds a question without interaction may take.
    static constexpr int kCheckTimeoutMs = 15 * 1000;

    /// Tests: a padlock of a root process asks polkit like anyone's (polkit
    /// says yes to root) instead of unlocking at once.
    static void setRootAsksPolkit(bool asks);

signals:
    void authorizationStateChanged();
    /// The padlock opened: every action is authorized now.
    void unlocked();
    /// The padlock closed again (or polkit went away while it was open).
    void locked();
    /// A question to polkit began (true) or every one ended (false).
    void waitingChanged(bool waiting);

private:
    void clicked();
    /// Sends CheckAuthorization for `action`; `reply` receives the answer.
    void check(const QString &action, bool interactive,
               std::function<void(bool authorized, bool challenge, const QMap<QString, QString> &details,
                                  const QString &error)>
                   reply);
    void checksDone();
    void becomeUnlocked();
    void becomeLocked(const QString &why = QString());
    void becomeUnavailable(const QString &why);
    /// Asks polkit to forget what it kept for us; with `logFailures`, its
    /// answers are awaited and a refusal is logged (not while the view goes).
    void revokeKept(bool logFailures = true);
    void beginWaiting();
    void endWaiting();
    void showState();
    /// Why polkit could not be asked, in words for the user; empty when the
    /// error is none of the "not there" kind.
    static QString unavailableReason(const QString &errorName, const QString &message);
    const QIcon &padlockIcon(bool locked);

    QString m_unlockAction;
    QStringList m_actions;
    QString m_bundlePath;
    LockState m_state = LockedState;
    QString m_message;                   ///< shown instead of the state's sentence, until the next change
    QStringList m_keptIds;               ///< polkit's temporary authorizations seen for this process
    bool m_lockedByUser = false;         ///< locked here although polkit could not forget
    int m_pending = 0;                   ///< questions under way
    bool m_checking = false;             ///< a check of the state is under way
    int m_generation = 0;                ///< answers to older questions are dropped
    QString m_interactiveCancellationId; ///< of the interactive question under way
    QToolButton *m_padlock = nullptr;
    QProgressBar *m_busy = nullptr; ///< moves while polkit is asked
    QLabel *m_label = nullptr;
    QTimer *m_expiry = nullptr;
    std::array<std::optional<QIcon>, 2> m_padlockIcons; // unlocked, locked
};
