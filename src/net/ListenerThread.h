#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

// A plain thread that runs one listener loop.
class ListenerThread {
public:
    virtual ~ListenerThread();
    ListenerThread(const ListenerThread &) = delete;
    ListenerThread &operator=(const ListenerThread &) = delete;

    void start();
    // True once the loop has ended, waiting up to the given time for it.
    bool waitFinished(std::chrono::milliseconds time);
    // Waits until the thread has ended.
    void join();

protected:
    explicit ListenerThread(const char *name) : m_name(name) {}
    virtual void run() = 0;

private:
    const char *m_name;
    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_done;
    bool m_finished = false;
};
