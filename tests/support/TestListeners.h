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

    explicit TestListeners(int idleTimeoutMs = 30000, int deadlineMs = 30000)
        : TestListeners(idleTimeoutMs, static_cast<FakeWindows *>(nullptr), deadlineMs)
    {
    }

    // Shows what arrives in the given windows (all three kinds) instead;
    // records it in a journal in the folder, when given.
    template <typename Windows>
    TestListeners(int idleTimeoutMs, Windows *shownIn, int deadlineMs = 30000,
                  const QString &journalFolder = QString())
    {
        Settings s;
        s.ListeningPort = TestSupport::freeConfiguredPort();
        do {
            s.ListeningDataPort = TestSupport::freeConfiguredPort();
        } while (s.ListeningDataPort == s.ListeningPort);
        settings.set(s);
        ListenerServices services;
        services.settings = &settings;
        MessageWindows *messages = shownIn ? static_cast<MessageWindows *>(shownIn) : &windows;
        SoundWindows *sounds = shownIn ? static_cast<SoundWindows *>(shownIn) : &windows;
        FileOfferWindows *offers = shownIn ? static_cast<FileOfferWindows *>(shownIn) : &windows;
        services.windows = messages;
        services.log = &log;
        services.presenters = {{QString::fromLatin1(SoundMessage::kQueuedSound),
                                SoundMessage::presenter(sounds, &log)}};
        services.dataHandlers = {{DataKind::Sound, SoundMessage::handler()},
                                 {DataKind::File, FileTransfer::offerHandler(offers)}};
        services.idleTimeoutMs = idleTimeoutMs;
        services.deadlineMs = deadlineMs;
        services.journalFolder = journalFolder;
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
