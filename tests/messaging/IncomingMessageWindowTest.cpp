#include "gui/messaging/IncomingMessageWindow.h"
#include "gui/ui/ModalState.h"
#include "support/GuiTestMain.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include "support/Widgets.h"

using Widgets::button;

class IncomingMessageWindowTest : public QObject {
    Q_OBJECT

private slots:
    void showsTheTextAsPlainText()
    {
        const QString text =
            QStringLiteral("Сообщение от PC1:\r\n<b>не жирный</b> &amp;\r\nвторая строка");
        IncomingMessageWindow window(text);
        window.show();
        QCOMPARE(window.windowTitle(), QStringLiteral("Принято сообщение:"));
        auto *field = window.findChild<QPlainTextEdit *>();
        QVERIFY(field->isReadOnly());
        QCOMPARE(field->lineWrapMode(), QPlainTextEdit::NoWrap);
        QCOMPARE(field->toPlainText(),
                 QStringLiteral("Сообщение от PC1:\n<b>не жирный</b> &amp;\nвторая строка"));
        QVERIFY(button(&window, QStringLiteral("Копировать в буфер")));
        QVERIFY(button(&window, QStringLiteral("Закрыть")));
        QCOMPARE(ModalState::instance().windowToRaise(), &window);
        // A screen reader says who sent it and what, as the window opens,
        // and reads the text, which has the keyboard.
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QVERIFY(field->hasFocus());
        QCOMPARE(QAccessible::queryAccessibleInterface(&window)->text(QAccessible::Description),
                 field->toPlainText());
    }

    void copyPutsTheWholeTextOnTheClipboard()
    {
        QString text = QStringLiteral("Сообщение от ПК-1:\r\n");
        while (text.size() < 100000)
            text += QStringLiteral("Съешь ещё этих мягких французских булок, да выпей чаю. ");
        text.truncate(100000);
        IncomingMessageWindow window(text);
        window.show();
        QGuiApplication::clipboard()->clear();
        QTest::mouseClick(button(&window, QStringLiteral("Копировать в буфер")), Qt::LeftButton);
        QCOMPARE(QGuiApplication::clipboard()->text(), text);
        QVERIFY(window.isVisible()); // copying leaves it open
    }

    void everyWayOfClosingEndsWithZero_data()
    {
        QTest::addColumn<int>("way");
        QTest::newRow("button") << 0;
        QTest::newRow("escape") << 1;
        QTest::newRow("enter") << 2;
        QTest::newRow("close box") << 3;
        QTest::newRow("enter in the text") << 4;
        QTest::newRow("escape in the text") << 5;
    }
    void everyWayOfClosingEndsWithZero()
    {
        QFETCH(int, way);
        IncomingMessageWindow window(QStringLiteral("x"));
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        QSignalSpy finished(&window, &QDialog::finished);
        switch (way) {
        case 0:
            QTest::mouseClick(button(&window, QStringLiteral("Закрыть")), Qt::LeftButton);
            break;
        case 1:
            QTest::keyClick(&window, Qt::Key_Escape);
            break;
        case 2:
            QTest::keyClick(&window, Qt::Key_Return);
            break;
        case 3:
            window.close();
            break;
        default:
            QTest::keyClick(window.findChild<QPlainTextEdit *>(),
                            way == 4 ? Qt::Key_Return : Qt::Key_Escape);
            break;
        }
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished.at(0).at(0).toInt(), 0);
        QVERIFY(!window.isVisible());
    }

    void resizesAroundItsText()
    {
        IncomingMessageWindow window(QStringLiteral("x"));
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QSize initial = window.size();
        QVERIFY(initial.width() >= 279 && initial.height() >= 219);
        QCOMPARE(window.minimumSize(), initial);
        window.resize(initial - QSize(50, 50)); // cannot shrink below it
        QCOMPARE(window.size(), initial);

        auto *field = window.findChild<QPlainTextEdit *>();
        QPushButton *copy = button(&window, QStringLiteral("Копировать в буфер"));
        QPushButton *close = button(&window, QStringLiteral("Закрыть"));
        const QRect fieldBefore = field->geometry();
        const QSize copySize = copy->size();
        auto rightBottom = [&](QWidget *w) {
            return QPoint(window.width() - w->geometry().right(),
                          window.height() - w->geometry().bottom());
        };
        const QPoint copyGap = rightBottom(copy);
        const QPoint closeGap = rightBottom(close);

        window.resize(initial + QSize(300, 200));
        QTest::qWait(0);
        QCOMPARE(field->geometry().topLeft(), fieldBefore.topLeft());
        QCOMPARE(field->size(), fieldBefore.size() + QSize(300, 200));
        QCOMPARE(rightBottom(copy), copyGap);
        QCOMPARE(rightBottom(close), closeGap);
        QCOMPARE(copy->size(), copySize);
    }
};

TARVELLO_GUI_TEST_MAIN(IncomingMessageWindowTest)
#include "IncomingMessageWindowTest.moc"
