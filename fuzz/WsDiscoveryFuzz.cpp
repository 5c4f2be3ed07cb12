// WS-Discovery datagrams and metadata documents from any bytes: read within
// their bounds, and what is read can be asked about again in well-formed XML.
#include "core/platform/WsDiscoveryMessage.h"

#include <QXmlStreamReader>

#include <cstdint>

namespace {

bool wellFormed(const QByteArray &xml)
{
    QXmlStreamReader r(xml);
    while (!r.atEnd())
        r.readNext();
    return !r.hasError();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    if (const auto a = WsDiscoveryMessage::parse(bytes)) {
        if (a->endpoint.isEmpty() || a->endpoint.size() > 1024 || a->xaddrs.size() > 16 ||
            a->relatesTo.size() > 1024)
            __builtin_trap();
        // A peer's endpoint goes back out in our own requests.
        if (!wellFormed(WsDiscoveryMessage::resolve(QStringLiteral("urn:uuid:1"), a->endpoint)) ||
            !wellFormed(WsDiscoveryMessage::getMetadata(QStringLiteral("urn:uuid:2"), a->endpoint)))
            __builtin_trap();
    }
    const QString name = WsDiscoveryMessage::computerNameFromMetadata(bytes);
    if (name.size() > 1024 || name.contains(u'/'))
        __builtin_trap();
    return 0;
}
