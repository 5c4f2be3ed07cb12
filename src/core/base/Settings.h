#pragma once

#include <QString>

#include <cstdint>
#include <mutex>

// The program's preferences. A default-constructed record holds the defaults.
// The field names are those of the stored values, letter for letter.
struct Settings {
    std::int32_t ListeningPort = 1024;
    std::int32_t ListeningDataPort = 33277;
    bool AutoPlaySound = false;
    bool UseNetSendByDeault = false;
    // Never stored: the countdown of a file offer is always 15 seconds.
    std::int32_t offerTimeoutSeconds = 15;

    // The port numbers as sockets take them: a stored value above 16 bits
    // keeps its low 16 bits.
    quint16 messagePort() const { return quint16(ListeningPort & 0xffff); }
    quint16 dataPort() const { return quint16(ListeningDataPort & 0xffff); }

    bool operator==(const Settings &) const = default;
};

// The one process-wide record. Written on the GUI thread, read by every
// thread; each read returns a consistent copy.
class LiveSettings {
public:
    Settings get() const
    {
        std::lock_guard lock(m_mutex);
        return m_value;
    }
    void set(const Settings &value)
    {
        std::lock_guard lock(m_mutex);
        m_value = value;
    }

private:
    mutable std::mutex m_mutex;
    Settings m_value;
};

// Loads and saves the four stored values. On Linux they live in an INI file
// (a missing file is a missing key); on Windows under
// HKEY_CURRENT_USER\Software\Tarvello.
class SettingsStore {
public:
    // The user's store: $XDG_CONFIG_HOME/Tarvello/Tarvello.conf.
    SettingsStore();
    // A store in the given INI file (tests).
    explicit SettingsStore(const QString &iniPath);

    QString location() const { return m_path; }

    // Fills the record from the store. Values that are missing or not a
    // 32-bit number leave their field as it was. False when the store cannot
    // be opened or both ports are equal (the fields read stay in the record).
    bool load(Settings &record) const;
    // Writes the four stored values, the switches as 0 or 1. Returns whether
    // the store was written; callers do not report a failure.
    bool save(const Settings &record) const;

private:
    QString m_path;
    bool m_native = false;
};
