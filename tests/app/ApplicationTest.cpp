#include "app/Application.h"
#include "core/directory/AddressBook.h"
#include "core/platform/CodePage.h"
#include "core/platform/ComputerName.h"
#include "gui/messaging/IncomingMessageWindow.h"
#include "gui/ui/AboutWindow.h"
#include "gui/ui/FirstStartWindow.h"
#include "gui/ui/ModalState.h"
#include "gui/ui/NoTrayWindow.h"
#include "support/GuiTestMain.h"

#include "net/TestSupport.h"
#include "support/FakeDirectory.h"
#include "support/FakePrompts.h"
#include "support/TestServices.h"
#include "support/Widgets.h"

#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <thread>

using namespace TestSupport;

namespace {

struct MenuItem {
    QString text;
    int id;
    bool enabled;
};

QList<MenuItem> itemsOf(const QMenu *menu)
{
    QList<MenuItem> items;
    for (QAction *a : menu->actions()) {
        if (a->isSeparator())
            items.append({QStringLiteral("-"), 0, true});
        else
            items.append({a->text(), a->data().toInt(), a->isEnabled()});
    }
    return items;
}

// A desktop whose tray the test brings up when it likes.
class FakeTrayHost : public TrayHost {
public:
    void watch() override { watching = true; }
    void stop() override { watching = false; }
    void appear()
    {
        if (watching)
            emit found();
    }
    bool watching = false;
};

QStringList visibleTexts(const QMenu *menu)
{
    QStringList texts;
    for (QAction *a : menu->actions()) {
        if (a->isVisible())
            texts << (a->isSeparator() ? QStringLiteral("-") : a->text());
    }
    return texts;
}

QAction *visibleAction(const QMenu *menu, int index)
{
    QList<QAction *> visible;
    for (QAction *a : menu->actions()) {
        if (a->isVisible())
            visible << a;
    }
    return visible.value(index);
}

} // namespace

class ApplicationTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    FakePrompts *m_prompts = nullptr;

    QString configPath() const { return m_dir.filePath(QStringLiteral("Tarvello.conf")); }

    void writeConfig(quint16 messagePort, quint16 dataPort)
    {
        Settings s;
        s.ListeningPort = messagePort;
        s.ListeningDataPort = dataPort;
        QVERIFY(SettingsStore(configPath()).save(s));
    }

    quint16 m_dataPort = 0;

    // Stored settings with two free ports; the message port.
    quint16 configureFreePorts()
    {
        const quint16 messagePort = freeConfiguredPort();
        m_dataPort = freeConfiguredPort();
        writeConfig(messagePort, m_dataPort);
        return messagePort;
    }

    // A program whose user list comes from fakes and a private address
    // book, never from the machine's network.
    struct Directory {
        FakeBrowser *browser = nullptr;
        FakeResolver *resolver = nullptr;
    };
    ApplicationServices services(Directory *directory = nullptr)
    {
        Directory unused;
        Directory &d = directory ? *directory : unused;
        return testServices(m_dir.path(), &d.browser, &d.resolver);
    }

    void exitProgram(Application &main)
    {
        QSignalSpy finished(&main, &Application::finished);
        QVERIFY(main.dispatchCommand(32772));
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished.at(0).at(0).toInt(), 32772);
        QVERIFY(!main.listeners().isRunning());
    }

