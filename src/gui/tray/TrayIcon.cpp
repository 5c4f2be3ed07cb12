#include "TrayIcon.h"

#include "TrayHost.h"
#include "core/base/StringTable.h"
#include "gui/ui/Artwork.h"
#include "gui/ui/ModalState.h"
#include "gui/ui/WindowPlacement.h"

#include <QApplication>
#include <QCursor>
#include <QMenu>
#include <QTimerEvent>

namespace {

void addCommand(QMenu &menu, StringId text, int id)
{
    QAction *action = menu.addAction(StringTable::text(text));
    action->setData(id);
}

void addUserMenu(QMenu &menu, StringId title, int base, const UserList &users)
{
    QMenu *sub = menu.addMenu(StringTable::text(title));
    const qsizetype count = qMin<qsizetype>(users.size(), TrayIcon::kMaxUsers);
    for (qsizetype i = 0; i < count; ++i) {
        // Peer-supplied names are plain text: '&' must not become a mnemonic.
        QString text = users.at(i).displayText;
        text.replace(u'&', QStringLiteral("&&"));
        text.replace(u'\t', u' ');
        QAction *action = sub->addAction(text);
        action->setData(base + int(i));
        action->setEnabled(!users.at(i).address.isAbsent());
    }
}

// Empties a menu, its submenus included.
void clearMenu(QMenu &menu)
{
    menu.clear();
    for (QMenu *sub : menu.findChildren<QMenu *>(Qt::FindDirectChildrenOnly))
        delete sub;
}

void fillMenu(QMenu &menu, const UserList &users)
{
    addCommand(menu, StringId::MenuAbout, TrayIcon::kAbout);
    addCommand(menu, StringId::MenuDocumentation, TrayIcon::kDocumentation);
    menu.addSeparator();
    addCommand(menu, StringId::MenuSettings, TrayIcon::kSettings);
    menu.addSeparator();
    addCommand(menu, StringId::MenuRefresh, TrayIcon::kRefresh);
    addCommand(menu, StringId::MenuLog, TrayIcon::kLog);
    addCommand(menu, StringId::MenuAddressBook, TrayIcon::kAddressBook);
    menu.addSeparator();
    addCommand(menu, StringId::MenuExit, TrayIcon::kExit);
    menu.addSeparator();
    addUserMenu(menu, StringId::MenuSendFile, TrayIcon::kSendFileBase, users);
    addUserMenu(menu, StringId::MenuSendMessage, TrayIcon::kSendMessageBase, users);
}

// While a window of the program is open, the tray starts nothing: it brings
// that window forward. True when one is open.
bool raiseOpenWindow()
{
    ModalState &modal = ModalState::instance();
    if (!modal.isOpen())
        return false;
    if (QWidget *window = modal.windowToRaise())
        bringToFront(window);
    return true;
}

// Qt draws the menu itself only on an XEmbed tray, in a widget of this
// class; a StatusNotifier host draws the menu it is handed.
bool iconIsEmbedded()
{
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (w->inherits("QSystemTrayIconSys"))
            return true;
    }
    return false;
}

} // namespace

TrayIcon::TrayIcon(const UserList &users, std::unique_ptr<TrayHost> host, QObject *parent)
    : QObject(parent), m_users(users),
      m_host(host ? std::move(host) : std::make_unique<SystemTrayHost>()),
      m_menu(std::make_unique<QMenu>()),
      m_activeIcon(Artwork::icon(QStringLiteral(":/icons/tarvello-active.svg"))),
      m_busyIcon(Artwork::icon(QStringLiteral(":/icons/tarvello-busy.svg")))
{
    connect(m_host.get(), &TrayHost::found, this, &TrayIcon::makeIcon);
    // Opening the menu while a window is open also brings that window up.
    connect(m_menu.get(), &QMenu::aboutToShow, this, [this] {
        raiseOpenWindow();
        refreshMenu();
    });
    refreshMenu();
}

TrayIcon::~TrayIcon()
{
    ModalState::instance().setObserver(nullptr);
    // The icon goes before the menu it may hold.
    m_icon.reset();
}

void TrayIcon::add()
{
    m_wanted = true;
    if (m_icon) {
        m_icon->show();
        return;
    }
    m_host->watch();
    if (!m_icon && !m_noticeTimer)
        m_noticeTimer = startTimer(m_noTrayNoticeMs);
}

void TrayIcon::makeIcon()
{
    if (m_icon || !m_wanted)
        return;
    if (m_noticeTimer) {
        killTimer(m_noticeTimer);
        m_noticeTimer = 0;
    }
    m_icon = std::make_unique<QSystemTrayIcon>();
    connect(m_icon.get(), &QSystemTrayIcon::activated, this, &TrayIcon::onActivated);
    setState(m_state);
    m_icon->show();
    m_hostDrawsMenu = !iconIsEmbedded();
    if (!m_hostDrawsMenu)
        return;
    m_icon->setContextMenu(m_menu.get());
    // The host may show what it fetched before it asks again: the menu it
    // holds follows every window that opens or closes, from any thread.
    ModalState::instance().setObserver(
        [this] { QMetaObject::invokeMethod(this, &TrayIcon::refreshMenu, Qt::QueuedConnection); });
}

