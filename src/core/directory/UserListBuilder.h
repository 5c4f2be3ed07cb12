#pragma once

#include "AddressBook.h"
#include "UserEntry.h"

class HostResolver;
class NeighbourhoodBrowser;

// Building the list of users from the network neighbourhood and the address
// book.
namespace UserListBuilder {

// Look-ups that run at once while the neighbourhood is resolved.
constexpr int kParallelLookups = 32;

// The network name of an entry: from two characters after the first " ("
// (or the start) to just before the first ", "; empty without ", ".
QString networkNameOf(const QString &displayText);

// The computers of the neighbourhood that resolve, in the browser's order,
// as "NAME, IP = a.b.c.d". Look-ups run up to `parallel` at a time; the
// result is the same as one after the other.
UserList scanNeighbourhood(NeighbourhoodBrowser &browser, HostResolver &resolver,
                           int parallel = kParallelLookups);

// Names the neighbours the book knows, then adds the book's users by
// address and its absent users by name.
void mergeAddressBook(UserList &users, const AddressBook &book);

// One line per user for the command line and scripts: the text the menu
// shows, the address ("-" for an absent user) and how the user was found,
// separated by tabs.
QStringList describe(const UserList &users);

// The whole build: the scan, then the merge with the book in the file at
// the path (a missing or unreadable file is an empty book). Blocking.
UserList buildUserList(NeighbourhoodBrowser &browser, HostResolver &resolver,
                       const QString &addressBookFile, int parallel = kParallelLookups);

} // namespace UserListBuilder
