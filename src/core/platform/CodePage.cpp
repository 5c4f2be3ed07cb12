#include "CodePage.h"

#include <QtEndian>

#include <cerrno>
#include <cstdlib>
#include <iconv.h>

namespace {

#if Q_BYTE_ORDER == Q_LITTLE_ENDIAN
constexpr const char *kUtf16 = "UTF-16LE";
#else
constexpr const char *kUtf16 = "UTF-16BE";
#endif

class Iconv {
public:
    Iconv(const char *to, const char *from) : m_cd(iconv_open(to, from)) {}
    ~Iconv()
    {
        if (valid())
            iconv_close(m_cd);
    }
    Iconv(const Iconv &) = delete;
    Iconv &operator=(const Iconv &) = delete;
    bool valid() const { return m_cd != reinterpret_cast<iconv_t>(-1); }
    iconv_t handle() const { return m_cd; }

private:
    iconv_t m_cd;
};

QString languageOf(const QString &localeName, QString *territory, QString *modifier)
{
    QString name = localeName;
    const qsizetype at = name.indexOf(u'@');
    if (at >= 0) {
        *modifier = name.mid(at + 1).toLower();
        name.truncate(at);
    }
    const qsizetype dot = name.indexOf(u'.');
    if (dot >= 0)
        name.truncate(dot);
    name.replace(u'-', u'_');
    const qsizetype underscore = name.indexOf(u'_');
    if (underscore >= 0) {
        *territory = name.mid(underscore + 1).toUpper();
        name.truncate(underscore);
    }
    return name.toLower();
}

} // namespace

CodePage::CodePage(int number) : m_number(number) {}

int CodePage::numberForLocale(const QString &localeName)
{
    QString territory;
    QString modifier;
    const QString lang = languageOf(localeName, &territory, &modifier);

    // A locale that names no language: the program's own, Russian.
    if (lang.isEmpty() || lang == u"c" || lang == u"posix")
        return 1251;
    if (lang == u"sr" || lang == u"uz")
        return modifier == u"latin" ? 1250 : 1251;
    static const struct {
        const char *lang;
        int page;
    } pages[] = {
        {"ru", 1251}, {"uk", 1251}, {"be", 1251}, {"bg", 1251}, {"mk", 1251}, {"kk", 1251},
        {"ky", 1251}, {"tt", 1251}, {"mn", 1251}, {"tg", 1251}, {"ba", 1251}, {"cs", 1250},
        {"pl", 1250}, {"hu", 1250}, {"ro", 1250}, {"sk", 1250}, {"sl", 1250}, {"hr", 1250},
        {"bs", 1250}, {"sq", 1250}, {"el", 1253}, {"tr", 1254}, {"az", 1254}, {"he", 1255},
        {"yi", 1255}, {"ar", 1256}, {"fa", 1256}, {"ur", 1256}, {"et", 1257}, {"lv", 1257},
        {"lt", 1257}, {"vi", 1258}, {"th", 874},  {"ja", 932},  {"ko", 949},
    };
    for (const auto &p : pages) {
        if (lang == QLatin1String(p.lang))
            return p.page;
    }
    if (lang == u"zh")
        return (territory == u"TW" || territory == u"HK" || territory == u"MO") ? 950 : 936;
    return 1252;
}

QString CodePage::localeSetting()
{
    for (const char *var : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char *value = std::getenv(var);
        if (value && *value)
            return QString::fromLatin1(var) + u'=' + QString::fromLocal8Bit(value);
    }
    return QString();
}

bool CodePage::localeNamesLanguage()
{
    QString territory, modifier;
    const QString lang = languageOf(localeSetting().section(u'=', 1), &territory, &modifier);
    return !lang.isEmpty() && lang != u"c" && lang != u"posix";
}

CodePage CodePage::ansi()
{
    return CodePage(numberForLocale(localeSetting().section(u'=', 1)));
}

bool CodePage::isDoubleByte() const
{
    return m_number == 932 || m_number == 936 || m_number == 949 || m_number == 950;
}

