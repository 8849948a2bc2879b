// "KestrelFTP.ini": the newer settings beside the record. Defaults when it is missing or
// damaged, a round trip of every setting, entries of later versions kept, the same file
// safety as the record, and the trust of certificates per host.
#include "app/config.h"
#include "app/extrasettings.h"

#include "app_test_support.h"
#include "support/fixtures.h"
#include "support/watchdog.h"

#include <chrono>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using namespace kestrel;
using namespace std::chrono_literals;
namespace fs = std::filesystem;
using namespace kestrel_test;

namespace {

void ExpectDefaults(const TExtraSettings& settings) {
    EXPECT_EQ(settings.DataMode, TDataMode::Active);
    EXPECT_EQ(settings.Encryption, TEncryption::None);
    EXPECT_EQ(settings.PublishConnections, 4);
    EXPECT_TRUE(settings.TrustedCertificates().empty());
}

} // namespace

TEST(ExtraSettingsTest, MissingFileMeansDefaultsAndEverySettingSurvivesARoundTrip) {
    TempDir dir("kestrel-ini");
    TExtraSettings settings;
    settings.DataMode = TDataMode::Passive; // Load starts from the defaults
    ASSERT_TRUE(settings.Load(dir.str()));
    ExpectDefaults(settings);
    EXPECT_FALSE(fs::exists(dir / kExtraSettingsFileName)); // reading creates nothing

    settings.DataMode = TDataMode::Passive;
    settings.Encryption = TEncryption::Required;
    settings.PublishConnections = 8;
    settings.Trust("ftp.example.com", 990, "AA:BB:CC");
    const std::string oddHost = "h\xf6st/with=odd;chars ";
    settings.Trust(oddHost, 21, "11:22");
    settings.RememberPublish("jsmith@ftp.example.com:21", "/home/j/site \xf6", "/public_html");
    settings.RememberVerifyUrl("jsmith@ftp.example.com:21", "https://www.example.com/~j/");
    settings.RememberVerifyUrl("other@ftp.example.com:21", "http://x/");
    settings.RememberVerifyUrl("other@ftp.example.com:21", ""); // forgotten
    ASSERT_TRUE(settings.Save(dir.str()));

    const fs::path file = dir / kExtraSettingsFileName;
    EXPECT_TRUE(S_ISREG(ModeOf(file)));
    EXPECT_EQ(ModeOf(file) & 07777, 0600u);
    EXPECT_FALSE(fs::exists(dir / kConfigFileName)); // the record is a file of its own
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);

    TExtraSettings back;
    ASSERT_TRUE(back.Load(dir.str()));
    EXPECT_EQ(back.DataMode, TDataMode::Passive);
    EXPECT_EQ(back.Encryption, TEncryption::Required);
    EXPECT_EQ(back.PublishConnections, 8);
    EXPECT_EQ(back.TrustedCertificates(), settings.TrustedCertificates());
    EXPECT_EQ(back.PublishedTo("jsmith@ftp.example.com:21", "/home/j/site \xf6"), "/public_html");
    EXPECT_FALSE(back.PublishedTo("jsmith@ftp.example.com:2121", "/home/j/site \xf6"));
    EXPECT_EQ(back.VerifyUrl("jsmith@ftp.example.com:21"), "https://www.example.com/~j/");
    EXPECT_EQ(back.VerifyUrl("other@ftp.example.com:21"), "");

    back.Encryption = TEncryption::IfOffered;
    ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
    ASSERT_TRUE(back.Save(dir.str()));
    EXPECT_EQ(ModeOf(file) & 07777, 0600u); // after every save
    ASSERT_TRUE(settings.Load(dir.str()));
    EXPECT_EQ(settings.Encryption, TEncryption::IfOffered);
}

TEST(ExtraSettingsTest, DamagedValuesFallBackToDefaultsAndUnknownEntriesAreKept) {
    TempDir dir("kestrel-ini");
    const fs::path file = dir / kExtraSettingsFileName;
    for (const std::string& text :
         {std::string("\x01\x02 not ini at all \xff\n[[[\n=\n"),
          std::string("[Connection]\nDataMode=sideways\nEncryption=maybe\n"
                      "[Publish]\nConnections=9\n"),
          std::string("[Publish]\nConnections=0\n"), std::string("[Publish]\nConnections=four\n"),
          std::string("[TrustedCertificates]\nsize=3\n1\\Host=\n1\\Fingerprint=AA\n")}) {
        SCOPED_TRACE(text);
        WriteFileBytes(file, text);
        TExtraSettings settings;
        ASSERT_TRUE(settings.Load(dir.str()));
        ExpectDefaults(settings);
    }

    WriteFileBytes(file, "[Connection]\nDataMode=PASSIVE\n[Later]\nFeature=kept\n");
    TExtraSettings settings;
    ASSERT_TRUE(settings.Load(dir.str()));
    EXPECT_EQ(settings.DataMode, TDataMode::Passive);
    ASSERT_TRUE(settings.Save(dir.str()));
    EXPECT_NE(ReadFileBytes(file).find("Feature=kept"), std::string::npos);
}

