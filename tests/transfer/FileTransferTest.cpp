#include "core/transfer/FileTransfer.h"
#include "core/base/MessageLog.h"
#include "core/base/Settings.h"
#include "core/net/ListenerControl.h"
#include "support/TestMain.h"

#include "core/net/Cancellation.h"
#include "core/transfer/OfferedFile.h"
#include "net/TestSupport.h"
#include "support/TestListeners.h"

#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <future>
#include <mutex>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>

using namespace TestSupport;
using FileTransfer::safeFileName;
using FileTransfer::sizeText;

namespace {

struct Reports {
    std::mutex mutex;
    QList<QPair<FileSendStatus, int>> list;
    void operator()(FileSendStatus s, int a)
    {
        std::lock_guard lock(mutex);
        list.append({s, a});
    }
    QList<FileSendStatus> statuses()
    {
        std::lock_guard lock(mutex);
        QList<FileSendStatus> out;
        for (const auto &r : list)
            out.append(r.first);
        return out;
    }
};

QByteArray randomBytes(qsizetype size)
{
    QByteArray b(size, '\0');
    QRandomGenerator gen(42);
    for (qsizetype i = 0; i < size; ++i)
        b[i] = char(gen.bounded(256));
    return b;
}

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

void writeFile(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

} // namespace

class FileTransferTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;
    std::unique_ptr<TestListeners> m_receiver;
    MessageLog *m_log = nullptr;
    FakeWindows *m_windows = nullptr;
    quint16 m_dataPort = 0;

    QString path(const char *name) const { return m_dir.filePath(QString::fromUtf8(name)); }
    FileSendJob job(const QString &file) const
    {
        return {Ipv4Address::loopback(), m_dataPort, QStringLiteral("PC1"), file,
                QFileInfo(file).fileName()};
    }

    // Offers a file of 100,000 bytes from "PC9" over a raw socket; true when
    // the offer was accepted (the answer 1).
    bool offerAccepted(QTcpSocket &s, const QString &fileName)
    {
        DataHeader h;
        h.kind = 1;
        h.senderName = QStringLiteral("PC9");
        h.fileName = fileName;
        h.size = 100000;
        if (!connectClient(s, m_dataPort))
            return false;
        s.write(h.encode());
        return s.waitForReadyRead(5000) && s.read(4) == encodeAnswer(1);
    }

private slots:
    void sizes_data()
    {
        QTest::addColumn<quint32>("bytes");
        QTest::addColumn<QString>("text");
        QTest::newRow("0") << 0u << "0 байт";
        QTest::newRow("1023") << 1023u << "1023 байт";
        QTest::newRow("1024") << 1024u << "1 Кбайт";
        QTest::newRow("3000") << 3000u << "2 Кбайт";
        QTest::newRow("1023999") << 1023999u << "999 Кбайт";
        QTest::newRow("1024000") << 1024000u << "1.000 Мбайт";
        QTest::newRow("1536000") << 1536000u << "1.500 Мбайт";
        QTest::newRow("1049600") << 1049600u << "1.025 Мбайт";
        QTest::newRow("2500000") << 2500000u << "2.441 Мбайт";
        QTest::newRow("max") << 4294967295u << "4194.303 Мбайт";
    }
    void sizes()
    {
        QFETCH(quint32, bytes);
        QFETCH(QString, text);
        QCOMPARE(sizeText(bytes), text);
    }

    void percentagesOfLargeFiles()
    {
        constexpr qint64 gib = qint64(1) << 30;
        QCOMPARE(FileTransfer::percentSent(0, 5 * gib), 0);
        QCOMPARE(FileTransfer::percentSent(gib, 5 * gib), 20);
        QCOMPARE(FileTransfer::percentSent(4 * gib + 1, 5 * gib), 80);
        QCOMPARE(FileTransfer::percentSent(5 * gib - 1, 5 * gib), 99);
        QCOMPARE(FileTransfer::percentSent(5 * gib, 5 * gib), 100);
        QCOMPARE(FileTransfer::percentSent(0, 0), 100);
    }

