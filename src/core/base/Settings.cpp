#include "Settings.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

#include <memory>

namespace {

constexpr auto kListeningPort = "ListeningPort";
constexpr auto kListeningDataPort = "ListeningDataPort";
constexpr auto kAutoPlaySound = "AutoPlaySound";
constexpr auto kUseNetSendByDeault = "UseNetSendByDeault";

// A stored value as a 32-bit integer, as a REG_DWORD reads: 0 to 4294967295,
// taken as signed; negative numbers down to INT32_MIN are accepted as written.
bool readDword(const QSettings &s, const char *name, std::int32_t *out)
{
    const QVariant v = s.value(QLatin1String(name));
    if (!v.isValid())
        return false;
    bool ok = false;
    const qlonglong n = v.toString().trimmed().toLongLong(&ok);
    if (!ok || n < qlonglong(INT32_MIN) || n > qlonglong(UINT32_MAX))
        return false;
    *out = static_cast<std::int32_t>(static_cast<std::uint32_t>(n));
    return true;
}

#ifdef _WIN32
constexpr auto kRegistryKey = "HKEY_CURRENT_USER\\Software\\Tarvello";
#endif

} // namespace

SettingsStore::SettingsStore()
{
#ifdef _WIN32
    m_path = QLatin1String(kRegistryKey);
    m_native = true;
#else
    m_path = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
             QStringLiteral("/Tarvello/Tarvello.conf");
#endif
}

SettingsStore::SettingsStore(const QString &iniPath) : m_path(iniPath) {}

bool SettingsStore::load(Settings &record) const
{
    std::unique_ptr<QSettings> s;
    if (m_native) {
#ifdef _WIN32
        QSettings software(QStringLiteral("HKEY_CURRENT_USER\\Software"), QSettings::NativeFormat);
        if (!software.childGroups().contains(QStringLiteral("Tarvello")))
            return false;
#endif
        s = std::make_unique<QSettings>(m_path, QSettings::NativeFormat);
    } else {
        const QFileInfo info(m_path);
        if (!info.isFile() || !info.isReadable())
            return false;
        s = std::make_unique<QSettings>(m_path, QSettings::IniFormat);
        if (s->status() != QSettings::NoError)
            return false;
    }
    std::int32_t value = 0;
    if (readDword(*s, kListeningPort, &value))
        record.ListeningPort = value;
    if (readDword(*s, kListeningDataPort, &value))
        record.ListeningDataPort = value;
    if (readDword(*s, kAutoPlaySound, &value))
        record.AutoPlaySound = value != 0;
    if (readDword(*s, kUseNetSendByDeault, &value))
        record.UseNetSendByDeault = value != 0;
    return record.ListeningPort != record.ListeningDataPort;
}

bool SettingsStore::save(const Settings &record) const
{
    if (!m_native)
        QDir().mkpath(QFileInfo(m_path).absolutePath());
    QSettings s(m_path, m_native ? QSettings::NativeFormat : QSettings::IniFormat);
    s.setValue(QLatin1String(kListeningPort), record.ListeningPort);
    s.setValue(QLatin1String(kListeningDataPort), record.ListeningDataPort);
    s.setValue(QLatin1String(kAutoPlaySound), record.AutoPlaySound ? 1 : 0);
    s.setValue(QLatin1String(kUseNetSendByDeault), record.UseNetSendByDeault ? 1 : 0);
    s.sync();
    return s.status() == QSettings::NoError;
}
