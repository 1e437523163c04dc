#include "platform/PHEventLoopIdle.h"

#include "core/Log.h"
#include "platform/PHPendingWork.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QEvent>
#include <QTimer>

namespace {

/// The probe that keeps the loop turning while it is watched: without it a
/// loop that has just run out of work would wait for the next outside event.
const QEvent::Type kProbe = static_cast<QEvent::Type>(QEvent::registerEventType());

} // namespace

void PHEventLoopIdle::whenIdle(QObject *context, std::function<void()> action, int maximumBusyPasses) {
    // Owned by the context: gone with it, and deleted once it has acted.
    new PHEventLoopIdle(context, std::move(action), maximumBusyPasses);
}

PHEventLoopIdle::PHEventLoopIdle(QObject *context, std::function<void()> action, int maximumBusyPasses)
    : QObject(context), m_action(std::move(action)), m_busyPassesLeft(maximumBusyPasses) {
    QCoreApplication::instance()->installEventFilter(this);
    connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, this,
            &PHEventLoopIdle::aboutToBlock);
}

void PHEventLoopIdle::postProbe() {
    m_eventsSinceProbe = 0;
    m_probeDelivered = false;
    m_probePending = true;
    QCoreApplication::postEvent(this, new QEvent(kProbe));
}

bool PHEventLoopIdle::eventFilter(QObject *watched, QEvent *event) {
    if (watched != this || event->type() != kProbe)
        ++m_eventsSinceProbe;
    return false;
}

bool PHEventLoopIdle::event(QEvent *event) {
    if (event->type() != kProbe)
        return QObject::event(event);
    m_probePending = false;
    m_probeDelivered = true;
    return true;
}

void PHEventLoopIdle::aboutToBlock() {
    if (m_done || m_probePending)
        return;
    if (PHPendingWork::count() > 0 && !m_waitedLongEnough) {
        // Nothing to probe for: the loop sleeps until the work's outcome is
        // posted back, and the passes that outcome causes are counted afresh.
        if (!m_waitingForWork) {
            m_waitingForWork = true;
            QTimer::singleShot(PHPendingWork::longestWait, this, [this] {
                m_waitedLongEnough = true;
                if (!m_done && !m_probePending) {
                    Log::write(QStringLiteral("Background work still pending; acting anyway"));
                    postProbe();
                }
            });
        }
        m_probeDelivered = false;
        return;
    }
    // The pass that delivered the probe delivered nothing else: idle. (Work
    // that event caused in that pass was posted for the next one.)
    const bool idle = m_probeDelivered && m_eventsSinceProbe == 0;
    if (!idle && --m_busyPassesLeft > 0) {
        postProbe();
        return;
    }
    if (!idle)
        Log::write(QStringLiteral("The event loop did not become idle; acting anyway"));
    m_done = true;
    QCoreApplication::instance()->removeEventFilter(this);
    disconnect(QAbstractEventDispatcher::instance(), nullptr, this, nullptr);
    const std::function<void()> action = std::move(m_action);
    deleteLater();
    action();
}
