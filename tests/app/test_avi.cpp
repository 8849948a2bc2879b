// The AVI reader: the project's own clip, exact decoding of small hand-made clips in each
// supported format, and truncated or malformed files that must end in a clear error.
#include "app/avi.h"
#include "app/resources.h"
#include "base/exception.h"

#include "app_test_support.h"

#include <QFile>

using namespace kestrel;
using kestrel_test::AviSpec;
using kestrel_test::AviWriter;

namespace {

QByteArray ReadFile(const QString& path) {
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
    return file.readAll();
}

// Parsing must end in a kestrel::Exception whose message names the clip; anything else
// (a crash, another exception type, success) is a failure.
void ExpectRejected(const QByteArray& data, const std::string& what) {
    try {
        TAviClip::FromBytes(data, "bad.avi");
        ADD_FAILURE() << what << ": accepted";
    } catch (const Exception& error) {
        const std::string message = error.what();
        EXPECT_EQ(message.rfind("Cannot open AVI bad.avi: ", 0), 0u) << what << ": " << message;
    }
}

AviSpec TwoFrameClip() {
    AviSpec layout; // 4 x 2, 8 bits, palette black, red, green, blue
    layout.frames = {{1, 1, 2, 3, 0, 0, 0, 0}, {3, 3, 3, 3, 2, 2, 2, 2}};
    return layout;
}

} // namespace

TEST(AviReaderTest, DecodesTheProjectsClip) {
    const TAviClip clip = TAviClip::FromFile(KESTREL_CLIP_FILE);
    EXPECT_EQ(clip.Width(), 200);
    EXPECT_EQ(clip.Height(), 53);
    EXPECT_EQ(clip.FrameCount(), 20);
    EXPECT_DOUBLE_EQ(clip.FrameRate(), 10.0);
    EXPECT_EQ(clip.FrameInterval(), 100);
    EXPECT_EQ(clip.Compression(), 0u);

    // It animates: the frames differ, and the yellow text is drawn.
    for (int i = 1; i < clip.FrameCount(); ++i)
        EXPECT_NE(clip.Frame(i), clip.Frame(i - 1)) << "frame " << i + 1;
    const QImage first = clip.Frame(0);
    EXPECT_EQ(first.size(), QSize(200, 53));
    bool yellow = false;
    for (int y = 0; y < first.height(); ++y)
        for (int x = 0; x < first.width(); ++x)
            yellow = yellow || first.pixel(x, y) == qRgb(255, 255, 0);
    EXPECT_TRUE(yellow);
    EXPECT_THROW(clip.Frame(20), ERangeError);

    // The copy built into the program is the same clip.
    InitAppResources();
    EXPECT_EQ(ReadFile(":/kestrel/Kestrel.avi"), ReadFile(KESTREL_CLIP_FILE));
}

