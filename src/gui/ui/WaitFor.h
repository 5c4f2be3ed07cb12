#pragma once

#include <functional>

class Cancellation;

// Runs blocking work (network, name look-ups, joining threads) on a worker
// thread while the GUI thread waits in a local event loop, so that windows
// keep painting and incoming windows keep opening. Returns when the work is
// done. When the program ends meanwhile (Exit ends every local loop), the
// work's cancellation, if it has one, ends it at once instead of waiting for
// a peer.
void runOffGuiThread(const std::function<void()> &work, Cancellation *cancellation = nullptr);

template <typename T>
T runOffGuiThread(const std::function<T()> &work, Cancellation *cancellation = nullptr)
{
    T result{};
    runOffGuiThread([&] { result = work(); }, cancellation);
    return result;
}
