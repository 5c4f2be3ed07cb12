#include "core/platform/WsDiscovery.h"
#include "core/platform/WsDiscoveryMessage.h"
#include "support/TestMain.h"

#include <QMutex>
#include <QNetworkProxy>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <QTimer>
#include <QUdpSocket>
#include <QXmlStreamReader>

using WsDiscoveryMessage::Announcement;

namespace {

const QByteArray kEndpoint = "urn:uuid:2f3d8b8a-5a8b-4c55-9a0c-4a3e1d8f7b21";
const QByteArray kProbeId = "urn:uuid:0b6a1c2e-7d5f-4a8e-9c3b-1e2f3a4b5c6d";
const QByteArray kXAddr = "http://10.98.0.3:5357/2f3d8b8a";
const QByteArray kComputer = "wsdp:Device pub:Computer";

// A message as wsdd writes it: header, then the body's element.
QByteArray soap(const QByteArray &action, const QByteArray &relatesTo, const QByteArray &body)
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?><soap:Envelope "
           "xmlns:soap=\"http://www.w3.org/2003/05/soap-envelope\" "
           "xmlns:wsa=\"http://schemas.xmlsoap.org/ws/2004/08/addressing\" "
           "xmlns:wsd=\"http://schemas.xmlsoap.org/ws/2005/04/discovery\" "
           "xmlns:wsdp=\"http://schemas.xmlsoap.org/ws/2006/02/devprof\" "
           "xmlns:pub=\"http://schemas.microsoft.com/windows/pub/2005/07\"><soap:Header>"
           "<wsa:To>urn:schemas-xmlsoap-org:ws:2005:04:discovery</wsa:To><wsa:Action>"
           "http://schemas.xmlsoap.org/ws/2005/04/discovery/" +
           action + "</wsa:Action><wsa:MessageID>urn:uuid:5d9c1e2a-1111-2222-3333-444455556666" +
           "</wsa:MessageID>" +
           (relatesTo.isEmpty() ? QByteArray()
                                : "<wsa:RelatesTo>" + relatesTo + "</wsa:RelatesTo>") +
           "</soap:Header><soap:Body>" + body + "</soap:Body></soap:Envelope>";
}

QByteArray entry(const QByteArray &endpoint, const QByteArray &types, const QByteArray &xaddrs,
                 int version = 1)
{
    return "<wsa:EndpointReference><wsa:Address>" + endpoint +
           "</wsa:Address></wsa:EndpointReference>" +
           (types.isEmpty() ? QByteArray() : "<wsd:Types>" + types + "</wsd:Types>") +
           (xaddrs.isEmpty() ? QByteArray() : "<wsd:XAddrs>" + xaddrs + "</wsd:XAddrs>") +
           "<wsd:MetadataVersion>" + QByteArray::number(version) + "</wsd:MetadataVersion>";
}

// Hello and Bye hold the entry; ProbeMatches and ResolveMatches a list of one.
QByteArray message(const QByteArray &kind, const QByteArray &relatesTo, const QByteArray &entry)
{
    const QByteArray one = kind.chopped(2);
    const QByteArray inner =
        kind.endsWith("Matches") ? "<wsd:" + one + ">" + entry + "</wsd:" + one + ">" : entry;
    return soap(kind, relatesTo, "<wsd:" + kind + ">" + inner + "</wsd:" + kind + ">");
}

QByteArray probeMatch(const QByteArray &relatesTo, const QByteArray &endpoint,
                      const QByteArray &xaddrs, const QByteArray &types = kComputer)
{
    return message("ProbeMatches", relatesTo, entry(endpoint, types, xaddrs));
}

// A message grown to the given size by a comment, or nested in the header.
QByteArray padded(const QByteArray &m, qsizetype size)
{
    return m + "<!--" + QByteArray(size - m.size() - 7, 'x') + "-->";
}
QByteArray nested(QByteArray m, int depth)
{
    return m.replace("<soap:Header>", "<soap:Header>" + QByteArray("<n>").repeated(depth) +
                                          QByteArray("</n>").repeated(depth));
}

