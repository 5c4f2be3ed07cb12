#pragma once

#include "support/FakeDirectory.h"

#include <QByteArray>
#include <QLatin1Char>
#include <QString>
#include <QtGlobal>

namespace BenchSupport {

// The benchmarks with windows run on Qt's windowless platform unless told
// otherwise, and keep its notes about every window out of their results.
// Call before the application object is made.
inline void quietOffscreen()
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
}

// A neighbourhood of the given number of computers, PC000 and on, each of
// whose look-ups takes the given time.
inline void fillNeighbourhood(FakeBrowser &browser, FakeResolver &resolver, int computers,
                              int delayMs)
{
    for (int i = 0; i < computers; ++i) {
        const QString name = QStringLiteral("PC%1").arg(i, 3, 10, QLatin1Char('0'));
        browser.addComputer(name);
        resolver.addresses.insert(name, Ipv4Address{{10, 0, i / 256, i % 256}});
    }
    resolver.delayMs = delayMs;
}

} // namespace BenchSupport
