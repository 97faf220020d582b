// A stand-alone program around SingleApplication for the single-instance tests: it runs the same
// check as the real program with the key given on its command line and reports on stdout, one
// line each, what it saw. Usage:
//   singleinstanceprobe <key> [--desktop answers|inherits|ignores|none] [--click <n>] [--send-self]
// Lines: "running=0|1", "send-self=0|1", "dock-answer=0|1" per click, "dock-clicked=<n>",
// "system-reopen=<n>", "ready", then "message" per messageAvailable(). A later start ends with
// code 1 right after its report, as the program does. Commands on stdin: "connections" answers
// "connections=<n>" (connections the local server still holds), "quit" ends the event loop; the
// end of stdin ends it too.

#include "app/dockruntime.h"
#include "app/singleapplication.h"
#include "log/appender.h"
#include "log/logger.h"

#include <QByteArray>
#include <QLocalServer>
#include <QLocalSocket>
#include <QSocketNotifier>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

void report(const char *line, int value = -1)
{
    if (value < 0)
        std::printf("%s\n", line);
    else
        std::printf("%s=%d\n", line, value);
    std::fflush(stdout);
}

int heldConnections(const QCoreApplication &application)
{
    int count = 0;
    for (const QLocalServer *server : application.findChildren<QLocalServer *>())
        count += server->findChildren<QLocalSocket *>().size();
    return count;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <key> [options]\n", argv[0]);
        return 2;
    }
    const QString key = QString::fromLocal8Bit(argv[1]);
    DockRuntime::Desktop desktop = DockRuntime::Desktop::kDelegateAnswersReopen;
    int clicks = 0;
    bool sendSelf = false;
    for (int i = 2; i < argc; ++i) {
        const char *argument = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : "";
        if (std::strcmp(argument, "--desktop") == 0) {
            ++i;
            if (std::strcmp(value, "inherits") == 0)
                desktop = DockRuntime::Desktop::kDelegateInheritsReopen;
            else if (std::strcmp(value, "ignores") == 0)
                desktop = DockRuntime::Desktop::kDelegateIgnoresReopen;
            else if (std::strcmp(value, "none") == 0)
                desktop = DockRuntime::Desktop::kNoApplication;
        } else if (std::strcmp(argument, "--click") == 0) {
            ++i;
            clicks = std::atoi(value);
        } else if (std::strcmp(argument, "--send-self") == 0) {
            sendSelf = true;
        }
    }

    // The program's appender (debug lines on stdout, warnings on stderr, and the files of a
    // "log" folder here); the check's own lines are debug lines, which the tests read.
    Log::appender()->installHandler();
    Log::Logger(QString()).setLevel(Log::DEBUG);
    DockRuntime::resetDesktop(desktop);

    SingleApplication application(argc, argv, key);
    report("running", application.isRunning() ? 1 : 0);
    if (sendSelf)
        report("send-self", application.sendMessage(QStringLiteral("probe")) ? 1 : 0);

    int dockClicks = 0;
    QObject::connect(&application, &SingleApplication::dockClicked,
                     [&dockClicks] { ++dockClicks; });
    QObject::connect(&application, &SingleApplication::messageAvailable, [] { report("message"); });
    if (clicks > 0) {
        for (int i = 0; i < clicks; ++i)
            report("dock-answer", DockRuntime::clickDockIcon(false) ? 1 : 0);
        report("dock-clicked", dockClicks);
        report("system-reopen", DockRuntime::systemReopenCount());
    }
    if (application.isRunning())
        return 1;

    QByteArray input;
    QSocketNotifier commands(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&commands, &QSocketNotifier::activated, [&] {
        char buffer[256];
        const ssize_t got = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (got <= 0) {
            commands.setEnabled(false);
            QCoreApplication::quit();
            return;
        }
        input.append(buffer, int(got));
        int end;
        while ((end = input.indexOf('\n')) >= 0) {
            const QByteArray command = input.left(end).trimmed();
            input.remove(0, end + 1);
            if (command == "connections")
                report("connections", heldConnections(application));
            else if (command == "quit")
                QCoreApplication::quit();
        }
    });
    report("ready");
    return QCoreApplication::exec();
}