QByteArray getResponse(const QByteArray &computer)
{
    return soap("GetResponse", {},
                "<wsx:Metadata xmlns:wsx=\"http://schemas.xmlsoap.org/ws/2004/09/mex\">"
                "<wsx:MetadataSection Dialect=\"http://schemas.xmlsoap.org/ws/2006/02/devprof/"
                "ThisDevice\"><wsdp:ThisDevice><wsdp:FriendlyName>WSD Device</wsdp:FriendlyName>"
                "</wsdp:ThisDevice></wsx:MetadataSection><wsx:MetadataSection Dialect=\"http://"
                "schemas.xmlsoap.org/ws/2006/02/devprof/Relationship\"><wsdp:Relationship "
                "Type=\"http://schemas.xmlsoap.org/ws/2006/02/devprof/host\"><wsdp:Host>"
                "<wsa:EndpointReference><wsa:Address>urn:uuid:1</wsa:Address>"
                "</wsa:EndpointReference><wsdp:Types>pub:Computer</wsdp:Types><wsdp:ServiceId>"
                "urn:uuid:1</wsdp:ServiceId>" +
                    computer +
                    "</wsdp:Host></wsdp:Relationship></wsx:MetadataSection>"
                    "</wsx:Metadata>");
}

// Renames a prefix in a message: the same namespaces under other names.
QByteArray renamed(QByteArray m, const QByteArray &from, const QByteArray &to)
{
    m.replace("xmlns:" + from + "=", to.isEmpty() ? "xmlns=" : "xmlns:" + to + "=");
    return m.replace("<" + from + ":", "<" + (to.isEmpty() ? "" : to + ":"))
        .replace("</" + from + ":", "</" + (to.isEmpty() ? "" : to + ":"))
        .replace(" " + from + ":Computer", " " + to + ":Computer");
}

// Leaf elements of a message as "namespace|name" → text.
QMap<QString, QString> leaves(const QByteArray &xml)
{
    QMap<QString, QString> out;
    QXmlStreamReader r(xml);
    QString key;
    while (!r.atEnd()) {
        r.readNext();
        if (r.isStartElement())
            key = r.namespaceUri().toString() + u'|' + r.name().toString();
        else if (r.isCharacters() && !key.isEmpty())
            out[key] += r.text();
        else if (r.isEndElement())
            key.clear();
    }
    return r.hasError() ? QMap<QString, QString>{{"error", r.errorString()}} : out;
}

QString messageIdOf(const QByteArray &m)
{
    return leaves(m).value("http://schemas.xmlsoap.org/ws/2004/08/addressing|MessageID");
}

} // namespace

// What the client reported ("found endpoint name address", "lost endpoint"),
// written on its thread and read on the test's.
struct Seen {
    mutable QMutex mutex;
    QStringList list;
    QStringList events() const
    {
        QMutexLocker lock(&mutex);
        return QStringList(list.cbegin(), list.cend()); // not sharing its data across threads
    }
};

// A computer on loopback: answers probes and resolves over UDP and serves
// its metadata over HTTP the way it is told to.
class FakeComputer : public QObject {
public:
    enum Serve { ContentLength, Chunked, CloseDelimited, NotFound, Trickle, TooBig, LengthTooBig };
    QUdpSocket udp;
    QTcpServer http;
    // Answers to a probe, given its id and the server's port.
    std::function<QList<QByteArray>(const QByteArray &id)> answer;
    Serve serve = ContentLength;
    QHostAddress client;
    quint16 clientPort = 0;
    int connections = 0;
    int closed = 0; // connections ended, by either side
    int resolves = 0; // Resolve datagrams received
    QList<QByteArray> requests;

