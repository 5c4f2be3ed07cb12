#include "MainWindow.h"

#include "core/base/StringTable.h"
#include "core/directory/UserListBuilder.h"
#include "core/net/TcpSocket.h"
#include "core/platform/AvahiBrowser.h"
#include "core/platform/ComputerName.h"
#include "core/platform/HostResolver.h"
#include "core/platform/MessengerService.h"
#include "core/sound/SoundMessage.h"
#include "core/transfer/FileTransfer.h"
#include "gui/directory/AddressBookWindow.h"
#include "gui/messaging/MessageLogWindow.h"
#include "gui/messaging/SendMessage.h"
#include "gui/transfer/SendFileWindow.h"
#include "gui/ui/AboutWindow.h"
#include "gui/ui/Documentation.h"
#include "gui/ui/FirstStartWindow.h"
#include "gui/ui/ModalState.h"
#include "gui/ui/NoTrayWindow.h"
#include "gui/ui/PromptService.h"
#include "gui/ui/SettingsWindow.h"
#include "gui/ui/WaitFor.h"

#include <QApplication>
#include <QWidget>

#include <cerrno>
#include <cstring>

MainWindow::MainWindow(const SettingsStore &store, QObject *parent)
    : QObject(parent), m_store(store), m_browser(std::make_unique<AvahiBrowser>()),
      m_resolver(std::make_unique<SystemHostResolver>()),
      m_messenger(std::make_unique<SmbclientMessenger>()), m_addressBookFile(addressBookPath()),
      m_tray(std::make_unique<TrayIcon>(m_users)),
      m_windows(std::make_unique<GuiIncomingWindows>(m_settings))
{
    ListenerServices services;
    services.settings = &m_settings;
    services.windows = m_windows.get();
    services.log = &m_log;
    services.dataHandlers = {{DataKind::Sound, SoundMessage::receive},
                             {DataKind::File, FileTransfer::receiveFileOffer}};
    services.observer = this;
    m_listeners = std::make_unique<ListenerControl>(services);
    connect(m_tray.get(), &TrayIcon::commandChosen, this, &MainWindow::dispatchCommand);
    connect(m_tray.get(), &TrayIcon::trayMissing, this, &MainWindow::showNoTrayNotice);
}

MainWindow::~MainWindow()
{
    // Never leave listener threads behind; normally Exit has stopped them.
    if (m_listeners->isRunning())
        runOffGuiThread([this] { m_listeners->stopListeners(); });
}

void MainWindow::startUp()
{
    Settings settings;
    if (!m_store.load(settings)) {
        settings = Settings();
        m_store.save(settings);
        m_firstStart = true;
    }
    m_settings.set(settings);

    m_tray->add();
    if (m_firstStart) {
        m_tray->setState(TrayIcon::State::Active);
        FirstStartWindow window;
        runDialog(window);
        m_tray->setState(TrayIcon::State::Busy);
    }
    // The session may end while the first-start window is open or the list
    // is being built: then nothing more starts.
    if (m_exiting)
        return;
    buildUserListWhileBusy();
    if (m_exiting)
        return;
    m_listeners->startListeners();
}

bool MainWindow::dispatchCommand(int id)
{
    if (m_exiting)
        return false;
    switch (id) {
    case 1:
    case 2:
        return true; // Enter, Escape and close requests do nothing
    case TrayIcon::kExit:
        exitProgram();
        return true;
    case TrayIcon::kLog:
        showMessageLog();
        return true;
    case TrayIcon::kRefresh:
        refreshUserList();
        return true;
    case TrayIcon::kAbout: {
        AboutWindow window;
        runCommandWindow(window);
        return true;
    }
    case TrayIcon::kSettings:
        showSettings();
        return true;
    case TrayIcon::kDocumentation: {
        ModalState &modal = ModalState::instance();
        modal.begin();
        Documentation::open();
        modal.end();
        return true;
    }
    case TrayIcon::kAddressBook:
        showAddressBook();
        return true;
    default:
        break;
    }
    if (id >= TrayIcon::kSendMessageBase && id < TrayIcon::kSendMessageBase + TrayIcon::kMaxUsers) {
        sendMessageTo(id - TrayIcon::kSendMessageBase);
        return true;
    }
    if (id >= TrayIcon::kSendFileBase && id < TrayIcon::kSendFileBase + TrayIcon::kMaxUsers) {
        sendFileTo(id - TrayIcon::kSendFileBase);
        return true;
    }
    return false;
}

void MainWindow::setDirectory(std::unique_ptr<NeighbourhoodBrowser> browser,
                              std::unique_ptr<HostResolver> resolver,
                              const QString &addressBookFile)
{
    m_browser = std::move(browser);
    m_resolver = std::move(resolver);
    m_addressBookFile = addressBookFile;
}

