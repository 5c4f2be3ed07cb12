#pragma once

#include "core/base/Settings.h"

#include <QString>

#include <functional>
#include <memory>

class AudioDevice;
class HostResolver;
class MessengerService;
class NeighbourhoodBrowser;
class PromptService;
class TrayHost;

// Everything the program takes from the system, in one record: filled in
// main() with the real ones, by tests with fakes.
struct ApplicationServices {
    // Where the settings are stored.
    SettingsStore store;
    QString addressBookFile;
    // Where the journal of received messages lives, so that nothing taken
    // off the wire is lost whatever ends the program (empty: none).
    QString journalFolder;
    std::unique_ptr<NeighbourhoodBrowser> browser;
    std::unique_ptr<HostResolver> resolver;
    std::unique_ptr<MessengerService> messenger;
    // The desktop's tray; null: the real one.
    std::unique_ptr<TrayHost> trayHost;
    // Makes the audio devices of sound messages; null: left as it is.
    std::function<std::unique_ptr<AudioDevice>()> audioDevices;
    // Message boxes; null: Qt's.
    PromptService *prompts = nullptr;

    ApplicationServices();
    ~ApplicationServices();
    ApplicationServices(ApplicationServices &&) noexcept;
    ApplicationServices &operator=(ApplicationServices &&) noexcept;

    // The system's own: Avahi, the name resolver, smbclient, Qt Multimedia,
    // the address book's usual place, the settings file (and the desktop's
    // tray, which a null trayHost stands for).
    static ApplicationServices system();
};