    FakeComputer(const QHostAddress &host = QHostAddress(QStringLiteral("127.0.0.1")))
    {
        udp.setProxy(QNetworkProxy::NoProxy);
        http.setProxy(QNetworkProxy::NoProxy);
        udp.bind(host, 0);
        http.listen(host, 0);
        connect(&udp, &QUdpSocket::readyRead, this, [this] {
            while (udp.hasPendingDatagrams()) {
                QByteArray d(70000, 0);
                d.truncate(udp.readDatagram(d.data(), d.size(), &client, &clientPort));
                const QByteArray id = messageIdOf(d).toUtf8();
                if (d.contains("discovery/Resolve")) {
                    ++resolves;
                    send(message("ResolveMatches", id, entry(kEndpoint, kComputer, xaddr())));
                } else if (answer) {
                    for (const QByteArray &a : answer(id))
                        send(a);
                }
            }
        });
        connect(&http, &QTcpServer::newConnection, this, [this] {
            QTcpSocket *s = http.nextPendingConnection();
            ++connections;
            connect(s, &QTcpSocket::disconnected, this, [this] { ++closed; });
            connect(s, &QTcpSocket::readyRead, this, [this, s] {
                const QByteArray request = s->property("request").toByteArray() + s->readAll();
                s->setProperty("request", request);
                const qsizetype end = request.indexOf("\r\n\r\n");
                const auto m = QRegularExpression(QStringLiteral("Content-Length: (\\d+)"))
                                   .match(QString::fromLatin1(request));
                if (end >= 0 && m.hasMatch() && request.size() - end - 4 == m.captured(1).toInt()) {
                    requests.append(request);
                    respond(s);
                }
            });
        });
    }
    QByteArray xaddr() const
    {
        return "http://127.0.0.1:" + QByteArray::number(http.serverPort()) + "/x";
    }
    void send(const QByteArray &d) { udp.writeDatagram(d, client, clientPort); }
    void respond(QTcpSocket *s)
    {
        const QByteArray doc = getResponse("<pub:Computer>PC-C/Workgroup:WORKGROUP</pub:Computer>");
        const QByteArray ok = "HTTP/1.1 200 OK\r\nContent-Type: application/soap+xml\r\n";
        switch (serve) {
        case ContentLength:
            return void(s->write(ok + "Content-Length: " + QByteArray::number(doc.size()) +
                                 "\r\n\r\n" + doc));
        case Chunked:
            s->write(ok + "Transfer-Encoding: chunked\r\n\r\n");
            for (qsizetype at = 0; at < doc.size(); at += 500)
                s->write(QByteArray::number(qMin<qsizetype>(500, doc.size() - at), 16) + "\r\n" +
                         doc.mid(at, 500) + "\r\n");
            return void(s->write("0\r\n\r\n"));
        case CloseDelimited:
        case TooBig:
            s->write(ok + "\r\n" + doc +
                     (serve == TooBig ? "<!--" + QByteArray(8000, 'x') + "-->" : ""));
            return s->disconnectFromHost();
        case NotFound:
            return void(s->write("HTTP/1.1 404 Not Found\r\nContent-Length: " +
                                 QByteArray::number(doc.size()) + "\r\n\r\n" + doc));
        case LengthTooBig:
            return void(s->write(ok + "Content-Length: 999999\r\n\r\n" + doc));
        case Trickle: {
            // The whole answer, ten bytes every 50 ms: six seconds in all.
            auto *timer = new QTimer(s);
            auto rest = std::make_shared<QByteArray>(
                ok + "Content-Length: " + QByteArray::number(doc.size()) + "\r\n\r\n" + doc);
            connect(timer, &QTimer::timeout, s, [s, rest] {
                s->write(rest->left(10));
                rest->remove(0, 10);
            });
            return timer->start(50);
        }
        }
    }
};

class WsDiscoveryTest : public QObject {
    Q_OBJECT

