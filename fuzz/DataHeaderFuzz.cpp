// The data header decoder on any 696 bytes, and the encoder on what it gave.
#include "core/net/DataHeader.h"

#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    char bytes[DataHeader::kSize] = {};
    std::memcpy(bytes, data, size < sizeof bytes ? size : sizeof bytes);
    const DataHeader header = DataHeader::decode(bytes);
    if (header.fileName.size() > DataHeader::kFileNameUnits ||
        header.senderName.size() > DataHeader::kSenderNameUnits)
        __builtin_trap();
    const QByteArray again = header.encode();
    if (again.size() != DataHeader::kSize)
        __builtin_trap();
    // What was read survives a second round whole.
    const DataHeader second = DataHeader::decode(again.constData());
    if (second.kind != header.kind || second.size != header.size)
        __builtin_trap();
    return 0;
}
