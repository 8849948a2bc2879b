// The settings record and its file: layout byte for byte, the tail rule, short and missing
// files, owner-only creation, files that cannot be opened or written, and the start-up folder.
#include "app/config.h"
#include "base/exception.h"

#include "app_test_support.h"
#include "support/fixtures.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

using namespace kestrel;

namespace {

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    return file.readAll();
}

void WriteAll(const QString& path, const QByteArray& data) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(data), data.size());
}

const char* Bytes(const ConfigRecord& record) {
    return reinterpret_cast<const char*>(&record);
}

std::string Folder(const QTemporaryDir& dir) {
    return dir.path().toStdString();
}

QString ConfigIn(const QTemporaryDir& dir) {
    return dir.filePath(kConfigFileName);
}

} // namespace

TEST(ConfigRecordTest, FieldsSitAtTheirOffsetsAndAShorterValueLeavesTheOldTail) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ConfigRecord config{};
    SetConfigField(config.Password, "secret");
    SetConfigField(config.UserID, "abcdef");
    SetConfigField(config.Host, "ftp.example.com");
    SetConfigField(config.Port, "21");
    SetConfigField(config.Mask, "*.htm;*.html");
    // A three-character id over the six-character one: its zero lands on the old "d", and
    // "ef" and the old zero stay after it.
    SetConfigField(config.UserID, "xyz");
    config.Reserved = 7;
    ASSERT_TRUE(WriteConfigFile(Folder(dir), config));

    const QByteArray file = ReadAll(ConfigIn(dir));
    ASSERT_EQ(file.size(), 501);
    EXPECT_EQ(std::memcmp(file.constData() + 0, "secret\0", 7), 0);
    EXPECT_EQ(std::memcmp(file.constData() + 100, "xyz\0ef\0", 7), 0);
    EXPECT_EQ(std::memcmp(file.constData() + 200, "ftp.example.com\0", 16), 0);
    EXPECT_EQ(std::memcmp(file.constData() + 300, "21\0", 3), 0);
    EXPECT_EQ(std::memcmp(file.constData() + 400, "*.htm;*.html\0", 13), 0);
    EXPECT_EQ(file.at(500), 7);
    EXPECT_EQ(std::memcmp(file.constData(), Bytes(config), 501), 0);

    EXPECT_EQ(GetConfigField(config.UserID), "xyz");
    EXPECT_EQ(GetConfigField(config.Host), "ftp.example.com");
}

TEST(ConfigRecordTest, FieldWithoutZeroIsReadOnlyToItsOwnEnd) {
    ConfigRecord config{};
    std::memset(config.UserID, 'u', kConfigFieldSize); // no terminator at all
    SetConfigField(config.Host, "host.example.org");
    const std::string id = GetConfigField(config.UserID);
    EXPECT_EQ(id, std::string(100, 'u')); // never runs on into the host field

    std::memset(&config, 'p', sizeof config); // a whole record without a single zero
    EXPECT_EQ(GetConfigField(config.Mask), std::string(100, 'p'));
}

TEST(ConfigRecordTest, OverlongTextIsCutToNinetyNineBytesOnACharacterBoundary) {
    ConfigRecord config{};
    EXPECT_TRUE(SetConfigField(config.Host, std::string(99, 'h')));
    EXPECT_EQ(config.Host[99], '\0');
    EXPECT_TRUE(ConfigFieldFits(std::string(99, 'a')));
    EXPECT_FALSE(ConfigFieldFits(std::string(100, 'a')));

    EXPECT_FALSE(SetConfigField(config.Mask, std::string(150, 'm')));
    EXPECT_EQ(GetConfigField(config.Mask), std::string(99, 'm'));
    EXPECT_EQ(config.Port[0], '\0'); // the next field is untouched

    // 98 letters and a two-byte character: the character does not fit whole and is dropped.
    EXPECT_FALSE(SetConfigField(config.UserID, std::string(98, 'a') + "\xC3\xA9"));
    EXPECT_EQ(GetConfigField(config.UserID), std::string(98, 'a'));
}

