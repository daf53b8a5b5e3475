#include "platform/MainThread.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

namespace MainThread {

bool isMainThread()
{
    auto* app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

void perform(QObject* context, std::function<void()> fn, bool wait)
{
    if (!context || !QCoreApplication::instance())
        return;
    if (isMainThread()) {
        if (wait)
            fn();
        else
            QMetaObject::invokeMethod(context, std::move(fn), Qt::QueuedConnection);
        return;
    }
    QMetaObject::invokeMethod(context, std::move(fn), wait ? Qt::BlockingQueuedConnection : Qt::QueuedConnection);
}

void perform(std::function<void()> fn, bool wait) { perform(QCoreApplication::instance(), std::move(fn), wait); }

void performAfter(int milliseconds, std::function<void()> fn)
{
    auto* app = QCoreApplication::instance();
    if (!app)
        return;
    perform(
        [app, milliseconds, fn = std::move(fn)]() mutable { QTimer::singleShot(milliseconds, app, std::move(fn)); });
}

} // namespace MainThread
