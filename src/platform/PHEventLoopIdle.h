#pragma once

#include <QObject>

#include <functional>

/// Runs an action once the event loop has run out of work: a whole pass of
/// the loop delivered no event to any object of the main thread but its own
/// probe. By then the work queued at start-up has run (queued calls, zero
/// timers, the layout requests and repaints they caused), so a window is laid
/// out for what that work showed. A timer that is not due yet does not count
/// as work. Background work registered as pending (PHPendingWork) is waited
/// for, up to PHPendingWork::longestWait: its outcome is part of what the
/// window shows once started.
class PHEventLoopIdle : public QObject {
    Q_OBJECT
public:
    /// Runs `action` at the first idle pass of the event loop that runs next
    /// (or, should the loop never be idle, after `maximumBusyPasses` passes
    /// with work). Nothing runs when `context` is gone first.
    static void whenIdle(QObject *context, std::function<void()> action, int maximumBusyPasses = 10000);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    bool event(QEvent *event) override;

private:
    PHEventLoopIdle(QObject *context, std::function<void()> action, int maximumBusyPasses);
    void aboutToBlock();
    void postProbe();

    std::function<void()> m_action;
    int m_busyPassesLeft;
    int m_eventsSinceProbe = 0; // other than the probe, in the passes since it was posted
    bool m_probeDelivered = false;
    bool m_probePending = false;
    bool m_done = false;
    bool m_waitingForWork = false;
    bool m_waitedLongEnough = false;
};
