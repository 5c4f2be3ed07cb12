#pragma once

#include "NeighbourhoodBrowser.h"

#include <QHash>

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

class AvahiDiscovery;
class WsDiscovery;

// The network neighbourhood as it is now, kept for the program's whole
// life from live sources: DNS-SD (the hosts announcing Tarvello or a
// workstation, through Avahi) and WS-Discovery (Windows computers). One
// computer per address however many ways found it, named as the network
// neighbourhood names computers. Thread-safe.
class LiveNeighbourhood : public NeighbourhoodBrowser {
public:
    enum class Source { Tarvello, Workstation, WsDiscovery };

    struct Options {
        bool dnsSd = true;
        bool wsDiscovery = true;
        // The longest an enumeration waits for the sources' first answers,
        // from the start or the last rescan.
        int settleMs = 1000;
        // WS-Discovery has no "that was all": its answers are waited for
        // this long after a search.
        int wsAnswerMs = 400;
        // Computers beyond this many are left out.
        int maxComputers = 1000;
    };
    // The program's own: everything on, unless the environment variable
    // TARVELLO_NEIGHBOURHOOD is "off" (tests outside a test host's network
    // send nothing to the machine's real network).
    static bool discoveryAllowed();
    static Options systemOptions();

    LiveNeighbourhood();
    explicit LiveNeighbourhood(Options options);
    ~LiveNeighbourhood() override;

    // Starts the sources; the first enumeration does it when nobody has.
    void start();

    bool enumerate(QList<NetResource> &records) override;
    void rescan() override;
    void onChange(std::function<void()> observer) override;
    std::optional<Ipv4Address> addressOf(const QString &name) override;
    void announce(const QString &name, quint16 messagePort, quint16 dataPort) override;
    void withdraw() override;

    // The Avahi daemon answers (false before start()).
    bool dnsSdRunning() const;
    // The name this computer's Tarvello is announced under; empty when not.
    QString announcedName() const;

    // What the sources report, on any thread (tests report directly).
    void found(Source source, const QString &key, const QString &hostName,
               const Ipv4Address &address);
    void lost(Source source, const QString &key);
    void settled(Source source);

    // The TXT records of the announcement.
    static QByteArrayList announcementRecords(quint16 dataPort);

private:
    struct Sighting {
        QString name;
        Ipv4Address address;
        Source source;
        quint64 order; // when the address was first seen
    };
    // The merged view: one record per address, in the order first seen.
    QList<NetResource> computersLocked() const;
    // Tells the observer when the merged view changed.
    void changedLocked(const QList<NetResource> &before, std::unique_lock<std::mutex> &lock);
    bool settledLocked() const;
    void forgetIfUnseenLocked(const Ipv4Address &address);
    void startSources();

    Options m_options;
    mutable std::mutex m_mutex;
    std::condition_variable m_settledChanged;
    QHash<QString, Sighting> m_sightings; // by source and key
    QHash<quint32, quint64> m_firstSeen;  // by address
    quint64 m_nextOrder = 0;
    std::once_flag m_startOnce;
    bool m_dnsSdSettled = false;
    std::chrono::steady_clock::time_point m_searchStarted;
    std::mutex m_observerMutex;
    std::function<void()> m_observer;
    std::unique_ptr<AvahiDiscovery> m_avahi;
    std::unique_ptr<WsDiscovery> m_wsd;
};
