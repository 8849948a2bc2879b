// The animation control: where it finds its clip, that starting it never raises, and that it
// plays, loops within its frame range and paints the clip's frames.
#include "app/animate.h"

#include "app_test_support.h"
#include "support/fixtures.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QPixmap>
#include <QTemporaryDir>
#include <QThread>

#include <set>

using namespace kestrel;
using kestrel::test::CurrentDirGuard;
using kestrel_test::AviSpec;
using kestrel_test::AviWriter;

namespace {

constexpr char kBuiltInClip[] = ":/kestrel/Kestrel.avi";

void WriteFile(const QString& path, const QByteArray& data) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    ASSERT_EQ(file.write(data), data.size());
}

QByteArray TwoFrameClip() {
    AviSpec clip;
    clip.frames = {{1, 1, 1, 1, 2, 2, 2, 2}, {3, 3, 3, 3, 0, 0, 0, 0}};
    return AviWriter::Build(clip);
}

// Runs the event loop for a while and records the frames shown.
std::set<int> FramesShownFor(const TAnimate& animate, int milliseconds) {
    std::set<int> seen;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < milliseconds) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        seen.insert(animate.CurrentFrame());
        QThread::msleep(2);
    }
    return seen;
}

class AnimateTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        ASSERT_TRUE(QDir::setCurrent(dir.path()));
    }
    CurrentDirGuard restore; // declared first: restores the folder after dir is gone
    QTemporaryDir dir;
};

} // namespace

TEST_F(AnimateTest, UsesTheBuiltInClipWhenNoFileExists) {
    TAnimate animate;
    animate.SetFileName("Kestrel.avi");
    EXPECT_NO_THROW(animate.Start());
    EXPECT_TRUE(animate.Active());
    EXPECT_TRUE(animate.ClipOpen());
    EXPECT_EQ(animate.ClipSource(), kBuiltInClip);
    EXPECT_EQ(animate.Clip().FrameCount(), 20);
    EXPECT_EQ(animate.Clip().Width(), 200);
    EXPECT_TRUE(animate.ClipError().empty());
}

TEST_F(AnimateTest, PrefersTheClipInTheCurrentFolderAndKeepsItOpen) {
    WriteFile(dir.filePath("Kestrel.avi"), TwoFrameClip());
    TAnimate animate;
    animate.SetFileName("Kestrel.avi");
    animate.show(); // the clip is opened the first time the control is shown
    EXPECT_TRUE(animate.ClipOpen());
    EXPECT_EQ(animate.ClipSource(), "Kestrel.avi");
    EXPECT_EQ(animate.Clip().FrameCount(), 2);

    // Browsing elsewhere later does not change the open clip.
    QTemporaryDir elsewhere;
    ASSERT_TRUE(QDir::setCurrent(elsewhere.path()));
    animate.Start();
    EXPECT_EQ(animate.Clip().FrameCount(), 2);
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
}

TEST_F(AnimateTest, DamagedOrMissingClipNeverStopsTheCaller) {
    // A damaged file in the current folder is passed over for the built-in copy.
    WriteFile(dir.filePath("Kestrel.avi"), QByteArray("RIFF\x10\0\0\0AVI junk", 16));
    TAnimate damaged;
    damaged.SetFileName("Kestrel.avi");
    EXPECT_NO_THROW(damaged.Start());
    EXPECT_TRUE(damaged.Active());
    EXPECT_EQ(damaged.ClipSource(), kBuiltInClip);

    // A name found nowhere, not even built in: nothing plays, nothing is raised.
    TAnimate missing;
    missing.SetFileName("Missing.avi");
    missing.show();
    EXPECT_NO_THROW(missing.Start());
    EXPECT_FALSE(missing.Active());
    EXPECT_FALSE(missing.ClipOpen());
    EXPECT_NE(missing.ClipError().find("Missing.avi"), std::string::npos);
    EXPECT_NO_THROW(missing.Stop());
    missing.repaint();
}

TEST_F(AnimateTest, PlaysInALoopUpToTheStopFrameAndPaintsTheFrame) {
    TAnimate animate;
    animate.SetFileName("Kestrel.avi");
    animate.resize(200, 53);
    animate.StopFrame = 3;
    animate.show();
    animate.Start();
    // Ten frames a second: in a second the first three frames come round several times.
    const std::set<int> seen = FramesShownFor(animate, 1000);
    EXPECT_EQ(seen, (std::set<int>{1, 2, 3}));

    animate.Stop();
    EXPECT_FALSE(animate.Active());
    const int stoppedAt = animate.CurrentFrame();
    EXPECT_EQ(FramesShownFor(animate, 250), (std::set<int>{stoppedAt}));

    // What is painted is the clip's frame.
    const QImage painted = animate.grab().toImage().convertToFormat(QImage::Format_RGB32);
    EXPECT_EQ(painted, animate.Clip().Frame(stoppedAt - 1));

    // Played a set number of times, it stops by itself on the last frame.
    animate.Play(1, 2, 2);
    FramesShownFor(animate, 600);
    EXPECT_FALSE(animate.Active());
    EXPECT_EQ(animate.CurrentFrame(), 2);
}

KESTREL_QT_TEST_MAIN()
