#pragma once

#include "core/net/MessageWindows.h"
#include "core/sound/SoundWindows.h"
#include "core/transfer/FileOfferWindows.h"

#include <QObject>

#include <functional>

class LiveSettings;
class QDialog;

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

    void showMessage(const QString &text) override;
    void showSound(const QString &senderName, SoundClip &clip) override;
    QString askFileOffer(const QString &senderName, const QString &fileName, quint32 size) override;

private:
    // Opens a window made on the GUI thread and waits until it has closed.
    void showAndWait(const std::function<QDialog *()> &makeWindow);

    const LiveSettings &m_settings;
};
