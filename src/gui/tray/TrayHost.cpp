#include "TrayHost.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QTimerEvent>

#if __has_include(<xcb/xcb.h>)
#include <xcb/xcb.h>
#define TARVELLO_HAVE_XCB 1
#endif

namespace {

// Often enough that the icon appears within a second of the tray.
constexpr int kPollMs = 250;
const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");

bool isX11()
{
    return QGuiApplication::platformName() == QLatin1String("xcb");
}

bool isWayland()
{
    return QGuiApplication::platformName().startsWith(QLatin1String("wayland"));
}

} // namespace

TrayHost::~TrayHost() = default;

SystemTrayHost::SystemTrayHost(QObject *parent) : TrayHost(parent) {}

SystemTrayHost::~SystemTrayHost()
{
    stop();
}

void SystemTrayHost::watch()
{
    if (m_watching)
        return;
    m_watching = true;
    // Other platforms (and Qt's test platforms) have their own notification
    // area, or none to wait for.
    if (!isX11() && !isWayland()) {
        report();
        return;
    }
    poll();
    if (m_watching && !m_timer)
        m_timer = startTimer(kPollMs);
}

void SystemTrayHost::stop()
{
    m_watching = false;
    if (m_timer) {
        killTimer(m_timer);
        m_timer = 0;
    }
    if (m_pending) {
        m_pending->disconnect(this);
        m_pending->deleteLater();
        m_pending = nullptr;
    }
}

void SystemTrayHost::timerEvent(QTimerEvent *event)
{
    if (event->timerId() == m_timer)
        poll();
}

void SystemTrayHost::poll()
{
    if (embeddedTrayOwned())
        report();
    else if (!m_pending)
        askStatusNotifierWatcher(); // answered later, without waiting here
}

void SystemTrayHost::askStatusNotifierWatcher()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(
        kWatcherService, QStringLiteral("/StatusNotifierWatcher"),
        QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    call << kWatcherService << QStringLiteral("IsStatusNotifierHostRegistered");
    m_pending = new QDBusPendingCallWatcher(bus.asyncCall(call, 1000), this);
    connect(m_pending, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher *pending) {
                pending->deleteLater();
                m_pending = nullptr;
                const QDBusPendingReply<QDBusVariant> reply = *pending;
                if (reply.isValid() && reply.value().variant().toBool())
                    report();
            });
}

void SystemTrayHost::report()
{
    if (!m_watching)
        return;
    stop();
    emit found();
}

bool SystemTrayHost::embeddedTrayOwned()
{
#ifdef TARVELLO_HAVE_XCB
    if (!isX11())
        return false;
    auto *x11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    xcb_connection_t *connection = x11 ? x11->connection() : nullptr;
    if (!connection)
        return false;
    // The tray of the screen Qt uses: DISPLAY=":0.1" means screen 1.
    int screen = 0;
    const QByteArray display = qgetenv("DISPLAY");
    if (const int dot = display.lastIndexOf('.'); dot > display.lastIndexOf(':'))
        screen = display.mid(dot + 1).toInt();
    const QByteArray name = "_NET_SYSTEM_TRAY_S" + QByteArray::number(screen);
    xcb_intern_atom_reply_t *atom = xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, quint16(name.size()), name.constData()),
        nullptr);
    if (!atom)
        return false;
    xcb_get_selection_owner_reply_t *owner = xcb_get_selection_owner_reply(
        connection, xcb_get_selection_owner(connection, atom->atom), nullptr);
    const bool owned = owner && owner->owner != XCB_NONE;
    free(owner);
    free(atom);
    return owned;
#else
    return false;
#endif
}
