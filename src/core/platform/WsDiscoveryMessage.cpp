#include "WsDiscoveryMessage.h"

#include <QList>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include <functional>

namespace WsDiscoveryMessage {

namespace {

const QString kSoap = QStringLiteral("http://www.w3.org/2003/05/soap-envelope");
const QString kAddressing = QStringLiteral("http://schemas.xmlsoap.org/ws/2004/08/addressing");
const QString kDiscovery = QStringLiteral("http://schemas.xmlsoap.org/ws/2005/04/discovery");
const QString kDevices = QStringLiteral("http://schemas.xmlsoap.org/ws/2006/02/devprof");
const QString kPub = QStringLiteral("http://schemas.microsoft.com/windows/pub/2005/07");

// Hostile input stays small: a shallow tree, short texts, few list items.
constexpr int kMaxDepth = 32;
constexpr qsizetype kMaxText = 8192;
constexpr qsizetype kMaxEndpoint = 1024;
constexpr qsizetype kMaxName = 1024;
constexpr int kMaxXAddrs = 16;
constexpr int kMaxTypes = 64;

QByteArray envelope(const QString &to, const QString &action, const QString &messageId,
                    bool anonymousReply, const std::function<void(QXmlStreamWriter &)> &body)
{
    QByteArray out;
    QXmlStreamWriter w(&out);
    w.writeStartDocument();
    w.writeNamespace(kSoap, QStringLiteral("soap"));
    w.writeNamespace(kAddressing, QStringLiteral("wsa"));
    w.writeNamespace(kDiscovery, QStringLiteral("wsd"));
    w.writeNamespace(kDevices, QStringLiteral("wsdp"));
    w.writeNamespace(kPub, QStringLiteral("pub"));
    w.writeStartElement(kSoap, QStringLiteral("Envelope"));
    w.writeStartElement(kSoap, QStringLiteral("Header"));
    w.writeTextElement(kAddressing, QStringLiteral("To"), to);
    w.writeTextElement(kAddressing, QStringLiteral("Action"), action);
    w.writeTextElement(kAddressing, QStringLiteral("MessageID"), messageId);
    if (anonymousReply) {
        w.writeStartElement(kAddressing, QStringLiteral("ReplyTo"));
        w.writeTextElement(
            kAddressing, QStringLiteral("Address"),
            QStringLiteral("http://schemas.xmlsoap.org/ws/2004/08/addressing/role/anonymous"));
        w.writeEndElement();
    }
    w.writeEndElement();
    w.writeStartElement(kSoap, QStringLiteral("Body"));
    body(w);
    w.writeEndElement();
    w.writeEndElement();
    w.writeEndDocument();
    return out;
}

// A namespace-aware pass over untrusted XML that keeps the path of open
// elements and the namespace declarations in scope (to resolve the QNames
// inside texts such as wsd:Types), and fails on a DTD, an entity reference
// or too deep a nesting.
class Reader {
public:
    explicit Reader(const QByteArray &data) : m_xml(data) {}

    struct Element {
        QString ns;
        QString name;
        qsizetype declarations; // m_declarations' size before this element's own
    };

    // The next token; Invalid (with the reason in hasFailed()) ends the pass.
    QXmlStreamReader::TokenType next()
    {
        if (!m_closed.isEmpty()) {
            // The element ended by the previous token leaves scope only now,
            // so that callers still see it at its EndElement.
            m_declarations.resize(m_closed.takeLast().declarations);
        }
        const QXmlStreamReader::TokenType token = m_xml.readNext();
        switch (token) {
        case QXmlStreamReader::DTD:
        case QXmlStreamReader::EntityReference:
            m_failed = true;
            return QXmlStreamReader::Invalid;
        case QXmlStreamReader::StartElement: {
            if (m_path.size() >= kMaxDepth) {
                m_failed = true;
                return QXmlStreamReader::Invalid;
            }
            m_path.append(
                {m_xml.namespaceUri().toString(), m_xml.name().toString(), m_declarations.size()});
            for (const QXmlStreamNamespaceDeclaration &d : m_xml.namespaceDeclarations())
                m_declarations.append({d.prefix().toString(), d.namespaceUri().toString()});
            break;
        }
        case QXmlStreamReader::EndElement:
            if (!m_path.isEmpty())
                m_closed.append(m_path.takeLast());
            break;
        case QXmlStreamReader::Invalid:
            m_failed = true;
            break;
        default:
            break;
        }
        return token;
    }

    bool hasFailed() const { return m_failed || m_xml.hasError(); }
    bool atEnd() const { return m_xml.atEnd(); }
    qsizetype depth() const { return m_path.size(); }
    // The open element n levels up (0: the innermost).
    bool isAt(int up, const QString &ns, const QString &name) const
    {
        const qsizetype i = m_path.size() - 1 - up;
        return i >= 0 && m_path[i].ns == ns && m_path[i].name == name;
    }
    QStringView text() const { return m_xml.text(); }

