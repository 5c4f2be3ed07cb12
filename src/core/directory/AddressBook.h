#pragma once

#include "core/base/Ipv4Address.h"

#include <QList>
#include <QString>

#include <cstdint>
#include <optional>

enum class EntryKind : std::int32_t { IpAddress = 1, NetworkName = 2 };

struct AddressBookEntry {
    QString name;
    EntryKind kind = EntryKind::NetworkName;
    QString networkName; // meaningful for NetworkName
    Ipv4Address address; // meaningful for IpAddress

    // The dotted address for IpAddress, the network name otherwise: the
    // file's Address attribute and the window's second column.
    QString addressText() const;
    bool operator==(const AddressBookEntry &) const = default;
};

// The user's own list of people, kept in AddressBook.xml: root Phonebook,
// one Item per entry with the attributes Address then Type, the name as its
// text. The order is the file's; nothing sorts it.
class AddressBook {
public:
    qsizetype size() const { return m_entries.size(); }
    const AddressBookEntry &at(qsizetype i) const { return m_entries.at(i); }
    const QList<AddressBookEntry> &entries() const { return m_entries; }

    void append(const AddressBookEntry &entry) { m_entries.append(entry); }
    void removeAt(qsizetype i) { m_entries.removeAt(i); }
    void setName(qsizetype i, const QString &name) { m_entries[i].name = name; }
    // IpAddress: the text is parsed into the address; otherwise it becomes
    // the network name.
    void setKindAndAddress(qsizetype i, EntryKind kind, const QString &text);
    void clear() { m_entries.clear(); }

    // The first IpAddress entry whose four values all equal the address.
    std::optional<QString> findNameByAddress(const Ipv4Address &address) const;
    // The first NetworkName entry with exactly this network name
    // (case-sensitive).
    std::optional<QString> findNameByNetworkName(const QString &networkName) const;

    // Replaces the entries by the file's. False when there is no file, or
    // it cannot be read or parsed; the store is then empty (or holds what
    // was read before the walk stopped). For a file that exists, the reason
    // goes to error.
    bool load(const QString &path, QString *error = nullptr);
    // The same from the file's bytes.
    bool loadFromData(const QByteArray &bytes, QString *error = nullptr);
    // Writes the file atomically; false when it cannot be written, the file
    // then unchanged. With keepOld the file it replaces stays beside it as
    // "<path>.bak"; an older backup is replaced only once the save is done.
    bool save(const QString &path, QString *error = nullptr, bool keepOld = false) const;

private:
    QList<AddressBookEntry> m_entries;
};

// Reads a decimal number as C's atol does on a 32-bit long: leading white
// space and a sign, digits up to the first non-digit, none gives 0; only
// the first 19 characters count; values beyond the range are clamped.
std::int32_t atolValue(const QString &text);

// Fills the address from "a.b.c.d" read part by part with atolValue; with
// fewer than four parts the address keeps what it held. Values are not
// limited to 0..255.
void parseDottedAddress(const QString &text, Ipv4Address &address);

// Where AddressBook.xml lives: beside the executable when it is there or
// that folder is writable, else $XDG_DATA_HOME/Tarvello/AddressBook.xml.
QString addressBookPath();
