#include "WaitFor.h"

#include "core/net/Cancellation.h"

#include <QEventLoop>

#include <atomic>
#include <thread>

void runOffGuiThread(const std::function<void()> &work, Cancellation *cancellation)
{
    QEventLoop loop;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        work();
        done = true;
        // Queued: delivered once the loop below runs, even when the work
        // ends before it starts.
        QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
    });
    loop.exec();
    // The loop ended before the work: the program is ending.
    if (!done && cancellation)
        cancellation->cancel();
    worker.join();
}