void TrayIcon::timerEvent(QTimerEvent *event)
{
    if (event->timerId() != m_noticeTimer)
        return;
    killTimer(m_noticeTimer);
    m_noticeTimer = 0;
    if (!m_icon && m_wanted)
        emit trayMissing();
}

void TrayIcon::setState(State state)
{
    const bool changed = m_state != state;
    m_state = state;
    // The menu a host holds says whether the list is being built.
    if (changed)
        refreshMenu();
    if (!m_icon)
        return;
    m_icon->setIcon(state == State::Busy ? m_busyIcon : m_activeIcon);
    m_icon->setToolTip(toolTip());
}

void TrayIcon::remove()
{
    m_wanted = false;
    m_host->stop();
    if (m_noticeTimer) {
        killTimer(m_noticeTimer);
        m_noticeTimer = 0;
    }
    if (m_icon)
        m_icon->hide();
}

bool TrayIcon::isShown() const
{
    return m_icon && m_icon->isVisible();
}

QString TrayIcon::toolTip() const
{
    // The tray keeps at most 127 characters.
    return StringTable::text(m_state == State::Busy ? StringId::TrayBusy : StringId::TrayActive)
        .left(127);
}

std::unique_ptr<QMenu> TrayIcon::buildMenu(const UserList &users)
{
    auto menu = std::make_unique<QMenu>();
    fillMenu(*menu, users);
    return menu;
}

void TrayIcon::showOnlyTheWayBack()
{
    // A host that shows a menu while a window is open offers only the way
    // back to that window.
    clearMenu(*m_menu);
    QAction *action = m_menu->addAction(StringTable::text(StringId::MenuShowOpenWindow));
    connect(action, &QAction::triggered, this, [] { raiseOpenWindow(); });
}

void TrayIcon::showBuildingList()
{
    // A host that shows a menu while the list is being built says so.
    clearMenu(*m_menu);
    QAction *action = m_menu->addAction(StringTable::text(StringId::TrayBusy).section(u'\n', 0, 0));
    action->setEnabled(false);
}

void TrayIcon::refreshMenu()
{
    ModalState &modal = ModalState::instance();
    const bool windowOpen = modal.isOpen() && modal.windowToRaise();
    if (m_state == State::Busy && !windowOpen)
        return showBuildingList();
    if (modal.isOpen())
        return showOnlyTheWayBack();
    clearMenu(*m_menu);
    fillMenu(*m_menu, m_users);
    for (QAction *action : m_menu->actions()) {
        const QList<QAction *> items =
            action->menu() ? action->menu()->actions() : QList<QAction *>{action};
        for (QAction *item : items) {
            const int id = item->data().toInt();
            if (!id)
                continue;
            // The user the item was made for: the list may be rebuilt before
            // the choice arrives.
            const int index = userIndexOf(id);
            const std::optional<UserEntry> user = index >= 0 && index < m_users.size()
                                                      ? std::optional(m_users.at(index))
                                                      : std::nullopt;
            connect(item, &QAction::triggered, this, [this, id, user] { choose(id, user); });
        }
    }
}

int TrayIcon::userIndexOf(int id)
{
    if (id >= kSendMessageBase && id < kSendMessageBase + kMaxUsers)
        return id - kSendMessageBase;
    if (id >= kSendFileBase && id < kSendFileBase + kMaxUsers)
        return id - kSendFileBase;
    return -1;
}

void TrayIcon::choose(int id, const std::optional<UserEntry> &user)
{
    // The command runs once the menu has closed, as a posted command, and
    // only while no window of the program is open: a host may show a menu
    // it fetched before the window opened.
    QMetaObject::invokeMethod(
        this,
        [this, id, user] {
            if (raiseOpenWindow())
                return;
            int chosen = id;
            if (user) {
                // An item stands for the user it showed, wherever the list
                // has moved them since; for nobody once they are gone.
                const int index = userIndexOf(id);
                if (index >= m_users.size() || m_users.at(index) != *user) {
                    const qsizetype now = m_users.indexOf(*user);
                    if (now < 0 || now >= kMaxUsers)
                        return;
                    chosen = id - index + int(now);
                }
            }
            emit commandChosen(chosen);
        },
        Qt::QueuedConnection);
}

void TrayIcon::onActivated(QSystemTrayIcon::ActivationReason reason)
{
    // Only the right button opens anything; a host that draws the menu
    // itself opens it without the program.
    if (reason != QSystemTrayIcon::Context)
        return;
    if (m_hostDrawsMenu)
        raiseOpenWindow();
    else
        openMenuAt(QCursor::pos());
}

void TrayIcon::openMenuAt(const QPoint &position)
{
    if (raiseOpenWindow())
        return;
    m_menu->popup(position);
}