private slots:
    void init()
    {
        QFile::remove(configPath());
        m_prompts = new FakePrompts;
        ModalState::instance().end();
    }
    void cleanup()
    {
        delete m_prompts;
        m_prompts = nullptr;
    }

    void menuHoldsTheCommandsAndTheUsers()
    {
        UserList users = {
            {QStringLiteral("PC1, IP = 10.0.0.1"), Ipv4Address{{10, 0, 0, 1}}},
            {QStringLiteral("Бухгалтерия (PC12, отсутствует в сети)"), Ipv4Address{}},
            {QStringLiteral("R&D* (IP = 10.1.2.3)"), Ipv4Address{{10, 1, 2, 3}}},
        };
        const auto menu = TrayIcon::buildMenu(users);
        const QList<MenuItem> items = itemsOf(menu.get());
        const QStringList texts = [&] {
            QStringList t;
            for (const auto &i : items)
                t << i.text;
            return t;
        }();
        QCOMPARE(texts, (QStringList{"О программе", "Документация...", "-", "Настройка...", "-",
                                     "Обновить список пользователей", "Лог сообщений...",
                                     "Адресная книга...", "-", "Выход", "-", "Отправить файл",
                                     "Отправить сообщение"}));
        const QList<int> ids = {32775, 32781, 0, 10000, 0, 32774, 32779, 10001, 0, 32772};
        for (int i = 0; i < ids.size(); ++i)
            QCOMPARE(items.at(i).id, ids.at(i));

        const QList<QAction *> actions = menu->actions();
        for (auto [position, base] : {std::pair{11, 12010}, std::pair{12, 10010}}) {
            const QMenu *sub = actions.at(position)->menu();
            QVERIFY(sub);
            const QList<MenuItem> users = itemsOf(sub);
            QCOMPARE(users.size(), 3);
            QCOMPARE(users.at(0).text, QStringLiteral("PC1, IP = 10.0.0.1"));
            QCOMPARE(users.at(2).id, base + 2);
            QVERIFY(users.at(0).enabled);
            QVERIFY(!users.at(1).enabled); // absent: greyed
            QVERIFY(users.at(2).enabled);
            // A name from the network is text, not a mnemonic.
            QCOMPARE(users.at(2).text, QStringLiteral("R&&D* (IP = 10.1.2.3)"));
        }
    }

    void emptyUserListGivesTwoEmptySubmenus()
    {
        const auto menu = TrayIcon::buildMenu({});
        const QList<QAction *> actions = menu->actions();
        QCOMPARE(actions.size(), 13);
        QVERIFY(actions.at(11)->menu() && actions.at(11)->menu()->actions().isEmpty());
        QVERIFY(actions.at(12)->menu() && actions.at(12)->menu()->actions().isEmpty());
    }

    void commandIdsOutsideTheTableAreIgnored()
    {
        Application main{services()};
        for (int id : {11010, 12009, 13010, 20000, 0, 3})
            QVERIFY2(!main.dispatchCommand(id), qPrintable(QString::number(id)));
        for (int id : {1, 2, 10010, 11009, 12010, 13009})
            QVERIFY(main.dispatchCommand(id));
        QVERIFY(!main.listeners().isRunning());
    }

    void firstStartWritesDefaultsAndShowsTheWindow()
    {
        Application main{services()};
        bool sawWindow = false;
        TrayIcon::State stateDuringWindow = TrayIcon::State::Busy;
        QTimer::singleShot(0, this, [&] {
            QVERIFY(
                waitUntil([] { return Widgets::visibleWindow<FirstStartWindow>() != nullptr; }));
            FirstStartWindow *window = Widgets::visibleWindow<FirstStartWindow>();
            sawWindow = true;
            stateDuringWindow = main.tray().state();
            QCOMPARE(window->windowTitle(),
                     QStringLiteral("Tarvello 2.0. Информация для пользователя"));
            // The listeners wait for the window.
            QVERIFY(!main.listeners().isRunning());
            QVERIFY(QFile::exists(configPath()));
            auto *close = window->findChild<QPushButton *>();
            QCOMPARE(close->text(), QStringLiteral("Закрыть"));
            QTest::mouseClick(close, Qt::LeftButton);
        });
        main.startUp();
        QVERIFY(sawWindow);
        QVERIFY(main.isFirstStart());
        QCOMPARE(stateDuringWindow, TrayIcon::State::Active);
        QCOMPARE(main.tray().state(), TrayIcon::State::Active);
        QCOMPARE(main.tray().toolTip(), QStringLiteral("Tarvello: активен"));
        QVERIFY(main.listeners().isRunning());
        QSettings raw(configPath(), QSettings::IniFormat);
        QCOMPARE(raw.value("ListeningPort").toInt(), 1024);
        QCOMPARE(raw.value("ListeningDataPort").toInt(), 33277);
        QCOMPARE(raw.value("AutoPlaySound").toInt(), 0);
        QCOMPARE(raw.value("UseNetSendByDeault").toInt(), 0);
        exitProgram(main);
    }

    // A signal while the program is being set up: the start-up that was
    // due does nothing (no settings written, no window, no icon, no port).
    void sessionEndDuringSetUpStartsNothing()
    {
        Application main{services()};
        main.shutDown();
        main.startUp();
        QVERIFY(!QFile::exists(configPath()));
        QVERIFY(!main.tray().isShown());
        QVERIFY(!main.listeners().isRunning());
    }

    void storedEqualPortsMeanAFirstStart()
    {
        writeConfig(5000, 5000);
        Application main{services()};
        QTimer::singleShot(0, this, [] {
            QVERIFY(
                waitUntil([] { return Widgets::visibleWindow<FirstStartWindow>() != nullptr; }));
            Widgets::visibleWindow<FirstStartWindow>()->accept();
        });
        main.startUp();
        QVERIFY(main.isFirstStart());
        QCOMPARE(main.settings().get(), Settings());
        exitProgram(main);
    }

    void messageOpensItsWindowAndIsLoggedWhenClosed()
    {
        const quint16 messagePort = freeConfiguredPort();
        const quint16 dataPort = freeConfiguredPort();
        writeConfig(messagePort, dataPort);
        Application main{services()};
        main.startUp();
        QVERIFY(!main.isFirstStart());
        QVERIFY(!Widgets::visibleWindow<FirstStartWindow>());
        QVERIFY(main.listeners().isRunning());

        QVERIFY(waitListening(messagePort));
        const QString text = QStringLiteral("Сообщение от PC2:\r\nПривет");
        QVERIFY(sendAndClose(messagePort, CodePage::ansi().fromUnicode(text)));
        QVERIFY(
            waitUntil([] { return Widgets::visibleWindow<IncomingMessageWindow>() != nullptr; }));
        IncomingMessageWindow *window = Widgets::visibleWindow<IncomingMessageWindow>();
        QCOMPARE(window->text(), text);
        QVERIFY(ModalState::instance().isOpen());
        QCOMPARE(ModalState::instance().windowToRaise(), window);
        QCOMPARE(main.log().size(), 0);
        window->reject();
        QVERIFY(waitUntil([&] { return main.log().size() == 1; }));
        QCOMPARE(main.log().entries().at(0).text, text);
        QVERIFY(waitUntil([] { return !ModalState::instance().isOpen(); }));
        exitProgram(main);
    }

    void anIncomingWindowClosingLeavesTheCommandInCharge()
    {
        const quint16 messagePort = configureFreePorts();
        Application main{services()};
        main.startUp();
        QVERIFY(waitListening(messagePort));
        bool menuOpened = true;
        bool raisesAbout = false;
        QTimer::singleShot(0, this, [&] {
            QVERIFY(waitUntil([] { return Widgets::visibleWindow<AboutWindow>() != nullptr; }));
            // A message comes and its window is closed while About is open.
            QVERIFY(sendAndClose(messagePort, QByteArray("hello")));
            QVERIFY(waitUntil(
                [] { return Widgets::visibleWindow<IncomingMessageWindow>() != nullptr; }));
            Widgets::visibleWindow<IncomingMessageWindow>()->accept();
            QVERIFY(waitUntil([&] { return main.log().size() == 1; }));
            // About still runs: a right click opens no menu and raises About.
            main.tray().openMenuAt(QPoint(10, 10));
            QTest::qWait(20);
            menuOpened = Widgets::visibleWindow<QMenu>() != nullptr;
            raisesAbout = qobject_cast<AboutWindow *>(ModalState::instance().windowToRaise());
            Widgets::visibleWindow<AboutWindow>()->accept();
        });
        QVERIFY(main.dispatchCommand(32775));
        QVERIFY(!menuOpened);
        QVERIFY(raisesAbout);
        QVERIFY(!ModalState::instance().isOpen());
        exitProgram(main);
    }

    // Closes each incoming message window as it appears, noting its text.
    QStringList closeIncomingWindows(int count)
    {
        QStringList seen;
        for (int i = 0; i < count; ++i) {
            if (!waitUntil(
                    [] { return Widgets::visibleWindow<IncomingMessageWindow>() != nullptr; }))
                break;
            IncomingMessageWindow *w = Widgets::visibleWindow<IncomingMessageWindow>();
            seen << w->text();
            w->accept();
            waitUntil([w] { return Widgets::visibleWindow<IncomingMessageWindow>() != w; });
        }
        return seen;
    }

    void exitWaitsForTheWindowOnScreenAndKeepsTheRest()
    {
        const quint16 messagePort = configureFreePorts();
        {
            Application main{services()};
            main.startUp();
            QVERIFY(waitListening(messagePort));
            for (const char *text : {"last words", "one more", "and another"})
                QVERIFY(sendAndClose(messagePort, QByteArray(text)));
            QVERIFY(waitUntil([&] { return main.listeners().messages().size() == 2; }));
            // Behind the window on screen, the tray says how many wait and
            // offers the commands.
            const auto item = [&](const QString &text) -> QAction * {
                for (QAction *a : main.tray().menu()->actions()) {
                    if (a->isVisible() && a->text() == text)
                        return a;
                }
                return nullptr;
            };
            QVERIFY(waitUntil([&] { return item(QStringLiteral("Ожидают показа: 2")); }));
            QVERIFY(item(QStringLiteral("Показать открытое окно Tarvello")));
            // A command chosen puts them aside: the window closes unread,
            // and the tray offers to show them again.
            item(QStringLiteral("Обновить список пользователей"))->trigger();
            QVERIFY(waitUntil([&] { return item(QStringLiteral("Показать отложенные сообщения: 3")); }));
            QVERIFY(!Widgets::visibleWindow<IncomingMessageWindow>());
            item(QStringLiteral("Показать отложенные сообщения: 3"))->trigger();
            QVERIFY(waitUntil([&] { return item(QStringLiteral("Ожидают показа: 2")); }));
            const QList<QAction *> shown = {nullptr, nullptr, item(QStringLiteral("Выход"))};
            QVERIFY(shown.at(2));
            QSignalSpy finished(&main, &Application::finished);
            // The user closes the window on screen once Exit has begun.
            QStringList seen;
            QTimer closer;
            connect(&closer, &QTimer::timeout, this, [&] {
                if (main.tray().isShown())
                    return;
                closer.stop();
                seen = closeIncomingWindows(1);
            });
            closer.start(50);
            shown.at(2)->trigger();
            QVERIFY(waitUntil([&] { return finished.size() == 1; }));
            QCOMPARE(seen, QStringList{"last words"});
            QVERIFY(!main.tray().isShown());
            QTcpSocket probe;
            QVERIFY(!connectClient(probe, messagePort));
        }
        // The next start shows what waited.
        Application next{services()};
        next.startUp();
        QCOMPARE(closeIncomingWindows(2), (QStringList{"one more", "and another"}));
        QVERIFY(waitUntil([&] { return next.log().size() == 2; }));
        exitProgram(next);
    }

    void sessionEndKeepsUnshownMessagesForTheNextStart()
    {
        const quint16 messagePort = configureFreePorts();
        {
            Application main{services()};
            main.startUp();
            QVERIFY(waitListening(messagePort));
            for (const char *text : {"shown", "kept 1", "kept 2"})
                QVERIFY(sendAndClose(messagePort, QByteArray(text)));
            QVERIFY(waitUntil([&] { return main.listeners().messages().size() == 2; }));
            QVERIFY(waitUntil(
                [] { return Widgets::visibleWindow<IncomingMessageWindow>() != nullptr; }));
            QSignalSpy finished(&main, &Application::finished);
            main.shutDown();
            QCOMPARE(finished.size(), 1);
            QVERIFY(!Widgets::visibleWindow<IncomingMessageWindow>());
        }
        // The next start shows them one by one, and only once: also the one
        // on screen at the session's end, which nobody had read.
        for (const QStringList &expected :
             {QStringList{"shown", "kept 1", "kept 2"}, QStringList{}}) {
            Application next{services()};
            next.startUp();
            QCOMPARE(closeIncomingWindows(expected.size()), expected);
            QVERIFY(waitUntil([&] { return next.log().size() == expected.size(); }));
            exitProgram(next);
        }
    }

    void rightClickWhileAWindowIsOpenRaisesIt()
    {
        Application main{services()};
        QWidget window;
        window.setWindowTitle(QStringLiteral("open command"));
        window.show();
        ModalState::instance().begin();
        ModalState::instance().track(&window);
        main.tray().openMenuAt(QPoint(100, 100));
        QVERIFY(!QApplication::activePopupWidget());
        QVERIFY(!Widgets::visibleWindow<QMenu>());
        // Without an open window the menu opens.
        ModalState::instance().end();
        main.tray().openMenuAt(QPoint(100, 100));
        QVERIFY(waitUntil([] { return Widgets::visibleWindow<QMenu>() != nullptr; }));
        Widgets::visibleWindow<QMenu>()->close();
    }

    void menuItemsStandForTheUsersTheyShowed()
    {
        // The list is rebuilt while a host still shows the menu it fetched.
        UserList users = {{QStringLiteral("PC1, IP = 10.0.0.1"), Ipv4Address{{10, 0, 0, 1}}},
                          {QStringLiteral("PC2, IP = 10.0.0.2"), Ipv4Address{{10, 0, 0, 2}}}};
        TrayIcon tray(users);
        tray.setState(TrayIcon::State::Active);
        QSignalSpy chosen(&tray, &TrayIcon::commandChosen);
        const QList<QAction *> items = tray.menu()->actions().at(12)->menu()->actions();
        users.removeFirst();
        items.at(0)->trigger(); // PC1: gone, nothing happens
        items.at(1)->trigger(); // PC2: now first
        QVERIFY(waitUntil([&] { return chosen.size() == 1; }));
        QTest::qWait(20);
        QCOMPARE(chosen.size(), 1);
        QCOMPARE(chosen.at(0).at(0).toInt(), TrayIcon::kSendMessageBase);
    }

    void hostDrawnMenuIsCurrentAndLeadsBackToAnOpenWindow()
    {
        // Qt's test platform has no XEmbed tray: the icon's host draws the
        // menu it is handed, as a StatusNotifier host does.
        UserList users = {{QStringLiteral("PC1, IP = 10.0.0.1"), Ipv4Address{{10, 0, 0, 1}}}};
        TrayIcon tray(users);
        QSignalSpy chosen(&tray, &TrayIcon::commandChosen);
        tray.add();
        QVERIFY(tray.isShown());
        QVERIFY(tray.hostDrawsMenu());
        QCOMPARE(tray.systemTrayIcon()->contextMenu(), tray.menu());
        // While the list is being built the menu says so, and offers nothing.
        QCOMPARE(visibleTexts(tray.menu()),
                 QStringList{"Tarvello: составление списка пользователей..."});
        QVERIFY(!visibleAction(tray.menu(), 0)->isEnabled());
        tray.setState(TrayIcon::State::Active);
        QCOMPARE(visibleTexts(tray.menu()).size(), 13);
        QCOMPARE(visibleTexts(tray.menu()).at(9), QStringLiteral("Выход"));

        // The list changed: the next opening shows it, changing only the
        // items that differ; an opening with nothing new changes nothing.
        users.append({QStringLiteral("PC2, IP = 10.0.0.2"), Ipv4Address{{10, 0, 0, 2}}});
        emit tray.menu()->aboutToShow();
        const QList<QAction *> items = tray.menu()->actions().at(12)->menu()->actions();
        QCOMPARE(items.size(), 2);
        QSignalSpy first(items.at(0), &QAction::changed);
        QSignalSpy second(items.at(1), &QAction::changed);
        QSignalSpy menuChanged(tray.menu()->actions().at(12), &QAction::changed);
        emit tray.menu()->aboutToShow();
        users[1].displayText = QStringLiteral("Второй (PC2, IP = 10.0.0.2)");
        emit tray.menu()->aboutToShow();
        QCOMPARE(tray.menu()->actions().at(12)->menu()->actions(), items);
        QCOMPARE(first.size(), 0);
        QCOMPARE(second.size(), 1);
        QCOMPARE(menuChanged.size(), 0);
        QCOMPARE(items.at(1)->text(), QStringLiteral("Второй (PC2, IP = 10.0.0.2)"));
        QAction *exit = tray.menu()->actions().at(9);

        // A window opens: the menu the host holds becomes the way back to it,
        // and a command picked from a menu fetched before starts nothing.
        QWidget window;
        window.show();
        ModalState::instance().begin();
        ModalState::instance().track(&window);
        QVERIFY(waitUntil([&] { return visibleTexts(tray.menu()).size() == 1; }, 2000));
        QCOMPARE(visibleTexts(tray.menu()), QStringList{"Показать открытое окно Tarvello"});
        users.clear();
        visibleAction(tray.menu(), 0)->trigger();
        QTest::qWait(20);
        QCOMPARE(chosen.size(), 0);

        ModalState::instance().end();
        QVERIFY(waitUntil([&] { return visibleTexts(tray.menu()).size() == 13; }, 2000));
        exit = tray.menu()->actions().at(9);
        ModalState::instance().begin();
        exit->trigger(); // the window opened between the click and the command
        QTest::qWait(20);
        QCOMPARE(chosen.size(), 0);
        ModalState::instance().end();
        QVERIFY(waitUntil([&] { return visibleTexts(tray.menu()).size() == 13; }, 2000));
        tray.menu()->actions().at(9)->trigger();
        QVERIFY(waitUntil([&] { return chosen.size() == 1; }, 2000));
        QCOMPARE(chosen.at(0).at(0).toInt(), 32772);
    }

    void iconWaitsForALateTrayAndTheNoticeSaysWhy()
    {
        Application main{services()};
        auto host = std::make_unique<FakeTrayHost>();
        FakeTrayHost *tray = host.get();
        TrayIcon icon({}, std::move(host));
        icon.setNoTrayNoticeDelay(200);
        QSignalSpy missing(&icon, &TrayIcon::trayMissing);
        icon.add();
        QVERIFY(tray->watching);
        QVERIFY(!icon.isShown());
        QVERIFY(!icon.systemTrayIcon());
        QVERIFY(missing.wait(2000));
        tray->appear();
        QVERIFY(icon.isShown());
        QCOMPARE(icon.systemTrayIcon()->toolTip(),
                 QStringLiteral("Tarvello: составление списка пользователей...\nЭто может занять "
                                "несколько минут в случае большой или сильно загруженной сети.")
                     .left(127));
        icon.remove();
        QVERIFY(!icon.isShown());

        // The program's own notice, without a tray, while start-up goes on.
        emit main.tray().trayMissing();
        auto *notice = Widgets::visibleWindow<NoTrayWindow>();
        QVERIFY(notice);
        QCOMPARE(notice->windowTitle(), QStringLiteral("Tarvello"));
        const QString text = notice->findChild<QLabel *>(QStringLiteral("text"))->text();
        QVERIFY2(text.contains(QStringLiteral("область уведомлений")), qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral("AppIndicator")), qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral("значок появится")), qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral("waybar")), qPrintable(text));
        // It never covers an incoming window: it steps aside and comes back.
        std::thread listener([&] { main.incomingWindows().showMessage(QStringLiteral("x")); });
        QVERIFY(waitUntil([] { return Widgets::visibleWindow<IncomingMessageWindow>(); }));
        QVERIFY(!notice->isVisible());
        Widgets::visibleWindow<IncomingMessageWindow>()->accept();
        listener.join();
        QVERIFY(waitUntil([&] { return notice->isVisible(); }));
        QTest::mouseClick(Widgets::button(notice, QStringLiteral("Закрыть")), Qt::LeftButton);
        QVERIFY(!notice->isVisible());
    }

    void startUpAndRefreshBuildTheUserList()
    {
        const quint16 messagePort = configureFreePorts();
        Directory directory;
        Application main{services(&directory)};
        directory.browser->addComputer(QStringLiteral("PC1"));
        directory.resolver->addresses = {{"PC1", Ipv4Address{{10, 0, 0, 1}}}};
        AddressBook book;
        book.append(
            {QStringLiteral("Склад"), EntryKind::IpAddress, {}, Ipv4Address{{172, 16, 0, 9}}});
        QVERIFY(book.save(main.addressBookFile()));
        main.startUp();
        QCOMPARE(main.userList().size(), 2);
        QCOMPARE(main.userList().at(0).displayText, QStringLiteral("PC1, IP = 10.0.0.1"));
        QCOMPARE(main.userList().at(1).displayText, QStringLiteral("Склад* (IP = 172.16.0.9)"));
        QVERIFY(!ModalState::instance().isOpen());
        QVERIFY(waitListening(messagePort));

        // A slow refresh: the GUI goes on meanwhile.
        directory.browser->addComputer(QStringLiteral("PC2"));
        directory.resolver->addresses.insert(QStringLiteral("PC2"), Ipv4Address{{10, 0, 0, 2}});
        directory.resolver->delayMs = 1500;
        bool busyMeanwhile = false;
        bool menuBlocked = false;
        bool messageShownMeanwhile = false;
        QTimer::singleShot(100, this, [&] {
            busyMeanwhile = main.tray().state() == TrayIcon::State::Busy &&
                            main.tray().toolTip().startsWith(
                                QStringLiteral("Tarvello: составление списка пользователей..."));
            main.tray().openMenuAt(QPoint(10, 10));
            menuBlocked = ModalState::instance().isOpen() && !Widgets::visibleWindow<QMenu>();
            sendAndClose(messagePort, QByteArray("during the build"));
            messageShownMeanwhile = waitUntil(
                [] { return Widgets::visibleWindow<IncomingMessageWindow>() != nullptr; }, 1000);
            if (messageShownMeanwhile)
                Widgets::visibleWindow<IncomingMessageWindow>()->accept();
        });
        QVERIFY(main.dispatchCommand(32774));
        QVERIFY(busyMeanwhile);
        QVERIFY(menuBlocked);
        QVERIFY(messageShownMeanwhile);
        QCOMPARE(main.userList().size(), 3);
        QCOMPARE(main.userList().at(1).displayText, QStringLiteral("PC2, IP = 10.0.0.2"));
        QCOMPARE(main.tray().state(), TrayIcon::State::Active);
        QCOMPARE(main.tray().toolTip(), QStringLiteral("Tarvello: активен"));
        QCOMPARE(directory.browser->rescans.load(), 1);

        // Computers coming and going rebuild the list by themselves: a burst
        // of changes from the network's thread gives one rebuild.
        directory.resolver->delayMs = 0;
        directory.browser->addComputer(QStringLiteral("PC3"));
        directory.resolver->addresses.insert(QStringLiteral("PC3"), Ipv4Address{{10, 0, 0, 3}});
        const int builds = directory.browser->calls;
        std::thread([&] {
            for (int i = 0; i < 5; ++i)
                directory.browser->changed();
        }).join();
        QVERIFY(waitUntil([&] { return main.userList().size() == 4; }, 4000));
        QTest::qWait(300);
        QCOMPARE(directory.browser->calls - builds, 1);
        QCOMPARE(directory.browser->rescans.load(), 1);

        // The message listener's port is announced while it is held, and
        // withdrawn at Exit.
        const QString announced =
            QStringLiteral("%1 %2 %3")
                .arg(ComputerName::localHostName(), QString::number(wire(messagePort)),
                     QString::number(wire(m_dataPort)));
        QCOMPARE(directory.browser->announced(), QStringList{announced});
        exitProgram(main);
        QCOMPARE(directory.browser->announced(), (QStringList{announced, "withdrawn"}));
    }

    void unusablePortIsReportedOnce()
    {
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress::Any, 0));
        const quint16 messagePort = wire(squatter.serverPort());
        writeConfig(messagePort, freeConfiguredPort());
        Application main{services()};
        main.startUp();
        QVERIFY(waitUntil([&] { return !m_prompts->informed.isEmpty(); }));
        QTest::qWait(1500);
        QCOMPARE(m_prompts->informed.size(), 1);
        const QString text = m_prompts->informed.at(0).text;
        QCOMPARE(m_prompts->informed.at(0).caption, QStringLiteral("Предупреждение"));
        QVERIFY2(text.contains(QStringLiteral("порт TCP %1").arg(squatter.serverPort())),
                 qPrintable(text));
        QVERIFY2(text.contains(QStringLiteral("занят")), qPrintable(text));
        exitProgram(main);

        // An ordinary user may not open TCP port 4: the notice gives the fix
        // for this very executable.
        ListenerObserver &observer = main;
        observer.portUnavailable(ListenerKind::Message, 1024, EACCES);
        QVERIFY(waitUntil([&] { return m_prompts->informed.size() == 2; }));
        const QString privileged = m_prompts->informed.at(1).text;
        QVERIFY2(privileged.contains(QStringLiteral("порт TCP 4 (в настройках программы 1024)")),
                 qPrintable(privileged));
        QVERIFY2(privileged.contains(QStringLiteral("sudo setcap cap_net_bind_service=+ep ") +
                                     QCoreApplication::applicationFilePath()),
                 qPrintable(privileged));

        // Both ports the same (the settings window allows it): Tarvello
        // itself holds the port, and the notice says so.
        Settings same = main.settings().get();
        same.ListeningDataPort = same.ListeningPort;
        main.settings().set(same);
        observer.portUnavailable(ListenerKind::Data, same.ListeningPort, EADDRINUSE);
        QVERIFY(waitUntil([&] { return m_prompts->informed.size() == 3; }));
        const QString own = m_prompts->informed.at(2).text;
        QVERIFY2(own.contains(QStringLiteral("этот же порт задан и для сообщений")) &&
                     !own.contains(QStringLiteral("другой программой")),
                 qPrintable(own));
    }
};

TARVELLO_GUI_TEST_MAIN(ApplicationTest)
#include "ApplicationTest.moc"
