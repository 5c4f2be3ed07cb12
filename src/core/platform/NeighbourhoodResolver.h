#pragma once

#include "HostResolver.h"

#include <memory>

class NeighbourhoodBrowser;

// Names the network neighbourhood knows resolve to the address it gave,
// before any slower look-up; everything else goes to the next resolver.
class NeighbourhoodResolver : public HostResolver {
public:
    NeighbourhoodResolver(NeighbourhoodBrowser &neighbourhood, std::unique_ptr<HostResolver> next);

    std::optional<Ipv4Address> addressOf(const QString &name) override;
    std::optional<QString> nameOf(const Ipv4Address &address) override;

private:
    NeighbourhoodBrowser &m_neighbourhood;
    std::unique_ptr<HostResolver> m_next;
};
