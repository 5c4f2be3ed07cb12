#include "MessengerService.h"

#include "CodePage.h"

#include <QProcess>

QStringList SmbclientMessenger::arguments(const QString &recipientAddress,
                                          const QString &senderName, int codePage)
{
    return {QStringLiteral("-M"),
            recipientAddress,
            QStringLiteral("-I"),
            recipientAddress,
            QStringLiteral("-U"),
            senderName,
            QStringLiteral("-N"),
            QStringLiteral("--option=dos charset=CP%1").arg(codePage)};
}

int SmbclientMessenger::send(const QString &recipientAddress, const QString &senderName,
                             const QString &text)
{
    QProcess process;
    process.setProgram(m_program);
    process.setArguments(
        arguments(recipientAddress, senderName, CodePage::ansi().number()));
    process.start();
    if (!process.waitForStarted(m_timeoutMs))
        return -1; // not installed, or cannot run
    // smbclient turns LF into CR LF itself.
    QString body = text;
    body.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    process.write(body.toUtf8());
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
