#pragma once

#include "core/base/MessageLog.h"
#include "core/base/Settings.h"
#include "core/net/ListenerControl.h"
#include "core/sound/SoundMessage.h"
#include "core/transfer/FileTransfer.h"
#include "net/TestSupport.h"
#include "support/FakeIncomingWindows.h"

#include <memory>

// A receiving Tarvello for tests: both listeners on free ports, with fake
// incoming windows (or the given ones) and a log of its own.
struct TestListeners {
    LiveSettings settings;
    MessageLog log;
    FakeWindows windows;
    std::unique_ptr<ListenerControl> control;
    // Both listeners took their ports: check it before using them.
    bool up = false;

    explicit TestListeners(int idleTimeoutMs = 30000, IncomingWindows *shownIn = nullptr)
    {
        Settings s;
        s.ListeningPort = TestSupport::freeConfiguredPort();
        do {
            s.ListeningDataPort = TestSupport::freeConfiguredPort();
        } while (s.ListeningDataPort == s.ListeningPort);
        settings.set(s);
        ListenerServices services;
        services.settings = &settings;
        services.windows = shownIn ? shownIn : &windows;
        services.log = &log;
        services.dataHandlers = {{DataKind::Sound, SoundMessage::receive},
                                 {DataKind::File, FileTransfer::receiveFileOffer}};
        services.idleTimeoutMs = idleTimeoutMs;
        control = std::make_unique<ListenerControl>(services);
        control->startListeners();
        up = TestSupport::waitListening(messagePort(), 3000) &&
             TestSupport::waitListening(dataPort(), 3000);
    }
    ~TestListeners()
    {
        windows.release();
        control->stopListeners();
    }

    quint16 messagePort() const { return quint16(settings.get().ListeningPort); }
    quint16 dataPort() const { return quint16(settings.get().ListeningDataPort); }
};