TEST(AviReaderTest, DecodesUncompressedFramesOfEachDepthTheRightWayUp) {
    // 8 bits with a palette, rows stored bottom-up.
    const TAviClip clip = TAviClip::FromBytes(AviWriter::Build(TwoFrameClip()), "two.avi");
    ASSERT_EQ(clip.FrameCount(), 2);
    const QImage a = clip.Frame(0);
    EXPECT_EQ(a.pixel(0, 1), qRgb(255, 0, 0)); // the first stored row is the bottom one
    EXPECT_EQ(a.pixel(2, 1), qRgb(0, 255, 0));
    EXPECT_EQ(a.pixel(3, 1), qRgb(0, 0, 255));
    EXPECT_EQ(a.pixel(0, 0), qRgb(0, 0, 0));
    EXPECT_EQ(clip.Frame(1).pixel(0, 0), qRgb(0, 255, 0));

    // 24 bits: rows padded to four bytes (3 pixels = 9 bytes + 3), blue-green-red order.
    AviSpec rgb;
    rgb.width = 3;
    rgb.height = 1;
    rgb.bitCount = 24;
    rgb.colorsUsed = 0;
    rgb.palette.clear();
    rgb.frames = {{0x10, 0x20, 0x30, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0}};
    const QImage c = TAviClip::FromBytes(AviWriter::Build(rgb), "rgb.avi").Frame(0);
    EXPECT_EQ(c.pixel(0, 0), qRgb(0x30, 0x20, 0x10));
    EXPECT_EQ(c.pixel(1, 0), qRgb(0xFF, 0, 0));
    EXPECT_EQ(c.pixel(2, 0), qRgb(0xFF, 0xFF, 0xFF));

    // 16 bits 5-5-5 and 32 bits.
    rgb.bitCount = 16;
    rgb.width = 2;
    rgb.frames = {{0x00, 0x7C, 0x1F, 0x00}}; // pure red, pure blue
    const QImage d = TAviClip::FromBytes(AviWriter::Build(rgb), "16.avi").Frame(0);
    EXPECT_EQ(d.pixel(0, 0), qRgb(255, 0, 0));
    EXPECT_EQ(d.pixel(1, 0), qRgb(0, 0, 255));
    rgb.bitCount = 32;
    rgb.width = 1;
    rgb.frames = {{1, 2, 3, 0}};
    EXPECT_EQ(TAviClip::FromBytes(AviWriter::Build(rgb), "32.avi").Frame(0).pixel(0, 0),
              qRgb(3, 2, 1));

    // Negative height: rows stored top-down.
    AviSpec topDown = TwoFrameClip();
    topDown.height = -2;
    EXPECT_EQ(TAviClip::FromBytes(AviWriter::Build(topDown), "td.avi").Frame(0).pixel(0, 0),
              qRgb(255, 0, 0));

    // An empty frame chunk repeats the previous picture.
    AviSpec dropped = TwoFrameClip();
    dropped.frames.push_back({});
    const TAviClip withDrop = TAviClip::FromBytes(AviWriter::Build(dropped), "drop.avi");
    ASSERT_EQ(withDrop.FrameCount(), 3);
    EXPECT_EQ(withDrop.Frame(2), withDrop.Frame(1));
}

TEST(AviReaderTest, DecodesRunLengthFramesOverThePreviousPicture) {
    AviSpec layout;
    layout.compression = 1;
    layout.frameId = "00dc";
    layout.frames = {
        // bottom row: one red, then a literal green, blue, green (padded), end of line;
        // top row: run of 4 blue, end of bitmap.
        {1, 1, 0, 3, 2, 3, 2, 0, 0, 0, 4, 3, 0, 1},
        // move right 1 and up 1 (to the top row, second pixel), one green pixel; done.
        {0, 2, 1, 1, 1, 2, 0, 1},
        // a run that reaches past the row end is clipped, not written out of bounds.
        {200, 1, 0, 1},
    };
    const TAviClip clip = TAviClip::FromBytes(AviWriter::Build(layout), "rle.avi");
    ASSERT_EQ(clip.FrameCount(), 3);
    const QImage a = clip.Frame(0);
    EXPECT_EQ(a.pixel(0, 1), qRgb(255, 0, 0));
    EXPECT_EQ(a.pixel(1, 1), qRgb(0, 255, 0));
    EXPECT_EQ(a.pixel(2, 1), qRgb(0, 0, 255));
    EXPECT_EQ(a.pixel(3, 1), qRgb(0, 255, 0));
    EXPECT_EQ(a.pixel(0, 0), qRgb(0, 0, 255));
    EXPECT_EQ(a.pixel(3, 0), qRgb(0, 0, 255));
    const QImage b = clip.Frame(1);
    EXPECT_EQ(b.pixel(1, 0), qRgb(0, 255, 0)); // painted
    EXPECT_EQ(b.pixel(0, 0), qRgb(0, 0, 255)); // carried over from the first frame
    EXPECT_EQ(b.pixel(0, 1), qRgb(255, 0, 0));
    EXPECT_EQ(clip.Frame(2).pixel(3, 1), qRgb(255, 0, 0));

    // A command cut off by the end of the frame is an error, not a read past it.
    layout.frames = {{3, 1, 0, 5, 1, 2}}; // literal of 5 with only 2 bytes
    ExpectRejected(AviWriter::Build(layout), "literal past the frame end");
    layout.frames = {{3}};
    ExpectRejected(AviWriter::Build(layout), "half a command");
}

