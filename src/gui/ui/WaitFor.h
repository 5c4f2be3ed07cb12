#pragma once

#include <functional>

// Runs blocking work (network, name look-ups, joining threads) on a worker
// thread while the GUI thread waits in a local event loop, so that windows
// keep painting and incoming windows keep opening. Returns when the work is
// done.
void runOffGuiThread(const std::function<void()> &work);

template <typename T>
T runOffGuiThread(const std::function<T()> &work)
{
    T result{};
    runOffGuiThread([&] { result = work(); });
    return result;
}
