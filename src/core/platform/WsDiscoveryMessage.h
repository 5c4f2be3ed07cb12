#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

// The messages of WS-Discovery (SOAP over UDP, port 3702) and of the
// metadata fetch that follows it, as Windows and wsdd exchange them. Pure
// functions: every byte read here comes from the network and is bounded.
namespace WsDiscoveryMessage {

// The largest datagram read; larger ones are dropped whole.
constexpr qsizetype kMaxDatagram = 32 * 1024;
// The largest metadata document read.
constexpr qsizetype kMaxMetadata = 256 * 1024;

// A Probe for devices (wsdp:Device: wsdd answers no other type); the
// computers among the matches are picked by their types.
QByteArray probe(const QString &messageId);
// Asks the endpoint for its transport addresses (a match without XAddrs).
QByteArray resolve(const QString &messageId, const QString &endpoint);
// A WS-Transfer Get of the endpoint's metadata, POSTed to its XAddr.
QByteArray getMetadata(const QString &messageId, const QString &endpoint);

struct Announcement {
    enum Kind { Hello, Bye, ProbeMatch, ResolveMatch } kind = Hello;
    QString endpoint;        // the endpoint reference's address, "urn:uuid:..."
    QStringList xaddrs;      // transport addresses, as sent
    bool hasTypes = false;   // a Types element was sent (wsdd's Hello has none)
    bool isComputer = false; // its types include pub:Computer
    QString relatesTo;       // the message id a match answers
    quint64 metadataVersion = 0;
};

// A Hello, Bye, ProbeMatches (its first match) or ResolveMatches; nothing for
// anything else, for malformed XML, a DTD, too deep a nesting or an
// oversized datagram or text.
std::optional<Announcement> parse(const QByteArray &datagram);

// The computer's name in a GetResponse: the host relationship's pub:Computer,
// "PC-C/Workgroup:WORKGROUP" giving "PC-C". Empty when there is none or the
// document is not acceptable.
QString computerNameFromMetadata(const QByteArray &body);

} // namespace WsDiscoveryMessage
