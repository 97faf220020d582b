#include "support/stdoutcapture.h"

#include <cstdio>
#include <unistd.h>

namespace TestSupport {

StdoutCapture::StdoutCapture()
{
    if (!m_file.open())
        return;
    std::fflush(stdout);
    m_savedFd = ::dup(STDOUT_FILENO);
    if (m_savedFd < 0)
        return;
    if (::dup2(m_file.handle(), STDOUT_FILENO) < 0) {
        ::close(m_savedFd);
        m_savedFd = -1;
    }
}

StdoutCapture::~StdoutCapture()
{
    finish();
}

QByteArray StdoutCapture::finish()
{
    if (m_savedFd < 0)
        return m_text;
    std::fflush(stdout);
    ::dup2(m_savedFd, STDOUT_FILENO);
    ::close(m_savedFd);
    m_savedFd = -1;
    m_file.seek(0);
    m_text = m_file.readAll();
    return m_text;
}

} // namespace TestSupport
