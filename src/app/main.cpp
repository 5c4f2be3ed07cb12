#include "Application.h"
#include "SingleInstance.h"
#include "cli/CommandLine.h"
#include "core/base/Settings.h"
#include "core/base/StringTable.h"
#include "core/directory/AddressBook.h"
#include "core/platform/ComputerName.h"
#include "core/platform/HostResolver.h"
#include "core/platform/InstanceChannel.h"
#include "core/platform/LiveNeighbourhood.h"
#include "core/platform/MessengerService.h"
#include "gui/ui/Artwork.h"
#include "gui/ui/PromptService.h"

#include <QApplication>
#include <QAudioDevice>
#include <QFile>
#include <QLibraryInfo>
#include <QLocale>
#include <QMediaDevices>
#include <QSocketNotifier>
#include <QTextStream>
#include <QTimer>
#include <QTranslator>

#include <chrono>
#include <atomic>
#include <mutex>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};
// The program while its event loop may run.
std::atomic<Application *> g_application{nullptr};

// The end of a process its event loop never sees: the listeners still take
// in what waits in their listen queues and the journal is put on the disk.
// Once, whichever thread comes first; the others wait until it is done.
std::once_flag g_endedAbruptly;
void endAbruptly()
{
    std::call_once(g_endedAbruptly, [] {
        if (Application *running = g_application.load())
            running->endAbruptly();
    });
}

// Qt ends the process with _exit() right after saying that the Wayland
// compositor has gone, and with exit() when the X server has.
QtMessageHandler g_qtMessages = nullptr;
void watchForTheDisplayGoing(QtMsgType type, const QMessageLogContext &context,
                             const QString &message)
{
    if (g_qtMessages)
        g_qtMessages(type, context, message);
    if (type == QtWarningMsg && message.startsWith(QLatin1String("The Wayland connection")))
        endAbruptly();
}

void onTerminate(int)
{
    const char byte = 1;
    [[maybe_unused]] const auto n = ::write(g_signalPipe[1], &byte, 1);
}

// The session's end (SIGTERM, SIGHUP: the terminal has gone) and Ctrl+C end
// the program as Exit does. Caught from the first moment: a signal that
// comes while the program is still being set up waits in the pipe.
void catchTerminationSignals()
{
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signalPipe) != 0)
        return;
    struct sigaction action = {};
    action.sa_handler = onTerminate;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &action, nullptr);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGHUP, &action, nullptr);
}

// For a program that goes no further (a second instance): signals end it
// again as they do by default. True when one has come already.
bool stopCatchingTerminationSignals()
{
    for (int signal : {SIGTERM, SIGINT, SIGHUP})
        std::signal(signal, SIG_DFL);
    char byte;
    return g_signalPipe[0] >= 0 && ::recv(g_signalPipe[0], &byte, 1, MSG_DONTWAIT) == 1;
}

void exitOnTerminationSignals(Application &application)
{
    if (g_signalPipe[0] < 0)
        return;
    auto *notifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, &application);
    QObject::connect(notifier, &QSocketNotifier::activated, &application, [&application, notifier] {
        char byte;
        [[maybe_unused]] const auto n = ::read(g_signalPipe[0], &byte, 1);
        notifier->setEnabled(false);
        application.shutDown();
    });
}

// Exit and the session's end have stopped the listeners and closed every
// window by the time the program is told to finish; what may still run is
// blocking work the system cannot cancel (a name look-up, the messenger
// service's program). The process does not wait for it: past this limit it
// ends with its status all the same.
void finishWithin(int status, std::chrono::milliseconds limit)
{
    std::thread([status, limit] {
        std::this_thread::sleep_for(limit);
        std::fflush(nullptr);
        ::_exit(status);
    }).detach();
    QCoreApplication::exit(status);
}

// Qt's own texts (file dialogs, standard buttons, file errors) in the
// program's language, whatever the locale.
void translateQt(QTranslator &translator)
{
    if (translator.load(QLocale(QLocale::Russian, QLocale::Russia), QStringLiteral("qtbase"),
                        QStringLiteral("_"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QCoreApplication::installTranslator(&translator);
}

// The subcommands: no display, no tray, no single-instance lock.
int runCommandLine(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("Tarvello"));
    QTranslator qtTranslator;
    translateQt(qtTranslator);
    // Qt's own complaints (an audio server that is not there) are not
    // findings: the subcommands say what they found themselves.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    SettingsStore store;
    SystemHostResolver resolver(LiveNeighbourhood::discoveryAllowed());
    SmbclientMessenger messenger;
    LiveNeighbourhood browser(LiveNeighbourhood::systemOptions());
    CommandLineServices services;
    services.store = &store;
    services.resolver = &resolver;
    services.messenger = &messenger;
    services.browser = &browser;
    services.audioDevices = [] {
        return std::pair<int, int>(int(QMediaDevices::audioInputs().size()),
                                   int(QMediaDevices::audioOutputs().size()));
    };
    services.hostName = ComputerName::localHostName();
    services.netBiosName = ComputerName::netBiosName();
    services.executable = QCoreApplication::applicationFilePath();
    services.outputIsTerminal = ::isatty(STDOUT_FILENO) == 1;
    services.askInstance = [](const QByteArray &request) { return InstanceChannel::ask(request); };
    services.dnsSdRunning = [&browser] { return browser.dnsSdRunning(); };
    services.addressBookFile = addressBookPath();
    QFile input;
    input.open(stdin, QIODevice::ReadOnly);
    QTextStream out(stdout);
    QTextStream err(stderr);
    return CommandLine(services, input, out, err).run(QCoreApplication::arguments().mid(1));
}

} // namespace

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    if (CommandLine::handles(arguments))
        return runCommandLine(argc, argv);

    catchTerminationSignals();
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Tarvello"));
    QApplication::setDesktopFileName(QStringLiteral("tarvello"));
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(Artwork::icon(QStringLiteral(":/icons/tarvello-active.svg")));

    QTranslator qtTranslator;
    translateQt(qtTranslator);

    SingleInstance instance;
    if (!instance.acquire()) {
        if (!stopCatchingTerminationSignals())
            showNotice(nullptr, StringId::AlreadyRunning);
        return 2;
    }

    Application application{ApplicationServices::system()};
    instance.setAnswer(
        [&application](const QByteArray &request) { return application.answer(request); });
    QObject::connect(&application, &Application::finished, &app,
                     [](int status) { finishWithin(status, std::chrono::milliseconds(1000)); });
    exitOnTerminationSignals(application);
    QTimer::singleShot(0, &application, &Application::startUp);
    g_application = &application;
    std::atexit(endAbruptly);
    g_qtMessages = qInstallMessageHandler(watchForTheDisplayGoing);
    // 32772 after Exit; a shell sees its low 8 bits, 4.
    const int status = app.exec();
    g_application = nullptr;
    return status;
}
