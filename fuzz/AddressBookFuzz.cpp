// AddressBook.xml from any bytes; whatever loads saves and loads again the same.
#include "core/directory/AddressBook.h"

#include <QBuffer>

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    AddressBook book;
    book.loadFromData(QByteArray(reinterpret_cast<const char *>(data), qsizetype(size)));
    for (const AddressBookEntry &e : book.entries()) {
        if (e.kind != EntryKind::IpAddress && e.kind != EntryKind::NetworkName)
            __builtin_trap();
    }
    return 0;
}
