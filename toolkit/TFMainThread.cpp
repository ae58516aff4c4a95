#include "toolkit/TFMainThread.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

namespace TFMainThread {

void perform(std::function<void()> call) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return;
    QMetaObject::invokeMethod(app, std::move(call), Qt::QueuedConnection);
}

void performOnce(std::atomic<bool>& pending, std::function<void()> call) {
    // Without an event loop nothing would ever clear the flag again.
    if (!QCoreApplication::instance()) return;
    if (pending.exchange(true)) return;
    perform([&pending, call = std::move(call)] {
        pending.store(false);
        call();
    });
}

void performWhenIdle(std::function<void()> call) {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) return;
    // A zero timer fires only once the posted events ahead of it are handled.
    QMetaObject::invokeMethod(
        app, [call = std::move(call)] { QTimer::singleShot(0, QCoreApplication::instance(), call); },
        Qt::QueuedConnection);
}

bool isMainThread() {
    QCoreApplication* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

} // namespace TFMainThread
