#include "TrayIcon.h"

#include "TrayHost.h"
#include "core/base/StringTable.h"
#include "gui/ui/Artwork.h"
#include "gui/ui/ModalState.h"
#include "gui/ui/WindowPlacement.h"

#include <QApplication>
#include <QTimer>
#include <QCursor>
#include <QMenu>
#include <QTimerEvent>

namespace {

void addCommand(QMenu &menu, StringId text, int id)
{
    QAction *action = menu.addAction(StringTable::text(text));
    action->setData(id);
}

// Peer-supplied names are plain text: '&' must not become a mnemonic.
QString itemText(const UserEntry &user)
{
    QString text = user.displayText;
    text.replace(u'&', QStringLiteral("&&"));
    text.replace(u'\t', u' ');
    return text;
}

// Makes a user submenu show the users, changing only the items that differ:
// a host's menu importer may close a menu whose layout changes under it.
// New items are handed to `made`.
void syncUserMenu(QMenu &sub, int base, const UserList &users,
                  const std::function<void(QAction *)> &made)
{
    const qsizetype count = qMin<qsizetype>(users.size(), TrayIcon::kMaxUsers);
    QList<QAction *> items = sub.actions();
    for (qsizetype i = 0; i < count; ++i) {
        QAction *action = i < items.size() ? items.at(i) : nullptr;
        if (!action) {
            action = sub.addAction(QString());
            action->setData(base + int(i));
            made(action);
        }
        // Qt tells the host only of what really changes.
        action->setText(itemText(users.at(i)));
        action->setEnabled(!users.at(i).address.isAbsent());
    }
    for (qsizetype i = count; i < items.size(); ++i)
        delete items.at(i);
}

void fillMenu(QMenu &menu, const UserList &users,
              const std::function<void(QAction *)> &made = [](QAction *) {})
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
    syncUserMenu(*menu.addMenu(StringTable::text(StringId::MenuSendFile)), TrayIcon::kSendFileBase,
                 users, made);
    syncUserMenu(*menu.addMenu(StringTable::text(StringId::MenuSendMessage)),
                 TrayIcon::kSendMessageBase, users, made);
}

