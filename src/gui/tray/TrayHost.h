#pragma once

#include <QObject>

#include <memory>

class QDBusPendingCallWatcher;

// Whether the desktop has a notification area to put the icon in, and of
// which kind. Qt picks its tray backend once per process, when the first
// tray icon is made: the icon must wait until a tray exists, or a tray
// that starts after the program (an autostarted program at login) never
// shows it.
class TrayHost : public QObject {
    Q_OBJECT

public:
    using QObject::QObject;
    ~TrayHost() override;

    // Starts looking; found() is emitted once, when a tray is there (at
    // once when it is there already).
    virtual void watch() = 0;
    virtual void stop() = 0;

signals:
    void found();
};

// The desktop's real trays: a StatusNotifier host registered on the session
// bus (KDE, Xfce, LXQt, GNOME with the AppIndicator extension), the X11 tray
// selection (XEmbed trays such as tint2), and on other platforms their own
// notification area, which always exists.
class SystemTrayHost : public TrayHost {
    Q_OBJECT

public:
    explicit SystemTrayHost(QObject *parent = nullptr);
    ~SystemTrayHost() override;

    void watch() override;
    void stop() override;

    // An XEmbed tray owns the X11 tray selection now.
    static bool embeddedTrayOwned();

private:
    void poll();
    void askStatusNotifierWatcher();
    void report();

    int m_timer = 0;
    bool m_watching = false;
    QDBusPendingCallWatcher *m_pending = nullptr;

protected:
    void timerEvent(QTimerEvent *event) override;
};