    static WsDiscovery::Options options(const FakeComputer &fake)
    {
        WsDiscovery::Options o;
        o.group = QHostAddress(QStringLiteral("127.0.0.1"));
        o.port = fake.udp.localPort();
        o.listenForAnnouncements = false;
        o.metadataTimeoutMs = 600;
        o.maxMetadataBytes = 4096;
        o.metadataPort = fake.http.serverPort();
        return o;
    }
    static std::unique_ptr<WsDiscovery> client(Seen &seen, const WsDiscovery::Options &o)
    {
        auto c = std::make_unique<WsDiscovery>(
            [&seen](const QString &endpoint, const QString &name, const Ipv4Address &address) {
                QMutexLocker lock(&seen.mutex);
                seen.list << "found " + endpoint + u' ' + name + u' ' + address.dotted();
            },
            [&seen](const QString &endpoint) {
                QMutexLocker lock(&seen.mutex);
                seen.list << "lost " + endpoint;
            },
            o);
        c->start();
        return c;
    }
    static QString foundLine(const QByteArray &endpoint)
    {
        return "found " + QString::fromLatin1(endpoint) + QStringLiteral(" PC-C 127.0.0.1");
    }

private slots:
    void parsesAnnouncements_data()
    {
        QTest::addColumn<QByteArray>("datagram");
        QTest::addColumn<int>("kind");
        QTest::addColumn<QStringList>("xaddrs");
        QTest::addColumn<bool>("isComputer");
        QTest::addColumn<QByteArray>("relatesTo");
        const QStringList xs{QString::fromLatin1(kXAddr)};
        const QByteArray match = probeMatch(kProbeId, kEndpoint, kXAddr);
        const int pm = Announcement::ProbeMatch;
        auto row = [](const char *name) -> QTestData & { return QTest::newRow(name); };
        row("probe match") << match << pm << xs << true << kProbeId;
        row("hello") << message("Hello", {},
                                entry(kEndpoint, kComputer, kXAddr + " http://[fe80::1]:5357/y"))
                     << int(Announcement::Hello) << QStringList{xs[0], "http://[fe80::1]:5357/y"}
                     << true << QByteArray();
        row("hello without types") << message("Hello", {}, entry(kEndpoint, {}, kXAddr))
                                   << int(Announcement::Hello) << xs << false << QByteArray();
        row("bye without types") << message("Bye", {}, entry(kEndpoint, {}, {}))
                                 << int(Announcement::Bye) << QStringList() << false
                                 << QByteArray();
        row("resolve match") << message("ResolveMatches", kProbeId,
                                        entry(kEndpoint, kComputer, kXAddr))
                             << int(Announcement::ResolveMatch) << xs << true << kProbeId;
        row("other prefixes") << renamed(renamed(renamed(renamed(match, "soap", "s"), "wsa", "a"),
                                                 "wsd", "d"),
                                         "pub", "c")
                              << pm << xs << true << kProbeId;
        row("discovery as default namespace")
            << renamed(match, "wsd", "") << pm << xs << true << kProbeId;
        row("pub prefix of another namespace")
            << QByteArray(match).replace("windows/pub/2005/07", "windows/pub/2099/07") << pm << xs
            << false << kProbeId;
        row("printer") << probeMatch(kProbeId, kEndpoint, kXAddr, "wsdp:Device") << pm << xs
                       << false << kProbeId;
        row("first of two matches")
            << QByteArray(match).replace("</wsd:ProbeMatch>",
                                         "</wsd:ProbeMatch><wsd:ProbeMatch>" +
                                             entry("urn:uuid:2", "pub:Computer", "") +
                                             "</wsd:ProbeMatch>")
            << pm << xs << true << kProbeId;
        row("size at the limit") << padded(match, 32768) << pm << xs << true << kProbeId;
        row("nesting at the limit") << nested(match, 30) << pm << xs << true << kProbeId;
    }
    void parsesAnnouncements()
    {
        QFETCH(QByteArray, datagram);
        const std::optional<Announcement> a = WsDiscoveryMessage::parse(datagram);
        QVERIFY(a);
        QTEST(int(a->kind), "kind");
        QCOMPARE(a->endpoint, QString::fromLatin1(kEndpoint));
        QTEST(a->xaddrs, "xaddrs");
        QTEST(a->isComputer, "isComputer");
        QCOMPARE(a->hasTypes, datagram.contains("Types>"));
        QTEST(a->relatesTo.toLatin1(), "relatesTo");
    }