TEST(AviReaderTest, RejectsMalformedClipsWithAClearError) {
    ExpectRejected(QByteArray(), "empty file");
    ExpectRejected(QByteArray("RIFF\x04\0\0\0WAVE", 12), "another RIFF kind");
    ExpectRejected(QByteArray(4096, 'x'), "not RIFF at all");

    AviSpec layout = TwoFrameClip();
    layout.width = 100000;
    ExpectRejected(AviWriter::Build(layout), "huge width");
    layout = TwoFrameClip();
    layout.height = 0;
    ExpectRejected(AviWriter::Build(layout), "zero height");
    layout = TwoFrameClip();
    layout.bitCount = 12;
    ExpectRejected(AviWriter::Build(layout), "odd depth");
    layout = TwoFrameClip();
    layout.compression = 0x47504A4D; // a codec the reader does not have
    ExpectRejected(AviWriter::Build(layout), "compressed");
    layout = TwoFrameClip();
    layout.colorsUsed = 100000;
    ExpectRejected(AviWriter::Build(layout), "palette larger than the format chunk");
    layout = TwoFrameClip();
    layout.frames = {};
    ExpectRejected(AviWriter::Build(layout), "no frames");
    layout = TwoFrameClip();
    layout.frames[1].resize(5);
    ExpectRejected(AviWriter::Build(layout), "short uncompressed frame");

    // A chunk whose size claims more than the file has, near 4 GiB.
    QByteArray data = AviWriter::Build(TwoFrameClip());
    const qsizetype movi = data.indexOf("00db");
    ASSERT_GT(movi, 0);
    data[movi + 4] = char(0xF0);
    data[movi + 7] = char(0xFF);
    ExpectRejected(data, "oversized chunk");

    // Every truncation of the project's clip, at a spread of points, is rejected cleanly.
    QFile file(KESTREL_CLIP_FILE);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QByteArray whole = file.readAll();
    for (qsizetype length = 0; length < whole.size(); length += 997) {
        ExpectRejected(whole.left(length), "truncated at " + std::to_string(length));
        // The same cut with the outer size mended, so the inner chunks are the ones cut.
        if (length >= 12) {
            QByteArray cut = whole.left(length);
            const quint32 size = quint32(length - 8);
            for (int i = 0; i < 4; ++i)
                cut[4 + i] = char(size >> (8 * i) & 0xFF);
            ExpectRejected(cut, "inner chunk cut at " + std::to_string(length));
        }
    }
    ExpectRejected(whole.left(whole.size() - 1), "last byte missing");
}

TEST(AviReaderTest, CorruptedBytesNeverCrashTheReader) {
    const QByteArray good = AviWriter::Build(TwoFrameClip());
    // Overwrite each byte of the headers in turn with values that upset sizes and counts.
    for (qsizetype i = 0; i < good.size(); ++i) {
        for (char value : {char(0x00), char(0x7F), char(0xFF)}) {
            QByteArray bad = good;
            bad[i] = value;
            try {
                const TAviClip clip = TAviClip::FromBytes(bad, "bad.avi");
                EXPECT_GT(clip.FrameCount(), 0);
                EXPECT_LE(clip.Width(), TAviClip::kMaxDimension);
            } catch (const Exception&) {
            }
        }
    }
}

TEST(AviReaderTest, MissingFileIsReportedByName) {
    try {
        TAviClip::FromFile("/nonexistent/Kestrel.avi");
        FAIL() << "a missing file was opened";
    } catch (const Exception& error) {
        EXPECT_NE(std::string(error.what()).find("/nonexistent/Kestrel.avi"), std::string::npos);
    }
}

KESTREL_QT_TEST_MAIN()