// Plasma reads a submenu's entries only as the submenu opens, after placing
// it as if empty: at the screen's right edge it then fills off screen. An
// entry taken out and put back tells a host that the submenu changed, so it
// reads the entries while the menu opens, before the user reaches them.
void announceEntries(QMenu &sub)
{
    const QList<QAction *> items = sub.actions();
    if (items.isEmpty())
        return;
    sub.removeAction(items.last());
    sub.addAction(items.last());
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
    // Made once; afterwards only what changes changes.
    fillMenu(*m_menu, {});
    for (QAction *action : m_menu->actions()) {
        const int id = action->data().toInt();
        if (id)
            connect(action, &QAction::triggered, this, [this, id] { choose(id, std::nullopt); });
        m_commands.append(action);
    }
    // After the commands: the way back to an open window, how many messages
    // wait behind it, and those put aside.
    m_wayBack = new QAction(StringTable::text(StringId::MenuShowOpenWindow), m_menu.get());
    connect(m_wayBack, &QAction::triggered, this, [] { raiseOpenWindow(); });
    m_waitingLine = new QAction(StringTable::format(StringId::TrayWaiting, {QStringLiteral("0")}),
                                m_menu.get());
    m_waitingLine->setEnabled(false);
    m_showPutAside = new QAction(
        StringTable::format(StringId::TrayShowPutAside, {QStringLiteral("0")}), m_menu.get());
    connect(m_showPutAside, &QAction::triggered, this, [this] {
        QMetaObject::invokeMethod(
            this, [this] { emit commandChosen(kShowPutAside); }, Qt::QueuedConnection);
    });
    m_menu->addActions({m_wayBack, m_waitingLine, m_showPutAside});
    m_building = m_menu->addAction(StringTable::text(StringId::TrayBusy).section(u'\n', 0, 0));
    m_building->setEnabled(false);
    // Opening the menu while a window is open also brings that window up,
    // unless the menu offers more than the way back (messages wait): a
    // window coming forward would close the menu.
    connect(m_menu.get(), &QMenu::aboutToShow, this, [this] {
        if (!floods())
            raiseOpenWindow();
        refreshMenu();
        if (m_hostDrawsMenu) {
            for (QAction *action : std::as_const(m_commands)) {
                if (action->menu() && action->isVisible())
                    announceEntries(*action->menu());
            }
        }
    });
    // The menu a host holds follows every window that opens or closes, from
    // any thread, from the start.
    ModalState::instance().setObserver(
        [this] { QMetaObject::invokeMethod(this, &TrayIcon::refreshMenu, Qt::QueuedConnection); });
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

bool TrayIcon::floods() const
{
    // Messages wait behind incoming windows, and nothing else is open.
    return m_waiting > 0 && m_incomingOpen > 0 &&
           ModalState::instance().openCount() <= m_incomingOpen;
}

void TrayIcon::refreshMenu()
{
    // One of four faces: the commands and the users; while a window of the
    // program is open, only the way back to it; while messages wait behind
    // incoming windows, the way back, how many wait and the commands (one
    // chosen puts the messages aside); while the list is being built, a
    // line that says so. Switching shows and hides items.
    ModalState &modal = ModalState::instance();
    const bool windowOpen = modal.isOpen() && modal.windowToRaise();
    const bool building = m_state == State::Busy && !windowOpen;
    const bool flood = !building && modal.isOpen() && floods();
    const bool wayBack = !building && modal.isOpen();
    const bool commands = !building && (!wayBack || flood);
    for (QAction *action : std::as_const(m_commands))
        action->setVisible(commands);
    m_wayBack->setVisible(wayBack);
    m_waitingLine->setVisible(flood);
    m_showPutAside->setVisible(commands && !wayBack && m_putAside && m_waiting > 0);
    m_building->setVisible(building);
    if (!commands)
        return;
    for (QAction *action : std::as_const(m_commands)) {
        QMenu *sub = action->menu();
        if (!sub)
            continue;
        const int base =
            sub == m_commands.at(kSendFileItem)->menu() ? kSendFileBase : kSendMessageBase;
        syncUserMenu(*sub, base, m_users, [this](QAction *item) {
            const int id = item->data().toInt();
            // The user the item shows when it is chosen.
            connect(item, &QAction::triggered, this, [this, id] {
                const int index = userIndexOf(id);
                choose(id, index < m_shown.size() ? std::optional(m_shown.at(index))
                                                  : std::nullopt);
            });
        });
    }
    m_shown = m_users.mid(0, kMaxUsers);
}

void TrayIcon::setWaiting(int waiting, int incomingOpen, bool putAside)
{
    if (waiting == m_waiting && incomingOpen == m_incomingOpen && putAside == m_putAside)
        return;
    m_waiting = waiting;
    m_incomingOpen = incomingOpen;
    m_putAside = putAside;
    m_waitingLine->setText(StringTable::format(StringId::TrayWaiting, {QString::number(waiting)}));
    m_showPutAside->setText(
        StringTable::format(StringId::TrayShowPutAside, {QString::number(waiting)}));
    refreshMenu();
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
            if (!floods() && raiseOpenWindow())
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
    // Behind incoming windows messages wait: the menu shows the way back and
    // the commands.
    if (!floods() && raiseOpenWindow())
        return;
    // While a window of the program is active, the click on the icon moves
    // the activation to the icon's window a moment later, which would close
    // a menu opened at once.
    if (QApplication::activeWindow()) {
        QTimer::singleShot(kMenuAfterActivationMs, this, [this, position] {
            if (!m_menu->isVisible())
                m_menu->popup(position);
        });
        return;
    }
    m_menu->popup(position);
}
