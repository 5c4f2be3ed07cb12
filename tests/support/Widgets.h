#pragma once

#include <QApplication>
#include <QPushButton>
#include <QWidget>

// Finding the real widgets a GUI test drives.
namespace Widgets {

// The push button of a window with exactly this text.
inline QPushButton *button(QWidget *window, const QString &text)
{
    for (auto *b : window->findChildren<QPushButton *>()) {
        if (b->text() == text)
            return b;
    }
    return nullptr;
}

// The visible top-level window of a class, if one is open.
template <typename T> T *visibleWindow()
{
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (auto *t = qobject_cast<T *>(w); t && t->isVisible())
            return t;
    }
    return nullptr;
}

} // namespace Widgets
