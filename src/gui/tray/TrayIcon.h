#pragma once

#include "TrayHost.h"
#include "core/directory/UserEntry.h"

#include <QIcon>
#include <QObject>
#include <QSystemTrayIcon>

#include <memory>
#include <optional>

class QAction;
class QMenu;

// The program's only visible presence: one tray icon with a busy state
// (while the user list is being built) and an active state, and its menu,
// brought up to date with the current user list every time it opens.
//
// The icon is made only once the desktop has a tray (Qt chooses between a
// StatusNotifier host and an XEmbed tray once, when the first icon is
// made). A StatusNotifier host draws the menu itself: it is handed over with
// setContextMenu. On an XEmbed tray the program opens it at the pointer on a
// right click.
class TrayIcon : public QObject {
    Q_OBJECT

public:
    enum class State { Busy, Active };

    // Command ids of the tray menu.
    static constexpr int kAbout = 32775;
    static constexpr int kDocumentation = 32781;
    static constexpr int kSettings = 10000;
    static constexpr int kRefresh = 32774;
    static constexpr int kLog = 32779;
    static constexpr int kAddressBook = 10001;
    static constexpr int kExit = 32772;
    // Shows the messages the user put aside.
    static constexpr int kShowPutAside = 10002;
    static constexpr int kSendMessageBase = 10010;
    static constexpr int kSendFileBase = 12010;
    // Users beyond this many get no menu item: their ids would leave the
    // ranges the commands are dispatched by.
    static constexpr int kMaxUsers = 1000;
    // A notice says so when no tray has appeared this long after add().
    static constexpr int kNoTrayNoticeMs = 10000;

    // The host is the desktop's tray (tests give a fake); null: the real one.
    explicit TrayIcon(const UserList &users, std::unique_ptr<TrayHost> host = nullptr,
                      QObject *parent = nullptr);
    ~TrayIcon() override;

    // Shows the icon in the busy state as soon as there is a tray.
    void add();
    void setNoTrayNoticeDelay(int ms) { m_noTrayNoticeMs = ms; }
    void setState(State state);
    // Messages waiting, incoming windows on screen, messages the user has
    // put aside: while messages wait behind incoming windows, the menu says
    // how many and offers the commands too; those put aside can be shown.
    void setWaiting(int waiting, int incomingOpen, bool putAside);
    void remove();

    State state() const { return m_state; }
    QString toolTip() const;
    bool isShown() const;
    // Null until there is a tray.
    QSystemTrayIcon *systemTrayIcon() const { return m_icon.get(); }
    // The menu the tray shows (handed to a StatusNotifier host).
    QMenu *menu() const { return m_menu.get(); }
    // The host draws the menu (a StatusNotifier host), not the program.
    bool hostDrawsMenu() const { return m_hostDrawsMenu; }

    // The menu: the fixed commands, then "Отправить файл" and "Отправить
    // сообщение" with one item per user, greyed for absent users. Every
    // item's data is its command id. The tray's own menu is this one, kept
    // up to date in place.
    static std::unique_ptr<QMenu> buildMenu(const UserList &users);

public slots:
    // A right click: brings the open window of the program to the front or,
    // when none is open, opens the menu at the pointer.
    void openMenuAt(const QPoint &position);

signals:
    void commandChosen(int id);
    // No tray has appeared kNoTrayNoticeMs (or the delay set) after add().
    void trayMissing();

private:
    void makeIcon();
    void onActivated(QSystemTrayIcon::ActivationReason reason);
    // Fills the menu for this moment: the commands and the current users or,
    // while a window of the program is open, only the entry that brings it
    // forward.
    void refreshMenu();
    // The user an item's id stands for, -1 for a command.
    static int userIndexOf(int id);
    void choose(int id, const std::optional<UserEntry> &user);

    // Where the user submenus stand among the menu's items.
    static constexpr int kSendFileItem = 11;
    bool floods() const;
    static constexpr int kMenuAfterActivationMs = 200;

    const UserList &m_users;
    // The users as the menu shows them now.
    UserList m_shown;
    std::unique_ptr<TrayHost> m_host;
    std::unique_ptr<QMenu> m_menu;
    // The commands and the user submenus, the way back to an open window,
    // and the line shown while the list is being built.
    QList<QAction *> m_commands;
    QAction *m_wayBack = nullptr;
    QAction *m_building = nullptr;
    std::unique_ptr<QSystemTrayIcon> m_icon;
    QIcon m_activeIcon;
    QIcon m_busyIcon;
    State m_state = State::Busy;
    QAction *m_waitingLine = nullptr;
    QAction *m_showPutAside = nullptr;
    int m_waiting = 0;
    int m_incomingOpen = 0;
    bool m_putAside = false;
    bool m_wanted = false;
    bool m_hostDrawsMenu = false;
    int m_noticeTimer = 0;
    int m_noTrayNoticeMs = kNoTrayNoticeMs;

protected:
    void timerEvent(QTimerEvent *event) override;
};