TEST(ExtraSettingsTest, ALinkOrPipeInTheFilesPlaceIsNotUsed) {
    TempDir dir("kestrel-ini");
    TempDir elsewhere("kestrel-elsewhere");
    const fs::path file = dir / kExtraSettingsFileName;
    const fs::path target = elsewhere / "other.ini";
    WriteFileBytes(target, "[Connection]\nDataMode=passive\n");
    fs::create_symlink(target, file);

    TExtraSettings settings;
    std::string problem;
    EXPECT_FALSE(settings.Load(dir.str(), &problem));
    EXPECT_EQ(problem, file.string() + " is not a regular file");
    ExpectDefaults(settings);
    problem.clear();
    EXPECT_FALSE(settings.Save(dir.str(), &problem));
    EXPECT_EQ(problem, file.string() + " is not a regular file");
    EXPECT_EQ(ReadFileBytes(target), "[Connection]\nDataMode=passive\n");

    fs::remove(file);
    ASSERT_EQ(::mkfifo(file.c_str(), 0600), 0);
    EXPECT_FALSE(settings.Load(dir.str(), &problem));
    EXPECT_FALSE(settings.Save(dir.str(), &problem));
    EXPECT_TRUE(S_ISFIFO(ModeOf(file)));
}

TEST(ExtraSettingsTest, CertificateTrustIsPerHostAndPortAndNoticesAChange) {
    TExtraSettings settings;
    EXPECT_EQ(settings.TrustOf("a.example", 21, "AA:BB"), TCertificateTrust::Unknown);
    settings.Trust("a.example", 21, "AA:BB");
    EXPECT_EQ(settings.TrustOf("a.example", 21, "AA:BB"), TCertificateTrust::Trusted);
    EXPECT_EQ(settings.TrustOf("a.example", 21, "aa:bb"), TCertificateTrust::Trusted);
    EXPECT_EQ(settings.TrustOf("a.example", 21, "AA:BC"), TCertificateTrust::Changed);
    EXPECT_EQ(settings.TrustOf("b.example", 21, "AA:BB"), TCertificateTrust::Unknown);
    // Another port of the host is another server: trusted for that port only.
    EXPECT_EQ(settings.TrustOf("a.example", 2121, "AA:BB"), TCertificateTrust::Unknown);
    settings.Trust("a.example", 2121, "CC:DD");
    EXPECT_EQ(settings.TrustOf("a.example", 2121, "CC:DD"), TCertificateTrust::Trusted);
    EXPECT_EQ(settings.TrustOf("a.example", 21, "CC:DD"), TCertificateTrust::Changed);
    settings.Trust("a.example", 21, "AA:BC"); // a new trust replaces the old one
    EXPECT_EQ(settings.TrustOf("a.example", 21, "AA:BB"), TCertificateTrust::Changed);
    EXPECT_EQ(settings.TrustOf("a.example", 2121, "CC:DD"), TCertificateTrust::Trusted);
}

// A file written before trust was kept per port names only the host: such an entry still
// counts for every port of it, until an entry for the port itself is made; a damaged port
// is no entry.
TEST(ExtraSettingsTest, TrustKeptPerHostByEarlierVersionsIsStillRead) {
    TempDir dir("kestrel-ini");
    WriteFileBytes(dir / kExtraSettingsFileName,
                   "[TrustedCertificates]\nsize=3\n1\\Host=old.example\n1\\Fingerprint=AA:BB\n"
                   "2\\Host=new.example\n2\\Port=990\n2\\Fingerprint=CC:DD\n"
                   "3\\Host=bad.example\n3\\Port=ninety\n3\\Fingerprint=EE:FF\n");
    TExtraSettings settings;
    ASSERT_TRUE(settings.Load(dir.str()));
    EXPECT_EQ(settings.TrustOf("old.example", 21, "AA:BB"), TCertificateTrust::Trusted);
    EXPECT_EQ(settings.TrustOf("old.example", 990, "AA:BB"), TCertificateTrust::Trusted);
    EXPECT_EQ(settings.TrustOf("new.example", 990, "CC:DD"), TCertificateTrust::Trusted);
    EXPECT_EQ(settings.TrustOf("new.example", 21, "CC:DD"), TCertificateTrust::Unknown);
    EXPECT_EQ(settings.TrustOf("bad.example", 21, "EE:FF"), TCertificateTrust::Unknown);
    settings.Trust("old.example", 2121, "11:22");
    EXPECT_EQ(settings.TrustOf("old.example", 2121, "AA:BB"), TCertificateTrust::Changed);
    EXPECT_EQ(settings.TrustOf("old.example", 21, "AA:BB"), TCertificateTrust::Trusted);
    ASSERT_TRUE(settings.Save(dir.str()));
    TExtraSettings back;
    ASSERT_TRUE(back.Load(dir.str()));
    EXPECT_EQ(back.TrustedCertificates(), settings.TrustedCertificates());
}

KESTREL_QT_TEST_MAIN()
