#pragma once

#include "core/base/Ipv4Address.h"

#include <QHostAddress>
#include <QList>
#include <QNetworkAddressEntry>
#include <QString>

#include <functional>
#include <memory>

class QThread;

// The computers that announce themselves through WS-Discovery: Windows and
// hosts running wsdd. Probes the multicast group now and then, hears Hello
// and Bye, and names each computer from the metadata its XAddr serves. Runs
// on a thread of its own; every byte it reads is bounded.
class WsDiscovery {
public:
    struct Options {
        QHostAddress group{QStringLiteral("239.255.255.250")};
        quint16 port = 3702;                // where probes go and Hello/Bye arrive
        bool listenForAnnouncements = true; // bind the port and join the group (off in tests)
        int probeIntervalMs = 45000;  // a Probe this often: computers that stop answering leave
        int forgetAfterMs = 100000;   // not heard from (ProbeMatch or Hello) this long: lost
        int metadataTimeoutMs = 2000; // each metadata fetch, connect to last byte
        qint64 maxMetadataBytes = 256 * 1024;
        int maxComputers = 1000;
        // The only port metadata is fetched from: Windows' and wsdd's
        // (0: any). Never another service, such as a Tarvello's message
        // port, however a datagram names it.
        quint16 metadataPort = 5357;
        // The networks a metadata address must share with the datagram that
        // named it; empty: this computer's IPv4 interface addresses.
        QList<QNetworkAddressEntry> localNetworks;
    };
    // Called on the client's own thread; must not block long.
    using Found = std::function<void(const QString &endpoint, const QString &name,
                                     const Ipv4Address &address)>;
    using Lost = std::function<void(const QString &endpoint)>;

    // Two constructors rather than a default argument: GCC cannot use the
    // nested struct's member initializers inside the class that holds it.
    WsDiscovery(Found found, Lost lost);
    WsDiscovery(Found found, Lost lost, Options options);
    // Ends the thread at once (no Bye is ours to send: we announce nothing).
    ~WsDiscovery();
    WsDiscovery(const WsDiscovery &) = delete;
    WsDiscovery &operator=(const WsDiscovery &) = delete;

    // Starts the thread, which sends a first Probe at once.
    void start();
    // Thread-safe: a Probe now (the user's refresh). Nothing before start().
    void probeNow();

    // True when host lies on one of the networks together with sender: only
    // such addresses are fetched, so that a datagram cannot send the client
    // to connect anywhere else.
    static bool onSameNetwork(const QHostAddress &sender, const QHostAddress &host,
                              const QList<QNetworkAddressEntry> &networks);

private:
    Found m_found;
    Lost m_lost;
    Options m_options;
    std::unique_ptr<QThread> m_thread;
    // probeNow() wakes the thread through this eventfd: a plain system call,
    // safe from any thread.
    int m_wakeFd = -1;
};
