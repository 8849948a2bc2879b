// The main window's newer settings: passive mode and encryption on the settings panel and
// in "KestrelFTP.ini", settings and remote names kept byte for byte, a port out of range,
// the certificate question and the sign of an encrypted connection.
#include "app_test_support.h"
#include "test_window_fixture.h"
#include "window_script.h"

#include "app/extrasettings.h"
#include "publish/publisher.h"
#include "support/pyftpd.h"
#include "support/scripted_server.h"
#include "support/tls_support.h"
#include "support/watchdog.h"

#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QScrollArea>

#include <algorithm>
#include <sys/stat.h>

using namespace kestrel;
using namespace kestrel_test;

namespace {

bool Received(const ScriptedFtpServer& server, const std::string& line) {
    const std::vector<std::string> lines = server.received();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TCertificateInfo Certificate(const std::string& fingerprint) {
    TCertificateInfo info;
    info.Host = "ftp.example.com";
    info.Subject = "CN=ftp.example.com, O=Example Hosting";
    info.Issuer = "CN=Example Hosting Private CA";
    info.NotBefore = "2026-01-01 00:00:00 UTC";
    info.NotAfter = "2027-01-01 00:00:00 UTC";
    info.Fingerprint = fingerprint;
    info.Reason = "self-signed certificate";
    return info;
}

constexpr char kFingerprint[] = "3A:7F:00:11:22:33:44:55:66:77:88:99:AA:BB:CC:DD:EE:FF:00:11:22:"
                                "33:44:55:66:77:88:99:AA:BB:CC:DD";

} // namespace

class WindowExtrasTest : public WindowTest {
protected:
    int answer = 2; // the button chosen for a captured question
    void SetUp() override {
        WindowTest::SetUp();
        Application().Answer = [this](const TCapturedBox&) { return answer; };
    }
    void TearDown() override {
        Application().Answer = nullptr;
        WindowTest::TearDown();
    }

    std::vector<TCapturedBox> Questions() const {
        std::vector<TCapturedBox> found;
        for (const TCapturedBox& box : boxes)
            if (box.Kind == TBoxKind::Question)
                found.push_back(box);
        return found;
    }

