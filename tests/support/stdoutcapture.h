#pragma once

#include <QByteArray>
#include <QTemporaryFile>

namespace TestSupport {

// Redirects the process's standard output into a temporary file for its lifetime, for checking
// lines that code prints there. Nothing else may be printed while a capture is active.
class StdoutCapture
{
public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture &) = delete;
    StdoutCapture &operator=(const StdoutCapture &) = delete;

    bool isActive() const { return m_savedFd >= 0; }
    // Ends the capture (once) and returns everything printed meanwhile.
    QByteArray finish();

private:
    QTemporaryFile m_file;
    int m_savedFd = -1;
    QByteArray m_text;
};

} // namespace TestSupport
