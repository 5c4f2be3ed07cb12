#pragma once

#include <QByteArray>
#include <QString>

// The one place that converts between UTF-16 and the Windows ANSI code page
// that other Tarvello instances put on the wire. The page is chosen from the
// locale name the way Windows chooses it for a language, so Linux and Windows
// peers of one language read each other.
class CodePage {
public:
    // The page for the locale named in LC_ALL, LC_CTYPE or LANG (the first
    // that is set); 1252 when none is.
    static CodePage ansi();
    // The locale setting ansi() follows, as "VARIABLE=value"; empty when
    // none is set.
    static QString localeSetting();
    // Whether that locale names a language (C, POSIX and none do not).
    static bool localeNamesLanguage();
    // The Windows ANSI code page of a locale name such as "ru_RU.UTF-8".
    static int numberForLocale(const QString &localeName);

    explicit CodePage(int number);

    int number() const { return m_number; }
    bool isDoubleByte() const;

    // Characters the page cannot hold become '?'.
    QByteArray fromUnicode(const QString &text) const;
    // Bytes that are not a character of the page: a single-byte page maps
    // byte b to U+00b (as Windows does for its undefined bytes), a double-byte
    // page gives '?'.
    QString toUnicode(const char *data, qsizetype size) const;
    QString toUnicode(const QByteArray &bytes) const
    {
        return toUnicode(bytes.constData(), bytes.size());
    }

private:
    const char *iconvName() const;

    int m_number;
};
