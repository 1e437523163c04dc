#include "core/NotificationCenter.h"

#include <QCoreApplication>
#include <QMetaObject>

NotificationCenter &NotificationCenter::defaultCenter() {
    static NotificationCenter center;
    return center;
}

NotificationCenter::Token NotificationCenter::addObserver(const QString &name, const void *sender,
                                                          Handler handler) {
    QMutexLocker lock(&m_mutex);
    const Token token = m_next++;
    m_observers.push_back({token, name, sender, std::move(handler)});
    return token;
}

void NotificationCenter::removeObserver(Token token) {
    QMutexLocker lock(&m_mutex);
    std::erase_if(m_observers, [token](const Observer &o) { return o.token == token; });
}

void NotificationCenter::post(const QString &name, const void *sender, const QVariantMap &userInfo) {
    // Copy the matching handlers first: a handler may add or remove observers.
    std::vector<std::pair<Token, Handler>> targets;
    {
        QMutexLocker lock(&m_mutex);
        for (const Observer &o : m_observers)
            if ((o.name.isEmpty() || o.name == name) && (!o.sender || o.sender == sender))
                targets.emplace_back(o.token, o.handler);
    }
    const Notification note{name, sender, userInfo};
    for (auto &[token, handler] : targets) {
        bool stillRegistered = false;
        {
            QMutexLocker lock(&m_mutex);
            for (const Observer &o : m_observers)
                if (o.token == token)
                    stillRegistered = true;
        }
        if (stillRegistered)
            handler(note);
    }
}

void NotificationCenter::postOnMainThread(const QString &name, const void *sender,
                                          const QVariantMap &userInfo) {
    QCoreApplication *app = QCoreApplication::instance();
    if (!app) {
        post(name, sender, userInfo);
        return;
    }
    QMetaObject::invokeMethod(
        app, [this, name, sender, userInfo] { post(name, sender, userInfo); }, Qt::QueuedConnection);
}
