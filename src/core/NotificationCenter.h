#pragma once

#include <QMutex>
#include <QString>
#include <QVariantMap>

#include <functional>
#include <vector>

/// A posted notification: its name, the object that posted it and a record.
/// Posted by the model when it refuses what the user asked; userInfo "reason"
/// says why in words for the user.
inline const QString PHActionRefusedNotification = QStringLiteral("PHActionRefused");

struct Notification {
    QString name;
    const void *sender = nullptr;
    QVariantMap userInfo;
};

/// In-process notification centre. Observers register for a name, a sender, or
/// both (an empty name or a null sender matches any). Delivery happens on the
/// posting thread, in registration order.
class NotificationCenter {
public:
    using Handler = std::function<void(const Notification &)>;
    using Token = quint64;

    static NotificationCenter &defaultCenter();

    Token addObserver(const QString &name, const void *sender, Handler handler);
    void removeObserver(Token token);

    void post(const QString &name, const void *sender = nullptr, const QVariantMap &userInfo = {});
    /// Posts on the main thread without waiting (for workers).
    void postOnMainThread(const QString &name, const void *sender = nullptr,
                          const QVariantMap &userInfo = {});

private:
    struct Observer {
        Token token;
        QString name;
        const void *sender;
        Handler handler;
    };
    QMutex m_mutex;
    std::vector<Observer> m_observers;
    Token m_next = 1;
};

/// Removes its observer when it goes away, so a deleted object is never called.
class ObserverRegistration {
public:
    ObserverRegistration() = default;
    ObserverRegistration(const QString &name, const void *sender, NotificationCenter::Handler handler)
        : m_token(NotificationCenter::defaultCenter().addObserver(name, sender, std::move(handler))) {}
    ObserverRegistration(ObserverRegistration &&other) noexcept : m_token(other.m_token) {
        other.m_token = 0;
    }
    ObserverRegistration &operator=(ObserverRegistration &&other) noexcept {
        if (this != &other) {
            reset();
            m_token = other.m_token;
            other.m_token = 0;
        }
        return *this;
    }
    ObserverRegistration(const ObserverRegistration &) = delete;
    ObserverRegistration &operator=(const ObserverRegistration &) = delete;
    ~ObserverRegistration() { reset(); }
    void reset() {
        if (m_token)
            NotificationCenter::defaultCenter().removeObserver(m_token);
        m_token = 0;
    }

private:
    NotificationCenter::Token m_token = 0;
};
