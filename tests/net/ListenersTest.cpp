#include "core/base/MessageLog.h"
#include "core/base/Settings.h"
#include "core/net/DataHeader.h"
#include "core/net/ListenerControl.h"
#include "core/net/MessageJournal.h"
#include "core/net/MessageListener.h"
#include "core/net/StopToken.h"
#include "core/net/TcpSocket.h"
#include "core/platform/CodePage.h"
#include "support/TestMain.h"

#include "TestSupport.h"
#include "support/FakeIncomingWindows.h"

#include <QDateTime>
#include <QDir>
#include <QElapsedTimer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <condition_variable>
#include <sys/stat.h>
#include <mutex>
#include <thread>

using namespace TestSupport;

namespace {

class FakeObserver : public ListenerObserver {
public:
    void portUnavailable(ListenerKind kind, int port, int error) override
    {
        std::lock_guard lock(m_mutex);
        m_reports.append({kind, port, error});
    }
    struct Report {
        ListenerKind kind;
        int port;
        int error;
    };
    QList<Report> reports() const
    {
        // A copy of its own: the list's shared data is not shared across
        // threads.
        std::lock_guard lock(m_mutex);
        return QList<Report>(m_reports.begin(), m_reports.end());
    }

private:
    mutable std::mutex m_mutex;
    QList<Report> m_reports;
};

// Sends a raw data-port request and returns what came back before the close.
QByteArray dataExchange(quint16 port, const QByteArray &request)
{
    QTcpSocket socket;
    if (!connectClient(socket, port))
        return "no connection";
    socket.write(request);
    socket.waitForBytesWritten(5000);
    QByteArray answer;
    while (socket.waitForReadyRead(5000))
        answer += socket.readAll();
    answer += socket.readAll();
    return answer;
}

DataHeader headerOfKind(quint32 kind)
{
    DataHeader h;
    h.kind = kind;
    h.senderName = QStringLiteral("PC2");
    return h;
}

} // namespace

class ListenersTest : public QObject {
    Q_OBJECT

    LiveSettings m_settings;
    std::unique_ptr<FakeWindows> m_fakeWindows;
    MessageLog m_log;
    std::unique_ptr<FakeObserver> m_fakeObserver;
    std::unique_ptr<ListenerControl> m_control;
    quint16 m_messagePort = 0;
    quint16 m_dataPort = 0;
    int m_queueItems = IncomingQueue::kMaxItems;
    QTemporaryDir m_dir;
    QString m_journalFolder; // a fresh one for each test
    int m_tests = 0;

    // A sender that waits until the receiver has read its message and
    // closed the connection.
    struct WaitingSender {
        TcpSocket socket;
        bool send(quint16 port, const QByteArray &text)
        {
            if (!socket.connectTo(Ipv4Address::loopback(), port, 5000) ||
                socket.send(text.constData(), text.size()) != text.size())
                return false;
            socket.shutdownSend();
            return true;
        }
        // True when the receiver closed within the time.
        bool closedWithin(int ms)
        {
            socket.setReceiveTimeout(ms);
            char byte;
            return socket.receive(&byte, 1) == 0;
        }
    };
    QStringList logged() const
    {
        QStringList texts;
        for (const LogEntry &e : m_log.entries())
            texts << e.text;
        return texts;
    }

    void useFreePorts()
    {
        Settings s;
        m_messagePort = freeConfiguredPort();
        do {
            m_dataPort = freeConfiguredPort();
        } while (m_dataPort == m_messagePort);
        s.ListeningPort = m_messagePort;
        s.ListeningDataPort = m_dataPort;
        m_settings.set(s);
    }

    void startListeners(int idleTimeoutMs = 30000, int deadlineMs = 30000)
    {
        startListenersWithoutProbe(idleTimeoutMs, deadlineMs);
        // Both listen once a connection to each is accepted by the kernel;
        // those probe connections are empty and leave no trace.
        QVERIFY(waitListening(m_messagePort) && waitListening(m_dataPort));
    }

