#pragma once

class QWidget;

// Makes the window's current size its minimum and centres it over its
// visible owner or, without one, in the work area of the screen.
void fixMinimumSizeAndCentre(QWidget *window);
// Centres the window without touching its size limits.
void centreWindow(QWidget *window);
// Brings a window to the front, as a click on the tray does for an open
// window of the program.
void bringToFront(QWidget *window);