    void rejectsDatagrams_data()
    {
        QTest::addColumn<QByteArray>("datagram");
        const QByteArray match = probeMatch(kProbeId, kEndpoint, kXAddr);
        QTest::newRow("over the size limit") << padded(match, 32769);
        QTest::newRow("nesting too deep") << nested(match, 31);
        QTest::newRow("entity bomb")
            << QByteArray(match)
                   .replace("?><soap:Envelope",
                            "?><!DOCTYPE soap:Envelope [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b "
                            "\"&a;&a;&a;&a;&a;&a;&a;&a;\">]><soap:Envelope")
                   .replace(kEndpoint, "&b;");
        QTest::newRow("doctype") << QByteArray(match).replace("?><soap:Envelope",
                                                              "?><!DOCTYPE x><soap:Envelope");
        QTest::newRow("undeclared entity") << QByteArray(match).replace(kEndpoint, "&b;");
        QTest::newRow("garbage") << QByteArray("\x00\xff<<>>garbage", 13);
        QTest::newRow("truncated") << match.left(match.size() - 20);
        QTest::newRow("a probe") << WsDiscoveryMessage::probe(QString::fromLatin1(kProbeId));
        QTest::newRow("no endpoint") << QByteArray(match).replace(kEndpoint, " ");
        QTest::newRow("SOAP 1.1") << QByteArray(match).replace(
            "2003/05/soap-envelope", "schemas.xmlsoap.org/soap/envelope/");
    }
    void rejectsDatagrams()
    {
        QFETCH(QByteArray, datagram);
        QVERIFY(!WsDiscoveryMessage::parse(datagram));
    }

    void namesFromMetadata_data()
    {
        QTest::addColumn<QByteArray>("body");
        QTest::addColumn<QString>("name");
        auto computer = [](const QByteArray &text) {
            return getResponse("<pub:Computer>" + text + "</pub:Computer>");
        };
        QTest::newRow("workgroup") << computer("PC-C/Workgroup:WORKGROUP") << "PC-C";
        QTest::newRow("domain") << computer("pc-d/Domain:CORP.EXAMPLE") << "pc-d";
        QTest::newRow("no slash") << computer("PC-E") << "PC-E";
        QTest::newRow("long name whole")
            << computer("ACCOUNTING-WORKSTATION-07/Workgroup:W") << "ACCOUNTING-WORKSTATION-07";
        QTest::newRow("other prefix")
            << renamed(computer("PC-F/Workgroup:W"), "pub", "p") << "PC-F";
        QTest::newRow("missing") << getResponse("") << "";
        QTest::newRow("outside the host") << QByteArray(computer("PC-G"))
                                                 .replace("<wsdp:Host>", "<wsdp:Other>")
                                                 .replace("</wsdp:Host>", "</wsdp:Other>")
                                          << "";
        QTest::newRow("control character") << computer("PC&#x7F;H") << "";
        QTest::newRow("doctype") << computer("PC-I").replace("?><soap:Envelope",
                                                             "?><!DOCTYPE x><soap:Envelope")
                                 << "";
        QTest::newRow("oversize") << padded(computer("PC-J"), 256 * 1024 + 1) << "";
        QTest::newRow("size at the limit") << padded(computer("PC-K"), 256 * 1024) << "PC-K";
    }
    void namesFromMetadata()
    {
        QFETCH(QByteArray, body);
        QTEST(WsDiscoveryMessage::computerNameFromMetadata(body), "name");
    }