    void startListenersWithoutProbe(int idleTimeoutMs = 30000, int deadlineMs = 30000)
    {
        ListenerServices services;
        services.settings = &m_settings;
        services.windows = m_fakeWindows.get();
        services.log = &m_log;
        services.observer = m_fakeObserver.get();
        services.idleTimeoutMs = idleTimeoutMs;
        services.deadlineMs = deadlineMs;
        services.queueItems = m_queueItems;
        services.journalFolder = m_journalFolder;
        m_control = std::make_unique<ListenerControl>(services);
        m_control->startListeners();
    }

    bool sendText(const QString &text)
    {
        return sendAndClose(m_messagePort, CodePage::ansi().fromUnicode(text));
    }

    // Stops the listeners as Exit does, then starts a new instance on the
    // same journal (a restart of the program).
    void exitAndStartAgain()
    {
        {
            // The window on screen is closed once Exit has begun.
            std::jthread exiting([this] { m_control->stopListeners(); });
            QVERIFY(waitUntil([&] { return !m_control->isRunning(); }));
            m_fakeWindows->release();
        }
        m_control.reset();
        m_log.clear();
        m_fakeWindows = std::make_unique<FakeWindows>();
        startListeners();
    }

private slots:
    void init()
    {
        m_fakeWindows = std::make_unique<FakeWindows>();
        m_fakeObserver = std::make_unique<FakeObserver>();
        m_log.clear();
        m_journalFolder = m_dir.filePath(QString::number(++m_tests));
        useFreePorts();
    }

    void cleanup()
    {
        m_fakeWindows->release();
        if (m_control)
            m_control->stopListeners();
        m_control.reset();
    }

    void emptyConnectionsLeaveNoTrace()
    {
        startListeners();
        QVERIFY(sendAndClose(m_messagePort, QByteArray()));
        QVERIFY(sendText(QStringLiteral("marker")));
        QVERIFY(waitUntil([&] { return m_log.size() == 1; }));
        QCOMPARE(m_fakeWindows->shown(), QStringList{QStringLiteral("marker")});
    }

    void longMessageArrivesWhole()
    {
        startListeners();
        QString text;
        for (int i = 0; i < 10000; ++i)
            text += QChar(i % 50 == 49 ? u'\n' : char16_t(u'а' + i % 32));
        QVERIFY(sendText(text));
        QVERIFY(waitUntil([&] { return m_log.size() == 1; }));
        QCOMPARE(m_fakeWindows->shown().value(0), text);
        const LogEntry entry = m_log.entries().value(0);
        QCOMPARE(entry.text, text);
        QCOMPARE(entry.direction, LogDirection::Incoming);
        QVERIFY(entry.peer.isEmpty());
    }

    void sendersNeverWaitForAWindow()
    {
        startListeners();
        m_fakeWindows->hold();
        // Twenty senders, each waiting for the receiver to read its message
        // and close: all are done while the first window is still open.
        std::vector<WaitingSender> senders(20);
        QStringList texts;
        for (int i = 0; i < 20; ++i) {
            texts << QStringLiteral("сообщение %1").arg(i);
            QVERIFY(senders[i].send(m_messagePort, CodePage::ansi().fromUnicode(texts.last())));
        }
        for (WaitingSender &s : senders)
            QVERIFY(s.closedWithin(5000));
        // The display may open the first window after the last sender is done.
        QVERIFY(waitUntil([&] { return m_fakeWindows->open() == 1; }));
        QCOMPARE(m_log.size(), 0);
        // Then shown one by one in the order they arrived, each logged as
        // its window closes.
        m_fakeWindows->release();
        QVERIFY(waitUntil([&] { return m_log.size() == 20; }));
        QCOMPARE(m_fakeWindows->shown(), texts);
        QCOMPARE(logged(), texts);
    }

    void aFullQueueMakesTheNextSenderWait()
    {
        m_queueItems = 3;
        startListeners();
        m_fakeWindows->hold();
        // One window open and three waiting: the queue is full.
        std::vector<WaitingSender> senders(5);
        for (int i = 0; i < 4; ++i) {
            QVERIFY(senders[i].send(m_messagePort, QByteArray::number(i)));
            QVERIFY(senders[i].closedWithin(5000));
        }
        QVERIFY(waitUntil([&] { return m_fakeWindows->open() == 1; }));
        QVERIFY(senders[4].send(m_messagePort, "4"));
        QVERIFY2(!senders[4].closedWithin(500), "a fifth message was taken into a full queue");
        // A window closes: the fifth is taken, nothing is lost.
        m_fakeWindows->release();
        QVERIFY(senders[4].closedWithin(5000));
        QVERIFY(waitUntil([&] { return m_log.size() == 5; }));
        QCOMPARE(logged(), (QStringList{"0", "1", "2", "3", "4"}));
    }

