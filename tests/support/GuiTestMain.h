#pragma once

#include "support/TestMain.h"

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QHash>
#include <QTimer>

namespace TestMain {

// A window a test did not expect (a first-start window, a question nobody
// answers) waits for a click for ever. Every test handles its windows
// within moments: one open this long fails the running test, and is
// closed so that the other tests still run and report.
class StrayWindowGuard : public QObject {
public:
    static constexpr int kLimitMs = 10000;

    StrayWindowGuard()
    {
        connect(&m_timer, &QTimer::timeout, this, &StrayWindowGuard::look);
        m_timer.start(250);
    }

private:
    void look()
    {
        QHash<QDialog *, qint64> stillOpen;
        for (QWidget *w : QApplication::topLevelWidgets()) {
            auto *dialog = qobject_cast<QDialog *>(w);
            if (!dialog || !dialog->isVisible())
                continue;
            const qint64 since = m_openSince.value(dialog, m_clock.elapsed());
            stillOpen.insert(dialog, since);
            if (m_clock.elapsed() - since < kLimitMs)
                continue;
            const QByteArray what = QByteArray("a window nobody answered stayed open ") +
                                    QByteArray::number(kLimitMs / 1000) +
                                    " s: " + dialog->metaObject()->className() + " \"" +
                                    dialog->windowTitle().toUtf8() + '"';
            QTest::qFail(what.constData(), __FILE__, __LINE__);
            dialog->reject();
            stillOpen.remove(dialog);
        }
        m_openSince = stillOpen;
    }

    QTimer m_timer;
    QElapsedTimer m_clock = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    QHash<QDialog *, qint64> m_openSince;
};

} // namespace TestMain

#define TARVELLO_GUI_TEST_MAIN(TestObject)                                                         \
    int main(int argc, char *argv[])                                                               \
    {                                                                                              \
        TestMain::prepareEnvironment(true);                                                        \
        QApplication app(argc, argv);                                                              \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                   \
        TestMain::StrayWindowGuard guard;                                                          \
        TestObject tc;                                                                             \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }
