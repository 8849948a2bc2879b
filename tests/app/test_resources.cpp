// Where the program finds its help document and animation clip: beside the program in the
// build folder, in the installed data folder <prefix>/share/kestrelftp when the program runs
// from <prefix>/bin, and built in when neither has the file.
#include "app/animate.h"
#include "app/helpviewer.h"
#include "app/resources.h"

#include "app_test_support.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

using namespace kestrel;
using kestrel_test::AviSpec;
using kestrel_test::AviWriter;

namespace {

// A file in the data folder an installed copy of this test program would use. The name is
// unique to this process, so tests running in parallel never see each other's files.
class InstalledDataFile {
public:
    InstalledDataFile(const QString& stem, const QByteArray& data) {
        const QDir folder(QCoreApplication::applicationDirPath() + "/" + kInstalledDataFolder);
        folderMade_ = !folder.exists() && QDir().mkpath(folder.path());
        folder_ = folder.absolutePath();
        name_ = stem + QString::number(QCoreApplication::applicationPid());
        QFile file(Path());
        if (file.open(QIODevice::WriteOnly))
            file.write(data);
    }
    ~InstalledDataFile() {
        QFile::remove(Path());
        if (folderMade_)
            QDir().rmpath(folder_);
    }
    const QString& Name() const { return name_; }
    QString Path() const { return QDir::cleanPath(folder_ + "/" + name_); }

private:
    QString folder_;
    QString name_;
    bool folderMade_ = false;
};

} // namespace

TEST(ProgramFilePlacesTest, BesideTheProgramThenTheSharedDataFolderOfItsPrefix) {
    const std::vector<QString> places = ProgramFilePlaces("/opt/kestrel/bin", "Kestrel.avi");
    ASSERT_EQ(places.size(), 2u);
    EXPECT_EQ(places[0], "/opt/kestrel/bin/Kestrel.avi");
    EXPECT_EQ(places[1], "/opt/kestrel/share/kestrelftp/Kestrel.avi");

    // A name with a folder is taken as given, relative to the program's folder like a bare
    // name; an absolute one is the only place.
    EXPECT_EQ(ProgramFilePlaces("/usr/bin", "help/KestrelFTP.Hlp")[1],
              "/usr/share/kestrelftp/help/KestrelFTP.Hlp");
    EXPECT_EQ(ProgramFilePlaces("/usr/bin", "/srv/KestrelFTP.Hlp"),
              std::vector<QString>{"/srv/KestrelFTP.Hlp"});
}

TEST(ProgramFilePlacesTest, HelpDocumentFoundInTheInstalledDataFolder) {
    const InstalledDataFile help("ResourceTest.Hlp", "<html><body>installed</body></html>");
    ASSERT_TRUE(QFile::exists(help.Path()));
    EXPECT_EQ(ResolveHelpFile(help.Name().toStdString()), help.Path().toStdString());
    // The built-in help stays the fallback for the usual name.
    EXPECT_EQ(ResolveHelpFile("KestrelFTP.Hlp"), ":/kestrel/KestrelFTP.Hlp");
}

TEST(ProgramFilePlacesTest, ClipFoundInTheInstalledDataFolderWhenTheCurrentFolderHasNone) {
    AviSpec layout;
    layout.frames = {{1, 1, 1, 1, 2, 2, 2, 2}, {3, 3, 3, 3, 0, 0, 0, 0}, {5, 5, 5, 5, 6, 6, 6, 6}};
    const InstalledDataFile clip("ResourceTest.avi", AviWriter::Build(layout));
    TAnimate animate;
    animate.SetFileName(clip.Name().toStdString());
    EXPECT_NO_THROW(animate.Start());
    EXPECT_EQ(animate.ClipSource(), clip.Path().toStdString());
    EXPECT_EQ(animate.Clip().FrameCount(), 3);
}

KESTREL_QT_TEST_MAIN()
