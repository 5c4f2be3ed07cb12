#include "core/net/DataHeader.h"
#include "support/TestMain.h"

#include <QTest>

namespace {

QByteArray utf16le(const QString &s)
{
    QByteArray out;
    for (QChar c : s) {
        out += char(c.unicode() & 0xff);
        out += char(c.unicode() >> 8);
    }
    return out;
}

} // namespace

class DataHeaderTest : public QObject {
    Q_OBJECT

private slots:
    void stopHeaderBytes()
    {
        QByteArray expected(696, '\0');
        expected[0] = 1; // marker
        expected[4] = 3; // kind Stop
        QCOMPARE(DataHeader::stop().encode(), expected);
    }

    void fileHeaderBytes()
    {
        DataHeader h;
        h.kind = static_cast<quint32>(DataKind::File);
        h.fileName = QStringLiteral("отчёт.txt");
        h.senderName = QStringLiteral("PC1");
        h.size = 0x01020304;
        h.setAddress(Ipv4Address{{192, 168, 0, 7}});

        QByteArray expected(696, '\0');
        expected.replace(0, 4, QByteArray::fromHex("01000000"));
        expected.replace(4, 4, QByteArray::fromHex("01000000"));
        const QByteArray name = utf16le(QStringLiteral("отчёт.txt"));
        expected.replace(8, name.size(), name);
        const QByteArray sender = utf16le(QStringLiteral("PC1"));
        expected.replace(528, sender.size(), sender);
        expected.replace(656, 4, QByteArray::fromHex("04030201"));
        expected.replace(680, 16,
                         QByteArray::fromHex("c0000000"
                                             "a8000000"
                                             "00000000"
                                             "07000000"));
        QCOMPARE(h.encode(), expected);

        const DataHeader back = DataHeader::decode(expected.constData());
        QVERIFY(back.isKind(DataKind::File));
        QCOMPARE(back.fileName, h.fileName);
        QCOMPARE(back.senderName, h.senderName);
        QCOMPARE(back.size, h.size);
        QCOMPARE(back.address, h.address);
        QCOMPARE(back.marker, 1u);
    }

    void longTextsAreCutToTheirFields()
    {
        DataHeader h;
        h.fileName = QString(300, QChar(u'a'));
        h.senderName = QString(70, QChar(u'Б'));
        const QByteArray bytes = h.encode();
        QCOMPARE(bytes.size(), 696);
        const DataHeader back = DataHeader::decode(bytes.constData());
        QCOMPARE(back.fileName, QString(259, QChar(u'a')));
        QCOMPARE(back.senderName, QString(63, QChar(u'Б')));
        // The terminator of each field is in place and the next field intact.
        QCOMPARE(bytes.mid(8 + 2 * 259, 2), QByteArray(2, '\0'));
        QCOMPARE(bytes.mid(528 + 2 * 63, 2), QByteArray(2, '\0'));
    }

    void surrogatePairIsNotSplitAtTheCut()
    {
        DataHeader h;
        h.senderName = QString(62, QChar(u'x')) + QString::fromUtf8("😀");
        const DataHeader back = DataHeader::decode(h.encode().constData());
        QCOMPARE(back.senderName, QString(62, QChar(u'x')));
    }

    void unterminatedFieldsEndAtTheirEdge()
    {
        // A hostile peer fills the text fields without any terminator.
        QByteArray bytes(696, '\x41');
        const DataHeader h = DataHeader::decode(bytes.constData());
        QCOMPARE(h.fileName.size(), 260);
        QCOMPARE(h.senderName.size(), 64);
        QCOMPARE(h.kind, 0x41414141u);
        QVERIFY(!h.isKind(DataKind::File));
    }

    void answerWord()
    {
        QCOMPARE(encodeAnswer(1), QByteArray::fromHex("01000000"));
        QCOMPARE(encodeAnswer(0), QByteArray::fromHex("00000000"));
        QCOMPARE(decodeAnswer(QByteArray::fromHex("02010000").constData()), 0x102u);
    }
};

TARVELLO_TEST_MAIN(DataHeaderTest)
#include "DataHeaderTest.moc"