TEST(ConfigFileTest, MissingFileIsCreatedEmptyAndOwnerOnly) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    ConfigRecord config{};
    ASSERT_TRUE(ReadConfigFile(Folder(dir), config));
    ASSERT_TRUE(QFileInfo::exists(ConfigIn(dir)));
    EXPECT_EQ(QFileInfo(ConfigIn(dir)).size(), 0);
    ConfigRecord zero{};
    EXPECT_EQ(std::memcmp(&config, &zero, sizeof config), 0);

    struct stat info {};
    ASSERT_EQ(::stat(ConfigIn(dir).toLocal8Bit().constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    // A save that creates the file also makes it owner-only.
    QTemporaryDir other;
    ASSERT_TRUE(WriteConfigFile(Folder(other), config));
    ASSERT_EQ(::stat(ConfigIn(other).toLocal8Bit().constData(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST(ConfigFileTest, ShortFileFillsOnlyTheBytesItHas) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // 150 bytes: the password field whole and the first half of the user id.
    QByteArray data(150, '\0');
    std::memcpy(data.data(), "pw", 2);
    std::memcpy(data.data() + 100, "user", 4);
    WriteAll(ConfigIn(dir), data);

    ConfigRecord empty{};
    ASSERT_TRUE(ReadConfigFile(Folder(dir), empty));
    EXPECT_EQ(GetConfigField(empty.Password), "pw");
    EXPECT_EQ(GetConfigField(empty.UserID), "user");
    EXPECT_EQ(GetConfigField(empty.Host), "");
    EXPECT_EQ(GetConfigField(empty.Mask), "");

    // Over a record that already holds values, the bytes past the file's end stay.
    ConfigRecord held{};
    SetConfigField(held.UserID, std::string(60, 'o') + "with-tail");
    SetConfigField(held.Host, "kept.example.net");
    held.Reserved = 9;
    ASSERT_TRUE(ReadConfigFile(Folder(dir), held));
    EXPECT_EQ(GetConfigField(held.UserID), "user");
    EXPECT_EQ(std::memcmp(held.UserID + 60, "with-tail", 9), 0); // beyond byte 150
    EXPECT_EQ(GetConfigField(held.Host), "kept.example.net");
    EXPECT_EQ(held.Reserved, 9);
}

TEST(ConfigFileTest, SaveReplacesTheWholeFileAndKeepsTheReservedByte) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QByteArray longer(700, 'z');
    longer[500] = 42;
    WriteAll(ConfigIn(dir), longer);

    ConfigRecord config{};
    ASSERT_TRUE(ReadConfigFile(Folder(dir), config)); // reads the first 501 bytes only
    EXPECT_EQ(config.Reserved, 42);
    EXPECT_EQ(GetConfigField(config.Port), std::string(100, 'z'));
    SetConfigField(config.Port, "2121");
    ASSERT_TRUE(WriteConfigFile(Folder(dir), config));

    const QByteArray file = ReadAll(ConfigIn(dir));
    ASSERT_EQ(file.size(), 501); // truncated, not overwritten in place
    EXPECT_EQ(file.at(500), 42);
    EXPECT_EQ(std::memcmp(file.constData() + 300, "2121\0zzz", 8), 0);
}

TEST(ConfigFileTest, FileThatCannotBeOpenedIsReportedAndChangesNothing) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    // A folder in the file's place cannot be opened for writing, not even by root.
    ASSERT_TRUE(QDir(dir.path()).mkdir(kConfigFileName));
    ConfigRecord config{};
    SetConfigField(config.Host, "unchanged.example.com");
    const ConfigRecord before = config;
    EXPECT_FALSE(ReadConfigFile(Folder(dir), config));
    EXPECT_EQ(std::memcmp(&config, &before, sizeof config), 0);
    EXPECT_FALSE(WriteConfigFile(Folder(dir), config));

    // A read-only file: only meaningful for a user the permissions apply to.
    if (::geteuid() != 0) {
        QTemporaryDir ro;
        WriteAll(ConfigIn(ro), QByteArray(501, 'r'));
        ASSERT_EQ(::chmod(ConfigIn(ro).toLocal8Bit().constData(), 0400), 0);
        EXPECT_FALSE(ReadConfigFile(Folder(ro), config));
        EXPECT_FALSE(WriteConfigFile(Folder(ro), config));
        EXPECT_EQ(ReadAll(ConfigIn(ro)), QByteArray(501, 'r'));
    }
}

TEST(ConfigFileTest, TheStartUpFolderIsUsedWhateverFolderIsCurrent) {
    kestrel::test::CurrentDirGuard restore;
    QTemporaryDir start;
    QTemporaryDir browsed;
    ASSERT_TRUE(start.isValid() && browsed.isValid());
    ASSERT_TRUE(QDir::setCurrent(start.path()));
    const std::string startFolder = QDir::currentPath().toStdString(); // remembered at start

    ConfigRecord config{};
    ASSERT_TRUE(ReadConfigFile(startFolder, config));
    SetConfigField(config.Password, "never-in-the-web-folder");

    // The user browses into the web folder; a save must not land there.
    ASSERT_TRUE(QDir::setCurrent(browsed.path()));
    ASSERT_TRUE(WriteConfigFile(startFolder, config));
    EXPECT_FALSE(QFileInfo::exists(ConfigIn(browsed)));
    EXPECT_EQ(QFileInfo(ConfigIn(start)).size(), 501);

    // A stray file in the browsed folder is not read either.
    WriteAll(ConfigIn(browsed), QByteArray(501, '\0'));
    ConfigRecord reread{};
    ASSERT_TRUE(ReadConfigFile(startFolder, reread));
    EXPECT_EQ(GetConfigField(reread.Password), "never-in-the-web-folder");
}

KESTREL_QT_TEST_MAIN()
