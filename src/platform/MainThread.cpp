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

void perform(std::function<void()> fn, bool wait)
{
    auto* app = QCoreApplication::instance();
    if (!app)
        return;
    if (isMainThread()) {
        if (wait)
            fn();
        else
            QMetaObject::invokeMethod(app, std::move(fn), Qt::QueuedConnection);
        return;
    }
    QMetaObject::invokeMethod(app, std::move(fn), wait ? Qt::BlockingQueuedConnection : Qt::QueuedConnection);
}

void performAfter(int milliseconds, std::function<void()> fn)
{
    auto* app = QCoreApplication::instance();
    if (!app)
        return;
    perform([app, milliseconds, fn = std::move(fn)]() mutable {
        QTimer::singleShot(milliseconds, app, std::move(fn));
    });
}

} // namespace MainThread
