#pragma once

// The main function of every test program: the same environment whether
// it runs alone or under ctest (GuiTestMain.h adds the GUI tests' guard).

#include <QCoreApplication>
#include <QTest>

namespace TestMain {

// The code page follows the locale's name: the tests expect a Russian one
// (test machines have no generated locales; the name is enough). GUI tests
// draw their windows off screen.
inline void prepareEnvironment(bool gui)
{
    qputenv("LANG", "ru_RU.UTF-8");
    qunsetenv("LC_ALL");
    qunsetenv("LC_CTYPE");
    if (gui && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
}

} // namespace TestMain

#define TARVELLO_TEST_MAIN(TestObject)                                                             \
    int main(int argc, char *argv[])                                                               \
    {                                                                                              \
        TestMain::prepareEnvironment(false);                                                       \
        QCoreApplication app(argc, argv);                                                          \
        TestObject tc;                                                                             \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }
