// A 1 GiB file from the sending worker to a receiving listener over
// loopback, against a plain TCP copy of the same file in the same run that
// also puts its file on the disk before it counts as done (the receiver
// does: a file takes its name only once it is synced). Prints both
// throughputs, their ratio, the time from the last byte sent to the
// receiver's close, and the peak resident memory; exits 1 when the worker
// reaches less than 0.95 of the plain copy or that close takes 1 s or more.
#include "core/base/MessageLog.h"
#include "core/base/Settings.h"
#include "core/net/ListenerControl.h"
#include "core/net/TcpSocket.h"
#include "core/transfer/FileTransfer.h"

#include "support/TestListeners.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QThread>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <future>
#include <thread>
#include <vector>

namespace {

constexpr qint64 kSize = qint64(1) << 30;
constexpr qint64 kPiece = 65536;

// Reads the file and sends it in 64 KiB pieces to a receiver that writes
// what it gets into another file and syncs it: the same work without any
// protocol.
double plainCopyMs(const QString &from, const QString &to)
{
    const quint16 port = TestSupport::freeConfiguredPort();
    TcpSocket listening;
    listening.listenOn(port);
    std::thread receiver([&] {
        TcpSocket c = listening.accept();
        QFile out(to);
        out.open(QIODevice::WriteOnly | QIODevice::Truncate);
        std::vector<char> buffer(kPiece);
        qint64 n;
        while ((n = c.receive(buffer.data(), kPiece)) > 0)
            out.write(buffer.data(), n);
        out.flush();
        ::fsync(out.handle());
    });
    QElapsedTimer timer;
    timer.start();
    TcpSocket s;
    s.connectTo(Ipv4Address::loopback(), port);
    QFile in(from);
    in.open(QIODevice::ReadOnly);
    std::vector<char> buffer(kPiece - 1);
    qint64 n;
    while ((n = in.read(buffer.data(), qint64(buffer.size()))) > 0)
        s.send(buffer.data(), n);
    s.close();
    receiver.join();
    return double(timer.nsecsElapsed()) / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString source = dir.filePath(QStringLiteral("source.bin"));
    {
        QFile f(source);
        f.open(QIODevice::WriteOnly);
        std::vector<char> block(1 << 20);
        for (size_t i = 0; i < block.size(); ++i)
            block[i] = char(i * 2654435761u >> 24);
        for (qint64 written = 0; written < kSize; written += qint64(block.size()))
            f.write(block.data(), qint64(block.size()));
    }

    // Three rounds, each copying once each way; the best of each counts, so
    // that the write-back of one round's file does not weigh on the other.
    TestListeners receiver;
    const QString received = dir.filePath(QStringLiteral("received.bin"));
    double plainMs = 1e12;
    double workerMs = 1e12;
    double closeMs = 0;
    bool complete = true;
    const long rssBefore = TestSupport::residentKb();
    for (int round = 0; round < 3; ++round) {
        const QString plain = dir.filePath(QStringLiteral("plain.bin"));
        plainMs = std::min(plainMs, plainCopyMs(source, plain));
        QFile::remove(plain);

        receiver.windows.answerOffers({received});
        QElapsedTimer timer;
        timer.start();
        FileSendStatus last = FileSendStatus::Progress;
        qint64 lastByteNs = 0;
        FileTransfer::sendFile({Ipv4Address::loopback(), receiver.dataPort(), QStringLiteral("PC1"),
                                source, QStringLiteral("source.bin")},
                               [&](FileSendStatus status, int percent) {
                                   last = status;
                                   // 100% is reported once the last piece is sent.
                                   if (status == FileSendStatus::Progress && percent == 100)
                                       lastByteNs = timer.nsecsElapsed();
                               });
        const double ms = double(timer.nsecsElapsed()) / 1e6;
        workerMs = std::min(workerMs, ms);
        closeMs = std::max(closeMs, ms - double(lastByteNs) / 1e6);
        complete = complete && last == FileSendStatus::Done && QFile(received).size() == kSize;
        QFile::remove(received);
    }
    const long rssAfter = TestSupport::residentKb();

    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const double mib = double(kSize) / (1 << 20);
    const double plainRate = mib / (plainMs / 1000);
    const double workerRate = mib / (workerMs / 1000);
    std::printf("file transfer, 1 GiB over loopback, written and synced to disk on the receiving "
                "side, best of 3\n");
    std::printf("  plain TCP copy and sync:  %.0f ms, %.0f MiB/s\n", plainMs, plainRate);
    std::printf("  worker/listener:          %.0f ms, %.0f MiB/s (%s)\n", workerMs, workerRate,
                complete ? "complete" : "INCOMPLETE");
    std::printf("  ratio:                    %.3f (target at least 0.95)\n",
                workerRate / plainRate);
    std::printf("  last byte sent to the receiver's close: %.0f ms at most (target under 1 s)\n",
                closeMs);
    std::printf(
        "  resident memory:          %ld kB before, %ld kB after the transfer; peak %ld kB\n",
        rssBefore, rssAfter, usage.ru_maxrss);
    return complete && workerRate >= 0.95 * plainRate && closeMs < 1000 ? 0 : 1;
}
