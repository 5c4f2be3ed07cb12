// parseDottedAddress and atolValue on any text.
#include "core/directory/AddressBook.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QString text = QString::fromUtf8(reinterpret_cast<const char *>(data), qsizetype(size));
    Ipv4Address address{{1, 2, 3, 4}};
    parseDottedAddress(text, address);
    atolValue(text);
    // Four parts or more change the address; fewer keep it.
    if (text.count(u'.') < 3 && address != Ipv4Address{{1, 2, 3, 4}})
        __builtin_trap();
    return 0;
}
