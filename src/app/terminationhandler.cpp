#include "app/terminationhandler.h"

#include "log/logger.h"

#include <QCoreApplication>
#include <QMutex>
#include <QSocketNotifier>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {
const Log::Logger kLog("main");

QMutex s_terminateMutex;
bool s_isTerminating = false;

// What the signal handler may touch: lock-free atomics only.
std::atomic<int> s_pipeWriteEnd{-1};
std::atomic_flag s_signalled = ATOMIC_FLAG_INIT;
} // namespace

void terminateSignalHandler(int)
{
    // Only the first signal is passed on; later ones find the flag set and return at once.
    if (s_signalled.test_and_set())
        return;
    const int savedErrno = errno;
    const int fd = s_pipeWriteEnd.load();
    if (fd >= 0) {
        const char byte = 1;
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
    }
    errno = savedErrno;
}

TerminationHandler::TerminationHandler(QObject *parent) : QObject(parent) {}

TerminationHandler::~TerminationHandler()
{
    // The handler stays installed so that a late signal still does nothing. Its pipe stays open
    // too: closing it could let the handler write into a descriptor that was reused meanwhile.
    s_pipeWriteEnd.store(-1);
}

bool TerminationHandler::install()
{
    if (::pipe2(m_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        kLog.error(this) << "Cannot create the signal pipe, errno" << errno;
        m_pipe[0] = m_pipe[1] = -1;
        return false;
    }
    m_notifier = new QSocketNotifier(m_pipe[0], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &TerminationHandler::onSignalled);
    s_pipeWriteEnd.store(m_pipe[1]);
    std::signal(SIGINT, terminateSignalHandler);
    std::signal(SIGTERM, terminateSignalHandler);
    return true;
}

bool TerminationHandler::isTerminating()
{
    QMutexLocker locker(&s_terminateMutex);
    return s_isTerminating;
}

void TerminationHandler::onSignalled()
{
    char byte;
    while (::read(m_pipe[0], &byte, 1) > 0) {
    }
    QMutexLocker locker(&s_terminateMutex);
    if (s_isTerminating)
        return;
    kLog.info() << "[ TolvaneMailConnect ] Terminated";
    s_isTerminating = true;
    QCoreApplication::quit();
}
