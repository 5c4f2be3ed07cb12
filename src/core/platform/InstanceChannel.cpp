#include "InstanceChannel.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QLocalSocket>
#include <QStandardPaths>

namespace InstanceChannel {

QString socketPath()
{
    QString dir = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (dir.isEmpty() || !QFileInfo(dir).isDir())
        dir = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    return dir + u'/' + QLatin1String(kInstanceTitle);
}

std::optional<QByteArray> ask(const QByteArray &request, int timeoutMs)
{
    QElapsedTimer clock;
    clock.start();
    const auto left = [&] { return int(qMax<qint64>(1, timeoutMs - clock.elapsed())); };
    QLocalSocket socket;
    socket.connectToServer(socketPath());
    if (!socket.waitForConnected(left()))
        return std::nullopt;
    socket.write(request.left(kMaxRequestBytes - 1) + '\n');
    if (!socket.waitForBytesWritten(left()))
        return std::nullopt;
    // The answer ends when the instance closes the connection.
    QByteArray answer;
    while (clock.elapsed() < timeoutMs && answer.size() <= kMaxAnswerBytes) {
        if (socket.bytesAvailable() == 0 && !socket.waitForReadyRead(left())) {
            if (socket.state() != QLocalSocket::ConnectedState) {
                answer += socket.readAll();
                return answer.left(kMaxAnswerBytes);
            }
            continue;
        }
        answer += socket.read(kMaxAnswerBytes + 1 - answer.size());
    }
    return std::nullopt;
}

} // namespace InstanceChannel
