#include "Application.h"

#include "core/base/StringTable.h"
#include "core/net/MessageJournal.h"
#include "core/directory/UserListBuilder.h"
#include "core/net/TcpSocket.h"
#include "core/platform/ComputerName.h"
#include "core/platform/HostResolver.h"
#include "core/platform/InstanceChannel.h"
#include "core/platform/LiveNeighbourhood.h"
#include "core/platform/MessengerService.h"
#include "core/platform/NeighbourhoodResolver.h"
#include "core/sound/AudioDevice.h"
#include "core/sound/SoundMessage.h"
#include "core/transfer/FileTransfer.h"
#include "gui/directory/AddressBookWindow.h"
#include "gui/messaging/MessageLogWindow.h"
#include "gui/messaging/SendMessage.h"
#include "gui/sound/QtAudioDevice.h"
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

Application::Application(ApplicationServices services, QObject *parent)
    : QObject(parent), m_services(std::move(services)),
      m_tray(std::make_unique<TrayIcon>(m_users, std::move(m_services.trayHost))),
      m_windows(std::make_unique<GuiIncomingWindows>(m_settings))
{
    if (m_services.prompts)
        PromptService::setInstance(m_services.prompts);
    if (m_services.audioDevices)
        AudioDevice::setFactory(m_services.audioDevices);
    ListenerServices listening;
    listening.settings = &m_settings;
    listening.windows = m_windows.get();
    listening.log = &m_log;
    listening.presenters = {{QString::fromLatin1(SoundMessage::kQueuedSound),
                             SoundMessage::presenter(m_windows.get(), &m_log)}};
    listening.dataHandlers = {{DataKind::Sound, SoundMessage::handler()},
                              {DataKind::File, FileTransfer::offerHandler(m_windows.get())}};
    listening.observer = this;
    listening.journalFolder = m_services.journalFolder;
    m_listeners = std::make_unique<ListenerControl>(listening);
    if (MessageJournal *journal = m_listeners->journal()) {
        journal->setFailureHandler([this](const QString &path, const QString &reason) {
            QMetaObject::invokeMethod(
                this,
                [path, reason] {
                    PromptService::instance().inform(
                        StringTable::text(StringId::Warning),
                        StringTable::format(StringId::JournalUnwritable, {path, reason}));
                },
                Qt::QueuedConnection);
        });
        journal->setDamageHandler([this](const QString &aside) {
            QMetaObject::invokeMethod(
                this,
                [aside] {
                    PromptService::instance().inform(
                        StringTable::text(StringId::Warning),
                        StringTable::format(StringId::JournalDamaged, {aside}));
                },
                Qt::QueuedConnection);
        });
    }
    // The tray says how many messages wait behind the windows on screen.
    for (IncomingQueue *queue : {&m_listeners->messages(), &m_listeners->sounds()}) {
        queue->onChange([this] {
            QMetaObject::invokeMethod(this, &Application::updateWaiting, Qt::QueuedConnection);
        });
    }
    connect(m_tray.get(), &TrayIcon::commandChosen, this, &Application::dispatchCommand);
    connect(m_tray.get(), &TrayIcon::trayMissing, this, &Application::showNoTrayNotice);
    // The notice steps aside while an incoming window is on screen, and
    // comes back after, while there is still no tray.
    connect(m_windows.get(), &GuiIncomingWindows::openWindowsChanged, this,
            &Application::updateWaiting);
    connect(m_windows.get(), &GuiIncomingWindows::openWindowsChanged, this, [this](int open) {
        if (!m_noTray)
            return;
        if (open > 0 && m_noTray->isVisible()) {
            m_noTrayAside = true;
            m_noTray->hide();
        } else if (open == 0 && m_noTrayAside) {
            m_noTrayAside = false;
            if (!m_tray->isShown())
                m_noTray->show();
        }
    });
    m_liveRebuild.setSingleShot(true);
    connect(&m_liveRebuild, &QTimer::timeout, this, &Application::rebuildForNeighbourhood);
    // Computers come and go on the network's threads; the list follows on
    // this one.
    m_services.browser->onChange([this] {
        QMetaObject::invokeMethod(this, &Application::neighbourhoodChanged, Qt::QueuedConnection);
    });
}

Application::~Application()
{
    m_services.browser->onChange(nullptr);
    m_listeners->messages().onChange(nullptr);
    m_listeners->sounds().onChange(nullptr);
    // Never leave listener threads behind (nor a restart waiting for a
    // transfer); normally Exit has stopped them.
    m_listeners->endSession();
    runOffGuiThread([this] { m_listeners->stopListeners(); });
}

