#include "MessengerService.h"

#include "CodePage.h"

#include <QProcess>
#include <QStandardPaths>

namespace {

// The sender name travels in the ANSI code page, which need not be UTF-8
// and so cannot be an argument of QProcess: a shell reads it from the first
// line of the input and hands the rest of the input to smbclient.
constexpr auto kScript = R"(IFS= read -r sender && exec "$0" -M "$1" -I "$1" -U "$sender" -N )"
                         R"("--option=dos charset=$2" "--option=unix charset=$2")";

} // namespace

int SmbclientMessenger::send(const QString &recipientAddress, const QString &senderName,
                             const QString &text)
{
    // The shell would start without it and say only "not found".
    if (QStandardPaths::findExecutable(m_program).isEmpty())
        return kNotInstalled;
    const CodePage page = CodePage::ansi();
    QProcess process;
    process.setProgram(QStringLiteral("/bin/sh"));
    process.setArguments({QStringLiteral("-c"), QLatin1String(kScript), m_program, recipientAddress,
                          QStringLiteral("CP%1").arg(page.number())});
    process.start();
    if (!process.waitForStarted(m_timeoutMs))
        return kNotInstalled;
    // smbclient turns LF into CR LF itself.
    QString body = text;
    body.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    QString sender = senderName;
    sender.replace(u'\n', u' ');
    process.write(page.fromUnicode(sender) + '\n' + page.fromUnicode(body));
    process.closeWriteChannel();
    if (!process.waitForFinished(m_timeoutMs)) {
        process.kill();
        process.waitForFinished(1000);
        return -2;
    }
    if (process.exitStatus() != QProcess::NormalExit)
        return -3;
    if (!process.readAllStandardError().trimmed().isEmpty())
        return -4;
    return process.exitCode();
}
