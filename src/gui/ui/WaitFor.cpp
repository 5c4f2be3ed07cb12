#include "WaitFor.h"

#include <QEventLoop>

#include <thread>

void runOffGuiThread(const std::function<void()> &work)
{
    QEventLoop loop;
    std::thread worker([&] {
        work();
        // Queued: delivered once the loop below runs, even when the work
        // ends before it starts.
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    worker.join();
}
