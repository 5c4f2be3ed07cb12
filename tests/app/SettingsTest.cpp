#include "core/base/Settings.h"
#include "support/TestMain.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

class SettingsTest : public QObject {
    Q_OBJECT

    QTemporaryDir m_dir;

    QString path() const { return m_dir.filePath(QStringLiteral("Tarvello/Tarvello.conf")); }
    void write(const QByteArray &content)
    {
        QDir().mkpath(m_dir.filePath(QStringLiteral("Tarvello")));
        QFile f(path());
        QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(content);
    }

private slots:
    void init() { QFile::remove(path()); }

    void defaults()
    {
        const Settings s;
        QCOMPARE(s.ListeningPort, 1024);
        QCOMPARE(s.ListeningDataPort, 33277);
        QCOMPARE(s.AutoPlaySound, false);
        QCOMPARE(s.UseNetSendByDeault, false);
        QCOMPARE(s.offerTimeoutSeconds, 15);
    }

    void missingFileFailsAndKeepsRecord()
    {
        Settings s;
        s.ListeningPort = 7;
        QVERIFY(!SettingsStore(path()).load(s));
        QCOMPARE(s.ListeningPort, 7);
    }

    void saveWritesExactlyFourValues()
    {
        Settings s;
        s.ListeningPort = 2000;
        s.ListeningDataPort = 3000;
        s.AutoPlaySound = true;
        s.offerTimeoutSeconds = 99;
        QVERIFY(SettingsStore(path()).save(s));
        QSettings raw(path(), QSettings::IniFormat);
        QCOMPARE(raw.allKeys().size(), 4);
        QCOMPARE(raw.value("ListeningPort").toString(), QStringLiteral("2000"));
        QCOMPARE(raw.value("ListeningDataPort").toString(), QStringLiteral("3000"));
        QCOMPARE(raw.value("AutoPlaySound").toString(), QStringLiteral("1"));
        QCOMPARE(raw.value("UseNetSendByDeault").toString(), QStringLiteral("0"));

        Settings back;
        QVERIFY(SettingsStore(path()).load(back));
        QCOMPARE(back.ListeningPort, 2000);
        QCOMPARE(back.ListeningDataPort, 3000);
        QCOMPARE(back.AutoPlaySound, true);
        QCOMPARE(back.offerTimeoutSeconds, 15); // never stored
    }

    void partialValuesKeepDefaults()
    {
        write("[General]\nListeningDataPort=40000\n");
        Settings s;
        QVERIFY(SettingsStore(path()).load(s));
        QCOMPARE(s.ListeningPort, 1024);
        QCOMPARE(s.ListeningDataPort, 40000);
    }

    void equalPortsFail()
    {
        write("[General]\nListeningPort=5000\nListeningDataPort=5000\nAutoPlaySound=1\n");
        Settings s;
        QVERIFY(!SettingsStore(path()).load(s));
        // The fields read stay in the record; start-up replaces them.
        QCOMPARE(s.ListeningPort, 5000);
        QCOMPARE(s.AutoPlaySound, true);
    }

    void switchesAreNonZeroAndSavedAsOne()
    {
        write("[General]\nAutoPlaySound=5\nUseNetSendByDeault=-1\n");
        Settings s;
        QVERIFY(SettingsStore(path()).load(s));
        QVERIFY(s.AutoPlaySound);
        QVERIFY(s.UseNetSendByDeault);
        QVERIFY(SettingsStore(path()).save(s));
        QSettings raw(path(), QSettings::IniFormat);
        QCOMPARE(raw.value("AutoPlaySound").toString(), QStringLiteral("1"));
        QCOMPARE(raw.value("UseNetSendByDeault").toString(), QStringLiteral("1"));
    }

    void portsAreTakenAsStored()
    {
        write("[General]\nListeningPort=0\nListeningDataPort=-5\n");
        Settings s;
        QVERIFY(SettingsStore(path()).load(s));
        QCOMPARE(s.ListeningPort, 0);
        QCOMPARE(s.ListeningDataPort, -5);
        write("[General]\nListeningPort=99999\nListeningDataPort=4294967295\n");
        QVERIFY(SettingsStore(path()).load(s));
        QCOMPARE(s.ListeningPort, 99999);
        QCOMPARE(s.ListeningDataPort, -1); // a DWORD of all ones
    }

    void valuesThatAreNotDwordsAreIgnored()
    {
        write("[General]\nListeningPort=abc\nListeningDataPort=4294967296\nAutoPlaySound=\n"
              "UseNetSendByDeault=1, 2\n");
        Settings s;
        QVERIFY(SettingsStore(path()).load(s));
        QCOMPARE(s, Settings());
    }

    void corruptFileLoadsWhatItCan()
    {
        static const char junk[] = "\x00\xff\xfe garbage [[[ =\n";
        write(QByteArray(junk, sizeof junk - 1) + "ListeningPort=3333\n");
        Settings s;
        SettingsStore(path()).load(s);
        // Whatever the parser makes of it, the record holds sane values and
        // loading does not crash.
        QVERIFY(s.ListeningPort == 1024 || s.ListeningPort == 3333);
    }

    void unwritableLocationReportsFailure()
    {
        SettingsStore store(QStringLiteral("/proc/tarvello-no/Tarvello.conf"));
        QVERIFY(!store.save(Settings()));
    }

    void liveRecordCopies()
    {
        LiveSettings live;
        Settings s;
        s.ListeningPort = 1;
        live.set(s);
        QCOMPARE(live.get().ListeningPort, 1);
        QCOMPARE(live.get().ListeningDataPort, 33277);
    }
};

TARVELLO_TEST_MAIN(SettingsTest)
#include "SettingsTest.moc"