    // The namespace a QName's prefix stands for where the reader is; an
    // unknown prefix gives a null string.
    QString namespaceOf(QStringView qName) const
    {
        const qsizetype colon = qName.indexOf(u':');
        const QStringView prefix = colon < 0 ? QStringView() : qName.left(colon);
        for (qsizetype i = m_declarations.size() - 1; i >= 0; --i) {
            if (m_declarations[i].first == prefix)
                return m_declarations[i].second;
        }
        return QString();
    }

private:
    QXmlStreamReader m_xml;
    QList<Element> m_path;
    QList<Element> m_closed;
    QList<std::pair<QString, QString>> m_declarations;
    bool m_failed = false;
};

// Appends a text piece; false when the text would grow past its bound.
bool appendBounded(QString &to, QStringView piece, qsizetype limit)
{
    if (to.size() + piece.size() > limit)
        return false;
    to.append(piece);
    return true;
}

} // namespace

QByteArray probe(const QString &messageId)
{
    return envelope(
        QStringLiteral("urn:schemas-xmlsoap-org:ws:2005:04:discovery"),
        kDiscovery + QStringLiteral("/Probe"), messageId, false, [](QXmlStreamWriter &w) {
            w.writeStartElement(kDiscovery, QStringLiteral("Probe"));
            w.writeTextElement(kDiscovery, QStringLiteral("Types"), QStringLiteral("wsdp:Device"));
            w.writeEndElement();
        });
}

QByteArray resolve(const QString &messageId, const QString &endpoint)
{
    return envelope(QStringLiteral("urn:schemas-xmlsoap-org:ws:2005:04:discovery"),
                    kDiscovery + QStringLiteral("/Resolve"), messageId, false,
                    [&endpoint](QXmlStreamWriter &w) {
                        w.writeStartElement(kDiscovery, QStringLiteral("Resolve"));
                        w.writeStartElement(kAddressing, QStringLiteral("EndpointReference"));
                        w.writeTextElement(kAddressing, QStringLiteral("Address"), endpoint);
                        w.writeEndElement();
                        w.writeEndElement();
                    });
}

QByteArray getMetadata(const QString &messageId, const QString &endpoint)
{
    return envelope(endpoint, QStringLiteral("http://schemas.xmlsoap.org/ws/2004/09/transfer/Get"),
                    messageId, true, [](QXmlStreamWriter &) {});
}

std::optional<Announcement> parse(const QByteArray &datagram)
{
    if (datagram.size() > kMaxDatagram)
        return std::nullopt;
    Reader r(datagram);
    Announcement a;
    bool haveKind = false;
    // The depth of the announcement's element (Hello, Bye or the first
    // match) while inside it; the texts read go to `capture`.
    qsizetype entryDepth = 0;
    bool entryTaken = false;
    QString types;
    QString xaddrs;
    QString version;
    QString *capture = nullptr;
    qsizetype captureDepth = 0;
    qsizetype captureLimit = 0;

    while (!r.atEnd()) {
        const QXmlStreamReader::TokenType token = r.next();
        if (token == QXmlStreamReader::Invalid)
            return std::nullopt;
        if (token == QXmlStreamReader::Characters) {
            if (capture && r.depth() == captureDepth &&
                !appendBounded(*capture, r.text(), captureLimit))
                return std::nullopt;
            continue;
        }
        if (token == QXmlStreamReader::EndElement) {
            if (capture && r.depth() + 1 == captureDepth)
                capture = nullptr;
            if (entryDepth && r.depth() + 1 == entryDepth) {
                entryDepth = 0;
                entryTaken = true;
            }
            continue;
        }
        if (token != QXmlStreamReader::StartElement)
            continue;

        const qsizetype d = r.depth();
        auto captureInto = [&](QString *target, qsizetype limit) {
            target->clear();
            capture = target;
            captureDepth = d;
            captureLimit = limit;
        };
        if (d == 1) {
            if (!r.isAt(0, kSoap, QStringLiteral("Envelope")))
                return std::nullopt;
        } else if (d == 3 && r.isAt(1, kSoap, QStringLiteral("Header")) &&
                   r.isAt(0, kAddressing, QStringLiteral("RelatesTo"))) {
            captureInto(&a.relatesTo, kMaxEndpoint);
        } else if (d == 3 && r.isAt(1, kSoap, QStringLiteral("Body")) && !haveKind) {
            // The body's first element says what the message is.
            static const struct {
                const char *name;
                Announcement::Kind kind;
                bool isList;
            } kinds[] = {{"Hello", Announcement::Hello, false},
                         {"Bye", Announcement::Bye, false},
                         {"ProbeMatches", Announcement::ProbeMatch, true},
                         {"ResolveMatches", Announcement::ResolveMatch, true}};
            for (const auto &k : kinds) {
                if (r.isAt(0, kDiscovery, QLatin1String(k.name))) {
                    haveKind = true;
                    a.kind = k.kind;
                    if (!k.isList)
                        entryDepth = d;
                }
            }
            if (!haveKind)
                return std::nullopt;
        } else if (d == 4 && haveKind && !entryTaken && !entryDepth &&
                   r.isAt(2, kSoap, QStringLiteral("Body")) &&
                   ((a.kind == Announcement::ProbeMatch &&
                     r.isAt(0, kDiscovery, QStringLiteral("ProbeMatch"))) ||
                    (a.kind == Announcement::ResolveMatch &&
                     r.isAt(0, kDiscovery, QStringLiteral("ResolveMatch"))))) {
            entryDepth = d;
        } else if (entryDepth && d == entryDepth + 1) {
            if (r.isAt(0, kDiscovery, QStringLiteral("Types")))
                captureInto(&types, kMaxText);
            else if (r.isAt(0, kDiscovery, QStringLiteral("XAddrs")))
                captureInto(&xaddrs, kMaxText);
            else if (r.isAt(0, kDiscovery, QStringLiteral("MetadataVersion")))
                captureInto(&version, 32);
        } else if (entryDepth && d == entryDepth + 2 &&
                   r.isAt(1, kAddressing, QStringLiteral("EndpointReference")) &&
                   r.isAt(0, kAddressing, QStringLiteral("Address"))) {
            captureInto(&a.endpoint, kMaxEndpoint);
        }

        // The types are QNames: their prefixes mean what the declarations in
        // scope of the Types element say, whatever the sender named them.
        if (capture == &types) {
            // Resolved at once: the scope is the element's own.
            QString text;
            while (!r.atEnd()) {
                const QXmlStreamReader::TokenType t = r.next();
                if (t == QXmlStreamReader::Invalid)
                    return std::nullopt;
                if (t == QXmlStreamReader::Characters) {
                    if (!appendBounded(text, r.text(), kMaxText))
                        return std::nullopt;
                } else if (t == QXmlStreamReader::StartElement) {
                    return std::nullopt; // no markup inside a list of names
                } else if (t == QXmlStreamReader::EndElement) {
                    break;
                }
            }
            capture = nullptr;
            a.hasTypes = true;
            const QStringList names = text.simplified().split(u' ', Qt::SkipEmptyParts);
            if (names.size() > kMaxTypes)
                return std::nullopt;
            for (const QString &name : names) {
                const qsizetype colon = name.indexOf(u':');
                const QStringView local = QStringView(name).mid(colon + 1);
                if (local == QLatin1String("Computer") && r.namespaceOf(name) == kPub)
                    a.isComputer = true;
            }
        }
    }
    if (r.hasFailed() || !haveKind || entryDepth || !entryTaken)
        return std::nullopt;
    a.endpoint = a.endpoint.trimmed();
    a.relatesTo = a.relatesTo.trimmed();
    if (a.endpoint.isEmpty())
        return std::nullopt;
    const QStringList addresses = xaddrs.simplified().split(u' ', Qt::SkipEmptyParts);
    a.xaddrs = addresses.mid(0, kMaxXAddrs);
    bool ok = false;
    const quint64 v = version.trimmed().toULongLong(&ok);
    a.metadataVersion = ok ? v : 0;
    return a;
}

QString computerNameFromMetadata(const QByteArray &body)
{
    if (body.size() > kMaxMetadata)
        return QString();
    Reader r(body);
    QString text;
    bool inComputer = false;
    while (!r.atEnd()) {
        const QXmlStreamReader::TokenType token = r.next();
        if (token == QXmlStreamReader::Invalid)
            return QString();
        if (token == QXmlStreamReader::StartElement) {
            if (inComputer)
                return QString(); // a name is text only
            inComputer = r.isAt(0, kPub, QStringLiteral("Computer")) &&
                         r.isAt(1, kDevices, QStringLiteral("Host")) &&
                         r.isAt(2, kDevices, QStringLiteral("Relationship"));
        } else if (token == QXmlStreamReader::Characters && inComputer) {
            if (!appendBounded(text, r.text(), kMaxName))
                return QString();
        } else if (token == QXmlStreamReader::EndElement && inComputer) {
            break;
        }
    }
    if (!inComputer)
        return QString();
    // "NAME/Workgroup:GROUP" or "NAME/Domain:DOMAIN": a computer's name never
    // holds a slash, so the name is what comes before the first one.
    QString name = text.section(u'/', 0, 0).trimmed();
    for (const QChar c : name) {
        if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format)
            return QString();
    }
    return name;
}

} // namespace WsDiscoveryMessage
