#pragma once

#include "core/base/Ipv4Address.h"

#include <QByteArrayList>
#include <QString>

#include <functional>
#include <memory>

// DNS-SD through the Avahi daemon, for the program's whole life: browses
// the Tarvello service and workstations, keeping a resolver per service so
// that a computer whose address records expire (its link went down) is
// reported lost, and publishes this computer's Tarvello service on demand.
// Follows the daemon when it starts late or restarts. Runs on a thread of
// its own; the callbacks come from it.
class AvahiDiscovery {
public:
    static constexpr auto kTarvelloType = "_tarvello._tcp";
    static constexpr auto kWorkstationType = "_workstation._tcp";
    // Services beyond this many are not followed.
    static constexpr int kMaxServices = 2000;
    // A service whose resolution failed is tried again this often while it
    // is still browsed (its computer may come back).
    static constexpr int kRetryMs = 30000;

    struct Callbacks {
        // A service resolved: its key (unique per interface, name and
        // type), the host name and IPv4 address, and whether it is a
        // Tarvello's.
        std::function<void(const QString &key, const QString &hostName, const Ipv4Address &address,
                           bool tarvello)>
            found;
        std::function<void(const QString &key)> lost;
        // The first browse has reported everything the daemon knew, or
        // there is no daemon to ask; called once.
        std::function<void()> settled;
    };

    explicit AvahiDiscovery(Callbacks callbacks);
    ~AvahiDiscovery();
    AvahiDiscovery(const AvahiDiscovery &) = delete;
    AvahiDiscovery &operator=(const AvahiDiscovery &) = delete;

    void start();
    // Publishes the Tarvello service under the name (another name when it
    // collides), with the TXT records; replaces what was published. Neither
    // this nor withdraw() waits for the daemon: any thread may call them.
    void announce(const QString &name, quint16 port, const QByteArrayList &txt);
    void withdraw();
    // The daemon answers.
    bool isRunning() const;
    // The name the service is published under now; empty when none is.
    QString announcedName() const;

    struct State;

private:
    void wake();

    std::unique_ptr<State> m_state;
};
