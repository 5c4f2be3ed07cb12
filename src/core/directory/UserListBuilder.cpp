#include "UserListBuilder.h"

#include "core/base/StringTable.h"
#include "core/platform/HostResolver.h"
#include "core/platform/NeighbourhoodBrowser.h"

#include <atomic>
#include <optional>
#include <thread>
#include <vector>

namespace UserListBuilder {

namespace {

QString numbers(const Ipv4Address &a, int i)
{
    return QString::number(a.octets[i]);
}

QString neighbourText(const QString &name, const Ipv4Address &a)
{
    return StringTable::format(StringId::NeighbourText,
                               {name, numbers(a, 0), numbers(a, 1), numbers(a, 2), numbers(a, 3)});
}

// Runs the look-ups on up to `parallel` threads; results keep their places.
std::vector<std::optional<Ipv4Address>> resolveAll(HostResolver &resolver, const QStringList &names,
                                                   int parallel)
{
    std::vector<std::optional<Ipv4Address>> results(names.size());
    std::atomic<qsizetype> next{0};
    auto work = [&] {
        for (qsizetype i = next++; i < names.size(); i = next++)
            results[i] = resolver.addressOf(names.at(i));
    };
    const int threads = int(qMin<qsizetype>(qMax(1, parallel), names.size()));
    std::vector<std::thread> pool;
    for (int t = 1; t < threads; ++t)
        pool.emplace_back(work);
    work();
    for (auto &thread : pool)
        thread.join();
    return results;
}

bool hasAddress(const UserList &users, const Ipv4Address &address)
{
    for (const UserEntry &u : users) {
        if (u.address == address)
            return true;
    }
    return false;
}

bool hasNetworkName(const UserList &users, const QString &name)
{
    for (const UserEntry &u : users) {
        if (networkNameOf(u.displayText) == name)
            return true;
    }
    return false;
}

} // namespace

QString networkNameOf(const QString &displayText)
{
    const qsizetype comma = displayText.indexOf(QStringLiteral(", "));
    if (comma < 0)
        return QString();
    const qsizetype paren = displayText.indexOf(QStringLiteral(" ("));
    const qsizetype start = paren < 0 ? 0 : paren + 2;
    if (start > comma)
        return QString();
    return displayText.mid(start, comma - start);
}

UserList scanNeighbourhood(NeighbourhoodBrowser &browser, HostResolver &resolver, int parallel)
{
    UserList users;
    QList<NetResource> records;
    if (!browser.enumerate(records))
        return users;
    QStringList names;
    QStringList unresolved;
    std::vector<std::optional<Ipv4Address>> addresses;
    std::vector<std::uint8_t> found;
    for (const NetResource &r : records) {
        if (r.usage != NetResource::kUsageContainer || r.type != NetResource::kTypeAny ||
            !r.hasRemoteName)
            continue;
        QString name = r.remoteName;
        if (name.startsWith(QStringLiteral("\\\\")))
            name.remove(0, 2);
        names.append(name);
        addresses.push_back(r.address);
        found.push_back(r.foundBy);
        if (!r.address)
            unresolved.append(name);
    }
    // Only the names whose address the browse did not bring are looked up.
    const auto looked = resolveAll(resolver, unresolved, parallel);
    for (std::size_t i = 0, next = 0; i < addresses.size(); ++i) {
        if (!addresses[i])
            addresses[i] = looked[next++];
    }
    for (qsizetype i = 0; i < names.size(); ++i) {
        if (!addresses[i])
            continue; // does not resolve: left out
        users.append({neighbourText(names.at(i), *addresses[i]), *addresses[i], found[i]});
    }
    return users;
}

void mergeAddressBook(UserList &users, const AddressBook &book)
{
    // Naming the neighbours: an address match before a name match.
    for (UserEntry &u : users) {
        const qsizetype comma = u.displayText.indexOf(QStringLiteral(", "));
        if (comma < 0)
            continue;
        std::optional<QString> name = book.findNameByAddress(u.address);
        if (!name)
            name = book.findNameByNetworkName(u.displayText.left(comma));
        if (name) {
            u.displayText =
                StringTable::format(StringId::NamedNeighbourText, {*name, u.displayText});
            u.foundBy |= FoundBy::AddressBook;
        }
    }
    // Users the book adds by address.
    for (const AddressBookEntry &e : book.entries()) {
        if (e.kind != EntryKind::IpAddress || hasAddress(users, e.address))
            continue;
        users.append(
            {StringTable::format(StringId::BookUserByAddressText, {e.name, e.address.dotted()}),
             e.address, FoundBy::AddressBook});
    }
    // Users the book names who are not in the neighbourhood: absent.
    for (const AddressBookEntry &e : book.entries()) {
        if (e.kind != EntryKind::NetworkName || hasNetworkName(users, e.networkName))
            continue;
        users.append({StringTable::format(StringId::AbsentBookUserText, {e.name, e.networkName}),
                      Ipv4Address{}, FoundBy::AddressBook});
    }
}

QStringList describe(const UserList &users)
{
    QStringList lines;
    for (const UserEntry &u : users) {
        QStringList ways;
        if (u.foundBy & FoundBy::AddressBook)
            ways << StringTable::text(StringId::FoundInAddressBook);
        if (u.foundBy & FoundBy::DnsSd)
            ways << StringTable::text((u.foundBy & FoundBy::Tarvello) ? StringId::FoundByTarvello
                                                                      : StringId::FoundByDnsSd);
        if (u.foundBy & FoundBy::WsDiscovery)
            ways << StringTable::text(StringId::FoundByWsDiscovery);
        // Tabs and line breaks of a peer's name cannot split the line.
        QString text = u.displayText;
        text.replace(u'\t', u' ').replace(u'\n', u' ').replace(u'\r', u' ');
        const QString address = u.address.isAbsent() ? QStringLiteral("-") : u.dottedAddress();
        lines << text + u'\t' + address + u'\t' + ways.join(QStringLiteral(", "));
    }
    return lines;
}

UserList buildUserList(NeighbourhoodBrowser &browser, HostResolver &resolver,
                       const QString &addressBookFile, int parallel)
{
    UserList users = scanNeighbourhood(browser, resolver, parallel);
    AddressBook book;
    book.load(addressBookFile);
    mergeAddressBook(users, book);
    return users;
}

} // namespace UserListBuilder
