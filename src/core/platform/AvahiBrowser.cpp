#include "AvahiBrowser.h"

#include "ComputerName.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-common/error.h>
#include <avahi-common/simple-watch.h>
#include <avahi-common/timeval.h>

#include <QElapsedTimer>
#include <QSet>

#include <memory>
#include <vector>

namespace {

// One enumeration: a browser for _workstation._tcp and a resolver per
// service found, run on a private poll loop until Avahi has reported all it
// knows and every resolver has answered, or the time is up.
struct Enumeration {
    AvahiSimplePoll *poll = nullptr;
    AvahiClient *client = nullptr;
    bool failed = false;
    bool allForNow = false;
    int pendingResolvers = 0;
    // Services in the order reported, and the host each resolved to.
    struct Service {
        Enumeration *enumeration;
        QString hostName;
        std::optional<Ipv4Address> address;
        bool resolved = false;
    };
    std::vector<std::unique_ptr<Service>> services;

    void maybeQuit()
    {
        if (failed || (allForNow && pendingResolvers == 0))
            avahi_simple_poll_quit(poll);
    }
};

void onResolved(AvahiServiceResolver *resolver, AvahiIfIndex, AvahiProtocol,
                AvahiResolverEvent event, const char *, const char *, const char *,
                const char *hostName, const AvahiAddress *address, uint16_t, AvahiStringList *,
                AvahiLookupResultFlags, void *userdata)
{
    auto *service = static_cast<Enumeration::Service *>(userdata);
    Enumeration *e = service->enumeration;
    if (event == AVAHI_RESOLVER_FOUND && hostName) {
        service->hostName = QString::fromUtf8(hostName);
        if (address && address->proto == AVAHI_PROTO_INET) {
            // In network byte order: the first octet first in memory.
            const auto *octets =
                reinterpret_cast<const unsigned char *>(&address->data.ipv4.address);
            Ipv4Address a;
            for (int i = 0; i < 4; ++i)
                a.octets[i] = octets[i];
            service->address = a;
        }
        service->resolved = true;
    }
    avahi_service_resolver_free(resolver);
    --e->pendingResolvers;
    e->maybeQuit();
}

void onBrowse(AvahiServiceBrowser *browser, AvahiIfIndex interface, AvahiProtocol protocol,
              AvahiBrowserEvent event, const char *name, const char *type, const char *domain,
              AvahiLookupResultFlags, void *userdata)
{
    auto *e = static_cast<Enumeration *>(userdata);
    switch (event) {
    case AVAHI_BROWSER_NEW: {
        auto service = std::make_unique<Enumeration::Service>();
        service->enumeration = e;
        if (avahi_service_resolver_new(avahi_service_browser_get_client(browser), interface,
                                       protocol, name, type, domain, AVAHI_PROTO_INET,
                                       AvahiLookupFlags(0), onResolved, service.get())) {
            ++e->pendingResolvers;
            e->services.push_back(std::move(service));
        }
        break;
    }
    case AVAHI_BROWSER_ALL_FOR_NOW:
        e->allForNow = true;
        break;
    case AVAHI_BROWSER_FAILURE:
        e->failed = true;
        break;
    default:
        break;
    }
    e->maybeQuit();
}

void onClientState(AvahiClient *, AvahiClientState state, void *userdata)
{
    auto *e = static_cast<Enumeration *>(userdata);
    if (state == AVAHI_CLIENT_FAILURE) {
        e->failed = true;
        if (e->poll)
            avahi_simple_poll_quit(e->poll);
    }
}

} // namespace

bool AvahiBrowser::enumerate(QList<NetResource> &records)
{
    records.clear();
    Enumeration e;
    e.poll = avahi_simple_poll_new();
    if (!e.poll)
        return false;
    int error = 0;
    e.client = avahi_client_new(avahi_simple_poll_get(e.poll), AvahiClientFlags(0), onClientState,
                                &e, &error);
    if (!e.client) {
        avahi_simple_poll_free(e.poll);
        return false;
    }
    AvahiServiceBrowser *browser =
        avahi_service_browser_new(e.client, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, "_workstation._tcp",
                                  nullptr, AvahiLookupFlags(0), onBrowse, &e);
    if (!browser)
        e.failed = true;

    QElapsedTimer timer;
    timer.start();
    while (!e.failed && !(e.allForNow && e.pendingResolvers == 0)) {
        const qint64 left = m_timeoutMs - timer.elapsed();
        if (left <= 0)
            break;
        // Wait for at most what is left of the bound, then look again.
        if (avahi_simple_poll_iterate(e.poll, int(qMin<qint64>(left, 100))) != 0)
            break;
    }

    const bool ok = !e.failed;
    if (ok) {
        // One record per host, in the order its first service was reported.
        QSet<QString> seen;
        for (const auto &service : e.services) {
            if (!service->resolved)
                continue;
            // As the network neighbourhood names computers: the short host
            // name, upper-cased, at most 15 characters.
            const QString host = ComputerName::netBiosNameOf(service->hostName);
            if (host.isEmpty() || seen.contains(host))
                continue;
            seen.insert(host);
            NetResource record;
            record.remoteName = QStringLiteral("\\\\") + host;
            record.address = service->address;
            records.append(record);
        }
    }
    // Freeing the client frees its browser and the resolvers still pending.
    avahi_client_free(e.client);
    avahi_simple_poll_free(e.poll);
    return ok;
}
