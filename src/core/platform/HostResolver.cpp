#include "HostResolver.h"

#include "CodePage.h"
#include "WindowsNameLookup.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <atomic>
#include <cstring>
#include <future>
#include <system_error>

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

// mDNS may take about five seconds to give up, Windows' own name services
// 1.5: asked at once, a name neither knows costs the longer wait, not both.
// mDNS wins when both answer.
std::optional<Ipv4Address> localOrWindows(const QByteArray &localName, const QString &name)
{
    std::atomic<bool> stop{false};
    std::future<std::optional<Ipv4Address>> windows;
    try {
        windows = std::async(std::launch::async, [&name, &stop] {
            return WindowsNameLookup::lookUp(name, 1500, {}, stop);
        });
    } catch (const std::system_error &) {
        // No thread to spare: one after the other.
    }
    if (auto address = lookUp(localName)) {
        // The future's end waits for the query to notice.
        stop = true;
        return address;
    }
    return windows.valid() ? windows.get() : WindowsNameLookup::lookUp(name);
}

} // namespace

std::optional<Ipv4Address> SystemHostResolver::addressOf(const QString &name)
{
    const QByteArray bytes = CodePage::ansi().fromUnicode(name);
    if (bytes.contains('\0'))
        return std::nullopt;
    if (auto address = lookUp(bytes))
        return address;
    if (bytes.endsWith(".local") || bytes.endsWith(".local."))
        return std::nullopt;
    // A Windows computer's name is a single label that only Windows' own
    // name services (LLMNR, NetBIOS) may know.
    if (name.contains(u'.') || !m_askWindows)
        return lookUp(bytes + ".local");
    return localOrWindows(bytes + ".local", name);
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
