#include "AvahiDiscovery.h"

#include <avahi-client/client.h>
#include <avahi-client/lookup.h>
#include <avahi-client/publish.h>
#include <avahi-common/alternative.h>
#include <avahi-common/error.h>
#include <avahi-common/malloc.h>
#include <avahi-common/thread-watch.h>
#include <avahi-common/timeval.h>

#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <mutex>

namespace {

// A DNS-SD instance name holds at most 63 bytes of UTF-8.
QByteArray serviceName(const QString &name)
{
    QString cut = name;
    while (cut.toUtf8().size() > 63)
        cut.chop(cut.size() >= 2 && cut.at(cut.size() - 1).isLowSurrogate() ? 2 : 1);
    return cut.toUtf8();
}

} // namespace

struct AvahiDiscovery::State {
    struct Service {
        State *state = nullptr;
        QString key;
        AvahiIfIndex interface = AVAHI_IF_UNSPEC;
        AvahiProtocol protocol = AVAHI_PROTO_UNSPEC;
        QByteArray name, type, domain;
        bool tarvello = false;
        bool reported = false;
        AvahiServiceResolver *resolver = nullptr;
        AvahiTimeout *retry = nullptr;
    };

    Callbacks callbacks;
    AvahiThreadedPoll *poll = nullptr;
    AvahiClient *client = nullptr;
    AvahiEntryGroup *group = nullptr;
    AvahiServiceBrowser *browsers[2] = {nullptr, nullptr};
    bool allForNow[2] = {false, false};
    bool settled = false;
    std::atomic<bool> running{false};
    std::map<QString, std::unique_ptr<Service>> services;

    // What is to be published (empty name: nothing), set by any thread
    // without waiting for the daemon: the poll thread is woken through the
    // descriptor and publishes.
    std::mutex wantedMutex;
    QByteArray wantedName;
    quint16 port = 0;
    QByteArrayList txt;
    QByteArray publishedName; // under wantedMutex too
    int wakeFd = -1;
    AvahiWatch *wakeWatch = nullptr;
    AvahiTimeout *connectSoon = nullptr;

    const AvahiPoll *api() const { return avahi_threaded_poll_get(poll); }

    void settle()
    {
        if (settled)
            return;
        settled = true;
        if (callbacks.settled)
            callbacks.settled();
    }

    void connect()
    {
        int error = 0;
        // Without a daemon the client waits for one to appear.
        client = avahi_client_new(api(), AVAHI_CLIENT_NO_FAIL, onClientState, this, &error);
        if (!client)
            settle();
    }

    void forgetEverything()
    {
        for (auto &[key, service] : services) {
            freeLookups(*service);
            if (service->reported && callbacks.lost)
                callbacks.lost(key);
        }
        services.clear();
        // Freed with the client.
        browsers[0] = browsers[1] = nullptr;
        allForNow[0] = allForNow[1] = false;
        group = nullptr;
        setPublished(QByteArray());
        running = false;
    }

    void freeLookups(Service &service)
    {
        if (service.resolver)
            avahi_service_resolver_free(service.resolver);
        service.resolver = nullptr;
        if (service.retry)
            api()->timeout_free(service.retry);
        service.retry = nullptr;
    }

    void resolve(Service &service)
    {
        service.resolver = avahi_service_resolver_new(
            client, service.interface, service.protocol, service.name.constData(),
            service.type.constData(), service.domain.constData(), AVAHI_PROTO_INET,
            AvahiLookupFlags(0), onResolved, &service);
        if (!service.resolver)
            retryLater(service);
    }

    void retryLater(Service &service)
    {
        timeval when;
        avahi_elapse_time(&when, kRetryMs, 0);
        service.retry = api()->timeout_new(api(), &when, onRetry, &service);
    }

    void browse()
    {
        const char *types[2] = {kTarvelloType, kWorkstationType};
        for (int i = 0; i < 2; ++i) {
            if (browsers[i])
                continue;
            browsers[i] =
                avahi_service_browser_new(client, AVAHI_IF_UNSPEC, AVAHI_PROTO_INET, types[i],
                                          nullptr, AvahiLookupFlags(0), onBrowse, this);
            if (!browsers[i])
                allForNow[i] = true;
        }
        if (allForNow[0] && allForNow[1])
            settle();
    }

    void setPublished(const QByteArray &name)
    {
        std::lock_guard lock(wantedMutex);
        publishedName = name;
    }