    void namesFromTheNetworkAreMadeSafe_data()
    {
        QTest::addColumn<QString>("offered");
        QTest::addColumn<QString>("safe");
        QTest::newRow("climbing") << "../../.bashrc"
                                  << "bashrc";
        QTest::newRow("windows path") << "C:\\x\\y.txt"
                                      << "y.txt";
        QTest::newRow("unix path") << "/etc/passwd"
                                   << "passwd";
        QTest::newRow("hidden") << ".hidden"
                                << "hidden";
        QTest::newRow("dots only") << "..."
                                   << "файл";
        QTest::newRow("empty") << ""
                               << "файл";
        QTest::newRow("folder only") << "dir/"
                                     << "файл";
        QTest::newRow("controls") << "ok\x01na\nme\x1f.txt"
                                  << "okname.txt";
        QTest::newRow("bidi override") << QString::fromUtf8("evil\u202Etxt.exe") << "eviltxt.exe";
        QTest::newRow("blanks") << "  spaced name  "
                                << "spaced name";
        QTest::newRow("cyrillic") << "отчёт за май.docx"
                                  << "отчёт за май.docx";
        QTest::newRow("long") << QString(300, u'a') + ".txt" << QString(196, u'a') + ".txt";
        // A Linux file name holds 255 bytes; the receiver adds up to 11.
        QTest::newRow("long cyrillic")
            << QString(200, u'я') + ".txt" << QString(120, u'я') + ".txt";
        const QString face = QString::fromUtf8("\xF0\x9F\x98\x80"); // four bytes, two units
        QTest::newRow("no split pair") << "a" + face.repeated(110) + ".txt"
                                       << "a" + face.repeated(59) + ".txt";
    }
    void namesFromTheNetworkAreMadeSafe()
    {
        QFETCH(QString, offered);
        QFETCH(QString, safe);
        QCOMPARE(safeFileName(offered), safe);
    }

    void init()
    {
        m_receiver = std::make_unique<TestListeners>();
        QVERIFY(m_receiver->up);
        m_log = &m_receiver->log;
        m_windows = &m_receiver->windows;
        m_dataPort = m_receiver->dataPort();
    }
    void cleanup() { m_receiver.reset(); }

    void noConnectionAndCannotOpen()
    {
        Reports r;
        FileSendJob j = job(path("x"));
        j.port = freeConfiguredPort();
        FileTransfer::sendFile(j, std::ref(r));
        QCOMPARE(r.statuses(), QList<FileSendStatus>{FileSendStatus::NoConnection});
        Reports r2;
        FileTransfer::sendFile(job(path("does-not-exist")), std::ref(r2));
        QCOMPARE(r2.statuses(), QList<FileSendStatus>{FileSendStatus::CannotOpen});
        QCOMPARE(m_windows->offers().size(), 0); // an empty connection: nothing asked
    }

    void refusedIsLogged()
    {
        writeFile(path("offer.txt"), "data");
        Reports r;
        FileSendJob j = job(path("offer.txt"));
        j.fileName = QStringLiteral("../../.bashrc");
        FileTransfer::sendFile(j, std::ref(r));
        QCOMPARE(r.statuses(), QList<FileSendStatus>{FileSendStatus::Refused});
        QCOMPARE(m_windows->offers().size(), 1);
        QCOMPARE(m_windows->offers().at(0).fileName, QStringLiteral("bashrc"));
        QCOMPARE(m_windows->offers().at(0).sender, QStringLiteral("PC1"));
        QCOMPARE(m_windows->offers().at(0).size, 4u);
        QVERIFY(waitUntil([&] { return m_log->size() == 1; }));
        QCOMPARE(m_log->entries().at(0).text, QStringLiteral("PC1 хотел послать файл bashrc"));
    }

    void aCancelledSenderStopsWaitingAtOnce()
    {
        // The recipient's user has the prompt open; the sender's program
        // ends meanwhile: its worker returns at once, as a refusal.
        writeFile(path("wait.txt"), "data");
        m_windows->hold();
        Reports r;
        Cancellation cancellation;
        FileSendJob j = job(path("wait.txt"));
        j.cancellation = &cancellation;
        std::jthread worker([&] { FileTransfer::sendFile(j, std::ref(r)); });
        QVERIFY(waitUntil([&] { return m_windows->open() == 1; }));
        QElapsedTimer timer;
        timer.start();
        cancellation.cancel();
        worker.join();
        QVERIFY2(timer.elapsed() < 1000, qPrintable(QString::number(timer.elapsed())));
        QCOMPARE(r.statuses(), QList<FileSendStatus>{FileSendStatus::Refused});
        m_windows->release();

        // Cancelled before it connects: it does not connect at all.
        Reports r2;
        FileTransfer::sendFile(j, std::ref(r2));
        QCOMPARE(r2.statuses(), QList<FileSendStatus>{FileSendStatus::NoConnection});
    }

