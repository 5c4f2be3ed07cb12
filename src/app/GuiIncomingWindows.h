#pragma once

#include "core/net/MessageWindows.h"
#include "core/sound/SoundWindows.h"
#include "core/transfer/FileOfferWindows.h"

#include <QObject>
#include <QPointer>

#include <atomic>
#include <functional>

class LiveSettings;
class QDialog;
class OfferPromptWindow;

// Opens the incoming windows on the GUI thread and keeps the calling
// listener thread waiting until the window has been closed. Windows open
// without blocking the GUI thread, so several listeners' windows and the
// command windows are all usable at once.
class GuiIncomingWindows : public QObject,
                           public MessageWindows,
                           public SoundWindows,
                           public FileOfferWindows {
    Q_OBJECT

public:
    explicit GuiIncomingWindows(const LiveSettings &settings, QObject *parent = nullptr);

    bool showMessage(const QString &text) override;
    bool showSound(const QString &senderName, SoundClip &clip) override;
    // The session is ending: no window opens any more (call on the GUI
    // thread, then close those on screen).
    void endSession();
    // The display has gone: as the session's end, without touching a
    // window (any thread).
    void abandon() { m_sessionEnded = true; }
    // The user puts the messages on screen and waiting aside (true): their
    // windows close unread and no more open until they are wanted again
    // (false). GUI thread.
    void putAside(bool aside);
    QString askFileOffer(const QString &senderName, const QString &fileName, quint32 size) override;

    // Incoming windows on screen now (GUI thread).
    int openWindows() const { return m_open; }

signals:
    // An incoming window opened or closed; how many are on screen.
    void openWindowsChanged(int open);

private:
    // Counts the window while it is on screen.
    void count(QWidget *window);

    // Opens a window made on the GUI thread and waits until it has closed;
    // false when it was not opened because the session is ending.
    bool showAndWait(const std::function<QDialog *()> &makeWindow);

    const LiveSettings &m_settings;
    QList<QPointer<OfferPromptWindow>> m_prompts; // those made, GUI thread
    QList<QPointer<QDialog>> m_shown;              // message and sound windows
    std::atomic<bool> m_putAside{false};
    std::atomic<bool> m_sessionEnded{false}; // set on the GUI thread
    int m_open = 0;
};