    // On the poll thread: makes what is published what is wanted.
    void publish()
    {
        QByteArray name;
        quint16 wantedPort;
        QByteArrayList records;
        {
            std::lock_guard lock(wantedMutex);
            name = wantedName;
            wantedPort = port;
            records = txt;
        }
        if (!running || name.isEmpty()) {
            if (group)
                avahi_entry_group_reset(group);
            setPublished(QByteArray());
            return;
        }
        if (!group)
            group = avahi_entry_group_new(client, onGroupState, this);
        if (!group)
            return;
        avahi_entry_group_reset(group);
        AvahiStringList *list = nullptr;
        for (const QByteArray &record : std::as_const(records))
            list = avahi_string_list_add(list, record.constData());
        const int result = avahi_entry_group_add_service_strlst(
            group, AVAHI_IF_UNSPEC, AVAHI_PROTO_UNSPEC, AvahiPublishFlags(0), name.constData(),
            kTarvelloType, nullptr, nullptr, wantedPort, list);
        avahi_string_list_free(list);
        if (result == AVAHI_ERR_COLLISION && renameAfterCollision(name))
            return publish();
        if (result == AVAHI_OK && avahi_entry_group_commit(group) == AVAHI_OK)
            setPublished(name);
    }

    // Another computer announces the name: the next one ("name #2"), unless
    // what is wanted has changed meanwhile.
    bool renameAfterCollision(const QByteArray &name)
    {
        char *other = avahi_alternative_service_name(name.constData());
        std::lock_guard lock(wantedMutex);
        const bool same = wantedName == name;
        if (same)
            wantedName = QByteArray(other);
        avahi_free(other);
        return same;
    }

    static void onWake(AvahiWatch *, int fd, AvahiWatchEvent, void *userdata)
    {
        auto *s = static_cast<State *>(userdata);
        quint64 count;
        [[maybe_unused]] const auto n = ::read(fd, &count, sizeof count);
        if (s->client)
            s->publish();
    }

    static void onConnectSoon(AvahiTimeout *, void *userdata)
    {
        auto *s = static_cast<State *>(userdata);
        s->api()->timeout_free(s->connectSoon);
        s->connectSoon = nullptr;
        s->connect();
    }

    static void onClientState(AvahiClient *client, AvahiClientState state, void *userdata)
    {
        auto *s = static_cast<State *>(userdata);
        s->client = client; // may be called before avahi_client_new returns
        switch (state) {
        case AVAHI_CLIENT_S_RUNNING:
            s->running = true;
            s->browse();
            s->publish();
            break;
        case AVAHI_CLIENT_S_COLLISION:
        case AVAHI_CLIENT_S_REGISTERING:
            // The host's own name is being settled: publish again after.
            if (s->group)
                avahi_entry_group_reset(s->group);
            s->setPublished(QByteArray());
            break;
        case AVAHI_CLIENT_CONNECTING:
            // No daemon (yet): nothing to wait for.
            s->settle();
            break;
        case AVAHI_CLIENT_FAILURE:
            s->forgetEverything();
            s->settle();
            if (avahi_client_errno(client) == AVAHI_ERR_DISCONNECTED) {
                // The daemon went away: wait for it to come back.
                avahi_client_free(client);
                s->client = nullptr;
                s->connect();
            }
            break;
        }
    }

    static void onGroupState(AvahiEntryGroup *, AvahiEntryGroupState state, void *userdata)
    {
        auto *s = static_cast<State *>(userdata);
        if (state == AVAHI_ENTRY_GROUP_COLLISION) {
            QByteArray name;
            {
                std::lock_guard lock(s->wantedMutex);
                name = s->publishedName;
            }
            s->renameAfterCollision(name);
            s->publish();
        } else if (state == AVAHI_ENTRY_GROUP_FAILURE) {
            s->setPublished(QByteArray());
        }
    }

    static void onBrowse(AvahiServiceBrowser *browser, AvahiIfIndex interface,
                         AvahiProtocol protocol, AvahiBrowserEvent event, const char *name,
                         const char *type, const char *domain, AvahiLookupResultFlags,
                         void *userdata)
    {
        auto *s = static_cast<State *>(userdata);
        const int which = browser == s->browsers[0] ? 0 : 1;
        switch (event) {
        case AVAHI_BROWSER_NEW: {
            const QString key = QStringLiteral("%1/%2/%3.%4")
                                    .arg(interface)
                                    .arg(QString::fromUtf8(name), QString::fromUtf8(type),
                                         QString::fromUtf8(domain));
            if (s->services.count(key) || int(s->services.size()) >= kMaxServices)
                break;
            auto service = std::make_unique<Service>();
            service->state = s;
            service->key = key;
            service->interface = interface;
            service->protocol = protocol;
            service->name = name;
            service->type = type;
            service->domain = domain;
            service->tarvello = which == 0;
            s->resolve(*service);
            s->services[key] = std::move(service);
            break;
        }
        case AVAHI_BROWSER_REMOVE: {
            const QString key = QStringLiteral("%1/%2/%3.%4")
                                    .arg(interface)
                                    .arg(QString::fromUtf8(name), QString::fromUtf8(type),
                                         QString::fromUtf8(domain));
            const auto it = s->services.find(key);
            if (it == s->services.end())
                break;
            s->freeLookups(*it->second);
            const bool reported = it->second->reported;
            s->services.erase(it);
            if (reported && s->callbacks.lost)
                s->callbacks.lost(key);
            break;
        }
        case AVAHI_BROWSER_ALL_FOR_NOW:
        case AVAHI_BROWSER_FAILURE:
            s->allForNow[which] = true;
            if (s->allForNow[0] && s->allForNow[1])
                s->settle();
            break;
        case AVAHI_BROWSER_CACHE_EXHAUSTED:
            break;
        }
    }

