#include "SingleInstance.h"

#include <QDir>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>

SingleInstance::SingleInstance()
{
    QString dir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (dir.isEmpty() || !QFileInfo(dir).isDir())
        dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    QDir().mkpath(dir);
    m_path = dir + u'/' + QLatin1String(kInstanceTitle);
    QObject::connect(&m_server, &QLocalServer::newConnection, &m_server, [this] {
        // A later instance only needs to see that someone answers.
        while (QLocalSocket *peer = m_server.nextPendingConnection()) {
            peer->disconnectFromServer();
            peer->deleteLater();
        }
    });
}

bool SingleInstance::acquire()
{
    // Two instances started at the same moment take turns here.
    QLockFile lock(m_path + QStringLiteral(".lock"));
    lock.setStaleLockTime(10000);
    lock.tryLock(10000);

    QLocalSocket probe;
    probe.connectToServer(m_path);
    if (probe.waitForConnected(2000)) {
        probe.disconnectFromServer();
        return false;
    }
    // Nobody answers: whatever is there is left over from a crash.
    QLocalServer::removeServer(m_path);
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    m_server.listen(m_path);
    return true;
}
