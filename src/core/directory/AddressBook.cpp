#include "AddressBook.h"

#include "core/base/StringTable.h"
#include "core/platform/CodePage.h"

#include <QCoreApplication>
#include <QDir>
#include <QDomDocument>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>
#include <QXmlStreamWriter>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <limits>
#include <unistd.h>

namespace {

const QString kRoot = QStringLiteral("Phonebook");
const QString kItem = QStringLiteral("Item");
const QString kAddress = QStringLiteral("Address");
const QString kType = QStringLiteral("Type");

bool isCSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// XML 1.0 cannot hold every character; a name that held one would make the
// whole file unreadable, so such characters are left out when writing.
QString xmlSafe(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c.isHighSurrogate() && i + 1 < text.size() && text.at(i + 1).isLowSurrogate()) {
            out += c;
            out += text.at(++i);
            continue;
        }
        const char16_t u = c.unicode();
        const bool allowed = u == 0x9 || u == 0xA || u == 0xD || (u >= 0x20 && u <= 0xD7FF) ||
                             (u >= 0xE000 && u <= 0xFFFD);
        if (allowed)
            out += c;
    }
    return out;
}

} // namespace

QString AddressBookEntry::addressText() const
{
    return kind == EntryKind::IpAddress ? address.dotted() : networkName;
}

void AddressBook::setKindAndAddress(qsizetype i, EntryKind kind, const QString &text)
{
    AddressBookEntry &e = m_entries[i];
    e.kind = kind;
    if (kind == EntryKind::IpAddress)
        parseDottedAddress(text, e.address);
    else
        e.networkName = text;
}

std::optional<QString> AddressBook::findNameByAddress(const Ipv4Address &address) const
{
    for (const AddressBookEntry &e : m_entries) {
        if (e.kind == EntryKind::IpAddress && e.address == address)
            return e.name;
    }
    return std::nullopt;
}

std::optional<QString> AddressBook::findNameByNetworkName(const QString &networkName) const
{
    for (const AddressBookEntry &e : m_entries) {
        if (e.kind == EntryKind::NetworkName && e.networkName == networkName)
            return e.name;
    }
    return std::nullopt;
}

bool AddressBook::load(const QString &path, QString *error)
{
    m_entries.clear();
    QFile file(path);
    if (!file.exists())
        return false;
    if (!file.open(QIODevice::ReadOnly)) {
        if (error)
            *error = file.errorString();
        return false;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        if (error)
            *error = file.errorString();
        return false;
    }
    return loadFromData(bytes, error);
}

bool AddressBook::loadFromData(const QByteArray &bytes, QString *error)
{
    m_entries.clear();
    QDomDocument document;
    // The parser detects UTF-8, UTF-16 with a byte-order mark and declared
    // encodings such as windows-1251.
    QString message;
    int line = 0;
    int column = 0;
    if (!document.setContent(bytes, &message, &line, &column)) {
        if (error)
            *error = StringTable::format(StringId::AddressBookBadXml,
                                         {QString::number(line), QString::number(column), message});
        return false;
    }
    const QDomElement root = document.documentElement();
    if (root.isNull() || root.tagName() != kRoot)
        return true; // no Phonebook: an empty book
    for (QDomNode node = root.firstChild(); !node.isNull(); node = node.nextSibling()) {
        const QDomElement element = node.toElement();
        if (element.isNull() || !element.hasAttribute(kAddress) || !element.hasAttribute(kType))
            continue;
        AddressBookEntry entry;
        entry.name = element.text();
        const QString addressText = element.attribute(kAddress);
        switch (atolValue(element.attribute(kType))) {
        case 1:
            entry.kind = EntryKind::IpAddress;
            parseDottedAddress(addressText, entry.address);
            break;
        case 2:
            entry.kind = EntryKind::NetworkName;
            entry.networkName = addressText;
            break;
        default:
            continue;
        }
        m_entries.append(entry);
    }
    return true;
}

bool AddressBook::save(const QString &path, QString *error, bool keepOld) const
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    // The old file gets a second name first (a copy where links are not
    // supported): it need not be readable to be kept.
    const QString backup = path + QStringLiteral(".bak");
    const QString pending = backup + QStringLiteral(".new");
    const bool keeping = keepOld && QFileInfo::exists(path);
    if (keeping) {
        QFile::remove(pending);
        if (::link(QFile::encodeName(path).constData(), QFile::encodeName(pending).constData()) !=
                0 &&
            !QFile::copy(path, pending)) {
            if (error)
                *error = QString::fromLocal8Bit(std::strerror(errno));
            return false;
        }
    }
    const auto fail = [&](const QString &reason) {
        if (error)
            *error = reason;
        if (keeping)
            QFile::remove(pending);
        return false;
    };
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return fail(file.errorString());
    QXmlStreamWriter xml(&file);
    xml.setAutoFormatting(true);
    xml.writeStartDocument();
    xml.writeStartElement(kRoot);
    for (const AddressBookEntry &e : m_entries) {
        xml.writeStartElement(kItem);
        xml.writeAttribute(kAddress, xmlSafe(e.addressText()));
        xml.writeAttribute(kType, QString::number(static_cast<int>(e.kind)));
        xml.writeCharacters(xmlSafe(e.name));
        xml.writeEndElement();
    }
    xml.writeEndElement();
    xml.writeEndDocument();
    if (xml.hasError() || !file.commit())
        return fail(file.errorString());
    if (keeping)
        std::rename(QFile::encodeName(pending).constData(), QFile::encodeName(backup).constData());
    return true;
}

std::int32_t atolValue(const QString &text)
{
    const QByteArray bytes = CodePage::ansi().fromUnicode(text.left(19));
    qsizetype i = 0;
    while (i < bytes.size() && isCSpace(bytes.at(i)))
        ++i;
    bool negative = false;
    if (i < bytes.size() && (bytes.at(i) == '+' || bytes.at(i) == '-')) {
        negative = bytes.at(i) == '-';
        ++i;
    }
    qint64 value = 0;
    for (; i < bytes.size() && bytes.at(i) >= '0' && bytes.at(i) <= '9'; ++i) {
        value = value * 10 + (bytes.at(i) - '0');
        if (value > qint64(std::numeric_limits<std::int32_t>::max()) + 1)
            value = qint64(std::numeric_limits<std::int32_t>::max()) + 1; // clamp, keep reading
    }
    if (negative)
        return std::int32_t(std::max<qint64>(-value, std::numeric_limits<std::int32_t>::min()));
    return std::int32_t(std::min<qint64>(value, std::numeric_limits<std::int32_t>::max()));
}

void parseDottedAddress(const QString &text, Ipv4Address &address)
{
    const QString parts = text + u'.';
    std::array<std::int32_t, 4> values{};
    int count = 0;
    qsizetype start = 0;
    for (qsizetype dot = parts.indexOf(u'.'); dot >= 0 && count < 4;
         dot = parts.indexOf(u'.', start)) {
        values[count++] = atolValue(parts.mid(start, dot - start));
        start = dot + 1;
    }
    if (count == 4)
        address.octets = values;
}

QString addressBookPath()
{
    const QString besideProgram =
        QCoreApplication::applicationDirPath() + QStringLiteral("/AddressBook.xml");
    // A book beside the program is a portable copy and stays there; a new
    // one goes to the user's data folder, never into a system folder or a
    // build folder.
    if (QFileInfo::exists(besideProgram))
        return besideProgram;
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) +
           QStringLiteral("/Tarvello/AddressBook.xml");
}
