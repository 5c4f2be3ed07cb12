#include "StringTable.h"

#include <unordered_map>

namespace {

const std::unordered_map<int, const char16_t *> &table()
{
    static const std::unordered_map<int, const char16_t *> entries = {
#define STRING(name, id, text) {id, text},
#include "StringTable.inc"
#undef STRING
    };
    return entries;
}

} // namespace

namespace StringTable {

QString text(StringId id)
{
    const auto &entries = table();
    const auto it = entries.find(static_cast<int>(id));
    return it == entries.end() ? QString() : QString::fromUtf16(it->second);
}

QString formatText(const QString &pattern, const QStringList &args)
{
    QString out;
    out.reserve(pattern.size() + 16 * args.size());
    qsizetype next = 0;
    for (qsizetype i = 0; i < pattern.size(); ++i) {
        const QChar c = pattern.at(i);
        if (c == u'%' && i + 1 < pattern.size()) {
            const QChar conversion = pattern.at(i + 1);
            if (conversion == u'%') {
                out += u'%';
                ++i;
                continue;
            }
            if (conversion == u's' || conversion == u'd') {
                if (next < args.size())
                    out += args.at(next);
                ++next;
                ++i;
                continue;
            }
        }
        out += c;
    }
    return out;
}

} // namespace StringTable