    void acceptedFileArrivesWhole()
    {
        const QByteArray data = randomBytes(1500000);
        writeFile(path("big.bin"), data);
        QDir().mkpath(path("in"));
        m_windows->answerOffers({path("in/big.bin")});
        Reports r;
        FileTransfer::sendFile(job(path("big.bin")), std::ref(r));
        QCOMPARE(r.statuses().first(), FileSendStatus::Progress);
        QCOMPARE(r.list.first().second, 0);
        QCOMPARE(r.statuses().last(), FileSendStatus::Done);
        // Progress only on change, increasing, at most 101 reports.
        int last = -1;
        int progress = 0;
        for (const auto &[status, argument] : r.list) {
            if (status != FileSendStatus::Progress)
                continue;
            ++progress;
            QVERIFY(argument > last);
            last = argument;
        }
        QVERIFY(progress <= 101);
        QCOMPARE(last, 100);
        QVERIFY(waitUntil([&] { return QFile::exists(path("in/big.bin")); }));
        QCOMPARE(readAll(path("in/big.bin")), data);
        // No temporary file is left behind.
        QCOMPARE(QDir(path("in")).entryList(QDir::Files | QDir::Hidden).size(), 1);
        QCOMPARE(m_log->size(), 0); // a received file is not announced
    }

    void emptyFile()
    {
        writeFile(path("empty"), QByteArray());
        m_windows->answerOffers({path("empty-in")});
        Reports r;
        FileTransfer::sendFile(job(path("empty")), std::ref(r));
        QCOMPARE(r.statuses(),
                 (QList<FileSendStatus>{FileSendStatus::Progress, FileSendStatus::Done}));
        QVERIFY(waitUntil([&] { return QFile::exists(path("empty-in")); }));
        QCOMPARE(QFileInfo(path("empty-in")).size(), 0);
    }

    void confirmedReplacementReplaces()
    {
        writeFile(path("new.txt"), "new content");
        writeFile(path("target.txt"), "old content that is longer");
        m_windows->answerOffers({path("target.txt")});
        Reports r;
        FileTransfer::sendFile(job(path("new.txt")), std::ref(r));
        QCOMPARE(r.statuses().last(), FileSendStatus::Done);
        QVERIFY(waitUntil([&] { return readAll(path("target.txt")) == "new content"; }));
    }

    void unwritableFolderRefusesAndSaysWhy()
    {
        writeFile(path("a.txt"), "a");
        m_windows->answerOffers({path("no-such-folder/a.txt")});
        Reports r;
        FileTransfer::sendFile(job(path("a.txt")), std::ref(r));
        QCOMPARE(r.statuses(), QList<FileSendStatus>{FileSendStatus::Refused});
        QVERIFY(waitUntil([&] { return m_log->size() == 1; }));
        QVERIFY(m_log->entries().at(0).text.startsWith(
            QStringLiteral("Файл a.txt от PC1 не сохранен")));
    }

    void senderThatBreaksOffLeavesAPartFile()
    {
        writeFile(path("kept.txt"), "an existing file");
        m_windows->answerOffers({path("kept.txt")});
        QTcpSocket s;
        QVERIFY(offerAccepted(s, QStringLiteral("kept.txt")));
        s.write(QByteArray(30000, 'p'));
        s.waitForBytesWritten(5000);
        // The stream ends short of the offered length: the receiver resets,
        // never closes in order (which would mean "stored").
        QCOMPARE(::shutdown(int(s.socketDescriptor()), SHUT_WR), 0);
        pollfd readable{int(s.socketDescriptor()), POLLIN, 0};
        QCOMPARE(::poll(&readable, 1, 10000), 1);
        char rest;
        QCOMPARE(::recv(int(s.socketDescriptor()), &rest, 1, 0), ssize_t(-1));
        QCOMPARE(errno, ECONNRESET);
        QVERIFY(waitUntil([&] { return m_log->size() == 1; }));
        // The existing file is untouched; what arrived is kept under a name
        // that says it is partial, and the log says so.
        QCOMPARE(readAll(path("kept.txt")), QByteArray("an existing file"));
        QCOMPARE(readAll(path("kept.txt.part")), QByteArray(30000, 'p'));
        const QString line = m_log->entries().at(0).text;
        QVERIFY2(line.startsWith(QStringLiteral("Файл kept.txt от PC9 принят не полностью")),
                 qPrintable(line));
        QVERIFY2(line.contains(QStringLiteral("29 Кбайт из 97 Кбайт")), qPrintable(line));
    }

