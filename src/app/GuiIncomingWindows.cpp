#include "GuiIncomingWindows.h"

#include "core/base/Settings.h"
#include "core/base/StringTable.h"
#include "gui/messaging/IncomingMessageWindow.h"
#include "gui/sound/IncomingSoundWindow.h"
#include "gui/transfer/OfferPromptWindow.h"
#include "gui/ui/ModalState.h"

#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QStandardPaths>

#include <QPointer>

#include <future>

GuiIncomingWindows::GuiIncomingWindows(const LiveSettings &settings, QObject *parent)
    : QObject(parent), m_settings(settings)
{
}

void GuiIncomingWindows::count(QWidget *window)
{
    ++m_open;
    emit openWindowsChanged(m_open);
    connect(window, &QObject::destroyed, this, [this] {
        --m_open;
        emit openWindowsChanged(m_open);
    });
}

void GuiIncomingWindows::endSession()
{
    m_sessionEnded = true;
    // An offer's sender is told "refused" at once.
    for (const QPointer<OfferPromptWindow> &prompt : std::as_const(m_prompts)) {
        if (prompt)
            prompt->refuse();
    }
}

void GuiIncomingWindows::putAside(bool aside)
{
    m_putAside = aside;
    if (!aside)
        return;
    for (const QPointer<QDialog> &window : std::as_const(m_shown)) {
        if (window)
            window->close();
    }
}

bool GuiIncomingWindows::showAndWait(const std::function<QDialog *()> &makeWindow)
{
    // Shared: after the session's end nobody may wait for the answer.
    auto closed = std::make_shared<std::promise<bool>>();
    std::future<bool> answer = closed->get_future();
    QMetaObject::invokeMethod(
        this,
        [this, closed, makeWindow] {
            if (m_sessionEnded || m_putAside) {
                closed->set_value(false);
                return;
            }
            QDialog *window = makeWindow();
            m_shown.removeIf([](const QPointer<QDialog> &w) { return w.isNull(); });
            m_shown.append(window);
            window->setAttribute(Qt::WA_DeleteOnClose);
            QObject::connect(
                window, &QDialog::finished, window, [closed] { closed->set_value(true); },
                Qt::SingleShotConnection);
            count(window);
            window->show();
            window->raise();
            window->activateWindow();
        },
        Qt::QueuedConnection);
    // The session's end closes every window on screen at once; a window
    // asked for after that never opens, even when the GUI thread has
    // stopped taking events.
    while (answer.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
        if (m_sessionEnded)
            return false;
    }
    // A window the session's end or the user's putting aside closed has not
    // been read: it is shown again.
    return answer.get() && !m_sessionEnded && !m_putAside;
}

bool GuiIncomingWindows::showMessage(const QString &text)
{
    ModalState::instance().begin();
    const bool shown = showAndWait([&text] { return new IncomingMessageWindow(text); });
    ModalState::instance().end();
    return shown;
}

bool GuiIncomingWindows::showSound(const QString &senderName, SoundClip &clip)
{
    ModalState::instance().begin();
    const bool shown =
        showAndWait([&] { return new IncomingSoundWindow(senderName, clip, m_settings); });
    ModalState::instance().end();
    return shown;
}

QString GuiIncomingWindows::askFileOffer(const QString &senderName, const QString &fileName,
                                         quint32 size)
{
    // The prompt, then (on "Да") the save dialog; the answer is the chosen
    // path, empty for a refusal.
    // Shared: after the session's end nobody may wait for the answer.
    auto decided = std::make_shared<std::promise<QString>>();
    std::future<QString> answer = decided->get_future();
    const int seconds = m_settings.get().offerTimeoutSeconds;
    QMetaObject::invokeMethod(
        this,
        [this, decided, senderName, fileName, size, seconds] {
            // At the session's end no prompt opens: the offer is refused.
            if (m_sessionEnded) {
                decided->set_value(QString());
                return;
            }
            auto *prompt = new OfferPromptWindow(senderName, fileName, size, seconds);
            prompt->setAttribute(Qt::WA_DeleteOnClose);
            m_prompts.removeIf([](const QPointer<OfferPromptWindow> &p) { return p.isNull(); });
            m_prompts.append(prompt);
            QObject::connect(
                prompt, &QDialog::finished, prompt,
                [this, decided, fileName](int result) {
                    if (result != OfferPromptWindow::kYes || m_sessionEnded) {
                        decided->set_value(QString());
                        return;
                    }
                    auto *save = new QFileDialog;
                    save->setAttribute(Qt::WA_DeleteOnClose);
                    save->setAcceptMode(QFileDialog::AcceptSave);
                    save->setFileMode(QFileDialog::AnyFile);
                    save->setNameFilter(
                        StringTable::text(StringId::AllFilesFilter).section(u'(', 0, 0).trimmed() +
                        QStringLiteral(" (*)"));
                    // Where downloads usually go; the user's home without one.
                    QString folder =
                        QStandardPaths::writableLocation(QStandardPaths::DownloadLocation);
                    if (folder.isEmpty() || !QFileInfo(folder).isDir())
                        folder = QDir::homePath();
                    save->setDirectory(folder);
                    save->selectFile(fileName);
                    QObject::connect(
                        save, &QDialog::finished, save,
                        [decided, save](int accepted) {
                            const QStringList files = save->selectedFiles();
                            decided->set_value(accepted == QDialog::Accepted && !files.isEmpty()
                                                  ? files.constFirst()
                                                  : QString());
                        },
                        Qt::SingleShotConnection);
                    count(save);
                    save->show();
                    save->raise();
                    save->activateWindow();
                },
                Qt::SingleShotConnection);
            count(prompt);
            prompt->show();
        },
        Qt::QueuedConnection);
    // A prompt asked for as the session ends never opens, even when the GUI
    // thread has stopped taking events.
    while (answer.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
        if (m_sessionEnded)
            return QString();
    }
    return answer.get();
}