const char *CodePage::iconvName() const
{
    switch (m_number) {
    case 874:
        return "CP874";
    case 932:
        return "CP932";
    case 936:
        return "CP936";
    case 949:
        return "CP949";
    case 950:
        return "CP950";
    case 1250:
        return "CP1250";
    case 1251:
        return "CP1251";
    case 1253:
        return "CP1253";
    case 1254:
        return "CP1254";
    case 1255:
        return "CP1255";
    case 1256:
        return "CP1256";
    case 1257:
        return "CP1257";
    case 1258:
        return "CP1258";
    default:
        return "CP1252";
    }
}

QByteArray CodePage::fromUnicode(const QString &text) const
{
    QByteArray out;
    if (text.isEmpty())
        return out;
    Iconv cd(iconvName(), kUtf16);
    if (!cd.valid()) {
        // No converter at all: keep ASCII, replace the rest.
        out.reserve(text.size());
        for (QChar c : text)
            out += c.unicode() < 0x80 ? char(c.unicode()) : '?';
        return out;
    }
    // Twice the characters plus two bytes holds any double-byte result.
    out.resize(text.size() * 2 + 2);
    char *in = reinterpret_cast<char *>(const_cast<QChar *>(text.constData()));
    size_t inLeft = size_t(text.size()) * 2;
    char *outPtr = out.data();
    size_t outLeft = size_t(out.size());
    while (inLeft > 0) {
        const size_t r = iconv(cd.handle(), &in, &inLeft, &outPtr, &outLeft);
        if (r != size_t(-1))
            break;
        if (errno == E2BIG)
            break; // cannot happen with the size above; keep what fits
        // Stateful pages hold a character back; it comes before the '?'.
        iconv(cd.handle(), nullptr, nullptr, &outPtr, &outLeft);
        if (outLeft == 0)
            break;
        *outPtr++ = '?';
        --outLeft;
        if (errno == EINVAL) // a lone high surrogate at the end
            break;
        // Skip the character the page cannot hold: a whole surrogate pair or
        // one code unit.
        const char16_t unit = qFromUnaligned<char16_t>(in);
        size_t skip = 2;
        if (QChar::isHighSurrogate(unit) && inLeft >= 4 &&
            QChar::isLowSurrogate(qFromUnaligned<char16_t>(in + 2)))
            skip = 4;
        in += skip;
        inLeft -= skip;
    }
    // Flush the shift state of stateful pages.
    iconv(cd.handle(), nullptr, nullptr, &outPtr, &outLeft);
    out.truncate(outPtr - out.data());
    return out;
}

QString CodePage::toUnicode(const char *data, qsizetype size) const
{
    QString out;
    if (size <= 0)
        return out;
    Iconv cd(kUtf16, iconvName());
    if (!cd.valid()) {
        out.reserve(size);
        for (qsizetype i = 0; i < size; ++i)
            out += QChar(char16_t(static_cast<unsigned char>(data[i])));
        return out;
    }
    // One byte never gives more than two UTF-16 units (CP1258 may compose).
    out.resize(size * 2 + 2);
    char *in = const_cast<char *>(data);
    size_t inLeft = size_t(size);
    char *outBase = reinterpret_cast<char *>(out.data());
    char *outPtr = outBase;
    size_t outLeft = size_t(out.size()) * 2;
    auto put = [&](char16_t c) {
        if (outLeft >= 2) {
            qToUnaligned(c, outPtr);
            outPtr += 2;
            outLeft -= 2;
        }
    };
    while (inLeft > 0) {
        const size_t r = iconv(cd.handle(), &in, &inLeft, &outPtr, &outLeft);
        if (r != size_t(-1) || errno == E2BIG)
            break;
        const int error = errno;
        // Stateful pages (1255, 1258) hold a base character back for a
        // possible combining mark; it comes before the replacement.
        iconv(cd.handle(), nullptr, nullptr, &outPtr, &outLeft);
        if (error == EINVAL) { // an incomplete double-byte character at the end
            put(u'?');
            break;
        }
        const unsigned char byte = static_cast<unsigned char>(*in);
        put(isDoubleByte() ? char16_t(u'?') : char16_t(byte));
        ++in;
        --inLeft;
    }
    iconv(cd.handle(), nullptr, nullptr, &outPtr, &outLeft);
    out.truncate((outPtr - outBase) / 2);
    return out;
}
