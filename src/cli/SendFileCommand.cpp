#include "SendFileCommand.h"

#include "core/net/TcpSocket.h"
#include "core/transfer/FileTransfer.h"
#include "core/transfer/OfferedFile.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QTextStream>

using StringTable::format;
using StringTable::text;

namespace {

// "m:ss".
QString clockText(qint64 seconds)
{
    return QStringLiteral("%1:%2").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

} // namespace

QString SendFileCommand::help() const
{
    return text(StringId::CliSendFileHelp);
}

int SendFileCommand::execute(const QStringList &given)
{
    if (printedHelp(given))
        return CommandLine::Delivered;
    Arguments parsed;
    if (!parse(given, {}, parsed))
        return CommandLine::Usage;
    const QStringList &arguments = parsed.operands;
    if (arguments.isEmpty())
        return usageError(text(StringId::CliMissingHost));
    if (arguments.size() < 2)
        return usageError(text(StringId::CliMissingFile));
    if (arguments.size() > 2)
        return usageError(format(StringId::CliExtraArgument, {arguments.at(2)}));
    const QString host = arguments.at(0);
    const QString path = arguments.at(1);
    if (const auto problem = hostProblem(host))
        return usageError(*problem);
    const QFileInfo info(path);
    qint64 length = 0;
    {
        // Only a regular file, and a pipe or device is never opened.
        OfferedFile file;
        if (const auto problem = file.open(path); problem != OfferedFile::Problem::None)
            return usageError(OfferedFile::problemText(problem, path, file.error()));
        length = file.size();
    }
    Ipv4Address address;
    if (!resolve(host, address))
        return CommandLine::Unreachable;

    m_out << format(StringId::CliWaitingForAnswer,
                    {info.fileName(), FileTransfer::sizeText(length), host, address.dotted()})
          << Qt::endl;
    const quint16 port = dataPort();
    FileSendJob job{address, port, m_services.hostName, path, info.fileName(), nullptr};
    QElapsedTimer clock;
    int shown = -1;
    bool drawing = false;
    FileSendStatus outcome = FileSendStatus::Interrupted;
    int outcomeArgument = 0;
    FileTransfer::sendFile(job, [&](FileSendStatus status, int argument) {
        if (status != FileSendStatus::Progress) {
            outcome = status;
            outcomeArgument = argument;
            return;
        }
        if (!clock.isValid())
            clock.start();
        if (argument == shown)
            return;
        shown = argument;
        const qint64 sent = length * argument / 100;
        const double seconds = qMax<qint64>(clock.elapsed(), 1) / 1000.0;
        const double rate = double(sent) / seconds;
        const qint64 left = rate > 0 ? qint64(double(length - sent) / rate) : 0;
        const QString line =
            format(StringId::CliProgress,
                   {QString::number(argument), FileTransfer::sizeText(qint64(rate)), clockText(left)});
        if (m_services.outputIsTerminal) {
            constexpr int kWidth = 30;
            const int done = argument * kWidth / 100;
            m_out << '\r' << '[' << QString(done, u'#') << QString(kWidth - done, u'-') << "] "
                  << line << QStringLiteral("    ");
            m_out.flush();
            drawing = true;
        } else {
            m_out << line << Qt::endl;
        }
    });
    if (drawing)
        m_out << Qt::endl;
    switch (outcome) {
    case FileSendStatus::Done: {
        const qint64 ms = clock.isValid() ? clock.elapsed() : 0;
        m_out << format(StringId::CliFileDelivered,
                        {host, address.dotted(), FileTransfer::sizeText(length),
                         QString::number(double(ms) / 1000.0, 'f', 1)})
              << Qt::endl;
        return CommandLine::Delivered;
    }
    case FileSendStatus::NoConnection: {
        const Diagnosis::PortProbe probe{Diagnosis::stateOf(outcomeArgument), outcomeArgument};
        m_err << format(StringId::CliNoConnectionFile,
                        {host, address.dotted(),
                         portLine(StringId::CliDataPortName, TcpSocket::wirePort(port), probe,
                                  TcpSocket::kConnectTimeoutMs)})
              << Qt::endl;
        return statusOf(probe) == CommandLine::Delivered ? CommandLine::Unreachable
                                                         : statusOf(probe);
    }
    case FileSendStatus::Refused:
        m_err << text(StringId::CliFileRefused) << Qt::endl;
        return CommandLine::Refused;
    case FileSendStatus::CannotOpen:
        m_err << text(StringId::SendFileCannotOpen) << Qt::endl;
        return CommandLine::Refused;
    case FileSendStatus::NotRegular:
        m_err << OfferedFile::problemText(OfferedFile::Problem(outcomeArgument), path) << Qt::endl;
        return CommandLine::Usage;
    case FileSendStatus::Changed:
        m_err << text(StringId::CliFileChanged) << Qt::endl;
        return CommandLine::Refused;
    default:
        break;
    }
    m_err << text(StringId::CliFileInterrupted) << Qt::endl;
    return CommandLine::Refused;
}
