#include "DataHeader.h"

#include <QtEndian>

#include <cstring>

namespace {

constexpr int kMarkerOffset = 0;
constexpr int kKindOffset = 4;
constexpr int kFileNameOffset = 8;
constexpr int kSenderNameOffset = 528;
constexpr int kSizeOffset = 656;
constexpr int kFlagOffset = 676;
constexpr int kAddressOffset = 680;

static_assert(kFileNameOffset + 2 * DataHeader::kFileNameUnits == kSenderNameOffset);
static_assert(kSenderNameOffset + 2 * DataHeader::kSenderNameUnits == kSizeOffset);
static_assert(kAddressOffset + 16 == DataHeader::kSize);

void putText(char *field, int units, const QString &text)
{
    qsizetype n = qMin<qsizetype>(text.size(), units - 1);
    // Never leave half a surrogate pair at the cut.
    if (n > 0 && n < text.size() && text.at(n - 1).isHighSurrogate())
        --n;
    for (qsizetype i = 0; i < n; ++i)
        qToLittleEndian<quint16>(text.at(i).unicode(), field + 2 * i);
    qToLittleEndian<quint16>(0, field + 2 * n);
}

QString getText(const char *field, int units)
{
    QString text;
    for (int i = 0; i < units; ++i) {
        const quint16 unit = qFromLittleEndian<quint16>(field + 2 * i);
        if (unit == 0)
            break;
        text += QChar(unit);
    }
    return text;
}

} // namespace

void DataHeader::setAddress(const Ipv4Address &a)
{
    for (int i = 0; i < 4; ++i)
        address[i] = static_cast<std::uint32_t>(a.octets[i]);
}

QByteArray DataHeader::encode() const
{
    QByteArray out(kSize, '\0');
    char *p = out.data();
    qToLittleEndian<quint32>(marker, p + kMarkerOffset);
    qToLittleEndian<quint32>(kind, p + kKindOffset);
    putText(p + kFileNameOffset, kFileNameUnits, fileName);
    putText(p + kSenderNameOffset, kSenderNameUnits, senderName);
    qToLittleEndian<quint32>(size, p + kSizeOffset);
    p[kFlagOffset] = static_cast<char>(flag);
    for (int i = 0; i < 4; ++i)
        qToLittleEndian<quint32>(address[i], p + kAddressOffset + 4 * i);
    return out;
}

DataHeader DataHeader::decode(const char *p)
{
    DataHeader h;
    h.marker = qFromLittleEndian<quint32>(p + kMarkerOffset);
    h.kind = qFromLittleEndian<quint32>(p + kKindOffset);
    h.fileName = getText(p + kFileNameOffset, kFileNameUnits);
    h.senderName = getText(p + kSenderNameOffset, kSenderNameUnits);
    h.size = qFromLittleEndian<quint32>(p + kSizeOffset);
    h.flag = static_cast<std::uint8_t>(p[kFlagOffset]);
    for (int i = 0; i < 4; ++i)
        h.address[i] = qFromLittleEndian<quint32>(p + kAddressOffset + 4 * i);
    return h;
}

DataHeader DataHeader::stop()
{
    DataHeader h;
    h.kind = static_cast<std::uint32_t>(DataKind::Stop);
    return h;
}

QByteArray encodeAnswer(std::uint32_t answer)
{
    QByteArray out(4, '\0');
    qToLittleEndian<quint32>(answer, out.data());
    return out;
}

std::uint32_t decodeAnswer(const char *bytes)
{
    return qFromLittleEndian<quint32>(bytes);
}
