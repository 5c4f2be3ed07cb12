#pragma once

#include <mutex>

// Lets another thread end a socket's blocking work at once (Exit, the
// session's end): a connect, receive or send under way returns, and the
// socket fails from then on. The socket attaches itself while it is open.
class Cancellation {
public:
    void cancel();
    // Ends the connection under way, if any, as cancel() does, but not
    // those after it.
    void interrupt();
    bool isCancelled() const;

private:
    friend class TcpSocket;
    // False when cancelled already: the socket must give up.
    bool attach(int handle);
    void detach(int handle);

    mutable std::mutex m_mutex;
    int m_handle = -1;
    bool m_cancelled = false;
};
