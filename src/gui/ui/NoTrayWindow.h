#pragma once

#include "ProgramDialog.h"

// Says that the desktop has no notification area, what that means for a
// program without a main window and how to get one. Tarvello keeps running
// when it is closed; the icon appears as soon as a tray does.
class NoTrayWindow : public ProgramDialog {
    Q_OBJECT

public:
    explicit NoTrayWindow(QWidget *parent = nullptr);
};