    bool CheckCertificate(const TCertificateInfo& info) {
        bool accept = false;
        window->VaneFTP1->OnCertificateCheck(info, accept);
        return accept;
    }
};

TEST_F(WindowExtrasTest, PassiveModeAndEncryptionSitBelowTheFieldsAndAreSavedInTheirOwnFile) {
    OpenWindow();
    EXPECT_TRUE(boxes.empty());
    // Below every described control of the panel, inside the scrolled panel, with hints.
    QWidget* panel = window->ScrollBox1->widget();
    for (QWidget* control :
         {static_cast<QWidget*>(window->cbPassive), static_cast<QWidget*>(window->cbEncryption)}) {
        EXPECT_EQ(control->parentWidget(), panel);
        EXPECT_GT(control->y(), window->bDefault->geometry().bottom());
        EXPECT_LE(control->geometry().bottom(), panel->height());
        EXPECT_FALSE(control->toolTip().isEmpty());
    }
    EXPECT_NE(window->cbPassive->toolTip().indexOf("router"), -1);
    EXPECT_EQ(window->cbPassive->text(), "Passive mode");
    EXPECT_EQ(window->Label10->text(), "Encryption");
    ASSERT_EQ(window->cbEncryption->count(), 4);
    EXPECT_EQ(window->cbEncryption->itemText(0), "None");
    EXPECT_EQ(window->cbEncryption->itemText(1), "Use TLS if offered");
    EXPECT_EQ(window->cbEncryption->itemText(2), "Require TLS");
    EXPECT_EQ(window->cbEncryption->itemText(3), "Implicit TLS");
    // Without a file: the described behaviour, active and unencrypted.
    EXPECT_FALSE(window->cbPassive->isChecked());
    EXPECT_EQ(window->cbEncryption->currentIndex(), 0);
    EXPECT_FALSE(window->imgLock->isVisible());

    window->eUserID->setText("jsmith");
    window->cbPassive->setChecked(true);
    EXPECT_TRUE(window->bSave->isEnabled()) << "a changed choice can be saved";
    window->cbEncryption->setCurrentIndex(2);
    window->bSave->click();
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(fs::file_size(site / "Config.txt"), 501u); // the record keeps its layout
    struct stat info {};
    ASSERT_EQ(::lstat((site / kExtraSettingsFileName).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    TExtraSettings saved;
    ASSERT_TRUE(saved.Load(site.str()));
    EXPECT_EQ(saved.DataMode, TDataMode::Passive);
    EXPECT_EQ(saved.Encryption, TEncryption::Required);

    CloseWindow();
    OpenWindow();
    EXPECT_TRUE(window->cbPassive->isChecked());
    EXPECT_EQ(window->cbEncryption->currentIndex(), 2);
    EXPECT_FALSE(window->bSave->isEnabled()) << "showing the saved choice changes nothing";
}

TEST_F(WindowExtrasTest, ConnectAppliesTheChosenModeAndEncryptionAndRefusesABadPort) {
    ScriptedFtpServer server(ScriptedFtpServer::Replies({{"USER ", "331 password please"},
                                                         {"PASS ", "530 Login incorrect"}}),
                             {.max_sessions = 0});
    WriteSettings("jsmith", "pw", "127.0.0.1", std::to_string(server.port()), "*.htm");
    OpenWindow();
    window->cbPassive->setChecked(true);
    window->cbEncryption->setCurrentIndex(1);
    window->sbConnect->click();
    EXPECT_EQ(window->VaneFTP1->DataMode, TDataMode::Passive);
    EXPECT_EQ(window->VaneFTP1->Encryption, TEncryption::IfOffered);
    ASSERT_TRUE(server.wait_sessions(1));

    // A port above 65535 would wrap around to the server's own port: it must not connect.
    boxes.clear();
    window->ePort->setText(QString::number(server.port() + 65536));
    window->sbConnect->click();
    ASSERT_FALSE(boxes.empty());
    EXPECT_EQ(boxes.back().Text, "Invalid port " + std::to_string(server.port() + 65536) +
                                     ": a port is a number from 1 to 65535.");
    EXPECT_EQ(server.sessions_accepted(), 1u);
    EXPECT_FALSE(window->IsConnected);
}

// "Publish Site..." connects as the window does: the fields, passive mode and encryption,
// and only certificates the settings trust, since its connections cannot ask.
TEST_F(WindowExtrasTest, PublishingConnectsWithTheWindowsModeEncryptionAndTrust) {
    WriteSettings("jsmith", "pw", "ftp.example.com", "2121", "*.htm");
    OpenWindow();
    window->cbPassive->setChecked(true);
    window->cbEncryption->setCurrentIndex(2);
    window->Extra.Trust("ftp.example.com", 2121, kFingerprint);
    TConnectionSettings settings = window->PublishConnection();
    EXPECT_EQ(settings.Host, "ftp.example.com");
    EXPECT_EQ(settings.Port, 2121);
    EXPECT_EQ(settings.UserID, "jsmith");
    EXPECT_EQ(settings.Password, "pw");
    EXPECT_EQ(settings.DataMode, TDataMode::Passive);
    EXPECT_EQ(settings.Encryption, TEncryption::Required);
    ASSERT_TRUE(settings.OnCertificateCheck);
    bool accept = false;
    settings.OnCertificateCheck(Certificate(kFingerprint), accept);
    EXPECT_TRUE(accept);
    std::string other(kFingerprint);
    other[0] = '4';
    settings.OnCertificateCheck(Certificate(other), accept);
    EXPECT_FALSE(accept);
    EXPECT_TRUE(Questions().empty());
}

TEST_F(WindowExtrasTest, SettingsThatAreNotUtf8ReachTheServerAndTheFileExactly) {
    const std::string user = " j\xf6rg";
    const std::string password = "p\xe4ss ";
    auto files = std::make_shared<MemoryFiles>();
    ScriptedFtpServer server(ScriptedFtpServer::Replies({{"USER " + user, "331 password please"},
                                                         {"PASS " + password, "230 in"},
                                                         {"PASS ", "530 wrong bytes"},
                                                         {"PWD", "257 \"/\" is current"}},
                                                        files));
    WriteSettings(user, password, "127.0.0.1", std::to_string(server.port()), "*.htm");
    const std::string before = ReadFileBytes(site / "Config.txt");
    OpenWindow();
    window->sbConnect->click();
    EXPECT_TRUE(window->IsConnected) << (boxes.empty() ? "" : boxes.back().Text);
    // Shown one character per byte, as the system that wrote them meant them.
    EXPECT_EQ(window->ePassword->text(), QString::fromUtf8("p\u00e4ss "));
    EXPECT_EQ(window->eUserID->text(), QString::fromUtf8(" j\u00f6rg"));
    EXPECT_TRUE(Received(server, "USER " + user));
    EXPECT_TRUE(Received(server, "PASS " + password));
    window->sbDisconnect->click();

    // Saved again without an edit: the very same bytes.
    window->bSave->setEnabled(true);
    window->bSave->click();
    EXPECT_EQ(ReadFileBytes(site / "Config.txt"), before);

    // A field the user retyped holds what was typed.
    window->ePassword->setText("new");
    window->bSave->setEnabled(true);
    window->bSave->click();
    EXPECT_EQ(ReadFileBytes(site / "Config.txt").substr(0, 4), std::string("new\0", 4));
    EXPECT_EQ(ReadFileBytes(site / "Config.txt").substr(100, user.size()), user);
}

TEST_F(WindowExtrasTest, ARemoteNameThatIsNotUtf8IsDeletedByItsExactBytes) {
    const std::string name = "caf\xe9 menu.htm";
    auto files = std::make_shared<MemoryFiles>();
    files->put(name, "<html></html>");
    ScriptedFtpServer server(ScriptedFtpServer::Replies({{"USER ", "331 password please"},
                                                         {"PASS ", "230 in"},
                                                         {"PWD", "257 \"/\" is current"},
                                                         {"DELE " + name, "250 deleted"}},
                                                        files));
    WriteSettings("jsmith", "pw", "127.0.0.1", std::to_string(server.port()), "*.htm");
    OpenWindow();
    window->sbConnect->click();
    ASSERT_TRUE(window->IsConnected) << (boxes.empty() ? "" : boxes.back().Text);
    ASSERT_EQ(window->WebList->topLevelItemCount(), 1);
    QTreeWidgetItem* row = window->WebList->topLevelItem(0);
    EXPECT_EQ(row->text(1), QString::fromUtf8("caf\u00e9 menu.htm"));
    window->WebList->setCurrentItem(row);
    row->setSelected(true);
    window->DeleteFile1->trigger();
    EXPECT_TRUE(Received(server, "DELE " + name));
    EXPECT_TRUE(boxes.empty()) << boxes.back().Text;
}

TEST_F(WindowExtrasTest, ANameListLineThatNamesAnotherFolderIsNotShown) {
    auto files = std::make_shared<MemoryFiles>();
    files->put("index.htm", "<html></html>");
    files->put("../escape.htm", "x");
    files->put("sub/page.htm", "x");
    files->put("..\\up.htm", "x");
    ScriptedFtpServer server(ScriptedFtpServer::Replies(
        {{"USER ", "331 password please"}, {"PASS ", "230 in"}, {"PWD", "257 \"/\" is current"}},
        files));
    WriteSettings("jsmith", "pw", "127.0.0.1", std::to_string(server.port()), "*.htm");
    OpenWindow();
    window->sbConnect->click();
    ASSERT_TRUE(window->IsConnected) << (boxes.empty() ? "" : boxes.back().Text);
    ASSERT_EQ(window->WebList->topLevelItemCount(), 1);
    EXPECT_EQ(window->WebList->topLevelItem(0)->text(1), QString("index.htm"));
}

TEST_F(WindowExtrasTest, CertificateQuestionTrustOnceAlwaysOrCancelAndAChangedCertificate) {
    OpenWindow();
    ASSERT_TRUE(window->VaneFTP1->OnCertificateCheck);

    answer = 2; // Cancel
    EXPECT_FALSE(CheckCertificate(Certificate(kFingerprint)));
    ASSERT_EQ(Questions().size(), 1u);
    const TCapturedBox question = Questions()[0];
    EXPECT_EQ(question.Buttons, (std::vector<std::string>{"Trust Once", "Always Trust", "Cancel"}));
    for (const std::string& part :
         {std::string("CN=ftp.example.com, O=Example Hosting"),
          std::string("CN=Example Hosting Private CA"), std::string("2026-01-01 00:00:00 UTC"),
          std::string("2027-01-01 00:00:00 UTC"), std::string(kFingerprint),
          std::string("self-signed certificate")})
        EXPECT_NE(question.Text.find(part), std::string::npos) << part;
    EXPECT_EQ(question.Text.find("CHANGED"), std::string::npos);

    answer = 0; // Trust Once: accepted, but asked again next time and nothing stored
    EXPECT_TRUE(CheckCertificate(Certificate(kFingerprint)));
    EXPECT_TRUE(CheckCertificate(Certificate(kFingerprint)));
    EXPECT_EQ(Questions().size(), 3u);
    EXPECT_FALSE(fs::exists(site / kExtraSettingsFileName));

    answer = 1; // Always Trust: stored for this host, then accepted without a question
    EXPECT_TRUE(CheckCertificate(Certificate(kFingerprint)));
    EXPECT_EQ(Questions().size(), 4u);
    EXPECT_TRUE(CheckCertificate(Certificate(kFingerprint)));
    EXPECT_EQ(Questions().size(), 4u);
    TExtraSettings stored;
    ASSERT_TRUE(stored.Load(site.str()));
    EXPECT_EQ(stored.TrustOf("ftp.example.com", 21, kFingerprint), TCertificateTrust::Trusted);

    // The same certificate for another host is a question of its own.
    TCertificateInfo other = Certificate(kFingerprint);
    other.Host = "ftp.other.example";
    answer = 2;
    EXPECT_FALSE(CheckCertificate(other));
    EXPECT_EQ(Questions().size(), 5u);

    // Trusted across a restart; a different certificate for the host asks again and says
    // that it changed; cancelling keeps the old trust.
    CloseWindow();
    boxes.clear();
    OpenWindow();
    EXPECT_TRUE(CheckCertificate(Certificate(kFingerprint)));
    EXPECT_TRUE(Questions().empty());
    std::string changed = kFingerprint;
    changed[0] = '4';
    EXPECT_FALSE(CheckCertificate(Certificate(changed)));
    ASSERT_EQ(Questions().size(), 1u);
    EXPECT_NE(Questions()[0].Text.find("CHANGED"), std::string::npos);
    ASSERT_TRUE(stored.Load(site.str()));
    EXPECT_EQ(stored.TrustOf("ftp.example.com", 21, kFingerprint), TCertificateTrust::Trusted);
}

TEST_F(WindowExtrasTest, TheLockShowsWhileTheConnectionIsEncrypted) {
    ScriptedFtpServer server(ScriptedFtpServer::Replies(
        {{"USER ", "331 password please"}, {"PASS ", "230 in"}, {"PWD", "257 \"/\" is current"}},
        nullptr));
    WriteSettings("jsmith", "pw", "127.0.0.1", std::to_string(server.port()), "*.htm");
    OpenWindow();
    // The component reports an encrypted session by Secured; the window only shows it.
    TNotifyEvent connected = window->VaneFTP1->OnConnect;
    window->VaneFTP1->OnConnect = [&](TComponent* sender) {
        window->VaneFTP1->Secured = true;
        connected(sender);
    };
    window->sbConnect->click();
    ASSERT_TRUE(window->IsConnected) << (boxes.empty() ? "" : boxes.back().Text);
    EXPECT_TRUE(window->imgLock->isVisible());
    EXPECT_NE(window->imgLock->toolTip().indexOf("Encrypted"), -1);
    // At the described size the word would leave the path no room; a wider window shows it.
    EXPECT_FALSE(window->txtSecure->isVisible());
    window->resize(800, 500);
    EXPECT_TRUE(window->txtSecure->isVisible());
    EXPECT_EQ(window->txtSecure->text(), "Encrypted");
    window->sbDisconnect->click();
    EXPECT_FALSE(window->imgLock->isVisible());
    EXPECT_FALSE(window->txtSecure->isVisible());
}

TEST_F(WindowExtrasTest, ASettingsFileThatIsAPipeOrALinkIsNamedAndNeverBlocksTheStart) {
    const fs::path config = site / "Config.txt";
    ASSERT_EQ(::mkfifo(config.c_str(), 0600), 0);
    const fs::path ini = site / kExtraSettingsFileName;
    kestrel::test::TempDir elsewhere("kestrel-elsewhere");
    WriteFileBytes(elsewhere / "other.ini", "[Connection]\nDataMode=passive\n");
    fs::create_symlink(elsewhere / "other.ini", ini);
    OpenWindow();
    const std::string start = window->StartFolder();
    EXPECT_EQ(BoxTexts(), (std::vector<std::string>{start + "/Config.txt is not a regular file",
                                                    start + "/" + kExtraSettingsFileName +
                                                        " is not a regular file"}));
    EXPECT_EQ(Text(window->eHost), "ftp.example.com"); // the defaults, as for a missing file
    EXPECT_FALSE(window->cbPassive->isChecked());

    // Saving replaces neither: the pipe and the link are refused by name, the link's target
    // stays as it was.
    boxes.clear();
    window->eUserID->setText("jsmith");
    window->bSave->setEnabled(true);
    window->bSave->click();
    EXPECT_EQ(BoxTexts(), (std::vector<std::string>{start + "/Config.txt is not a regular file",
                                                    start + "/" + kExtraSettingsFileName +
                                                        " is not a regular file"}));
    EXPECT_EQ(ReadFileBytes(elsewhere / "other.ini"), "[Connection]\nDataMode=passive\n");
}

// Against a real TLS server whose certificate no authority vouches for: the window asks,
// remembers the answer for the host, shows the lock, and asks again when the host shows
// another certificate.
TEST_F(WindowExtrasTest, AnUntrustedServerCertificateIsAskedAboutOnceAndRemembered) {
    kestrel::test::TempDir certDir("kestrel-certs");
    const kestrel::test::TestCertificates certs =
        kestrel::test::MakeTestCertificates(certDir.str());
    auto tlsServer = [](const std::string& cert, const std::string& key) {
        return std::make_unique<kestrel::test::PyFtpd>(kestrel::test::TlsServerOptions(cert, key));
    };
    auto server = tlsServer(certs.selfSignedCert, certs.selfSignedKey);
    WriteSettings(server->user(), server->password(), "127.0.0.1", std::to_string(server->port()),
                  "*.htm");
    OpenWindow();
    window->cbEncryption->setCurrentIndex(2); // Require TLS

    answer = 1; // Always Trust
    window->sbConnect->click();
    ASSERT_TRUE(window->IsConnected) << (boxes.empty() ? "" : boxes.back().Text);
    ASSERT_EQ(Questions().size(), 1u);
    const std::string fingerprint = kestrel::test::FingerprintOf(certs.selfSignedCert);
    EXPECT_NE(Questions()[0].Text.find(fingerprint), std::string::npos) << Questions()[0].Text;
    EXPECT_TRUE(window->VaneFTP1->Secured);
    EXPECT_TRUE(window->imgLock->isVisible());
    window->sbDisconnect->click();
    EXPECT_FALSE(window->imgLock->isVisible());

    // Remembered: the next connection asks nothing.
    window->sbConnect->click();
    ASSERT_TRUE(window->IsConnected) << (boxes.empty() ? "" : boxes.back().Text);
    EXPECT_EQ(Questions().size(), 1u);
    window->sbDisconnect->click();

    // The same host on another port is another server: trust is kept per host and port, so
    // it is asked about on its own (naming the port), and cancelling does not log in and
    // shows no second box.
    // Its certificate, self-signed and issued for another name, is questioned for both.
    server = tlsServer(certs.selfSignedWrongNameCert, certs.selfSignedWrongNameKey);
    window->ePort->setText(QString::number(server->port()));
    answer = 2; // Cancel
    boxes.clear();
    window->sbConnect->click();
    EXPECT_FALSE(window->IsConnected);
    ASSERT_EQ(Questions().size(), 1u);
    EXPECT_EQ(boxes.size(), 1u) << boxes.back().Text;
    EXPECT_EQ(Questions()[0].Text.find("CHANGED"), std::string::npos) << Questions()[0].Text;
    EXPECT_NE(Questions()[0].Text.find("verified: self-signed certificate; the certificate was "
                                       "issued for another name than 127.0.0.1"),
              std::string::npos)
        << Questions()[0].Text;
    EXPECT_NE(Questions()[0].Text.find("port " + std::to_string(server->port())), std::string::npos)
        << Questions()[0].Text;
    EXPECT_FALSE(window->imgLock->isVisible());
    EXPECT_TRUE(window->FileList->isVisible() && window->WebList->isVisible());
    window->sbDisconnect->click();
}

KESTREL_QT_TEST_MAIN()

// Implicit TLS listens on a port of its own: the port field follows the choice while it
// shows the other default, and a port the user typed wins.
TEST_F(WindowExtrasTest, ImplicitTlsBringsItsOwnPortUnlessOneWasTyped) {
    WriteSettings("jsmith", "pw", "127.0.0.1", "21", "*.htm");
    OpenWindow();
    window->cbEncryption->setCurrentIndex(3);
    EXPECT_EQ(window->ePort->text(), "990");
    window->cbEncryption->setCurrentIndex(2);
    EXPECT_EQ(window->ePort->text(), "21");
    window->ePort->setText("2990");
    window->cbEncryption->setCurrentIndex(3);
    EXPECT_EQ(window->ePort->text(), "2990");
    TConnectionSettings settings = window->PublishConnection();
    EXPECT_EQ(settings.Encryption, TEncryption::Implicit);
    EXPECT_EQ(settings.Port, 2990);
    window->bSave->click();
    TExtraSettings saved;
    ASSERT_TRUE(saved.Load(site.str()));
    EXPECT_EQ(saved.Encryption, TEncryption::Implicit);
}