void MainWindow::buildUserListWhileBusy()
{
    // The tray opens no menu while the list is rebuilt: no window may work
    // on positions that are about to change.
    ModalState &modal = ModalState::instance();
    modal.begin();
    m_tray->setState(TrayIcon::State::Busy);
    const UserList users = runOffGuiThread<UserList>([this] {
        return UserListBuilder::buildUserList(*m_browser, *m_resolver, m_addressBookFile);
    });
    m_users = users;
    m_tray->setState(TrayIcon::State::Active);
    modal.end();
}

void MainWindow::showNoTrayNotice()
{
    // Shown beside whatever else runs: start-up and the listeners go on.
    if (!m_noTray)
        m_noTray = std::make_unique<NoTrayWindow>();
    m_noTray->show();
}

void MainWindow::refreshUserList()
{
    buildUserListWhileBusy();
}

void MainWindow::setMessenger(std::unique_ptr<MessengerService> messenger)
{
    m_messenger = std::move(messenger);
}

void MainWindow::sendMessageTo(int index)
{
    if (index < 0 || index >= m_users.size())
        return;
    // A copy: the list may be rebuilt while the window is open.
    const UserEntry recipient = m_users.at(index);
    ::sendMessageTo(recipient, MessagingServices{&m_settings, &m_log, m_messenger.get()});
}

void MainWindow::sendFileTo(int index)
{
    if (index < 0 || index >= m_users.size())
        return;
    ModalState &modal = ModalState::instance();
    modal.begin();
    SendFileWindow window(m_users, index, ComputerName::localHostName(),
                          m_settings.get().dataPort());
    // Cancelling the first choice of a file ends the command at once.
    if (window.chooseFile())
        runDialog(window);
    modal.end();
}

void MainWindow::runCommandWindow(QDialog &window)
{
    ModalState &modal = ModalState::instance();
    modal.begin();
    runDialog(window);
    modal.end();
}

void MainWindow::showMessageLog()
{
    MessageLogWindow window(m_log);
    runCommandWindow(window);
}

void MainWindow::showAddressBook()
{
    ModalState &modal = ModalState::instance();
    modal.begin();
    AddressBookWindow window(m_addressBookFile, *m_resolver);
    // Saved changes show in the menus at once.
    if (runDialog(window) == AddressBookWindow::Saved)
        refreshUserList();
    modal.end();
}

void MainWindow::showSettings()
{
    ModalState &modal = ModalState::instance();
    modal.begin();
    SettingsWindow window(m_settings, m_store);
    // After a confirmed change the listeners move to the new ports: the
    // stop reaches them where they listen now.
    if (runDialog(window) == SettingsWindow::Changed)
        runOffGuiThread([this] { m_listeners->restartListeners(); });
    modal.end();
}

void MainWindow::exitProgram()
{
    m_exiting = true;
    m_users.clear();
    m_tray->remove();
    // Waits for open incoming windows to be closed; the GUI stays live.
    runOffGuiThread([this] { m_listeners->stopListeners(); });
    emit finished(TrayIcon::kExit);
}

void MainWindow::shutDown()
{
    if (m_exiting)
        return;
    // Closing the windows releases the listeners that wait for them.
    for (QWidget *window : QApplication::topLevelWidgets()) {
        if (window->isVisible())
            window->close();
    }
    exitProgram();
}

void MainWindow::portUnavailable(ListenerKind kind, int configuredPort, int error)
{
    // Called on a listener thread: the notice is shown by the GUI thread.
    QMetaObject::invokeMethod(
        this, [=, this] { showPortUnavailable(kind, configuredPort, error); },
        Qt::QueuedConnection);
}

void MainWindow::showPortUnavailable(ListenerKind kind, int configuredPort, int error)
{
    using StringTable::format;
    using StringTable::text;
    const bool privileged = error == EACCES || error == EPERM;
    QString reason;
    QString fix;
    if (privileged) {
        reason = text(StringId::PortReasonPrivileged);
        fix = format(StringId::PortFixPrivileged, {QApplication::applicationFilePath()});
    } else if (error == EADDRINUSE) {
        reason = text(StringId::PortReasonInUse);
        fix = text(StringId::PortFixInUse);
    } else {
        reason = format(StringId::PortReasonOther, {QString::fromLocal8Bit(std::strerror(error))});
        fix = text(StringId::PortFixInUse);
    }
    if (kind == ListenerKind::Message)
        fix += QStringLiteral("\n\n") + text(StringId::PortRetrying);
    const quint16 port = quint16(configuredPort);
    const QString message = format(
        StringId::PortUnavailable,
        {text(kind == ListenerKind::Message ? StringId::PortWhatMessages : StringId::PortWhatData),
         QString::number(TcpSocket::wirePort(port)), QString::number(port), reason, fix});
    PromptService::instance().inform(text(StringId::Warning), message);
}
