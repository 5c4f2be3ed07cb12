#include "WindowPlacement.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

void centreWindow(QWidget *window)
{
    const QWidget *owner = window->parentWidget();
    QRect frame = window->frameGeometry();
    QRect area;
    if (owner && owner->isVisible()) {
        area = owner->window()->frameGeometry();
    } else {
        QScreen *screen = window->screen() ? window->screen() : QGuiApplication::primaryScreen();
        if (!screen)
            return;
        area = screen->availableGeometry();
    }
    frame.moveCenter(area.center());
    // Always inside the work area.
    if (QScreen *screen = QGuiApplication::screenAt(area.center())) {
        const QRect work = screen->availableGeometry();
        if (frame.right() > work.right())
            frame.moveRight(work.right());
        if (frame.bottom() > work.bottom())
            frame.moveBottom(work.bottom());
        if (frame.left() < work.left())
            frame.moveLeft(work.left());
        if (frame.top() < work.top())
            frame.moveTop(work.top());
    }
    window->move(frame.topLeft());
}

void fixMinimumSizeAndCentre(QWidget *window)
{
    window->setMinimumSize(window->size().expandedTo(window->minimumSizeHint()));
    centreWindow(window);
}

void bringToFront(QWidget *window)
{
    if (window->isMinimized())
        window->showNormal();
    window->show();
    window->raise();
    window->activateWindow();
}
