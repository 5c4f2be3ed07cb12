// A received message: blocks of bytes decoded from the ANSI code page as the
// message listener does, for single- and double-byte pages.
#include "core/platform/CodePage.h"

#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    static const int pages[] = {1251, 1252, 1255, 1258, 932, 936, 949, 950};
    const CodePage page(pages[data[0] % (sizeof pages / sizeof pages[0])]);
    const char *bytes = reinterpret_cast<const char *>(data + 1);
    const size_t length = size - 1;
    // Each block of up to 4096 bytes on its own, up to its first zero byte.
    QString text;
    for (size_t at = 0; at < length; at += 4096) {
        const size_t block = length - at < 4096 ? length - at : 4096;
        const char *start = bytes + at;
        const void *zero = std::memchr(start, 0, block);
        const size_t used = zero ? size_t(static_cast<const char *>(zero) - start) : block;
        text += page.toUnicode(start, qsizetype(used));
    }
    // Never more characters than bytes and a half (a composed page may
    // give two units for a byte, never more).
    if (size_t(text.size()) > 2 * length + 2)
        __builtin_trap();
    page.fromUnicode(text);
    return 0;
}
