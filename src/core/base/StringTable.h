#pragma once

#include <QString>
#include <QStringList>

// Every text the user sees comes from here, keyed by the design's numbers
// where it gives them (resources/StringTable.inc).
enum class StringId : int {
#define STRING(name, id, text) name = id,
#include "StringTable.inc"
#undef STRING
};

namespace StringTable {

// The verbatim text of an entry; empty for an unknown id.
QString text(StringId id);

// Fills a printf-style pattern: each %s or %d takes the next argument, %%
// gives a percent sign. Missing arguments become empty, extra ones are ignored.
QString formatText(const QString &pattern, const QStringList &args);

inline QString format(StringId id, const QStringList &args)
{
    return formatText(text(id), args);
}

} // namespace StringTable
