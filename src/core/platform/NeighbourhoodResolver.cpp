#include "NeighbourhoodResolver.h"

#include "NeighbourhoodBrowser.h"

NeighbourhoodResolver::NeighbourhoodResolver(NeighbourhoodBrowser &neighbourhood,
                                             std::unique_ptr<HostResolver> next)
    : m_neighbourhood(neighbourhood), m_next(std::move(next))
{
}

std::optional<Ipv4Address> NeighbourhoodResolver::addressOf(const QString &name)
{
    if (const auto known = m_neighbourhood.addressOf(name))
        return known;
    return m_next->addressOf(name);
}

std::optional<QString> NeighbourhoodResolver::nameOf(const Ipv4Address &address)
{
    return m_next->nameOf(address);
}
