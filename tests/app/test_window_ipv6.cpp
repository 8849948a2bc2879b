// The main window against pyftpdlib on ::1, the host field holding "[::1]": it connects,
// lists and uploads over IPv6 in its default active mode (EPRT instead of PORT) and in
// passive mode (EPSV).
#include "app_test_support.h"
#include "test_window_fixture.h"

#include "support/loopback.h"

#include <QCheckBox>
#include <QPushButton>

using namespace kestrel;
using namespace kestrel_test;

class WindowIpv6Test : public WindowTest {
protected:
    std::unique_ptr<PyFtpd> server;

    void TearDown() override {
        WindowTest::TearDown(); // the window logs out before the server stops
        server.reset();
    }

    // Connects the window to the server through "[::1]" and uploads the selected files.
    void ConnectAndUpload(bool passive) {
        WriteSettings(server->user(), server->password(), "[::1]", std::to_string(server->port()),
                      "*.htm;*.gif");
        OpenWindow();
        window->cbPassive->setChecked(passive);
        window->sbConnect->click();
        ASSERT_TRUE(window->IsConnected) << (boxes.empty() ? "" : boxes.back().Text);
        EXPECT_EQ(window->VaneFTP1->GetRemoteIP(), "::1");
        SelectFiles({"a.htm", "b.gif"});
        ASSERT_TRUE(window->bUpload->isEnabled());
        window->bUpload->click();
        EXPECT_TRUE(boxes.empty()) << boxes.front().Text;
        for (const char* name : {"a.htm", "b.gif"})
            EXPECT_EQ(FileHash(server->root() / name), FileHash(site / name)) << name;
    }
};

TEST_F(WindowIpv6Test, BracketedAddressInTheHostFieldUploadsInBothModes) {
    if (!kestrel::test::HasIpv6Loopback())
        GTEST_SKIP() << "cannot bind ::1 here (no IPv6 on this machine)";
    PyFtpdOptions options = VerboseServer();
    options.host = "::1";
    server = std::make_unique<PyFtpd>(options);
    RandomFile(site / "a.htm", 5000, 1);
    RandomFile(site / "b.gif", 90000, 2);

    ConnectAndUpload(false);
    Lines commands = ServerCommands(*server);
    EXPECT_FALSE(CommandsLike(commands, "EPRT |2|::1|").empty());
    EXPECT_TRUE(CommandsLike(commands, "PORT").empty());
    window->sbDisconnect->click();
    CloseWindow();

    std::filesystem::remove(server->root() / "a.htm");
    std::filesystem::remove(server->root() / "b.gif");
    ConnectAndUpload(true);
    commands = ServerCommands(*server);
    EXPECT_FALSE(CommandsLike(commands, "EPSV").empty());
    EXPECT_TRUE(CommandsLike(commands, "PASV").empty());
}

KESTREL_QT_TEST_MAIN()