    void journalKeepsWhatWasNotShownForTheNextStart()
    {
        startListeners();
        m_fakeWindows->hold();
        for (const char *t : {"a", "b", "c"}) {
            WaitingSender s;
            QVERIFY(s.send(m_messagePort, t));
            QVERIFY(s.closedWithin(5000));
        }
        QVERIFY(waitUntil([&] { return m_fakeWindows->open() == 1; }));
        // Another instance of the same user neither reads nor changes it: it
        // records in a journal of its own, which outlives it.
        QVERIFY(waitUntil([&] { return m_control->journal()->pendingCount() == 3; }));
        QFile mine(m_journalFolder + "/journal");
        QVERIFY(mine.open(QIODevice::ReadOnly));
        const QByteArray before = mine.readAll();
        {
            MessageJournal other(m_journalFolder);
            std::vector<MessageJournal::Entry> kept;
            QVERIFY(other.claim(kept));
            QVERIFY(kept.empty());
            QVERIFY(other.append(QString::fromLatin1(MessageListener::kQueuedMessage),
                                 MessageListener::encodeQueued(QStringLiteral("x"))) != 0);
            other.flush();
        }
        mine.seek(0);
        QCOMPARE(mine.readAll(), before);
        // "a" is on screen when the program ends; "b" and "c" come first at
        // the next start, then what the other left, before what arrives then.
        exitAndStartAgain();
        QVERIFY(sendText(QStringLiteral("d")));
        QVERIFY(waitUntil([&] { return m_log.size() == 4; }));
        QCOMPARE(logged(), (QStringList{"b", "c", "x", "d"}));
        QVERIFY(!QFile::exists(m_journalFolder + "/journal.2"));
        exitAndStartAgain();
        QVERIFY(sendText(QStringLiteral("e")));
        QVERIFY(waitUntil([&] { return m_log.size() == 1; }));
        QCOMPARE(logged(), QStringList{"e"});
        QCOMPARE(QFile(m_journalFolder + "/journal").permissions() & 0x0077, QFile::Permissions());
    }

