#include "PromptService.h"

#include "ModalState.h"

#include <QEvent>
#include <QEventLoop>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

namespace {

class MessageBoxPrompts : public PromptService {
public:
    Answer ask(QWidget *owner, Icon icon, const QString &caption, const QString &text,
               Buttons buttons) override
    {
        QMessageBox box(toQt(icon), caption, text,
                        buttons == Buttons::YesNo ? QMessageBox::Yes | QMessageBox::No
                                                  : QMessageBox::Ok,
                        owner);
        box.setTextFormat(Qt::PlainText);
        if (buttons == Buttons::YesNo) {
            box.button(QMessageBox::Yes)->setText(StringTable::text(StringId::Yes));
            box.button(QMessageBox::No)->setText(StringTable::text(StringId::No));
        }
        if (owner)
            box.setWindowModality(Qt::WindowModal);
        // While it waits for an answer, it is the window the tray raises.
        ModalState::instance().track(&box);
        const int result = runDialog(box);
        if (buttons == Buttons::Ok)
            return Answer::Ok;
        return result == QMessageBox::Yes ? Answer::Yes : Answer::No;
    }

    void inform(const QString &caption, const QString &text) override
    {
        auto *box = new QMessageBox(QMessageBox::Information, caption, text, QMessageBox::Ok);
        box->setTextFormat(Qt::PlainText);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->show();
        box->raise();
        box->activateWindow();
    }

private:
    static QMessageBox::Icon toQt(Icon icon)
    {
        switch (icon) {
        case Icon::Question:
            return QMessageBox::Question;
        case Icon::Warning:
            return QMessageBox::Warning;
        default:
            return QMessageBox::Information;
        }
    }
};

PromptService *g_override = nullptr;

} // namespace

PromptService &PromptService::instance()
{
    static MessageBoxPrompts real;
    return g_override ? *g_override : real;
}

void PromptService::setInstance(PromptService *service)
{
    g_override = service;
}

void showNotice(QWidget *owner, const QString &text)
{
    PromptService::instance().ask(owner, PromptService::Icon::Information,
                                  StringTable::text(StringId::Warning), text,
                                  PromptService::Buttons::Ok);
}

namespace {

// Ends the loop when the window leaves the screen without finishing.
class HideWatcher : public QObject {
public:
    explicit HideWatcher(QEventLoop &loop) : m_loop(loop) {}

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Hide)
            m_loop.quit();
        return QObject::eventFilter(watched, event);
    }

private:
    QEventLoop &m_loop;
};

} // namespace

int runDialog(QDialog &dialog)
{
    QEventLoop loop;
    int result = kDialogNotFinished;
    QPointer<QDialog> guard(&dialog);
    QObject::connect(&dialog, &QDialog::finished, &loop, [&](int r) {
        result = r;
        loop.quit();
    });
    QObject::connect(&dialog, &QObject::destroyed, &loop, &QEventLoop::quit);
    HideWatcher watcher(loop);
    dialog.installEventFilter(&watcher);
    dialog.show();
    dialog.raise();
    dialog.activateWindow();
    if (dialog.isVisible())
        loop.exec();
    if (guard)
        dialog.removeEventFilter(&watcher);
    return result;
}
