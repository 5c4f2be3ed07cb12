// The journal of received messages, read back from any bytes: what is read
// survives being written and read again; an earlier version's file of
// unshown messages is read without harm too.
#include "core/net/IncomingQueue.h"
#include "core/net/MessageJournal.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    qsizetype whole = 0;
    const std::vector<MessageJournal::Entry> entries = MessageJournal::read(bytes, &whole);
    if (whole < 0 || whole > bytes.size())
        __builtin_trap();
    QByteArray written("TVJ1");
    for (const MessageJournal::Entry &entry : entries)
        written += MessageJournal::itemRecord(entry);
    const std::vector<MessageJournal::Entry> again = MessageJournal::read(written);
    if (again.size() != entries.size())
        __builtin_trap();
    for (size_t i = 0; i < entries.size(); ++i) {
        if (again[i].data != entries[i].data || again[i].id != entries[i].id)
            __builtin_trap();
    }
    IncomingQueue::decode(bytes);
    return 0;
}
