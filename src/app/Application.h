#pragma once

#include "ApplicationServices.h"
#include "GuiIncomingWindows.h"
#include "core/base/MessageLog.h"
#include "core/base/Settings.h"
#include "core/directory/UserEntry.h"
#include "core/net/ListenerControl.h"
#include "gui/tray/TrayIcon.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <future>
#include <memory>
#include <vector>

class HostResolver;
class QDialog;
class MessengerService;
class NeighbourhoodBrowser;
class NoTrayWindow;

// The program's one owner of what runs: start-up, the dispatch of the
// tray's commands, the listeners, the user list and Exit. It has no
// visible window; the tray icon is its face. Built from the services it
// takes from the system.
class Application : public QObject, public ListenerObserver {
    Q_OBJECT

public:
    explicit Application(ApplicationServices services, QObject *parent = nullptr);
    ~Application() override;

    // Loads the settings (writing the defaults on a first start), adds the
    // tray icon, shows the first-start window when needed, builds the user
    // list and starts the listeners.
    void startUp();
    // Runs the command with the given id; false for ids no command has.
    bool dispatchCommand(int id);

    bool isFirstStart() const { return m_firstStart; }
    TrayIcon &tray() { return *m_tray; }
    LiveSettings &settings() { return m_settings; }
    MessageLog &log() { return m_log; }
    ListenerControl &listeners() { return *m_listeners; }
    GuiIncomingWindows &incomingWindows() { return *m_windows; }
    const UserList &userList() const { return m_users; }
    UserList &userList() { return m_users; }

    // A listener cannot take its port: the notice says why and what to do.
    void portUnavailable(ListenerKind kind, int configuredPort, int error) override;
    // While the message listener holds its port, this computer's Tarvello
    // is announced to the neighbourhood.
    void messagePortHeld(int configuredPort, bool held) override;

    // What the command line asks the running program (the user list as the
    // tray menu holds it, a name the neighbourhood knows).
    QByteArray answer(const QByteArray &request);

    // Rebuilds of the list that computers coming and going ask for are at
    // least this far apart.
    static constexpr int kLiveRebuildMs = 2000;

    // Closes the program's open windows and exits, as the session's end asks.
    void shutDown();
    // The process ends without its event loop (Qt ends it when the display
    // goes away): what waits in the listen queues is still taken in and the
    // journal put on the disk; no window is touched. Blocks for at most the
    // stop's limits.
    void endAbruptly();

    // Rebuilds the user list on a worker while the tray shows its busy
    // state; the tray opens no menu meanwhile.
    void refreshUserList();

    QString addressBookFile() const { return m_services.addressBookFile; }

signals:
    // The main loop ends with this code: 32772 after Exit.
    void finished(int exitCode);

private:
    void showMessageLog();
    void sendMessageTo(int index);
    void sendFileTo(int index);
    void showSettings();
    void showAddressBook();
    // A command whose window is shown with the tray's open-window rule.
    void runCommandWindow(QDialog &window);
    // After the session's end the messages not shown yet are kept for the
    // next start instead of being shown.
    void exitProgram();
    // Tells the tray how many messages wait, and whether put aside.
    void updateWaiting();
    void showPortUnavailable(ListenerKind kind, int configuredPort, int error);

    // The tray shows its busy state meanwhile; a rescan first waits a
    // moment for the neighbourhood's fresh answers.
    void buildUserListWhileBusy(bool rescan);
    void neighbourhoodChanged();
    void rebuildForNeighbourhood();
    void showNoTrayNotice();

    ApplicationServices m_services;
    LiveSettings m_settings;
    MessageLog m_log;
    UserList m_users;
    std::unique_ptr<TrayIcon> m_tray;
    std::unique_ptr<GuiIncomingWindows> m_windows;
    std::unique_ptr<NoTrayWindow> m_noTray;
    std::unique_ptr<ListenerControl> m_listeners;
    // Settings restarts under way (each waits for the connection its
    // listener serves); gone before the listeners are.
    std::vector<std::future<void>> m_restarts;
    bool m_firstStart = false;
    bool m_exiting = false;
    // The user put waiting messages aside (a command chosen in a flood).
    bool m_putAside = false;
    bool m_listBuilt = false;
    // The no-tray notice waits for the incoming windows to close.
    bool m_noTrayAside = false;
    bool m_building = false;
    QTimer m_liveRebuild;
    QElapsedTimer m_sinceBuild;
};
