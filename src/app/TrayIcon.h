#pragma once

#include "directory/UserEntry.h"

#include <QIcon>
#include <QObject>
#include <QSystemTrayIcon>

#include <memory>

class QMenu;

// The program's only visible presence: one tray icon with a busy state
// (while the user list is being built) and an active state, and the menu a
// right click opens, built anew every time from the current user list.
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
    static constexpr int kSendMessageBase = 10010;
    static constexpr int kSendFileBase = 12010;
    // Users beyond this many get no menu item: their ids would leave the
    // ranges the commands are dispatched by.
    static constexpr int kMaxUsers = 1000;

    explicit TrayIcon(const UserList &users, QObject *parent = nullptr);
    ~TrayIcon() override;

    // Shows the icon in the busy state.
    void add();
    void setState(State state);
    void remove();

    State state() const { return m_state; }
    QString toolTip() const;
    bool isShown() const;
    QSystemTrayIcon *systemTrayIcon() const { return m_icon.get(); }

    // The menu: the fixed commands, then "Отправить файл" and "Отправить
    // сообщение" with one item per user, greyed for absent users. Every
    // item's data is its command id.
    static std::unique_ptr<QMenu> buildMenu(const UserList &users);

public slots:
    // A right click: brings the open window of the program to the front or,
    // when none is open, opens the menu at the pointer.
    void openMenuAt(const QPoint &position);

signals:
    void commandChosen(int id);

private:
    void onActivated(QSystemTrayIcon::ActivationReason reason);

    const UserList &m_users;
    std::unique_ptr<QSystemTrayIcon> m_icon;
    QIcon m_activeIcon;
    QIcon m_busyIcon;
    State m_state = State::Busy;
};
