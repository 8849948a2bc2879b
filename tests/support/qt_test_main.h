// The main of a test program with a Qt application object: GoogleTest with the
// program's watchdog; without a display Qt uses the offscreen platform.
#pragma once

#include "support/watchdog.h"

#include <QApplication>
#include <gtest/gtest.h>

#define KESTREL_QT_TEST_MAIN()                                                                     \
    int main(int argc, char** argv) {                                                              \
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))                                        \
            qputenv("QT_QPA_PLATFORM", "offscreen");                                               \
        QApplication app(argc, argv);                                                              \
        testing::InitGoogleTest(&argc, argv);                                                      \
        kestrel::test::InstallTestWatchdog(argc, argv);                                            \
        return RUN_ALL_TESTS();                                                                    \
    }
