#include "app/GuiIncomingWindows.h"
#include "core/base/MessageLog.h"
#include "core/base/Settings.h"
#include "core/net/ListenerControl.h"
#include "gui/transfer/OfferPromptWindow.h"
#include "gui/transfer/SendFileWindow.h"
#include "gui/ui/ModalState.h"
#include "support/GuiTestMain.h"

#include "net/TestSupport.h"
#include "support/FakePrompts.h"
#include "support/TestListeners.h"
#include "support/Widgets.h"

#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTemporaryDir>
#include <QTest>

#include <future>
#include <thread>

using namespace TestSupport;
using Widgets::button;

class TransferWindowsTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    FakePrompts *m_prompts = nullptr;

    QString makeFile(const char *name, const QByteArray &content)
    {
        const QString p = m_dir.filePath(QString::fromUtf8(name));
        QFile f(p);
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        f.write(content);
        return p;
    }

private slots:
    void init() { m_prompts = new FakePrompts; }
    void cleanup() { delete m_prompts; }

    void promptCountsDownAndRefusesAtTheFifteenthTick()
    {
        OfferPromptWindow w(QStringLiteral("PC2"), QStringLiteral("отчёт.pdf"), 2500000, 15,
                            nullptr, 3600 * 1000);
        QSignalSpy finished(&w, &QDialog::finished);
        w.show();
        QCOMPARE(w.windowTitle(),
                 QStringLiteral("Информация от Tarvello: <PC2> посылает Вам файл "));
        QVERIFY(w.windowFlags() & Qt::WindowStaysOnTopHint);
        bool asked = false;
        for (auto *l : w.findChildren<QLabel *>())
            asked = asked ||
                    l->text() ==
                        QStringLiteral("Вы хотите принять файл <отчёт.pdf> размером 2.441 Мбайт?");
        QVERIFY(asked);
        QCOMPARE(w.countdownText(),
                 QStringLiteral("Это окно автоматически закроется через 15 секунд"));
        for (int left = 14; left >= 1; --left) {
            w.tick();
            QCOMPARE(w.countdownText(),
                     QStringLiteral("Это окно автоматически закроется через %1 секунд").arg(left));
            QTest::qWait(0);
            QCOMPARE(finished.size(), 0);
        }
        w.tick(); // the fifteenth
        QCOMPARE(w.countdownText(),
                 QStringLiteral("Это окно автоматически закроется через 0 секунд"));
        QTRY_COMPARE(finished.size(), 1);
        QCOMPARE(finished.at(0).at(0).toInt(), OfferPromptWindow::kNo);
    }

    void promptFitsTheScreenWhateverTheName()
    {
        // The data header holds names of up to 259 characters, with no space
        // needed anywhere.
        const QString name = QString(255, u'ж') + QStringLiteral(".txt");
        OfferPromptWindow w(QString(63, u'W'), name, 1, 15);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const QRect screen = w.screen()->availableGeometry();
        QVERIFY2(w.frameGeometry().width() <= qMin(screen.width(), 1024),
                 qPrintable(QString::number(w.frameGeometry().width())));
        for (const QString &text : {QStringLiteral("Да"), QStringLiteral("Нет")}) {
            const QPushButton *b = button(&w, text);
            QVERIFY(screen.contains(QRect(b->mapToGlobal(QPoint(0, 0)), b->size())));
        }
        // The whole name is there to read.
        bool whole = false;
        for (auto *l : w.findChildren<QLabel *>())
            whole = whole || QString(l->text()).remove(QChar(0x200B)).contains(name);
        QVERIFY(whole);
    }

    void promptClosesOnlyByItsButtons()
    {
        OfferPromptWindow w(QStringLiteral("PC2"), QStringLiteral("a"), 1, 15);
        QSignalSpy finished(&w, &QDialog::finished);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        QTest::keyClick(&w, Qt::Key_Escape);
        w.close();
        QCOMPARE(finished.size(), 0);
        QVERIFY(w.isVisible());
        QTest::mouseClick(button(&w, QStringLiteral("Да")), Qt::LeftButton);
        QCOMPARE(finished.size(), 1);
        QCOMPARE(finished.at(0).at(0).toInt(), OfferPromptWindow::kYes);
    }

    void guiOfferFlow()
    {
        LiveSettings settings;
        GuiIncomingWindows windows(settings);
        auto ask = [&] {
            return std::async(std::launch::async, [&] {
                return windows.askFileOffer(QStringLiteral("PC2"), QStringLiteral("a.txt"), 10);
            });
        };
        // "Нет".
        auto refused = ask();
        QVERIFY(waitUntil([] { return Widgets::visibleWindow<OfferPromptWindow>() != nullptr; }));
        QTest::mouseClick(
            button(Widgets::visibleWindow<OfferPromptWindow>(), QStringLiteral("Нет")),
            Qt::LeftButton);
        QVERIFY(waitUntil([&] {
            return refused.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
        }));
        QCOMPARE(refused.get(), QString());
        // "Да", then the save dialog cancelled: a refusal too.
        auto cancelled = ask();
        QVERIFY(waitUntil([] { return Widgets::visibleWindow<OfferPromptWindow>() != nullptr; }));
        QTest::mouseClick(button(Widgets::visibleWindow<OfferPromptWindow>(), QStringLiteral("Да")),
                          Qt::LeftButton);
        QVERIFY(waitUntil([] { return Widgets::visibleWindow<QFileDialog>() != nullptr; }));
        QFileDialog *save = Widgets::visibleWindow<QFileDialog>();
        QCOMPARE(save->acceptMode(), QFileDialog::AcceptSave);
        save->reject();
        QVERIFY(waitUntil([&] {
            return cancelled.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
        }));
        QCOMPARE(cancelled.get(), QString());
        // "Да" and a path.
        auto accepted = ask();
        QVERIFY(waitUntil([] { return Widgets::visibleWindow<OfferPromptWindow>() != nullptr; }));
        QTest::mouseClick(button(Widgets::visibleWindow<OfferPromptWindow>(), QStringLiteral("Да")),
                          Qt::LeftButton);
        QVERIFY(waitUntil([] { return Widgets::visibleWindow<QFileDialog>() != nullptr; }));
        save = Widgets::visibleWindow<QFileDialog>();
        save->setDirectory(m_dir.path());
        save->selectFile(m_dir.filePath(QStringLiteral("saved.txt")));
        static_cast<QDialog *>(save)->accept();
        QVERIFY(waitUntil([&] {
            return accepted.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
        }));
        QCOMPARE(accepted.get(), m_dir.filePath(QStringLiteral("saved.txt")));
    }

    void sendFileWindowOutcomes()
    {
        // A real listener whose user answers as the test says.
        TestListeners listeners;
        QVERIFY(listeners.up);
        FakeWindows &receiver = listeners.windows;
        const quint16 dataPort = listeners.dataPort();

        UserList users = {{QStringLiteral("Нет в сети (PC7, отсутствует в сети)"), Ipv4Address{}},
                          {QStringLiteral("Я, IP = 127.0.0.1"), Ipv4Address::loopback()},
                          {QStringLiteral("Тоже я, IP = 127.0.0.1"), Ipv4Address::loopback()}};
        const QString file = makeFile("send.bin", QByteArray(300000, 's'));
        SendFileWindow w(users, 1, QStringLiteral("PC1"), dataPort,
                         [file](QWidget *, const QString &) { return file; });
        QVERIFY(w.chooseFile());
        w.show();
        QCOMPARE(w.windowTitle(),
                 QStringLiteral("Отправка файла пользователю <Я, IP = 127.0.0.1>"));
        auto *recipients = w.findChild<QComboBox *>();
        QCOMPARE(recipients->count(), 2); // the absent user is not offered
        QCOMPARE(recipients->currentText(), QStringLiteral("Я, IP = 127.0.0.1"));
        QCOMPARE(w.findChild<QLineEdit *>()->text(), file + QStringLiteral(" (292 Кбайт)"));
        QCOMPARE(w.statusText(), QStringLiteral("Статус: готов к отправке "));
        recipients->setCurrentIndex(1);
        QCOMPARE(w.windowTitle(),
                 QStringLiteral("Отправка файла пользователю <Тоже я, IP = 127.0.0.1>"));

        // Refused, with the recipient's prompt held open meanwhile: the
        // window cannot be closed while it waits.
        receiver.hold();
        QPushButton *send = button(&w, QStringLiteral("О&тправить"));
        QTest::mouseClick(send, Qt::LeftButton);
        QVERIFY(w.isBusy());
        QCOMPARE(w.statusText(), QStringLiteral("Статус: ожидание разрешения приема от "
                                                "получателя... Это может занять некоторое время."));
        QVERIFY(!send->isEnabled());
        QVERIFY(!button(&w, QStringLiteral("&Закрыть"))->isEnabled());
        QVERIFY(waitUntil([&] { return receiver.open() == 1; }));
        w.close();
        QTest::keyClick(&w, Qt::Key_Escape);
        QVERIFY(w.isVisible());
        receiver.release();
        QVERIFY(waitUntil([&] { return !w.isBusy(); }));
        QCOMPARE(m_prompts->asked.last().caption, QStringLiteral("Отправка невозможна:"));
        QCOMPARE(m_prompts->asked.last().text,
                 QStringLiteral("Пользователь отказался или не смог получить файл "));
        QCOMPARE(w.statusText(),
                 QStringLiteral("Статус: пользователь отказался или не смог получить файл "));
        QCOMPARE(w.progress(), 0);

        // The program's list is rebuilt meanwhile (here: nobody is left); the
        // window goes on with the users it was opened with.
        users.clear();

        // Accepted: percentages, then done.
        receiver.answerOffers({m_dir.filePath(QStringLiteral("received.bin"))});
        QTest::mouseClick(send, Qt::LeftButton);
        QVERIFY(waitUntil([&] { return !w.isBusy(); }));
        QCOMPARE(w.statusText(), QStringLiteral("Статус: отправка успешно завершена "));
        QCOMPARE(w.progress(), 100);
        QVERIFY(send->isEnabled());
        QVERIFY(waitUntil([&] {
            return QFileInfo(m_dir.filePath(QStringLiteral("received.bin"))).size() == 300000;
        }));

        // A receiver that breaks down in the middle.
        {
            BreakingReceiver breaking(1000);
            const QString big = makeFile("big.bin", QByteArray(5000000, 'b'));
            const UserList me = {{QStringLiteral("Я, IP = 127.0.0.1"), Ipv4Address::loopback()}};
            SendFileWindow w2(me, 0, QStringLiteral("PC1"), breaking.port(),
                              [big](QWidget *, const QString &) { return big; });
            QVERIFY(w2.chooseFile());
            w2.show();
            QTest::mouseClick(button(&w2, QStringLiteral("О&тправить")), Qt::LeftButton);
            QVERIFY(waitUntil([&] { return !w2.isBusy(); }));
            QCOMPARE(m_prompts->asked.last().caption, QStringLiteral("Отправка невозможна:"));
            QCOMPARE(m_prompts->asked.last().text, QStringLiteral("Передача файла прервана"));
            QCOMPARE(w2.statusText(), QStringLiteral("Статус: передача файла прервана"));
        }

        // Nobody listening.
        listeners.control->stopListeners();
        QTest::mouseClick(send, Qt::LeftButton);
        QVERIFY(waitUntil([&] { return !w.isBusy(); }));
        QCOMPARE(w.statusText(),
                 QStringLiteral("Статус: невозможно соединиться с пользователем.\nвозможно, "
                                "пользователь отсутствует в сети."));

        // Closing now works.
        QSignalSpy finished(&w, &QDialog::finished);
        QTest::mouseClick(button(&w, QStringLiteral("&Закрыть")), Qt::LeftButton);
        QCOMPARE(finished.size(), 1);
    }

    void fileThatCannotBeOpened()
    {
        const UserList users = {{QStringLiteral("Я, IP = 127.0.0.1"), Ipv4Address::loopback()}};
        const QString missing = m_dir.filePath(QStringLiteral("gone.bin"));
        // Something listens, so the connection is made before the file fails.
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost, 0));
        SendFileWindow w(users, 0, QStringLiteral("PC1"), wire(server.serverPort()),
                         [missing](QWidget *, const QString &) { return missing; });
        QVERIFY(w.chooseFile());
        QCOMPARE(w.findChild<QLineEdit *>()->text(), missing + QStringLiteral(" (4194.303 Мбайт)"));
        w.show();
        QTest::mouseClick(button(&w, QStringLiteral("О&тправить")), Qt::LeftButton);
        QVERIFY(waitUntil([&] { return !w.isBusy(); }));
        QCOMPARE(m_prompts->asked.last().text,
                 QStringLiteral("Невозможно открыть отправляемый файл"));
        QCOMPARE(w.statusText(), QStringLiteral("Статус: невозможно открыть отправляемый файл"));
    }

    void onlyRegularFilesCanBeChosen()
    {
        // A device and a FIFO with a writer waiting: each is refused with
        // its reason and the choice is asked for again; the FIFO is never
        // opened (that would hang this thread, or kill its writer).
        const UserList users = {{QStringLiteral("Я, IP = 127.0.0.1"), Ipv4Address::loopback()}};
        WatchedFifo fifo(m_dir.filePath(QStringLiteral("fifo")));
        QVERIFY(fifo.made());
        const QString regular = makeFile("regular.bin", QByteArray(3000, 'r'));
        QStringList choices = {QStringLiteral("/dev/zero"), m_dir.filePath(QStringLiteral("fifo")),
                               regular};
        SendFileWindow w(users, 0, QStringLiteral("PC1"), 1, [&](QWidget *, const QString &) {
            return choices.isEmpty() ? QString() : choices.takeFirst();
        });
        QVERIFY(w.chooseFile());
        QVERIFY(!fifo.openedForReading());
        QCOMPARE(m_prompts->asked.size(), 2);
        QCOMPARE(m_prompts->asked.at(0).caption, QStringLiteral("Отправка невозможна:"));
        QCOMPARE(m_prompts->asked.at(0).text,
                 QStringLiteral("/dev/zero: это устройство, а не обычный файл. Отправить можно "
                                "только обычный файл"));
        QCOMPARE(m_prompts->asked.at(1).text,
                 m_dir.filePath(QStringLiteral("fifo")) +
                     QStringLiteral(": это канал (FIFO), а не обычный файл. Отправить можно "
                                    "только обычный файл"));
        QCOMPARE(w.findChild<QLineEdit *>()->text(), regular + QStringLiteral(" (2 Кбайт)"));
    }

    void cancellingTheFileChoiceChangesNothing()
    {
        const UserList users = {{QStringLiteral("Я, IP = 127.0.0.1"), Ipv4Address::loopback()}};
        SendFileWindow w(users, 0, QStringLiteral("PC1"), 1,
                         [](QWidget *, const QString &) { return QString(); });
        QVERIFY(!w.chooseFile());
        QVERIFY(w.findChild<QLineEdit *>()->text().isEmpty());
    }
};

TARVELLO_GUI_TEST_MAIN(TransferWindowsTest)
#include "TransferWindowsTest.moc"
