#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGINT and SIGTERM into an orderly quit of the event loop. The signal handler itself only
// writes one byte into a pipe; the logging and the quit happen in the GUI thread.
class TerminationHandler : public QObject
{
    Q_OBJECT
public:
    explicit TerminationHandler(QObject *parent = nullptr);
    ~TerminationHandler() override;

    // Installs the handler for SIGINT and then SIGTERM. False when the pipe cannot be made.
    bool install();

    // True once a signal has been handled; never cleared.
    static bool isTerminating();

private:
    void onSignalled();

    QSocketNotifier *m_notifier = nullptr;
    int m_pipe[2] = {-1, -1};
};

// The installed handler; async-signal-safe. Its argument is ignored.
void terminateSignalHandler(int signal);
