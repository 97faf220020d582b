#pragma once

#include "support/testenvironment.h"

#include <QApplication>
#include <QtTest>

// The main() of every test executable: the test runs inside its own TestEnvironment.
#define TOLVANE_TEST_MAIN(TestObject)                                                              \
    int main(int argc, char **argv)                                                                \
    {                                                                                              \
        TestSupport::TestEnvironment environment;                                                  \
        QApplication app(argc, argv);                                                              \
        environment.afterApplication();                                                            \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                   \
        TestObject tc;                                                                             \
        QTEST_SET_MAIN_SOURCE_PATH                                                                 \
        return QTest::qExec(&tc, argc, argv);                                                      \
    }
