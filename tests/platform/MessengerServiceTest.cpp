#include "core/platform/MessengerService.h"
#include "support/TestMain.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTest>

// smbclient stood in for by a script that records what it was given and
// behaves as told.
class MessengerServiceTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

    QString script(const QByteArray &behaviour)
    {
        const QString path = m_dir.filePath(QStringLiteral("smbclient"));
        QFile f(path);
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        f.write("#!/bin/sh\nprintf '%s\\n' \"$@\" > \"$0.args\"\ncat > \"$0.stdin\"\n" + behaviour);
        f.close();
        f.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        return path;
    }
    QByteArray recorded(const char *what)
    {
        QFile f(m_dir.filePath(QStringLiteral("smbclient.") + QLatin1String(what)));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }

private slots:
    void deliveredWhenItExitsZeroQuietly()
    {
        SmbclientMessenger m(
            script("echo 'Type your message, ending it with a Control-D'\nexit 0\n"));
        QCOMPARE(m.send(QStringLiteral("10.77.0.2"), QStringLiteral("Иван"),
                        QStringLiteral("Привет\r\nмир")),
                 0);
        // The sender and the text in code page 1251, for Unix and DOS alike.
        QCOMPARE(recorded("args"),
                 QByteArray("-M\n10.77.0.2\n-I\n10.77.0.2\n-U\n\xc8\xe2\xe0\xed\n-N\n"
                            "--option=dos charset=CP1251\n"
                            "--option=unix charset=CP1251\n"));
        // Plain line feeds: smbclient adds the CR itself.
        QCOMPARE(recorded("stdin"), QByteArray("\xcf\xf0\xe8\xe2\xe5\xf2\n\xec\xe8\xf0"));
    }

    void anyErrorOutputIsAFailure()
    {
        SmbclientMessenger m(script("echo NT_STATUS_REQUEST_NOT_ACCEPTED >&2\nexit 0\n"));
        QVERIFY(m.send(QStringLiteral("10.77.0.2"), QStringLiteral("x"), QStringLiteral("y")) != 0);
    }

    void nonZeroExitIsAFailure()
    {
        SmbclientMessenger m(script("exit 1\n"));
        QVERIFY(m.send(QStringLiteral("10.77.0.2"), QStringLiteral("x"), QStringLiteral("y")) != 0);
    }

    void missingProgramIsAFailure()
    {
        SmbclientMessenger m(m_dir.filePath(QStringLiteral("no-such-smbclient")));
        QCOMPARE(m.send(QStringLiteral("10.77.0.2"), QStringLiteral("x"), QStringLiteral("y")),
                 SmbclientMessenger::kNotInstalled);
    }

    void hangingProgramIsStopped()
    {
        SmbclientMessenger m(script("sleep 30\n"), 500);
        QElapsedTimer timer;
        timer.start();
        QVERIFY(m.send(QStringLiteral("10.77.0.2"), QStringLiteral("x"), QStringLiteral("y")) != 0);
        QVERIFY(timer.elapsed() < 10000);
    }
};

TARVELLO_TEST_MAIN(MessengerServiceTest)
#include "MessengerServiceTest.moc"
