#pragma once

#include "net/IncomingWindows.h"

#include <QObject>

// Opens the incoming windows on the GUI thread and keeps the calling
// listener thread waiting until the window has been closed. Windows open
// without blocking the GUI thread, so several listeners' windows and the
// command windows are all usable at once.
class GuiIncomingWindows : public QObject, public IncomingWindows {
    Q_OBJECT

public:
    explicit GuiIncomingWindows(QObject *parent = nullptr);

    void showMessage(const QString &text) override;
};
