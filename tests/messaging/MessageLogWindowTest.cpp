#include "gui/messaging/MessageLogWindow.h"
#include "app/Application.h"
#include "core/base/MessageLog.h"
#include "gui/ui/ModalState.h"
#include "support/GuiTestMain.h"
#include "support/TestServices.h"

#include "net/TestSupport.h"

#include <QApplication>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include "support/Widgets.h"

using Widgets::button;
#include <QTimer>

namespace {

QString shown(const MessageLog &log)
{
    return log.formatAll().replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

} // namespace

class MessageLogWindowTest : public QObject {
    Q_OBJECT

private slots:
    void emptyLogSaysSo()
    {
        MessageLog log;
        MessageLogWindow window(log);
        window.show();
        QCOMPARE(window.windowTitle(), QStringLiteral("Лог сообщений"));
        QCOMPARE(window.shownText(), QStringLiteral("Входящих и исходящих сообщений нет"));
        QVERIFY(window.windowFlags() & Qt::Tool);
        auto *note = window.findChild<QLabel *>();
        QCOMPARE(
            note->text(),
            QStringLiteral("Внимание: сообщения сохраняются только во время работы программы"));
        QCOMPARE(note->frameShadow(), QFrame::Sunken);
        QVERIFY(note->alignment() & Qt::AlignHCenter);
    }

    void showsEntriesOldestFirstAndIsASnapshot()
    {
        MessageLog log;
        log.append(QStringLiteral("Сообщение от PC2:\r\nпервое"), LogDirection::Incoming);
        log.append(QStringLiteral("второе"), LogDirection::Outgoing, QStringLiteral("10.0.0.9"));
        MessageLogWindow window(log);
        window.show();
        const QString text = window.shownText();
        QCOMPARE(text, shown(log));
        QVERIFY(text.indexOf(QStringLiteral("первое")) < text.indexOf(QStringLiteral("второе")));
        QVERIFY(
            text.contains(QStringLiteral(": Входящее сообщение\nСообщение от PC2:\nпервое\n\n")));
        QVERIFY(text.contains(QStringLiteral(": Сообщение для 10.0.0.9\nвторое\n\n")));
        // An entry that arrives while the window is open is not shown.
        log.append(QStringLiteral("третье"), LogDirection::Incoming);
        QTest::qWait(50);
        QVERIFY(!window.shownText().contains(QStringLiteral("третье")));
    }

    void clearEmptiesAtOnce()
    {
        MessageLog log;
        log.append(QStringLiteral("x"), LogDirection::Incoming);
        MessageLogWindow window(log);
        window.show();
        QTest::mouseClick(button(&window, QStringLiteral("Очистить")), Qt::LeftButton);
        QCOMPARE(log.size(), 0);
        QCOMPARE(window.shownText(), QStringLiteral("Входящих и исходящих сообщений нет"));
        QVERIFY(window.isVisible());
    }

    void resizing()
    {
        MessageLog log;
        MessageLogWindow window(log);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QSize initial = window.size();
        QVERIFY(initial.width() >= 399 && initial.height() >= 323);
        QCOMPARE(window.minimumSize(), initial);
        auto *field = window.findChild<QPlainTextEdit *>();
        auto *note = window.findChild<QLabel *>();
        QPushButton *clear = button(&window, QStringLiteral("Очистить"));
        QPushButton *close = button(&window, QStringLiteral("Закрыть"));
        const QRect fieldBefore = field->geometry();
        const QRect noteBefore = note->geometry();
        const QRect clearBefore = clear->geometry();
        const QRect closeBefore = close->geometry();

        window.resize(initial + QSize(200, 100));
        QTest::qWait(0);
        QCOMPARE(field->geometry(), fieldBefore.adjusted(0, 0, 200, 100));
        // The note grows in width and moves down.
        QCOMPARE(note->geometry(), noteBefore.adjusted(0, 100, 200, 100));
        QCOMPARE(clear->geometry(), clearBefore.translated(200, 100));
        QCOMPARE(close->geometry(), closeBefore.translated(200, 100));
    }

    void logCommandOpensTheWindow()
    {
        QTemporaryDir dir;
        Application main{testServices(dir.path())};
        main.log().append(QStringLiteral("одно"), LogDirection::Incoming);
        bool opened = false;
        QTimer::singleShot(0, this, [&] {
            QVERIFY(TestSupport::waitUntil(
                [] { return Widgets::visibleWindow<MessageLogWindow>() != nullptr; }));
            auto *window = Widgets::visibleWindow<MessageLogWindow>();
            opened = true;
            QVERIFY(ModalState::instance().isOpen());
            QCOMPARE(ModalState::instance().windowToRaise(), window);
            QVERIFY(window->shownText().contains(QStringLiteral("одно")));
            QTest::keyClick(window, Qt::Key_Escape);
        });
        QVERIFY(main.dispatchCommand(32779));
        QVERIFY(opened);
        QVERIFY(!ModalState::instance().isOpen());
    }
};

TARVELLO_GUI_TEST_MAIN(MessageLogWindowTest)
#include "MessageLogWindowTest.moc"
