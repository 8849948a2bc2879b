// The window when the server goes away while it is idle: the status line says so.
#include "../app/app_test_support.h"
#include "../app/test_window_fixture.h"

#include <QTest>

#include <chrono>

using namespace kestrel;
using namespace kestrel_test;

TEST_F(WindowTest, ServerClosingWhileIdleShowsDisconnected) {
    kestrel::test::PyFtpd server;
    WriteSettings(server.user(), server.password(), "127.0.0.1", std::to_string(server.port()),
                  "*.htm");
    OpenWindow();
    window->sbConnect->click();
    ASSERT_TRUE(window->IsConnected) << (boxes.empty() ? "" : boxes.back().Text);

    server.stop(); // the server's end of the control connection closes
    auto start = std::chrono::steady_clock::now();
    while (window->VaneFTP1->Connected &&
           std::chrono::steady_clock::now() - start < std::chrono::seconds(5))
        QTest::qWait(10);
    EXPECT_FALSE(window->VaneFTP1->Connected);
    EXPECT_EQ(Status(), "Disconnected from Internet");
    EXPECT_TRUE(boxes.empty());
}

KESTREL_QT_TEST_MAIN()
