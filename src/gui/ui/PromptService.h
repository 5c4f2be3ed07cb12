#pragma once

#include "core/base/StringTable.h"

#include <QString>

class QDialog;
class QWidget;

// Every message box of the program goes through here, so that tests can
// answer them.
class PromptService {
public:
    enum class Icon { Information, Question, Warning };
    enum class Buttons { Ok, YesNo };
    enum class Answer { Ok, Yes, No };

    virtual ~PromptService() = default;

    // Shows a box and returns the answer. With an owner the box is modal to
    // that window only; without one it blocks no other window of the program.
    virtual Answer ask(QWidget *owner, Icon icon, const QString &caption, const QString &text,
                       Buttons buttons) = 0;
    // Shows a box and returns at once (for events that must not wait).
    virtual void inform(const QString &caption, const QString &text) = 0;

    static PromptService &instance();
    // Tests put their own service in place; nullptr restores the real one.
    static void setInstance(PromptService *service);
};

// The warning box used across the program: the caption "Предупреждение", the
// information icon and one OK button.
void showNotice(QWidget *owner, const QString &text);
inline void showNotice(QWidget *owner, StringId id)
{
    showNotice(owner, StringTable::text(id));
}

// What runDialog returns for a window that closed without finishing (hidden,
// destroyed, never shown) or whose loop was ended from outside: never one of
// the windows' results.
constexpr int kDialogNotFinished = -1;

// Runs a dialog in a local event loop until it closes and returns its result.
// The dialog is not application-modal: other windows stay usable.
int runDialog(QDialog &dialog);
