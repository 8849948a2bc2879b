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
using kestrel::test::ReadFileBytes;
using kestrel::test::TempDir;
using kestrel::test::WriteFileBytes;

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
    settings.Trust("ftp.example.com", "AA:BB:CC");
    const std::string oddHost = "h\xf6st/with=odd;chars ";
    settings.Trust(oddHost, "11:22");
    ASSERT_TRUE(settings.Save(dir.str()));

    const fs::path file = dir / kExtraSettingsFileName;
    struct stat info {};
    ASSERT_EQ(::lstat(file.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_FALSE(fs::exists(dir / kConfigFileName)); // the record is a file of its own
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);

    TExtraSettings back;
    ASSERT_TRUE(back.Load(dir.str()));
    EXPECT_EQ(back.DataMode, TDataMode::Passive);
    EXPECT_EQ(back.Encryption, TEncryption::Required);
    EXPECT_EQ(back.PublishConnections, 8);
    EXPECT_EQ(back.TrustedCertificates(), settings.TrustedCertificates());

    back.Encryption = TEncryption::IfOffered;
    ASSERT_EQ(::chmod(file.c_str(), 0644), 0);
    ASSERT_TRUE(back.Save(dir.str()));
    ASSERT_EQ(::lstat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u); // after every save
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
    struct stat info {};
    ASSERT_EQ(::lstat(file.c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

TEST(ExtraSettingsTest, CertificateTrustIsPerHostAndNoticesAChange) {
    TExtraSettings settings;
    EXPECT_EQ(settings.TrustOf("a.example", "AA:BB"), TCertificateTrust::Unknown);
    settings.Trust("a.example", "AA:BB");
    EXPECT_EQ(settings.TrustOf("a.example", "AA:BB"), TCertificateTrust::Trusted);
    EXPECT_EQ(settings.TrustOf("a.example", "aa:bb"), TCertificateTrust::Trusted);
    EXPECT_EQ(settings.TrustOf("a.example", "AA:BC"), TCertificateTrust::Changed);
    EXPECT_EQ(settings.TrustOf("b.example", "AA:BB"), TCertificateTrust::Unknown);
    settings.Trust("a.example", "AA:BC"); // a new trust replaces the old one
    EXPECT_EQ(settings.TrustOf("a.example", "AA:BB"), TCertificateTrust::Changed);
}

KESTREL_QT_TEST_MAIN()