    void senderGoneBeforeTheFirstByteLeavesNothing()
    {
        QDir().mkpath(path("gone"));
        m_windows->answerOffers({path("gone/gone.txt")});
        QTcpSocket s;
        QVERIFY(offerAccepted(s, QStringLiteral("gone.txt")));
        s.disconnectFromHost();
        QVERIFY(waitUntil([&] { return m_log->size() == 1; }));
        QCOMPARE(m_log->entries().at(0).text,
                 QStringLiteral("Файл gone.txt от PC9 не сохранен: отправитель прервал передачу"));
        QCOMPARE(QDir(path("gone")).entryList(QDir::Files | QDir::Hidden), QStringList());
    }

    void longNamesArriveShortenedWithTheUsersPermissions()
    {
        const mode_t saved = ::umask(027);
        writeFile(path("long.txt"), "long");
        FileSendJob j = job(path("long.txt"));
        j.fileName = QString(200, u'я') + QStringLiteral(".txt");
        const QString shortened = QString(120, u'я') + QStringLiteral(".txt");
        m_windows->answerOffers({m_dir.filePath(shortened), m_dir.filePath(shortened)});
        Reports r;
        FileTransfer::sendFile(j, std::ref(r));
        QCOMPARE(r.statuses().last(), FileSendStatus::Done);
        QCOMPARE(m_windows->offers().at(0).fileName, shortened);
        QCOMPARE(readAll(m_dir.filePath(shortened)), QByteArray("long"));
        QCOMPARE(QFileInfo(m_dir.filePath(shortened)).permissions() & 0x7077,
                 QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
        // A confirmed replacement keeps the replaced file's permissions, but
        // never its set-user-ID bit.
        const QByteArray replaced = QFile::encodeName(m_dir.filePath(shortened));
        QCOMPARE(::chmod(replaced.constData(), 04700), 0);
        Reports again;
        FileTransfer::sendFile(j, std::ref(again));
        QCOMPARE(again.statuses().last(), FileSendStatus::Done);
        struct stat st;
        QCOMPARE(::stat(replaced.constData(), &st), 0);
        QCOMPARE(st.st_mode & 07777, mode_t(0700));
        ::umask(saved);
    }

    void sessionEndCutsATransferInProgress()
    {
        m_windows->answerOffers({path("slow.bin")});
        QTcpSocket s;
        QVERIFY(offerAccepted(s, QStringLiteral("slow.bin")));
        s.write(QByteArray(1000, 'p'));
        s.waitForBytesWritten(5000);
        // The peer goes quiet, holding the connection; the session ends.
        QElapsedTimer timer;
        timer.start();
        m_receiver->control->endSession();
        m_receiver->control->stopListeners();
        QVERIFY2(timer.elapsed() < 2000, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(waitUntil([&] { return m_log->size() == 1; }));
        const QString line = m_log->entries().at(0).text;
        QVERIFY2(line.startsWith(QStringLiteral("Файл slow.bin от PC9 принят не полностью")),
                 qPrintable(line));
        QVERIFY(!QFile::exists(path("slow.bin")));
    }

    void settingsRestartWaitsForATransferInProgress()
    {
        m_windows->answerOffers({path("moving.bin")});
        QTcpSocket s;
        QVERIFY(offerAccepted(s, QStringLiteral("moving.bin")));
        const QByteArray body = randomBytes(100000);
        s.write(body.left(1000));
        s.waitForBytesWritten(5000);
        // The data port moves while the file arrives: the restart waits for
        // it, and the message listener, whose port stays, keeps listening.
        Settings moved = m_receiver->settings.get();
        moved.ListeningDataPort = TestSupport::freeConfiguredPort();
        m_receiver->settings.set(moved);
        std::jthread restart([this] { m_receiver->control->restartListeners(); });
        QTest::qWait(300);
        QVERIFY(TestSupport::sendAndClose(m_receiver->messagePort(), "meanwhile"));
        QVERIFY(waitUntil([&] { return m_windows->shown().contains(QStringLiteral("meanwhile")); }));
        // A second change moving the message port does not wait for the file.
        moved.ListeningPort = TestSupport::freeConfiguredPort();
        m_receiver->settings.set(moved);
        std::jthread second([this] { m_receiver->control->restartListeners(); });
        QVERIFY(TestSupport::waitListening(moved.ListeningPort, 3000));
        s.write(body.mid(1000));
        while (s.bytesToWrite() > 0 && s.waitForBytesWritten(5000)) {
        }
        s.disconnectFromHost();
        restart.join();
        second.join();
        QCOMPARE(m_receiver->control->dataPort(), moved.ListeningDataPort);
        QVERIFY(waitUntil([&] { return readAll(path("moving.bin")) == body; }));
        // Nothing was cut: the message is all there is in the log.
        QCOMPARE(m_log->size(), 1);
        QCOMPARE(m_log->entries().at(0).text, QStringLiteral("meanwhile"));
    }

    void aFileThatChangesWhileSentIsNotDelivered_data()
    {
        QTest::addColumn<int>("change");
        QTest::newRow("grows") << 0;
        QTest::newRow("shrinks") << 1;
        QTest::newRow("written to") << 2;
    }
    void aFileThatChangesWhileSentIsNotDelivered()
    {
        QFETCH(int, change);
        const QString source = path("changing.bin");
        writeFile(source, randomBytes(1500000));
        // Made old, so that a write now is seen whatever the clock's grain.
        const struct timespec old[2] = {{1000000000, 0}, {1000000000, 0}};
        QCOMPARE(::utimensat(AT_FDCWD, QFile::encodeName(source).constData(), old, 0), 0);
        QDir(path("changed")).removeRecursively();
        QDir().mkpath(path("changed"));
        const QString target = path("changed/changing.bin");
        m_windows->answerOffers({target});
        Reports r;
        FileTransfer::sendFile(job(source), [&](FileSendStatus status, int argument) {
            r(status, argument);
            if (status != FileSendStatus::Progress || argument != 0)
                return;
            // Accepted, nothing read yet: the file changes under the sender.
            QFile f(source);
            QVERIFY(f.open(QIODevice::ReadWrite));
            if (change == 0)
                QVERIFY(f.seek(f.size()) && f.write("more") == 4);
            else if (change == 1)
                QVERIFY(f.resize(100000));
            else
                QVERIFY(f.write("same length") == 11);
        });
        QCOMPARE(r.statuses().last(), FileSendStatus::Changed);
        QVERIFY(waitUntil([&] { return m_log->size() == 1; }));
        const QString line = m_log->entries().at(0).text;
        QVERIFY2(line.startsWith(QStringLiteral("Файл changing.bin от PC1 принят не полностью")),
                 qPrintable(line));
        QCOMPARE(QDir(path("changed")).entryList(QDir::Files | QDir::Hidden),
                 QStringList{QStringLiteral("changing.bin.part")});
    }

    void onlyRegularFilesAreOffered_data()
    {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("problem");
        QTest::newRow("device") << "/dev/zero" << int(OfferedFile::Problem::Device);
        QTest::newRow("proc") << "/proc/cpuinfo" << int(OfferedFile::Problem::SizeUnknown);
        QTest::newRow("folder") << "." << int(OfferedFile::Problem::Folder);
    }
    void onlyRegularFilesAreOffered()
    {
        QFETCH(QString, file);
        QFETCH(int, problem);
        Reports r;
        FileTransfer::sendFile(job(file.startsWith(u'/') ? file : m_dir.filePath(file)),
                               std::ref(r));
        QCOMPARE(r.list,
                 (QList<QPair<FileSendStatus, int>>{{FileSendStatus::NotRegular, problem}}));
        QCOMPARE(m_windows->offers().size(), 0);
    }

    void receiverThatBreaksOffIsAFailure()
    {
        BreakingReceiver peer(1000);
        writeFile(path("five.bin"), randomBytes(5000000));
        FileSendJob j = job(path("five.bin"));
        j.port = peer.port();
        Reports r;
        FileTransfer::sendFile(j, std::ref(r));
        QCOMPARE(r.statuses().first(), FileSendStatus::Progress);
        QCOMPARE(r.statuses().last(), FileSendStatus::Interrupted);
    }

    void secondOfferWaitsForTheFirstAnswer()
    {
        writeFile(path("one.txt"), "1");
        m_windows->hold();
        Reports first;
        std::thread a([&] { FileTransfer::sendFile(job(path("one.txt")), std::ref(first)); });
        QVERIFY(waitUntil([&] { return m_windows->open() == 1; }));
        Reports second;
        std::thread b([&] { FileTransfer::sendFile(job(path("one.txt")), std::ref(second)); });
        QTest::qWait(300);
        QCOMPARE(m_windows->offers().size(), 1);
        QVERIFY(second.statuses().isEmpty()); // still waiting for its answer
        m_windows->release();
        a.join();
        b.join();
        QCOMPARE(m_windows->offers().size(), 2);
        QCOMPARE(first.statuses(), QList<FileSendStatus>{FileSendStatus::Refused});
        QCOMPARE(second.statuses(), QList<FileSendStatus>{FileSendStatus::Refused});
    }
};

TARVELLO_TEST_MAIN(FileTransferTest)
#include "FileTransferTest.moc"
