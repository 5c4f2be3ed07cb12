#include "gui/messaging/ComposeWindow.h"
#include "support/GuiTestMain.h"

#include "support/FakePrompts.h"
#include "support/Widgets.h"

#include <QAccessible>
#include <QCheckBox>
#include <QClipboard>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QSignalSpy>
#include <QTest>

using Widgets::button;

class ComposeWindowTest : public QObject {
    Q_OBJECT

    FakePrompts *m_prompts = nullptr;

    struct Fields {
        QPlainTextEdit *text;
        QLineEdit *sender;
        QCheckBox *anonymous;
    };
    static Fields fieldsOf(ComposeWindow &w)
    {
        return {w.findChild<QPlainTextEdit *>(), w.findChild<QLineEdit *>(),
                w.findChild<QCheckBox *>()};
    }
    static void clickSend(ComposeWindow &w)
    {
        QTest::mouseClick(button(&w, QStringLiteral("Отправить текстовое сообщение")),
                          Qt::LeftButton);
    }

private slots:
    void init() { m_prompts = new FakePrompts; }
    void cleanup() { delete m_prompts; }

    void opensAsDesigned()
    {
        ComposeWindow w(QStringLiteral("PC2, IP = 10.0.0.2"), QStringLiteral("PC1"), false);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QCOMPARE(w.windowTitle(), QStringLiteral("Сообщение для PC2, IP = 10.0.0.2"));
        const Fields f = fieldsOf(w);
        QCOMPARE(f.sender->text(), QStringLiteral("PC1"));
        QVERIFY(f.sender->isReadOnly());
        QVERIFY(!f.anonymous->isChecked());
        QCOMPARE(f.text->lineWrapMode(), QPlainTextEdit::NoWrap);
        QVERIFY(f.text->hasFocus());
        QVERIFY(!button(&w, QStringLiteral("Воспроизвести"))->isEnabled());
        QVERIFY(!button(&w, QStringLiteral("Отправить звуковое сообщение"))->isEnabled());
        QVERIFY(button(&w, QStringLiteral("Записать"))->isEnabled());
        for (const char *label : {"Выберите тип посылаемого сообщения", "1) Текстовое сообщение. ",
                                  "Установить имя отправителя:"}) {
            bool found = false;
            for (auto *l : w.findChildren<QLabel *>())
                found = found || l->text() == QString::fromUtf8(label);
            QVERIFY2(found, label);
        }
        // A screen reader hears two buttons that stay down, not check boxes.
        for (const char *name : {"Записать", "Воспроизвести"}) {
            QPushButton *b = button(&w, QString::fromUtf8(name));
            QAccessibleInterface *spoken = QAccessible::queryAccessibleInterface(b);
            QCOMPARE(spoken->role(), QAccessible::Button);
            QCOMPARE(spoken->text(QAccessible::Name), b->text());
            QVERIFY(spoken->state().checkable);
            QVERIFY(!spoken->state().checked);
            b->setChecked(true);
            QVERIFY(spoken->state().checked && spoken->state().pressed);
            b->setChecked(false);
        }
        // Fixed size.
        QCOMPARE(w.minimumSize(), w.maximumSize());
    }

    void messengerByDefaultTicksTheBoxAndUnlocksTheSender()
    {
        ComposeWindow w(QStringLiteral("X"), QStringLiteral("PC1"), true);
        w.show();
        const Fields f = fieldsOf(w);
        QVERIFY(f.anonymous->isChecked());
        QVERIFY(!f.sender->isReadOnly());
        QTest::mouseClick(f.anonymous, Qt::LeftButton);
        QVERIFY(!f.anonymous->isChecked());
        QVERIFY(f.sender->isReadOnly());
    }

