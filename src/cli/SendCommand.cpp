#include "SendCommand.h"

#include "core/messaging/OutgoingMessage.h"
#include "core/net/TcpSocket.h"
#include "core/platform/CodePage.h"
#include "core/platform/MessengerService.h"

#include <QIODevice>
#include <QStringDecoder>
#include <QTextStream>

using StringTable::format;
using StringTable::text;

QString SendCommand::help() const
{
    return format(StringId::CliSendHelp, {QString::number(OutgoingMessage::kMaxTextChars),
                                          QString::number(OutgoingMessage::kMaxSenderChars)});
}

void SendCommand::reportUnheld(const QString &going)
{
    // They go as '?', as from the window; a '?' typed is not one of them.
    const CodePage page = CodePage::ansi();
    const qsizetype replaced =
        page.toUnicode(page.fromUnicode(going)).count(u'?') - going.count(u'?');
    if (replaced > 0)
        m_err << format(StringId::CliReplacedCharacters, {QString::number(page.number()), QString::number(replaced)})
              << Qt::endl;
}

int SendCommand::execute(const QStringList &given)
{
    using OutgoingMessage::kMaxSenderChars;
    using OutgoingMessage::kMaxTextChars;
    if (printedHelp(given))
        return CommandLine::Delivered;
    const QString kFrom = QStringLiteral("--from");
    const QString kMessenger = QStringLiteral("--messenger");
    Arguments arguments;
    if (!parse(given, {{kFrom, true}, {kMessenger, false}}, arguments))
        return CommandLine::Usage;
    const bool viaMessenger = arguments.options.contains(kMessenger);
    std::optional<QString> from;
    if (arguments.options.contains(kFrom))
        from = arguments.options.value(kFrom);
    if (arguments.operands.isEmpty())
        return usageError(text(StringId::CliMissingHost));
    const QString host = arguments.operands.takeFirst();
    if (const auto problem = hostProblem(host))
        return usageError(*problem);

    QString message;
    if (!arguments.operands.isEmpty()) {
        message = arguments.operands.join(u' ');
    } else {
        // Standard input, bounded: no character takes more than three bytes
        // in UTF-8 (four for two UTF-16 units).
        const qint64 limit = kMaxTextChars * 3 + 2;
        QByteArray bytes;
        for (;;) {
            const QByteArray piece = m_input.read(limit + 1 - bytes.size());
            if (piece.isEmpty())
                break;
            bytes += piece;
            if (bytes.size() > limit)
                break;
        }
        if (bytes.size() > limit)
            return usageError(format(StringId::CliMessageTooLong, {QString::number(kMaxTextChars)}));
        QStringDecoder utf8(QStringDecoder::Utf8);
        message = utf8.decode(bytes);
        if (utf8.hasError())
            return usageError(text(StringId::CliInputNotUtf8));
        if (message.endsWith(u'\n'))
            message.chop(message.endsWith(QLatin1String("\r\n")) ? 2 : 1);
    }
    // Line breaks as the compose window sends them.
    message.replace(QLatin1String("\r\n"), QLatin1String("\n"));
    message.replace(u'\n', QLatin1String("\r\n"));
    if (message.isEmpty())
        return usageError(text(StringId::CliEmptyMessage));
    if (message.size() > kMaxTextChars)
        return usageError(format(StringId::CliMessageTooLong, {QString::number(kMaxTextChars)}));
    if (from && from->size() > kMaxSenderChars)
        return usageError(format(StringId::CliSenderTooLong, {QString::number(kMaxSenderChars)}));
    // A NUL would end the text in the recipient's window.
    if (const qsizetype nuls = message.count(QChar(0))) {
        message.replace(QChar(0), u'?');
        m_err << format(StringId::CliNulCharacters, {QString::number(nuls)}) << Qt::endl;
    }

    Ipv4Address address;
    if (!resolve(host, address))
        return CommandLine::Unreachable;

    if (viaMessenger) {
        if (!m_services.messenger)
            return CommandLine::Unreachable;
        const QString sender = from.value_or(m_services.netBiosName);
        reportUnheld(sender + message.left(OutgoingMessage::kMessengerChars));
        const int result = OutgoingMessage::sendViaMessenger(*m_services.messenger, address, sender,
                                                             message, nullptr);
        if (result == SmbclientMessenger::kNotInstalled) {
            m_err << text(StringId::CliSmbclientMissing) << Qt::endl;
            return CommandLine::Refused;
        }
        if (result != 0) {
            const StringId why =
                result == -2 ? StringId::CliMessengerTimeout : StringId::CliMessengerRefused;
            m_err << format(StringId::CliMessengerFailed, {host, address.dotted(), text(why)})
                  << Qt::endl;
            return result == -2 ? CommandLine::Unreachable : CommandLine::Refused;
        }
        if (message.size() > OutgoingMessage::kMessengerChars)
            m_err << format(StringId::CliMessengerCut, {QString::number(OutgoingMessage::kMessengerChars)})
                  << Qt::endl;
        m_out << format(StringId::CliMessengerDelivered, {host, address.dotted()}) << Qt::endl;
        return CommandLine::Delivered;
    }

    const QString sender = from.value_or(m_services.hostName);
    reportUnheld(sender + message);
    int error = 0;
    const MessagePort::SendResult result = OutgoingMessage::sendDirectly(
        address, messagePort(), sender, message, nullptr, nullptr, &error);
    switch (result) {
    case MessagePort::SendResult::Delivered:
        m_out << format(StringId::CliDelivered, {host, address.dotted()}) << Qt::endl;
        return CommandLine::Delivered;
    case MessagePort::SendResult::NoConnection: {
        const Diagnosis::PortProbe probe{Diagnosis::stateOf(error), error};
        m_err << format(StringId::CliNoConnection,
                        {host, address.dotted(),
                         portLine(StringId::CliMessagePortName, TcpSocket::wirePort(messagePort()),
                                  probe, TcpSocket::kConnectTimeoutMs),
                         host})
              << Qt::endl;
        return statusOf(probe) == CommandLine::Delivered ? CommandLine::Unreachable
                                                         : statusOf(probe);
    }
    case MessagePort::SendResult::WriteFailed:
        break;
    }
    m_err << format(StringId::CliWriteFailed, {host, address.dotted()}) << Qt::endl;
    return CommandLine::Refused;
}
