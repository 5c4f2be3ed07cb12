#include "HostResolver.h"

#include "CodePage.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <cstring>

namespace {

std::optional<Ipv4Address> lookUp(const QByteArray &name)
{
    if (name.isEmpty())
        return std::nullopt;
    addrinfo hints;
    std::memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *result = nullptr;
    if (::getaddrinfo(name.constData(), nullptr, &hints, &result) != 0 || !result)
        return std::nullopt;
    Ipv4Address address;
    const auto *sa = reinterpret_cast<const sockaddr_in *>(result->ai_addr);
    const auto *bytes = reinterpret_cast<const unsigned char *>(&sa->sin_addr.s_addr);
    for (int i = 0; i < 4; ++i)
        address.octets[i] = bytes[i];
    ::freeaddrinfo(result);
    return address;
}

} // namespace

std::optional<Ipv4Address> SystemHostResolver::addressOf(const QString &name)
{
    const QByteArray bytes = CodePage::ansi().fromUnicode(name);
    if (bytes.contains('\0'))
        return std::nullopt;
    if (auto address = lookUp(bytes))
        return address;
    if (!bytes.endsWith(".local") && !bytes.endsWith(".local."))
        return lookUp(bytes + ".local");
    return std::nullopt;
}

std::optional<QString> SystemHostResolver::nameOf(const Ipv4Address &address)
{
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    auto *bytes = reinterpret_cast<unsigned char *>(&sa.sin_addr.s_addr);
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<unsigned char>(address.octets[i] & 0xff);
    char host[NI_MAXHOST];
    if (::getnameinfo(reinterpret_cast<const sockaddr *>(&sa), sizeof sa, host, sizeof host,
                      nullptr, 0, NI_NAMEREQD) != 0)
        return std::nullopt;
    QString name = CodePage::ansi().toUnicode(host, qsizetype(std::strlen(host)));
    // An mDNS answer names the computer in the .local domain, which the
    // network neighbourhood leaves out.
    if (name.endsWith(QStringLiteral(".local"), Qt::CaseInsensitive))
        name.chop(6);
    return name;
}