    void sendsTheTextWithCrLf()
    {
        ComposeWindow w(QStringLiteral("X"), QStringLiteral("PC1"), false);
        w.show();
        QSignalSpy finished(&w, &QDialog::finished);
        fieldsOf(w).text->setPlainText(QStringLiteral("Привет\nмир"));
        clickSend(w);
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished.at(0).at(0).toInt(), int(ComposeWindow::SendText));
        QCOMPARE(w.text(), QStringLiteral("Привет\r\nмир"));
        QVERIFY(!w.isAnonymous());
        QVERIFY(m_prompts->asked.isEmpty());
    }

    void overlongTextKeepsTheWindowOpen()
    {
        ComposeWindow w(QStringLiteral("X"), QStringLiteral("PC1"), false);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QSignalSpy finished(&w, &QDialog::finished);
        const Fields f = fieldsOf(w);
        f.text->setPlainText(QString(70000, QChar(u'я')));
        f.sender->setFocus();
        clickSend(w);
        QCOMPARE(finished.size(), 0);
        QVERIFY(f.text->hasFocus());
        QVERIFY(m_prompts->asked.isEmpty()); // a beep, no box
        // Just at the limit it goes.
        f.text->setPlainText(QString(65535, QChar(u'я')));
        clickSend(w);
        QCOMPARE(finished.size(), 1);
    }

    void overlongSenderKeepsTheWindowOpen()
    {
        ComposeWindow w(QStringLiteral("X"), QString(256, QChar(u'x')), true);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QSignalSpy finished(&w, &QDialog::finished);
        fieldsOf(w).text->setPlainText(QStringLiteral("hi"));
        clickSend(w);
        QCOMPARE(finished.size(), 0);
        QVERIFY(fieldsOf(w).sender->hasFocus());
    }

    void emptyTextAndEmptySenderAreRefused()
    {
        ComposeWindow w(QStringLiteral("X"), QString(), true);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QSignalSpy finished(&w, &QDialog::finished);
        const Fields f = fieldsOf(w);
        f.sender->setFocus();
        clickSend(w);
        QCOMPARE(m_prompts->asked.size(), 1);
        QCOMPARE(m_prompts->asked.at(0).text,
                 QStringLiteral("Строка сообщения не может быть пустой"));
        QCOMPARE(m_prompts->asked.at(0).caption, QStringLiteral("Предупреждение"));
        QCOMPARE(m_prompts->asked.at(0).owner, &w);
        QVERIFY(f.text->hasFocus());

        f.text->setPlainText(QStringLiteral("hi"));
        clickSend(w);
        QCOMPARE(m_prompts->asked.size(), 2);
        QCOMPARE(m_prompts->asked.at(1).text,
                 QStringLiteral("Имя отправителя не может быть пустым"));
        QVERIFY(f.sender->hasFocus());
        QCOMPARE(finished.size(), 0);

        f.sender->setText(QStringLiteral("Аноним"));
        clickSend(w);
        QCOMPARE(finished.size(), 1);
        QVERIFY(w.isAnonymous());
        QCOMPARE(w.senderName(), QStringLiteral("Аноним"));
    }

    void everyWayOfCancellingEndsWithTwo_data()
    {
        QTest::addColumn<int>("way");
        QTest::newRow("button") << 0;
        QTest::newRow("escape") << 1;
        QTest::newRow("close box") << 2;
    }
    void everyWayOfCancellingEndsWithTwo()
    {
        QFETCH(int, way);
        ComposeWindow w(QStringLiteral("X"), QStringLiteral("PC1"), false);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        fieldsOf(w).text->setPlainText(QStringLiteral("not sent"));
        QSignalSpy finished(&w, &QDialog::finished);
        if (way == 0)
            QTest::mouseClick(button(&w, QStringLiteral("Отменить")), Qt::LeftButton);
        else if (way == 1)
            QTest::keyClick(&w, Qt::Key_Escape);
        else
            w.close();
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished.at(0).at(0).toInt(), int(ComposeWindow::Cancelled));
    }

    void enterInTheTextInsertsALineBreak()
    {
        ComposeWindow w(QStringLiteral("X"), QStringLiteral("PC1"), false);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QSignalSpy finished(&w, &QDialog::finished);
        QTest::keyClicks(fieldsOf(w).text, QStringLiteral("a"));
        QTest::keyClick(fieldsOf(w).text, Qt::Key_Return);
        QTest::keyClicks(fieldsOf(w).text, QStringLiteral("b"));
        QCOMPARE(finished.size(), 0);
        QCOMPARE(fieldsOf(w).text->toPlainText(), QStringLiteral("a\nb"));
    }

    void pasteGoesToTheCaret()
    {
        ComposeWindow w(QStringLiteral("X"), QStringLiteral("PC1"), false);
        w.show();
        const Fields f = fieldsOf(w);
        f.text->setPlainText(QStringLiteral("начало|конец"));
        QTextCursor cursor = f.text->textCursor();
        cursor.setPosition(6);
        cursor.setPosition(7, QTextCursor::KeepAnchor); // select "|"
        f.text->setTextCursor(cursor);
        QGuiApplication::clipboard()->setText(QStringLiteral(" вставка "));
        QTest::mouseClick(button(&w, QStringLiteral("Взять из буфера обмена")), Qt::LeftButton);
        QCOMPARE(f.text->toPlainText(), QStringLiteral("начало вставка конец"));
    }

    void sendSoundWithoutARecording()
    {
        ComposeWindow w(QStringLiteral("X"), QStringLiteral("PC1"), false);
        w.show();
        QSignalSpy finished(&w, &QDialog::finished);
        QPushButton *sendSound = button(&w, QStringLiteral("Отправить звуковое сообщение"));
        sendSound->setEnabled(true);
        QTest::mouseClick(sendSound, Qt::LeftButton);
        QCOMPARE(finished.size(), 0);
        QCOMPARE(m_prompts->asked.size(), 1);
        QCOMPARE(m_prompts->asked.at(0).text, QStringLiteral("Звуковое сообщение не записано"));
        QCOMPARE(m_prompts->asked.at(0).owner, nullptr);
    }
};

TARVELLO_GUI_TEST_MAIN(ComposeWindowTest)
#include "ComposeWindowTest.moc"
