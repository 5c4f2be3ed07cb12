// The file of messages kept over a session's end, read back from any bytes:
// what is read survives being written and read again.
#include "core/net/IncomingQueue.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char *>(data), qsizetype(size));
    const std::deque<IncomingQueue::Item> items = IncomingQueue::decode(bytes);
    const std::deque<IncomingQueue::Item> again =
        IncomingQueue::decode(IncomingQueue::encode(items));
    if (again.size() != items.size())
        __builtin_trap();
    for (size_t i = 0; i < items.size(); ++i) {
        if (again[i].data != items[i].data)
            __builtin_trap();
    }
    return 0;
}