void Application::startUp()
{
    // Ended before it began (a signal during the set-up): nothing starts.
    if (m_exiting)
        return;
    Settings settings;
    if (!m_services.store.load(settings)) {
        settings = Settings();
        m_services.store.save(settings);
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
    buildUserListWhileBusy(false);
    if (m_exiting)
        return;
    // Once the message listener holds its port, what the journal kept is
    // shown first.
    m_listeners->startListeners();
}

void Application::updateWaiting()
{
    const int waiting = m_listeners->messages().size() + m_listeners->sounds().size();
    m_tray->setWaiting(waiting, m_windows->openWindows(), m_putAside);
}

bool Application::dispatchCommand(int id)
{
    if (m_exiting)
        return false;
    if (id == TrayIcon::kShowPutAside) {
        m_putAside = false;
        m_windows->putAside(false);
        m_listeners->resumeShowing();
        updateWaiting();
        return true;
    }
    // A command chosen while messages flood in puts them aside (they wait
    // in the journal, the tray offers to show them); Exit waits for the
    // window on screen and keeps the rest for the next start.
    const int waiting = m_listeners->messages().size() + m_listeners->sounds().size();
    if (id != TrayIcon::kExit && id > 2 && waiting > 0 && m_windows->openWindows() > 0) {
        m_putAside = true;
        m_windows->putAside(true);
        updateWaiting();
    }
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

void Application::buildUserListWhileBusy(bool rescan)
{
    // The tray opens no menu while the list is rebuilt: no window may work
    // on positions that are about to change.
    ModalState &modal = ModalState::instance();
    modal.begin();
    m_building = true;
    m_tray->setState(TrayIcon::State::Busy);
    const UserList users = runOffGuiThread<UserList>([this, rescan] {
        if (rescan)
            m_services.browser->rescan();
        return UserListBuilder::buildUserList(*m_services.browser, *m_services.resolver,
                                              m_services.addressBookFile);
    });
    m_users = users;
    m_building = false;
    m_listBuilt = true;
    m_sinceBuild.start();
    m_tray->setState(TrayIcon::State::Active);
    modal.end();
}

void Application::neighbourhoodChanged()
{
    // At most one rebuild every kLiveRebuildMs: however many changes come,
    // the one waiting is due kLiveRebuildMs after the last build.
    if (m_exiting)
        return;
    const qint64 since = m_sinceBuild.isValid() ? m_sinceBuild.elapsed() : kLiveRebuildMs;
    m_liveRebuild.start(int(qMax<qint64>(0, kLiveRebuildMs - since)));
}

void Application::rebuildForNeighbourhood()
{
    if (m_exiting)
        return;
    // Before the first list, or while one is being built, the change is
    // taken by that build or the next.
    if (!m_listBuilt || m_building) {
        m_liveRebuild.start(kLiveRebuildMs);
        return;
    }
    buildUserListWhileBusy(false);
}

void Application::showNoTrayNotice()
{
    // Shown beside whatever else runs: start-up and the listeners go on.
    if (!m_noTray)
        m_noTray = std::make_unique<NoTrayWindow>();
    if (m_windows->openWindows() > 0)
        m_noTrayAside = true;
    else
        m_noTray->show();
}

void Application::refreshUserList()
{
    buildUserListWhileBusy(true);
}

void Application::sendMessageTo(int index)
{
    if (index < 0 || index >= m_users.size())
        return;
    // A copy: the list may be rebuilt while the window is open.
    const UserEntry recipient = m_users.at(index);
    ::sendMessageTo(recipient, MessagingServices{&m_settings, &m_log, m_services.messenger.get()});
}

void Application::sendFileTo(int index)
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

void Application::runCommandWindow(QDialog &window)
{
    ModalState &modal = ModalState::instance();
    modal.begin();
    runDialog(window);
    modal.end();
}

void Application::showMessageLog()
{
    MessageLogWindow window(m_log);
    runCommandWindow(window);
}

void Application::showAddressBook()
{
    ModalState &modal = ModalState::instance();
    modal.begin();
    AddressBookWindow window(m_services.addressBookFile, *m_services.resolver);
    // Saved changes show in the menus at once.
    if (runDialog(window) == AddressBookWindow::Saved)
        refreshUserList();
    modal.end();
}

void Application::showSettings()
{
    ModalState &modal = ModalState::instance();
    modal.begin();
    SettingsWindow window(m_settings, m_services.store);
    // After a confirmed change the listeners move to the new ports: the
    // stop reaches them where they listen now. Not waited for: a restart
    // that waits for a file still arriving leaves every command (Exit)
    // usable meanwhile.
    if (runDialog(window) == SettingsWindow::Changed) {
        std::erase_if(m_restarts, [](const std::future<void> &restart) {
            return restart.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
        });
        m_restarts.push_back(
            std::async(std::launch::async, [this] { m_listeners->restartListeners(); }));
    }
    modal.end();
}

void Application::exitProgram()
{
    m_exiting = true;
    m_users.clear();
    m_tray->remove();
    // Waits until the windows on screen have been closed (the GUI stays
    // live); what waits behind them stays in the journal for the next
    // start.
    runOffGuiThread([this] { m_listeners->stopListeners(); });
    emit finished(TrayIcon::kExit);
}

void Application::shutDown()
{
    // Nobody is there to close windows: no more open, those on screen close
    // (a file offer's prompt is refused), peers still sending are cut. Also
    // while Exit waits.
    m_listeners->endSession();
    m_windows->endSession();
    for (QWidget *window : QApplication::topLevelWidgets()) {
        if (window->isVisible())
            window->close();
    }
    if (!m_exiting)
        exitProgram();
}

void Application::endAbruptly()
{
    m_windows->abandon();
    m_listeners->endSession();
    m_listeners->stopListeners();
}

void Application::messagePortHeld(int configuredPort, bool held)
{
    if (!held) {
        m_services.browser->withdraw();
        return;
    }
    const quint16 dataPort = m_settings.get().dataPort();
    m_services.browser->announce(ComputerName::localHostName(),
                                 TcpSocket::wirePort(quint16(configuredPort)),
                                 TcpSocket::wirePort(dataPort));
}

QByteArray Application::answer(const QByteArray &request)
{
    if (request == InstanceChannel::kUsersRequest)
        return UserListBuilder::describe(m_users).join(u'\n').toUtf8() + '\n';
    if (request.startsWith(InstanceChannel::kResolveRequest)) {
        const QString name =
            QString::fromUtf8(request.mid(qstrlen(InstanceChannel::kResolveRequest)));
        const auto address = m_services.browser->addressOf(name);
        return (address ? address->dotted().toUtf8() : QByteArray()) + '\n';
    }
    return QByteArray();
}

void Application::portUnavailable(ListenerKind kind, int configuredPort, int error)
{
    // Called on a listener thread: the notice is shown by the GUI thread.
    QMetaObject::invokeMethod(
        this, [=, this] { showPortUnavailable(kind, configuredPort, error); },
        Qt::QueuedConnection);
}

void Application::showPortUnavailable(ListenerKind kind, int configuredPort, int error)
{
    using StringTable::format;
    using StringTable::text;
    const bool privileged = error == EACCES || error == EPERM;
    QString reason;
    QString fix;
    const Settings settings = m_settings.get();
    if (error == EADDRINUSE && kind == ListenerKind::Data &&
        settings.messagePort() == settings.dataPort()) {
        // Tarvello itself holds it: its message listener took it first.
        reason = text(StringId::PortReasonSame);
        fix = text(StringId::PortFixSame);
    } else if (privileged) {
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

ApplicationServices::ApplicationServices() = default;
ApplicationServices::~ApplicationServices() = default;
ApplicationServices::ApplicationServices(ApplicationServices &&) noexcept = default;
ApplicationServices &ApplicationServices::operator=(ApplicationServices &&) noexcept = default;

ApplicationServices ApplicationServices::system()
{
    ApplicationServices services;
    services.addressBookFile = addressBookPath();
    services.journalFolder = MessageJournal::defaultFolder();
    auto neighbourhood = std::make_unique<LiveNeighbourhood>(LiveNeighbourhood::systemOptions());
    // Names the neighbourhood knows resolve to its addresses first.
    services.resolver = std::make_unique<NeighbourhoodResolver>(
        *neighbourhood,
        std::make_unique<SystemHostResolver>(LiveNeighbourhood::discoveryAllowed()));
    services.browser = std::move(neighbourhood);
    services.messenger = std::make_unique<SmbclientMessenger>();
    services.audioDevices = [] { return std::make_unique<QtAudioDevice>(); };
    return services;
}
