#pragma once

#include "core/platform/HostResolver.h"
#include "core/platform/NeighbourhoodBrowser.h"

#include <QHash>

#include <atomic>
#include <chrono>
#include <mutex>
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

    void onChange(std::function<void()> observer) override { changed = std::move(observer); }
    void rescan() override { ++rescans; }
    std::optional<Ipv4Address> addressOf(const QString &name) override
    {
        for (const NetResource &r : records) {
            if (r.remoteName == QStringLiteral("\\\\") + name)
                return r.address;
        }
        return std::nullopt;
    }
    void announce(const QString &name, quint16 messagePort, quint16 dataPort) override
    {
        std::lock_guard lock(mutex);
        announcements << QStringLiteral("%1 %2 %3").arg(name).arg(messagePort).arg(dataPort);
    }
    void withdraw() override
    {
        std::lock_guard lock(mutex);
        announcements << QStringLiteral("withdrawn");
    }
    QStringList announced()
    {
        std::lock_guard lock(mutex);
        return announcements;
    }

    QList<NetResource> records;
    bool available = true;
    std::atomic<int> calls{0};
    std::atomic<int> rescans{0};
    std::function<void()> changed;
    std::mutex mutex;
    QStringList announcements;
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