    void journalReadsBackOnlyWholeRecords_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QStringList>("kept");
        QTest::addColumn<bool>("damaged");
        const QByteArray x = MessageJournal::itemRecord({1, "message", "x"});
        const QByteArray yz = MessageJournal::itemRecord({2, "sound", "yz"});
        QByteArray flipped = yz;
        flipped[12] = char(flipped[12] ^ 1);
        QTest::newRow("whole") << "TVJ1" + x + yz << QStringList{"x", "yz"} << false;
        QTest::newRow("torn at the end") << "TVJ1" + x + yz.chopped(1) << QStringList{"x"} << true;
        QTest::newRow("damaged byte") << "TVJ1" + x + flipped + x << QStringList{"x"} << true;
        QTest::newRow("done") << "TVJ1" + x + yz + MessageJournal::doneRecord(1)
                              << QStringList{"yz"} << false;
        QTest::newRow("no magic") << x + yz << QStringList{} << true;
        QTest::newRow("huge length") << QByteArray("TVJ1\1\xff\xff\xff\x7f") + QByteArray(8, 0)
                                     << QStringList{} << true;
    }
    void journalReadsBackOnlyWholeRecords()
    {
        QFETCH(QByteArray, file);
        QFETCH(QStringList, kept);
        QStringList read;
        for (const MessageJournal::Entry &e : MessageJournal::read(file))
            read << QString::fromLatin1(e.data);
        QCOMPARE(read, kept);
        // A damaged journal is kept aside for whoever wants to look at it.
        QVERIFY(QDir().mkpath(m_journalFolder));
        QFile f(m_journalFolder + "/journal");
        QFETCH(bool, damaged);
        // ... and said; one damaged again later does not replace it.
        for (const QString aside : {"/journal.damaged", "/journal.damaged.2"}) {
            QVERIFY(f.open(QIODevice::WriteOnly) && f.write(file) == file.size());
            f.close();
            MessageJournal journal(m_journalFolder);
            QStringList said;
            journal.setDamageHandler([&](const QString &path) { said << path; });
            std::vector<MessageJournal::Entry> pending;
            QVERIFY(journal.claim(pending));
            QCOMPARE(int(pending.size()), kept.size());
            QCOMPARE(said, damaged ? QStringList{m_journalFolder + aside} : QStringList{});
            QCOMPARE(QFile::exists(m_journalFolder + aside), damaged);
        }
    }

    void journalStaysSmallAndSaysWhenItCannotBeWritten()
    {
        {
            MessageJournal journal(m_journalFolder);
            std::vector<MessageJournal::Entry> pending;
            QVERIFY(journal.claim(pending));
            const QByteArray data(1000, 'm');
            for (int i = 0; i < 10000; ++i)
                journal.markDone(journal.append(QStringLiteral("message"), data));
            const quint64 last = journal.append(QStringLiteral("message"), "last");
            QVERIFY(last != 0);
            journal.flush();
            QVERIFY2(journal.fileSize() < 2 * 1024 * 1024, qPrintable(QString::number(journal.fileSize())));
        }
        MessageJournal again(m_journalFolder);
        std::vector<MessageJournal::Entry> pending;
        QVERIFY(again.claim(pending));
        QCOMPARE(pending.size(), size_t(1));
        QCOMPARE(pending.at(0).data, QByteArray("last"));

        // A pipe or a sparse giant where the journal should be is put aside
        // unread: no hang, no crash, a fresh journal.
        for (const char *kind : {"pipe", "giant"}) {
            const QString folder = m_dir.filePath(QString::fromLatin1(kind));
            QVERIFY(QDir().mkpath(folder));
            QFile file(folder + "/journal");
            if (kind == QByteArray("pipe"))
                QCOMPARE(::mkfifo(QFile::encodeName(file.fileName()).constData(), 0600), 0);
            else
                QVERIFY(file.open(QIODevice::WriteOnly) && file.resize(2LL << 30));
            file.close();
            MessageJournal strange(folder);
            QVERIFY(strange.claim(pending));
            QVERIFY(pending.empty());
            QVERIFY(QFile::exists(folder + "/journal.damaged"));
            QVERIFY(strange.append(QStringLiteral("message"), "fresh") != 0);
        }

        QVERIFY(MessageJournal::syncFolder(m_journalFolder));

        // One instance more than there are journals: said, not recorded.
        std::vector<std::unique_ptr<MessageJournal>> sessions;
        QStringList busy;
        for (int i = 0; i <= MessageJournal::kSlots; ++i) {
            sessions.push_back(std::make_unique<MessageJournal>(m_dir.filePath("crowd")));
            sessions.back()->setFailureHandler([&](const QString &path, const QString &) { busy << path; });
            QCOMPARE(sessions.back()->claim(pending), i < MessageJournal::kSlots);
        }
        QCOMPARE(busy, QStringList{m_dir.filePath("crowd")});

        // Where the folder should be there is a file: said once, with the path.
        QFile blocker(m_dir.filePath("blocker"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
        blocker.close();
        MessageJournal blocked(m_dir.filePath("blocker/Tarvello"));
        QStringList said;
        blocked.setFailureHandler([&](const QString &path, const QString &) { said << path; });
        QVERIFY(!blocked.claim(pending) && !blocked.claim(pending));
        QCOMPARE(said, QStringList{m_dir.filePath("blocker/Tarvello/journal")});

        // A journal that cannot be written at the start (a folder where its
        // new file goes, as a full disk refuses it) is written once it can.
        const QString late = m_dir.filePath("late");
        QVERIFY(QDir().mkpath(late + "/journal.new"));
        {
            MessageJournal journal(late);
            said.clear();
            journal.setFailureHandler([&](const QString &path, const QString &) { said << path; });
            QVERIFY(journal.claim(pending));
            QVERIFY(journal.append(QStringLiteral("message"), "while it cannot") != 0);
            QVERIFY(QDir(late + "/journal.new").removeRecursively());
            QVERIFY(journal.append(QStringLiteral("message"), "once it can") != 0);
            journal.flush();
            QCOMPARE(said.size(), 1);
        }
        MessageJournal lateAgain(late);
        QVERIFY(lateAgain.claim(pending));
        QCOMPARE(pending.size(), size_t(2));
        QCOMPARE(pending.at(0).data, QByteArray("while it cannot"));
        QCOMPARE(pending.at(1).data, QByteArray("once it can"));
    }

    void journalIsTakenWhateverWasLeft_data()
    {
        QTest::addColumn<QByteArray>("own");   // the journal
        QTest::addColumn<QByteArray>("other"); // journal.2, "link" to the journal
        QTest::addColumn<QByteArray>("lock");  // what journal.lock is
        QTest::addColumn<QStringList>("kept");
        const QByteArray x = "TVJ1" + MessageJournal::itemRecord({1, "message", "x"});
        const QByteArray xyz = x + MessageJournal::itemRecord({2, "sound", "yz"});
        const QByteArray yz = "TVJ1" + MessageJournal::itemRecord({2, "sound", "yz"});
        const QByteArray sameId = "TVJ1" + MessageJournal::itemRecord({1, "message", "yz"});
        QTest::newRow("an ended instance's") << x << sameId << QByteArray() << QStringList{"x", "yz"};
        // A crash after taking it over and before removing it.
        QTest::newRow("taken over already") << xyz << yz << QByteArray() << QStringList{"x", "yz"};
        QTest::newRow("a link to the journal") << x << QByteArray("link") << QByteArray()
                                               << QStringList{"x"};
        // The journal a link (maybe to a journal in use): put aside unread.
        QTest::newRow("the journal a link") << QByteArray("link") << QByteArray() << QByteArray()
                                            << QStringList{};
        // An empty lock a power loss left is nobody's; anything else in its
        // place (an open would wait on a FIFO) is put aside.
        for (const char *lock : {"empty", "fifo", "folder"})
            QTest::newRow(lock) << x << QByteArray() << QByteArray(lock) << QStringList{"x"};
    }
    void journalIsTakenWhateverWasLeft()
    {
        QFETCH(QByteArray, own);
        QFETCH(QByteArray, other);
        QFETCH(QByteArray, lock);
        QFETCH(QStringList, kept);
        const QString journalPath = m_journalFolder + "/journal";
        QVERIFY(QDir().mkpath(m_journalFolder));
        QFile file(own == "link" ? m_journalFolder + "/elsewhere" : journalPath);
        const QByteArray bytes = own == "link" ? "TVJ1" + MessageJournal::itemRecord({1, "m", "x"}) : own;
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        file.close();
        if (own == "link")
            QVERIFY(QFile::link(file.fileName(), journalPath));
        file.setFileName(journalPath + ".2");
        if (other == "link")
            QVERIFY(QFile::link(journalPath, file.fileName()));
        else if (!other.isEmpty())
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(other) == other.size());
        file.close();
        const QByteArray lockPath = QFile::encodeName(journalPath + ".lock");
        if (lock == "empty") {
            QFile empty(QString::fromLocal8Bit(lockPath));
            QVERIFY(empty.open(QIODevice::WriteOnly));
            empty.setFileTime(QDateTime::currentDateTime().addSecs(-60),
                              QFileDevice::FileModificationTime);
        }
        if (lock == "fifo")
            QCOMPARE(::mkfifo(lockPath.constData(), 0600), 0);
        if (lock == "folder")
            QVERIFY(QDir().mkpath(QString::fromLocal8Bit(lockPath)));
        MessageJournal journal(m_journalFolder);
        QStringList said;
        journal.setFailureHandler([&](const QString &path, const QString &) { said << path; });
        std::vector<MessageJournal::Entry> pending;
        QVERIFY(journal.claim(pending));
        QCOMPARE(journal.path(), journalPath);
        QStringList read;
        for (const MessageJournal::Entry &e : pending)
            read << QString::fromLatin1(e.data);
        QCOMPARE(read, kept);
        QCOMPARE(said, QStringList());
        QCOMPARE(QFileInfo::exists(journalPath + ".2"), other == "link");
    }

    void stopTakesInEveryMessageWaiting_data()
    {
        QTest::addColumn<bool>("restart");
        QTest::addColumn<int>("queueItems");
        QTest::addColumn<int>("silentPeers"); // behind the messages
        QTest::addColumn<int>("taken"); // queued once the stop is done
        QTest::newRow("exit") << false << 4 << 0 << 7;
        QTest::newRow("restart") << true << 4 << 0 << 7;
        // Every sender told "delivered" counts, however small the queue.
        QTest::newRow("restart, a small queue") << true << 2 << 0 << 7;
        // Silent peers cost the stop no more than its time.
        QTest::newRow("exit, silent peers") << false << 4 << 60 << 7;
        // ... and a stream of them that never ends (-1).
        QTest::newRow("exit, peers keep coming") << false << 4 << -1 << 7;
    }
    void stopTakesInEveryMessageWaiting()
    {
        // A full queue: senders wait in the listen queue, told "delivered".
        QFETCH(bool, restart);
        QFETCH(int, queueItems);
        QFETCH(int, silentPeers);
        QFETCH(int, taken);
        m_queueItems = queueItems;
        startListeners();
        m_queueItems = IncomingQueue::kMaxItems;
        m_fakeWindows->hold();
        QStringList sent;
        for (int i = 0; i < 8; ++i) {
            sent << QString::number(i);
            QVERIFY(sendText(sent.last()));
        }
        std::vector<std::unique_ptr<QTcpSocket>> silent;
        for (int i = 0; i < silentPeers; ++i) {
            silent.push_back(std::make_unique<QTcpSocket>());
            QVERIFY(connectClient(*silent.back(), m_messagePort));
        }
        std::jthread coming;
        if (silentPeers < 0)
            coming = std::jthread([this](std::stop_token stop) {
                std::vector<std::unique_ptr<QTcpSocket>> peers;
                while (!stop.stop_requested() && peers.size() < 2000) {
                    peers.push_back(std::make_unique<QTcpSocket>());
                    connectClient(*peers.back(), m_messagePort);
                    std::this_thread::sleep_for(std::chrono::milliseconds(4));
                }
            });
        QVERIFY(waitUntil([&] { return m_fakeWindows->open() == 1; }));
        if (restart) {
            useFreePorts(); // the listener moves
            m_control->restartListeners(); // never waits for a window
            QCOMPARE(m_control->messages().size(), taken);
            m_fakeWindows->release();
            sent = sent.mid(0, 1 + taken);
        } else {
            QElapsedTimer stopping;
            stopping.start();
            exitAndStartAgain();
            // Not a measure of speed: the bound of a stop that would hang.
            QVERIFY2(stopping.elapsed() < 5000, qPrintable(QString::number(stopping.elapsed())));
            sent.removeFirst(); // shown before the end
        }
        QVERIFY(waitUntil([&] { return m_log.size() == sent.size(); }));
        QCOMPARE(logged(), sent);
    }

    void stopTokenFromOutsideAStopIsAMessage()
    {
        startListeners();
        QVERIFY(sendAndClose(m_messagePort, QByteArray(StopToken)));
        QVERIFY(sendText(QStringLiteral("after")));
        QVERIFY(waitUntil([&] { return m_log.size() == 2; }));
        QCOMPARE(m_fakeWindows->shown(), (QStringList{QString::fromLatin1(StopToken), "after"}));
    }

    void stopWaitsForTheOpenWindow()
    {
        startListeners();
        m_fakeWindows->hold();
        QVERIFY(sendText(QStringLiteral("pending")));
        QVERIFY(waitUntil([&] { return m_fakeWindows->open() == 1; }));
        std::atomic<bool> stopped{false};
        std::thread stopper([&] {
            m_control->stopListeners();
            stopped = true;
        });
        QTest::qWait(500);
        QVERIFY2(!stopped, "the stop returned while the window was still open");
        m_fakeWindows->release();
        QVERIFY(waitUntil([&] { return stopped.load(); }));
        stopper.join();
        QCOMPARE(logged(), (QStringList{"pending"}));
        // Both ports are free again.
        QTcpSocket a, b;
        QVERIFY(!connectClient(a, m_messagePort));
        QVERIFY(!connectClient(b, m_dataPort));
    }

    void unbindableDataPortEndsItsListener()
    {
        QTcpServer squatter;
        QVERIFY(squatter.listen(QHostAddress::Any, wire(m_dataPort)));
        startListenersWithoutProbe();
        QVERIFY(waitUntil([&] { return !m_fakeObserver->reports().isEmpty(); }));
        QCOMPARE(m_fakeObserver->reports().value(0).kind, ListenerKind::Data);
        QCOMPARE(m_fakeObserver->reports().value(0).port, int(m_dataPort));
        QCOMPARE(m_fakeObserver->reports().value(0).error, EADDRINUSE);
        // The user closes the other program and confirms the settings
        // unchanged: the data listener takes its port.
        squatter.close();
        m_control->restartListeners();
        QVERIFY(waitListening(m_dataPort, 3000));
        QElapsedTimer timer;
        timer.start();
        m_control->stopListeners();
        QVERIFY2(timer.elapsed() < 5000, "the stop waited for a listener that had ended");
        m_control.reset();
    }

    void unbindableMessagePortIsReportedOnceAndRetried()
    {
        auto squatter = std::make_unique<QTcpServer>();
        QVERIFY(squatter->listen(QHostAddress::Any, wire(m_messagePort)));
        startListenersWithoutProbe();
        QVERIFY(waitUntil([&] { return !m_fakeObserver->reports().isEmpty(); }));
        QTest::qWait(1500); // several retries
        QCOMPARE(m_fakeObserver->reports().size(), 1);
        QCOMPARE(m_fakeObserver->reports().value(0).kind, ListenerKind::Message);
        squatter.reset();
        // Once the port is free, the listener takes it.
        QVERIFY(waitListening(m_messagePort));
        QVERIFY(sendText(QStringLiteral("late")));
        QVERIFY(waitUntil([&] { return m_log.size() == 1; }));
        QCOMPARE(m_fakeObserver->reports().size(), 1);
    }

    void stopSendsNothingToTheProgramThatHoldsThePorts()
    {
        // Another program (a second user's Tarvello) holds both ports.
        QTcpServer messageHolder, dataHolder;
        QVERIFY(messageHolder.listen(QHostAddress::Any, wire(m_messagePort)));
        QVERIFY(dataHolder.listen(QHostAddress::Any, wire(m_dataPort)));
        startListenersWithoutProbe();
        QVERIFY(waitUntil([&] { return m_fakeObserver->reports().size() == 2; }));
        QElapsedTimer timer;
        timer.start();
        m_control->stopListeners();
        QVERIFY(!m_control->isRunning());
        QVERIFY2(timer.elapsed() < 2000, "the stop waited for listeners that never listened");
        QVERIFY2(!messageHolder.waitForNewConnection(300),
                 "the stop token reached another program");
        QVERIFY2(!dataHolder.waitForNewConnection(300), "the stop header reached another program");
    }

    void restartMovesBothListeners()
    {
        startListeners();
        const quint16 oldMessage = m_messagePort;
        const quint16 oldData = m_dataPort;
        useFreePorts();
        m_control->restartListeners();
        QCOMPARE(m_control->messagePort(), m_messagePort);
        QCOMPARE(m_control->dataPort(), m_dataPort);
        QVERIFY(waitListening(m_messagePort) && waitListening(m_dataPort));
        QTcpSocket a, b;
        QVERIFY(!connectClient(a, oldMessage));
        QVERIFY(!connectClient(b, oldData));
        QVERIFY(sendText(QStringLiteral("moved")));
        QVERIFY(waitUntil([&] { return m_log.size() == 1; }));

        // The two trade ports: each finds its new one free.
        Settings swapped = m_settings.get();
        std::swap(swapped.ListeningPort, swapped.ListeningDataPort);
        m_settings.set(swapped);
        std::swap(m_messagePort, m_dataPort);
        m_control->restartListeners();
        QVERIFY(waitListening(m_messagePort) && waitListening(m_dataPort));
        QVERIFY(sendText(QStringLiteral("swapped")));
        QVERIFY(waitUntil([&] { return m_log.size() == 2; }));
        QVERIFY(m_fakeObserver->reports().isEmpty());

        // Exit during a restart held up by an open window: whichever takes
        // the listeners first, they are stopped in the end.
        m_fakeWindows->hold();
        QVERIFY(sendText(QStringLiteral("open")));
        QVERIFY(waitUntil([&] { return m_fakeWindows->open() == 1; }));
        useFreePorts();
        std::jthread restart([this] { m_control->restartListeners(); });
        std::jthread stop([this] { m_control->stopListeners(); });
        QTest::qWait(100);
        m_fakeWindows->release();
        restart.join();
        stop.join();
        QVERIFY(!m_control->isRunning());
        QTcpSocket c;
        QVERIFY(!connectClient(c, m_messagePort));
    }

    void silentPeerIsDropped()
    {
        startListeners(300);
        QTcpSocket silent;
        QVERIFY(connectClient(silent, m_messagePort));
        silent.write("half a mess");
        silent.waitForBytesWritten(1000);
        // The listener gives up on the silent peer: what arrived is the message.
        QVERIFY(waitUntil([&] { return m_log.size() == 1; }));
        QCOMPARE(m_fakeWindows->shown().value(0), QStringLiteral("half a mess"));

        QTcpSocket silentData;
        QVERIFY(connectClient(silentData, m_dataPort));
        silentData.write(QByteArray(100, '\1'));
        silentData.waitForBytesWritten(1000);
        // The data listener drops it without an answer and serves the next.
        QCOMPARE(dataExchange(m_dataPort, headerOfKind(7).encode()), encodeAnswer(0));
        QVERIFY(!silentData.waitForReadyRead(100) || silentData.readAll().isEmpty());
    }

    void tricklingPeersAreCutAtTheDeadline()
    {
        startListeners(30000, 1000);
        // A byte every 100 ms to each port for up to 20 s: never silent for
        // the idle limit.
        Trickler message(m_messagePort), data(m_dataPort);
        QVERIFY(message.connected() && data.connected());
        // A real message and a real request behind them are served once the
        // deadline has cut the tricklers off.
        QVERIFY(sendText(QStringLiteral("после")));
        QVERIFY(waitUntil([&] { return m_log.size() == 2; }, 5000));
        QCOMPARE(m_log.entries().at(0).text, QString(m_log.entries().at(0).text.size(), u'x'));
        QCOMPARE(m_log.entries().at(1).text, QStringLiteral("после"));
        QCOMPARE(dataExchange(m_dataPort, headerOfKind(7).encode()), encodeAnswer(0));
    }

    void stopCutsPeersInProgress()
    {
        startListeners();
        Trickler message(m_messagePort), data(m_dataPort);
        QVERIFY(message.connected() && data.connected());
        // Neither listener waits for its peer's 30 s: the stop returns.
        std::atomic<bool> stopped{false};
        std::thread stopper([&] {
            m_control->stopListeners();
            stopped = true;
        });
        const bool inTime = waitUntil([&] { return stopped.load(); }, 5000);
        stopper.join();
        QVERIFY(inTime);
    }

    void unknownKindIsRefused()
    {
        startListeners();
        QCOMPARE(dataExchange(m_dataPort, headerOfKind(7).encode()), encodeAnswer(0));
        QCOMPARE(dataExchange(m_dataPort, headerOfKind(0).encode()), encodeAnswer(0));
    }

    void incompleteHeaderGetsNoAnswer()
    {
        startListeners();
        for (int length : {0, 1, 100, 695}) {
            QTcpSocket socket;
            QVERIFY(connectClient(socket, m_dataPort));
            socket.write(headerOfKind(2).encode().left(length));
            socket.waitForBytesWritten(1000);
            socket.disconnectFromHost();
            if (socket.state() != QAbstractSocket::UnconnectedState)
                socket.waitForDisconnected(2000);
            QCOMPARE(socket.readAll(), QByteArray());
        }
        QCOMPARE(dataExchange(m_dataPort, headerOfKind(7).encode()), encodeAnswer(0));
    }

    void strayStopHeaderIsRefused()
    {
        startListeners();
        // No stop is under way: a stop header is refused and the listener
        // goes on.
        QCOMPARE(dataExchange(m_dataPort, DataHeader::stop().encode()), encodeAnswer(0));
        QCOMPARE(dataExchange(m_dataPort, DataHeader::stop().encode()), encodeAnswer(0));
        QCOMPARE(dataExchange(m_dataPort, headerOfKind(7).encode()), encodeAnswer(0));
    }
};

TARVELLO_TEST_MAIN(ListenersTest)
#include "ListenersTest.moc"
