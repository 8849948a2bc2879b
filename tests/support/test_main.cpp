// The main of every test program without a window: GoogleTest with the program's
// watchdog.
#include "support/watchdog.h"

#include <gtest/gtest.h>

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    kestrel::test::InstallTestWatchdog(argc, argv);
    return RUN_ALL_TESTS();
}
