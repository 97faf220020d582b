#pragma once

#include <QString>
#include <QTemporaryDir>

namespace TestSupport {

// Gives a test process a world of its own: a temporary HOME, XDG folders, TMPDIR and working
// directory, Qt's standard-path test mode, no system proxies, outside services the program would
// ask by default pointed at a closed loopback port, and a guard that ends the test when anything
// tries to reach an address outside 127.0.0.0/8. Programs the test starts inherit all of it.
class TestEnvironment
{
public:
    TestEnvironment();
    ~TestEnvironment();
    TestEnvironment(const TestEnvironment &) = delete;
    TestEnvironment &operator=(const TestEnvironment &) = delete;

    // Steps that need the application object.
    void afterApplication();

private:
    QTemporaryDir m_root;
};

// The top folder of the build (the programs are in its "bin" folder).
QString binaryDir();

} // namespace TestSupport
