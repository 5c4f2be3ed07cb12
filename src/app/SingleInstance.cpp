#include "SingleInstance.h"

#include "core/platform/InstanceChannel.h"

#include <QDir>
#include <QLocalSocket>
#include <QLockFile>
#include <QTimer>

SingleInstance::SingleInstance() : m_path(InstanceChannel::socketPath())
{
    QDir().mkpath(QFileInfo(m_path).path());
    QObject::connect(&m_server, &QLocalServer::newConnection, &m_server, [this] {
        while (QLocalSocket *peer = m_server.nextPendingConnection()) {
            // A later instance only needs to see that someone answers; the
            // command line sends one line. Never waited for: the GUI thread
            // goes on, and a peer that says nothing is dropped.
            QObject::connect(peer, &QLocalSocket::disconnected, peer, &QObject::deleteLater);
            QTimer::singleShot(kRequestTimeoutMs, peer, [peer] { peer->abort(); });
            QObject::connect(peer, &QLocalSocket::readyRead, peer, [this, peer] {
                if (!peer->canReadLine()) {
                    if (peer->bytesAvailable() >= InstanceChannel::kMaxRequestBytes)
                        peer->abort();
                    return;
                }
                const QByteArray request =
                    peer->readLine(InstanceChannel::kMaxRequestBytes).trimmed();
                if (m_answer)
                    peer->write(m_answer(request));
                peer->disconnectFromServer();
            });
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