    void writesRequests_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<QStringList>("expected"); // leaf "namespace|name=text"
        const QString a = "http://schemas.xmlsoap.org/ws/2004/08/addressing|";
        const QString d = "http://schemas.xmlsoap.org/ws/2005/04/discovery|";
        const QString e = QString::fromLatin1(kEndpoint);
        const QString to = a + "To=urn:schemas-xmlsoap-org:ws:2005:04:discovery";
        QTest::newRow("probe") << WsDiscoveryMessage::probe("urn:uuid:1")
                               << QStringList{a + "Action=" + d.chopped(1) + "/Probe",
                                              a + "MessageID=urn:uuid:1", to,
                                              d + "Types=wsdp:Device"};
        QTest::newRow("resolve") << WsDiscoveryMessage::resolve("urn:uuid:2", e)
                                 << QStringList{a + "Action=" + d.chopped(1) + "/Resolve",
                                                a + "Address=" + e, a + "MessageID=urn:uuid:2", to};
        QTest::newRow("get") << WsDiscoveryMessage::getMetadata("urn:uuid:3", e)
                             << QStringList{
                                    a + "Action=http://schemas.xmlsoap.org/ws/2004/09/transfer/Get",
                                    a + "Address=" + a.chopped(1) + "/role/anonymous",
                                    a + "MessageID=urn:uuid:3", a + "To=" + e};
    }
    void writesRequests()
    {
        QFETCH(QByteArray, message);
        QStringList got;
        const QMap<QString, QString> l = leaves(message);
        for (auto it = l.begin(); it != l.end(); ++it)
            got << it.key() + u'=' + it.value();
        QTEST(got, "expected");
    }

    void sameNetwork_data()
    {
        QTest::addColumn<QString>("sender");
        QTest::addColumn<QString>("host");
        QTest::addColumn<bool>("same");
        for (const auto &[name, sender, host, same] :
             {std::tuple("both on the LAN", "192.168.1.20", "192.168.1.30", true),
              std::tuple("host elsewhere", "192.168.1.20", "192.0.2.7", false),
              std::tuple("sender elsewhere", "10.1.1.1", "192.168.1.30", false),
              std::tuple("different /30s of the VPN", "10.8.0.1", "10.8.0.6", false),
              std::tuple("loopback", "127.0.0.1", "127.0.0.2", true)})
            QTest::newRow(name) << QString::fromLatin1(sender) << QString::fromLatin1(host) << same;
    }
    void sameNetwork()
    {
        QFETCH(QString, sender);
        QFETCH(QString, host);
        QList<QNetworkAddressEntry> networks;
        for (const auto &[ip, prefix] :
             {std::pair("192.168.1.5", 24), std::pair("10.8.0.2", 30), std::pair("127.0.0.1", 8)}) {
            networks.append(QNetworkAddressEntry());
            networks.last().setIp(QHostAddress(QString::fromLatin1(ip)));
            networks.last().setPrefixLength(prefix);
        }
        QTEST(WsDiscovery::onSameNetwork(QHostAddress(sender), QHostAddress(host), networks),
              "same");
    }

    void fetchesTheName_data()
    {
        QTest::addColumn<int>("serve");
        QTest::addColumn<bool>("found");
        QTest::newRow("content length") << int(FakeComputer::ContentLength) << true;
        QTest::newRow("chunked") << int(FakeComputer::Chunked) << true;
        QTest::newRow("until close") << int(FakeComputer::CloseDelimited) << true;
        QTest::newRow("not found") << int(FakeComputer::NotFound) << false;
        QTest::newRow("over the byte limit") << int(FakeComputer::TooBig) << false;
        QTest::newRow("length over the limit") << int(FakeComputer::LengthTooBig) << false;
        QTest::newRow("trickle past the time limit") << int(FakeComputer::Trickle) << false;
    }
    void fetchesTheName()
    {
        QFETCH(int, serve);
        QFETCH(bool, found);
        FakeComputer fake;
        fake.serve = FakeComputer::Serve(serve);
        fake.answer = [&fake](const QByteArray &id) {
            return QList<QByteArray>{probeMatch(id, kEndpoint, fake.xaddr())};
        };
        Seen seen;
        auto c = client(seen, options(fake));
        if (found) {
            QTRY_COMPARE_WITH_TIMEOUT(seen.events(), QStringList{foundLine(kEndpoint)}, 5000);
            const QByteArray request = fake.requests.value(0);
            QVERIFY2(request.startsWith("POST /x HTTP/1.1\r\n"), request.constData());
            QVERIFY(request.contains("\r\nContent-Type: application/soap+xml; charset=utf-8\r\n"));
            QCOMPARE(leaves(request.mid(request.indexOf("\r\n\r\n") + 4))
                         .value("http://schemas.xmlsoap.org/ws/2004/08/addressing|To"),
                     QString::fromLatin1(kEndpoint));
            return;
        }
        // The client ends the bad fetch itself (the trickle would last
        // six seconds), names nobody, and fetches again once it hears more.
        QTRY_COMPARE_WITH_TIMEOUT(fake.closed, 1, 3000);
        QCOMPARE(seen.events(), QStringList());
        fake.serve = FakeComputer::ContentLength;
        c->probeNow();
        QTRY_COMPARE_WITH_TIMEOUT(seen.events(), QStringList{foundLine(kEndpoint)}, 5000);
        QCOMPARE(fake.connections, 2);
    }

    void ignoresWhatItShouldNot_data()
    {
        QTest::addColumn<QByteArray>("relatesTo"); // empty: the probe's
        QTest::addColumn<QByteArray>("xaddr");     // PORT: the fake's server, PORT2: 127.0.0.2's
        QTest::addColumn<QByteArray>("types");
        QTest::addColumn<int>("prefix"); // of this computer's network, 127.0.0.1/prefix
        const QByteArray computer = kComputer, ok = "http://127.0.0.1:PORT/x";
        QTest::newRow("answer to another probe") << kProbeId << ok << computer << 32;
        QTest::newRow("printer") << QByteArray() << ok << QByteArray("wsdp:Device") << 32;
        QTest::newRow("another network")
            << QByteArray() << QByteArray("http://127.0.0.2:PORT2/x") << computer << 32;
        QTest::newRow("https") << QByteArray() << QByteArray("https://127.0.0.1:PORT/x")
                               << computer << 32;
        QTest::newRow("host name")
            << QByteArray() << QByteArray("http://localhost:PORT/x") << computer << 32;
        // 127.0.0.2 is a computer of the same network, but not the one that
        // answered: a datagram must not send the client to connect to
        // another computer's port (a Tarvello's message port shows what
        // arrives as a message).
        QTest::newRow("another service of the computer that answered")
            << QByteArray() << QByteArray("http://127.0.0.1:SERVICE/x") << computer << 32;
        QTest::newRow("another computer of the same network")
            << QByteArray() << QByteArray("http://127.0.0.2:PORT2/x") << computer << 8;
    }
    void ignoresWhatItShouldNot()
    {
        QFETCH(QByteArray, relatesTo);
        QFETCH(QByteArray, xaddr);
        QFETCH(QByteArray, types);
        QFETCH(int, prefix);
        FakeComputer fake;
        FakeComputer other(QHostAddress(QStringLiteral("127.0.0.2")));
        // Another service there (a Tarvello's message port): never connected.
        QTcpServer service;
        QVERIFY(service.listen(QHostAddress::LocalHost));
        xaddr.replace("SERVICE", QByteArray::number(service.serverPort()))
            .replace("PORT2", QByteArray::number(other.http.serverPort()))
            .replace("PORT", QByteArray::number(fake.http.serverPort()));
        const QByteArray good = "urn:uuid:00000000-0000-0000-0000-000000000002";
        fake.answer = [&](const QByteArray &id) {
            return QList<QByteArray>{
                probeMatch(relatesTo.isEmpty() ? id : relatesTo, kEndpoint, xaddr, types),
                probeMatch(id, good, fake.xaddr())};
        };
        // This computer's network is its own address alone: 127.0.0.2 is
        // another one, and nothing may connect there.
        WsDiscovery::Options o = options(fake);
        o.localNetworks = {QNetworkAddressEntry()};
        o.localNetworks[0].setIp(QHostAddress(QStringLiteral("127.0.0.1")));
        o.localNetworks[0].setPrefixLength(prefix);
        Seen seen;
        auto c = client(seen, o);
        QTRY_COMPARE_WITH_TIMEOUT(seen.events(), QStringList{foundLine(good)}, 5000);
        QCOMPARE(fake.connections + other.connections, 1);
        QVERIFY(!service.hasPendingConnections() && !service.waitForNewConnection(300));
    }

    void untypedHellosFromManyEndpointsStayQuiet()
    {
        // One computer sends Hellos without types, each from another
        // endpoint: the client must not answer each with a Resolve to the
        // group (every Tarvello of the LAN would multiply the flood).
        FakeComputer fake;
        Seen seen;
        auto c = client(seen, options(fake));
        QTRY_VERIFY_WITH_TIMEOUT(fake.clientPort != 0, 5000);
        // Few enough that none is dropped by the sockets' buffers.
        const int hellos = 60;
        for (int i = 0; i < hellos; ++i)
            fake.send(message("Hello", {},
                              entry("urn:uuid:flood-" + QByteArray::number(i), {}, {})));
        // A real computer's Hello after them: once it is found, every
        // earlier datagram has been handled.
        fake.send(message("Hello", {}, entry(kEndpoint, kComputer, fake.xaddr())));
        QTRY_COMPARE_WITH_TIMEOUT(seen.events(), QStringList{foundLine(kEndpoint)}, 5000);
        QTRY_VERIFY_WITH_TIMEOUT(!fake.udp.hasPendingDatagrams(), 2000);
        QVERIFY2(fake.resolves < hellos / 3,
                 qPrintable(QStringLiteral("%1 Resolves for %2 Hellos")
                                .arg(fake.resolves)
                                .arg(hellos)));
    }

    void unconfirmedEndpointsLeaveRoomForComputers()
    {
        // Endpoints that never named a computer (their metadata cannot be
        // fetched) fill the table; a real computer must still be found.
        FakeComputer fake;
        fake.answer = [&fake](const QByteArray &id) {
            return QList<QByteArray>{probeMatch(id, kEndpoint, fake.xaddr())};
        };
        WsDiscovery::Options o = options(fake);
        o.maxComputers = 5;
        o.probeIntervalMs = 200;
        Seen seen;
        // The fake answers its first probes only after the junk arrived.
        auto answer = fake.answer;
        fake.answer = nullptr;
        auto c = client(seen, o);
        QTRY_VERIFY_WITH_TIMEOUT(fake.clientPort != 0, 5000);
        for (int i = 0; i < o.maxComputers; ++i)
            fake.send(message("Hello", {},
                              entry("urn:uuid:junk-" + QByteArray::number(i), kComputer,
                                    "http://127.0.0.1:1/x")));
        fake.answer = answer;
        QTRY_COMPARE_WITH_TIMEOUT(seen.events(), QStringList{foundLine(kEndpoint)}, 5000);
    }

    void resolvesAMatchWithoutAddresses()
    {
        FakeComputer fake;
        fake.answer = [](const QByteArray &id) {
            return QList<QByteArray>{probeMatch(id, kEndpoint, {})};
        };
        Seen seen;
        auto c = client(seen, options(fake));
        QTRY_COMPARE_WITH_TIMEOUT(seen.events(), QStringList{foundLine(kEndpoint)}, 5000);
    }

    void helloAndBye_data()
    {
        QTest::addColumn<QByteArray>("types");
        QTest::newRow("with types (Windows)") << kComputer;
        QTest::newRow("without types (wsdd): resolved") << QByteArray();
    }
    void helloAndBye()
    {
        QFETCH(QByteArray, types);
        FakeComputer fake;
        Seen seen;
        auto c = client(seen, options(fake));
        QTRY_VERIFY_WITH_TIMEOUT(fake.clientPort != 0, 5000); // its probe told us where it is
        fake.send(message("Hello", {}, entry(kEndpoint, types, fake.xaddr())));
        QTRY_COMPARE_WITH_TIMEOUT(seen.events(), QStringList{foundLine(kEndpoint)}, 5000);
        // A new metadata version is fetched again.
        fake.send(message("Hello", {}, entry(kEndpoint, kComputer, fake.xaddr(), 2)));
        QTRY_COMPARE_WITH_TIMEOUT(fake.connections, 2, 5000);
        fake.send(message("Bye", {}, entry(kEndpoint, {}, {})));
        QTRY_COMPARE_WITH_TIMEOUT(
            seen.events(),
            (QStringList{foundLine(kEndpoint), "lost " + QString::fromLatin1(kEndpoint)}), 5000);
    }

    void forgetsTheSilent()
    {
        FakeComputer fake;
        const QByteArray leaving = "urn:uuid:00000000-0000-0000-0000-00000000000f";
        int probes = 0;
        fake.answer = [&](const QByteArray &id) {
            QList<QByteArray> out{probeMatch(id, kEndpoint, fake.xaddr())};
            if (++probes == 1)
                out << probeMatch(id, leaving, fake.xaddr());
            return out;
        };
        WsDiscovery::Options o = options(fake);
        o.probeIntervalMs = 150;
        o.forgetAfterMs = 700;
        Seen seen;
        auto c = client(seen, o);
        QTRY_VERIFY_WITH_TIMEOUT(seen.events().contains("lost " + QString::fromLatin1(leaving)),
                                 5000);
        QVERIFY(probes >= 4);
        // Only the silent one is lost; the one still answering was fetched
        // once, however often heard.
        QCOMPARE(seen.events().size(), 3);
        QCOMPARE(fake.connections, 2);
    }
};

TARVELLO_TEST_MAIN(WsDiscoveryTest)
#include "WsDiscoveryTest.moc"
