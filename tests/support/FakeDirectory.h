#pragma once

#include "core/platform/HostResolver.h"
#include "core/platform/NeighbourhoodBrowser.h"

#include <QHash>

#include <atomic>
#include <chrono>
#include <thread>

// A neighbourhood that reports what a test says.
class FakeBrowser : public NeighbourhoodBrowser {
public:
    bool enumerate(QList<NetResource> &out) override
    {
        ++calls;
        out = records;
        return available;
    }
    void addComputer(const QString &name)
    {
        NetResource r;
        r.remoteName = QStringLiteral("\\\\") + name;
        records.append(r);
    }

    QList<NetResource> records;
    bool available = true;
    std::atomic<int> calls{0};
};

// A resolver with a fixed table; each look-up may take a while.
class FakeResolver : public HostResolver {
public:
    std::optional<Ipv4Address> addressOf(const QString &name) override
    {
        ++lookups;
        const int now = ++running;
        for (int seen = peak; now > seen && !peak.compare_exchange_weak(seen, now);) {
        }
        if (delayMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        --running;
        const auto it = addresses.constFind(name);
        if (it == addresses.constEnd())
            return std::nullopt;
        return *it;
    }
    std::optional<QString> nameOf(const Ipv4Address &address) override
    {
        if (delayMs > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        for (auto it = addresses.constBegin(); it != addresses.constEnd(); ++it) {
            if (it.value() == address)
                return it.key();
        }
        return std::nullopt;
    }

    QHash<QString, Ipv4Address> addresses;
    int delayMs = 0;
    std::atomic<int> lookups{0};
    std::atomic<int> running{0};
    std::atomic<int> peak{0};
};
