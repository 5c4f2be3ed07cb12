#pragma once

#include "core/directory/UserEntry.h"
#include "core/net/Cancellation.h"
#include "core/transfer/FileTransfer.h"

#include "gui/ui/ProgramDialog.h"

#include <functional>
#include <memory>
#include <thread>

namespace Ui {
class SendFileWindow;
}

// Offers a file to a user and shows the transfer: the wait for the
// recipient's decision, the progress and the outcome. The transfer runs on
// a worker thread; the window cannot be closed while it runs.
class SendFileWindow : public ProgramDialog {
    Q_OBJECT

public:
    // Asks the user for a file to send (the title given); empty on cancel.
    using FileChooser = std::function<QString(QWidget *parent, const QString &title)>;
    static QString chooseWithDialog(QWidget *parent, const QString &title);

    SendFileWindow(const UserList &users, int index, const QString &senderName, quint16 port,
                   FileChooser chooser = chooseWithDialog, QWidget *parent = nullptr);
    ~SendFileWindow() override;

    // Lets the user choose the file; false (nothing changed) on cancel.
    bool chooseFile();

    bool isBusy() const { return m_busy; }
    QString statusText() const;
    int progress() const;

public slots:
    void send();
    void reject() override; // "&Закрыть", Escape, the close box: only when idle

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    void report(FileSendStatus status, int argument);
    void setRecipient(int index);

    std::unique_ptr<Ui::SendFileWindow> m_ui;
    const UserList m_users; // a copy: the program's list may be rebuilt meanwhile
    int m_index;
    QString m_senderName;
    quint16 m_port;
    FileChooser m_chooser;
    QString m_path;
    QString m_fileName;
    bool m_busy = false;
    // Ends a transfer still under way when the window goes (Exit, the
    // session's end): the worker is never waited for.
    Cancellation m_cancellation;
    std::thread m_worker;
};
