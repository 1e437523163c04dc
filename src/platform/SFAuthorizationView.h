#pragma once

#include "platform/authorization/Authorization.h"

#include <QIcon>
#include <QPointer>
#include <QWidget>

#include <array>
#include <functional>
#include <optional>

class QLabel;
class QTimer;
class QToolButton;
class SFAuthorizationView;

/// Receives the padlock's news. The delegate outlives the view or clears
/// itself with setDelegate(nullptr).
class SFAuthorizationViewDelegate {
public:
    virtual ~SFAuthorizationViewDelegate() = default;
    virtual void authorizationViewDidAuthorize(SFAuthorizationView *view) = 0;
    virtual void authorizationViewDidDeauthorize(SFAuthorizationView *view) = 0;
    virtual void authorizationViewCreatedAuthorization(SFAuthorizationView *view) { (void)view; }
};

/// The padlock. Locked, a click asks (in a dialog on the view's window) for an
/// administrator's name and password, creates an authorization with the
/// view's rights and reports authorizationViewDidAuthorize. Unlocked, a click,
/// deauthorize() or the authorization's expiry destroys it and reports
/// authorizationViewDidDeauthorize. When the authorization helper cannot work
/// for this process (not installed set-user-ID root), the view says so and
/// the padlock stays locked.
class SFAuthorizationView : public QWidget {
    Q_OBJECT
public:
    enum AuthorizationViewState { LockedState, UnlockedState, UnavailableState };

    explicit SFAuthorizationView(QWidget *parent = nullptr);
    /// Destroys a live authorization: it never outlives the padlock that shows it.
    ~SFAuthorizationView() override;

    void setAuthorizationRights(const AuthorizationRights &rights);
    const AuthorizationRights &authorizationRights() const { return m_rights; }
    void setDelegate(SFAuthorizationViewDelegate *delegate) { m_delegate = delegate; }
    SFAuthorizationViewDelegate *delegate() const { return m_delegate; }

    /// The authorization the padlock holds (empty before the first one; a
    /// destroyed one stays empty, its external form refused).
    AuthorizationRef authorization() const { return m_authorization; }
    AuthorizationViewState authorizationState() const { return m_state; }
    /// The sentence beside the padlock.
    QString statusText() const;
    /// What the dialog says it asks for: the view's rights in words ("Porthold
    /// wants to run the Apache control script and replace Apache's
    /// configuration files as root.").
    QString requestDescription() const;

    /// Brings the padlock up to date: the helper's state, and the expiry of the
    /// authorization (an expired one is deauthorized). True when unlocked.
    bool updateStatus(QObject *sender = nullptr);
    /// What a click on the locked padlock does. True when an authorization was made.
    bool authorize(QObject *sender = nullptr);
    /// Destroys the authorization and locks. True when it was unlocked.
    bool deauthorize(QObject *sender = nullptr);

    /// What the dialog collects.
    struct Credentials {
        QString name;
        QString password;
    };
    /// Test and headless hook: with a provider installed, it answers the
    /// question instead of the dialog (no value: the user cancelled). `problem`
    /// says why the previous attempt failed, empty at first.
    using CredentialsProvider = std::function<std::optional<Credentials>(
        SFAuthorizationView *view, const QString &defaultName, const QString &problem)>;
    static void setCredentialsProvider(CredentialsProvider provider);

signals:
    void authorizationStateChanged();

private:
    void clicked();
    void askInDialog();
    /// Creates the authorization; on failure `problem` says why for the user.
    bool tryCredentials(const QString &name, QString password, QString *problem);
    void becomeUnlocked(AuthorizationRef authorization);
    void showState();
    /// The padlock's picture for the state, made at its first use: the
    /// bundle's pictures are read once per view, not at every change of state.
    const QIcon &padlockIcon(bool locked);

    AuthorizationRights m_rights;
    SFAuthorizationViewDelegate *m_delegate = nullptr;
    AuthorizationRef m_authorization;
    AuthorizationViewState m_state = LockedState;
    QString m_unavailableReason;
    QToolButton *m_padlock = nullptr;
    QLabel *m_label = nullptr;
    QTimer *m_expiry = nullptr;
    QPointer<QWidget> m_dialog;
    std::array<std::optional<QIcon>, 2> m_padlockIcons; // unlocked, locked
};