    static void onResolved(AvahiServiceResolver *, AvahiIfIndex, AvahiProtocol,
                           AvahiResolverEvent event, const char *, const char *, const char *,
                           const char *hostName, const AvahiAddress *address, uint16_t,
                           AvahiStringList *, AvahiLookupResultFlags, void *userdata)
    {
        auto *service = static_cast<Service *>(userdata);
        State *s = service->state;
        if (event == AVAHI_RESOLVER_FOUND && hostName && address &&
            address->proto == AVAHI_PROTO_INET) {
            // In network byte order: the first octet first in memory.
            const auto *octets =
                reinterpret_cast<const unsigned char *>(&address->data.ipv4.address);
            Ipv4Address a;
            for (int i = 0; i < 4; ++i)
                a.octets[i] = octets[i];
            service->reported = true;
            if (s->callbacks.found)
                s->callbacks.found(service->key, QString::fromUtf8(hostName), a, service->tarvello);
            // The resolver stays: it says when the records expire.
            return;
        }
        // Its records expired or never came: the computer is not there
        // now. Asked again later while the service is still browsed.
        s->freeLookups(*service);
        if (service->reported && s->callbacks.lost)
            s->callbacks.lost(service->key);
        service->reported = false;
        s->retryLater(*service);
    }

    static void onRetry(AvahiTimeout *, void *userdata)
    {
        auto *service = static_cast<Service *>(userdata);
        State *s = service->state;
        s->api()->timeout_free(service->retry);
        service->retry = nullptr;
        s->resolve(*service);
    }
};

AvahiDiscovery::AvahiDiscovery(Callbacks callbacks) : m_state(std::make_unique<State>())
{
    m_state->callbacks = std::move(callbacks);
}

AvahiDiscovery::~AvahiDiscovery()
{
    State &s = *m_state;
    if (s.poll) {
        avahi_threaded_poll_stop(s.poll);
        // Freeing the client withdraws what it published and frees its
        // browsers, resolvers and group.
        for (auto &[key, service] : s.services) {
            if (service->retry)
                s.api()->timeout_free(service->retry);
            service->retry = nullptr;
            service->resolver = nullptr;
        }
        if (s.client)
            avahi_client_free(s.client);
        // The poll frees its watches and timeouts.
        avahi_threaded_poll_free(s.poll);
    }
    if (s.wakeFd >= 0)
        ::close(s.wakeFd);
}

void AvahiDiscovery::start()
{
    State &s = *m_state;
    if (s.poll)
        return;
    s.poll = avahi_threaded_poll_new();
    s.wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (!s.poll || s.wakeFd < 0) {
        s.settle();
        return;
    }
    // Everything that may wait for the daemon happens on the poll thread,
    // never on the caller's: the connection, publishing and withdrawing.
    timeval now;
    avahi_elapse_time(&now, 0, 0);
    s.connectSoon = s.api()->timeout_new(s.api(), &now, State::onConnectSoon, &s);
    s.wakeWatch = s.api()->watch_new(s.api(), s.wakeFd, AVAHI_WATCH_IN, State::onWake, &s);
    if (avahi_threaded_poll_start(s.poll) < 0)
        s.settle();
}

void AvahiDiscovery::announce(const QString &name, quint16 port, const QByteArrayList &txt)
{
    State &s = *m_state;
    {
        std::lock_guard lock(s.wantedMutex);
        s.wantedName = serviceName(name);
        s.port = port;
        s.txt = txt;
    }
    wake();
}

void AvahiDiscovery::withdraw()
{
    State &s = *m_state;
    {
        std::lock_guard lock(s.wantedMutex);
        s.wantedName.clear();
    }
    wake();
}

void AvahiDiscovery::wake()
{
    const quint64 one = 1;
    if (m_state->wakeFd >= 0)
        [[maybe_unused]] const auto n = ::write(m_state->wakeFd, &one, sizeof one);
}

bool AvahiDiscovery::isRunning() const
{
    return m_state->running;
}

QString AvahiDiscovery::announcedName() const
{
    std::lock_guard lock(m_state->wantedMutex);
    return QString::fromUtf8(m_state->publishedName);
}
