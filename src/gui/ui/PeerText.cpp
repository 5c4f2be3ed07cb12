#include "PeerText.h"

QString breakableText(const QString &text, int run)
{
    constexpr QChar kZeroWidthSpace(0x200B);
    QString out;
    qsizetype start = 0;
    // Each run without spaces as it is, or, when it is too long to fit,
    // with a break opportunity between every two characters (never inside
    // one), so that its lines fill the label.
    while (start < text.size()) {
        qsizetype end = start;
        while (end < text.size() && !text.at(end).isSpace())
            ++end;
        if (end - start <= run) {
            out += QStringView(text).mid(start, end - start);
        } else {
            for (qsizetype i = start; i < end; ++i) {
                if (i > start && !text.at(i).isLowSurrogate())
                    out += kZeroWidthSpace;
                out += text.at(i);
            }
        }
        for (start = end; start < text.size() && text.at(start).isSpace(); ++start)
            out += text.at(start);
    }
    return out;
}
