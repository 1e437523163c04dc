// The idle moment the screenshot waits for: after every piece of queued work
// and the layout it caused, once, and never for a context that is gone.

#include "common/TestApplication.h"
#include "core/Log.h"
#include "platform/PHEventLoopIdle.h"
#include "platform/PHPendingWork.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QEventLoop>
#include <QLabel>
#include <QTimer>
#include <QVBoxLayout>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

namespace {

QApplication &application() {
    return testApplication("event_loop_idle_test");
}

// Runs the event loop until `done` is true (or non-zero) or 20 s have passed.
template <class T> void runUntil(const T &done) {
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done)
            loop.quit();
    });
    poll.start(5);
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);
    loop.exec();
}

TEST(EventLoopIdle, ActsOnceAfterQueuedWorkAndTheLayoutItCaused) {
    application();
    QWidget window;
    auto *layout = new QVBoxLayout(&window);
    auto *status = new QLabel(&window);
    layout->addWidget(status);
    layout->addStretch();
    window.resize(600, 200);
    window.show();

    // A chain of queued calls, each queuing the next; the last one sets a
    // text far wider than the label was laid out for.
    const QString text = QStringLiteral("The status line, set by the last of the queued calls");
    int steps = 0;
    std::function<void()> step = [&] {
        if (++steps < 20)
            QMetaObject::invokeMethod(&window, step, Qt::QueuedConnection);
        else
            status->setText(text);
    };
    QMetaObject::invokeMethod(&window, step, Qt::QueuedConnection);

    int actions = 0;
    int stepsThen = 0;
    int widthThen = 0;
    PHEventLoopIdle::whenIdle(&window, [&] {
        ++actions;
        stepsThen = steps;
        widthThen = status->contentsRect().width();
    });
    runUntil(actions);
    QEventLoop().processEvents();
    EXPECT_EQ(actions, 1);
    EXPECT_EQ(stepsThen, 20);
    EXPECT_GE(widthThen, status->fontMetrics().horizontalAdvance(text)) << "laid out for its text";
    EXPECT_TRUE(window.findChildren<PHEventLoopIdle *>().isEmpty()) << "gone once it has acted";
}

TEST(EventLoopIdle, WaitsForPendingBackgroundWorkAndWhatItsOutcomeQueued) {
    application();
    QObject context;
    // A worker whose answer comes back long after the loop first runs dry;
    // showing the answer queues one more step.
    PHPendingWork::begin();
    bool shown = false;
    std::thread worker([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [&] {
                QMetaObject::invokeMethod(
                    &context, [&] { shown = true; }, Qt::QueuedConnection);
                PHPendingWork::end();
            },
            Qt::QueuedConnection);
    });
    bool acted = false;
    bool shownThen = false;
    PHEventLoopIdle::whenIdle(&context, [&] {
        acted = true;
        shownThen = shown;
    });
    runUntil(acted);
    worker.join();
    EXPECT_TRUE(acted);
    EXPECT_TRUE(shownThen) << "acted before the background work's outcome was shown";
    EXPECT_EQ(PHPendingWork::count(), 0);
}

TEST(EventLoopIdle, DoesNothingForAContextThatIsGone) {
    application();
    auto context = std::make_unique<QObject>();
    bool acted = false;
    PHEventLoopIdle::whenIdle(context.get(), [&] { acted = true; });
    context.reset();
    bool later = false;
    PHEventLoopIdle::whenIdle(QCoreApplication::instance(), [&] { later = true; });
    runUntil(later);
    EXPECT_TRUE(later);
    EXPECT_FALSE(acted);
}

TEST(EventLoopIdle, ActsAnywayWhenTheLoopIsNeverIdleAndSaysSo) {
    application();
    QObject context;
    // Work that queues itself again for ever.
    bool stop = false;
    std::function<void()> busy = [&] {
        if (!stop)
            QMetaObject::invokeMethod(&context, busy, Qt::QueuedConnection);
    };
    QMetaObject::invokeMethod(&context, busy, Qt::QueuedConnection);
    QStringList log;
    Log::setCapture(&log);
    bool acted = false;
    PHEventLoopIdle::whenIdle(
        &context,
        [&] {
            acted = true;
            stop = true;
        },
        50);
    runUntil(acted);
    Log::setCapture(nullptr);
    EXPECT_TRUE(acted);
    EXPECT_TRUE(log.join('\n').contains("did not become idle")) << log.join('\n').toStdString();
}

} // namespace
