#include "TrayIcon.h"

#include "Artwork.h"
#include "ModalState.h"
#include "StringTable.h"
#include "WindowPlacement.h"

#include <QApplication>
#include <QCursor>
#include <QMenu>

namespace {

void addCommand(QMenu *menu, StringId text, int id)
{
    QAction *action = menu->addAction(StringTable::text(text));
    action->setData(id);
}

void addUserMenu(QMenu *menu, StringId title, int base, const UserList &users)
{
    QMenu *sub = menu->addMenu(StringTable::text(title));
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

// The window to raise, if it is still one of the program's windows.
QWidget *liveWindow(QObject *handle)
{
    if (!handle)
        return nullptr;
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (w == handle)
            return w;
    }
    return nullptr;
}

} // namespace

TrayIcon::TrayIcon(const UserList &users, QObject *parent)
    : QObject(parent), m_users(users), m_icon(std::make_unique<QSystemTrayIcon>()),
      m_activeIcon(Artwork::icon(QStringLiteral(":/icons/tarvello-active.svg"))),
      m_busyIcon(Artwork::icon(QStringLiteral(":/icons/tarvello-busy.svg")))
{
    connect(m_icon.get(), &QSystemTrayIcon::activated, this, &TrayIcon::onActivated);
}

TrayIcon::~TrayIcon() = default;

void TrayIcon::add()
{
    setState(State::Busy);
    m_icon->show();
}

void TrayIcon::setState(State state)
{
    m_state = state;
    m_icon->setIcon(state == State::Busy ? m_busyIcon : m_activeIcon);
    m_icon->setToolTip(toolTip());
}

void TrayIcon::remove()
{
    m_icon->hide();
}

bool TrayIcon::isShown() const
{
    return m_icon->isVisible();
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
    addCommand(menu.get(), StringId::MenuAbout, kAbout);
    addCommand(menu.get(), StringId::MenuDocumentation, kDocumentation);
    menu->addSeparator();
    addCommand(menu.get(), StringId::MenuSettings, kSettings);
    menu->addSeparator();
    addCommand(menu.get(), StringId::MenuRefresh, kRefresh);
    addCommand(menu.get(), StringId::MenuLog, kLog);
    addCommand(menu.get(), StringId::MenuAddressBook, kAddressBook);
    menu->addSeparator();
    addCommand(menu.get(), StringId::MenuExit, kExit);
    menu->addSeparator();
    addUserMenu(menu.get(), StringId::MenuSendFile, kSendFileBase, users);
    addUserMenu(menu.get(), StringId::MenuSendMessage, kSendMessageBase, users);
    return menu;
}

void TrayIcon::onActivated(QSystemTrayIcon::ActivationReason reason)
{
    // Only the right button opens anything.
    if (reason == QSystemTrayIcon::Context)
        openMenuAt(QCursor::pos());
}

void TrayIcon::openMenuAt(const QPoint &position)
{
    ModalState &modal = ModalState::instance();
    if (modal.ModalWindowOpen) {
        if (QWidget *window = liveWindow(modal.ModalWindowHandle))
            bringToFront(window);
        return;
    }
    QMenu *menu = buildMenu(m_users).release();
    menu->setAttribute(Qt::WA_DeleteOnClose);
    connect(menu, &QMenu::triggered, this, [this](QAction *action) {
        const int id = action->data().toInt();
        // The command runs once the menu has closed, as a posted command.
        QMetaObject::invokeMethod(
            this, [this, id] { emit commandChosen(id); }, Qt::QueuedConnection);
    });
    menu->popup(position);
}
