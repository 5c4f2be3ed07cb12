#pragma once

#include "core/base/Ipv4Address.h"

#include <QByteArray>
#include <QString>

#include <array>
#include <cstdint>

enum class DataKind : std::uint32_t { File = 1, Sound = 2, Stop = 3 };

// The 696-byte record that opens every connection on the data port. All
// integers little-endian, texts UTF-16LE ended by a zero unit inside their
// fixed fields. This is the only place that knows the layout.
struct DataHeader {
    static constexpr int kSize = 696;
    static constexpr int kFileNameUnits = 260;
    static constexpr int kSenderNameUnits = 64;

    std::uint32_t marker = 1;
    std::uint32_t kind = 0; // a DataKind, or whatever a peer sent
    QString fileName;       // File only
    QString senderName;     // File and Sound
    std::uint32_t size = 0;
    std::uint8_t flag = 0;
    // The address the sender connected to: the receiver's own.
    std::array<std::uint32_t, 4> address{};

    bool isKind(DataKind k) const { return kind == static_cast<std::uint32_t>(k); }
    void setAddress(const Ipv4Address &a);

    // Texts longer than their field are cut to leave room for the terminator.
    QByteArray encode() const;
    // Reads exactly kSize bytes. Texts end at their terminator or the end of
    // their field, whichever comes first.
    static DataHeader decode(const char *bytes);

    // The header that stops the program's own data listener: marker 1,
    // kind Stop, flag 0, everything else zero.
    static DataHeader stop();
};

// The 4-byte answer word: 1 accepted, 0 refused.
QByteArray encodeAnswer(std::uint32_t answer);
std::uint32_t decodeAnswer(const char *bytes);
