// A small reader of AVI (RIFF) clips of the kind an animation control plays: one video
// stream of uncompressed frames (8-bit with a palette, 16, 24 or 32 bits) or of 8-bit
// run-length encoded frames, no sound needed.
//
// The reader checks every size it is given against the data that is really there and
// against fixed limits before it allocates, so a truncated or malformed file ends in a
// kestrel::Exception with a message, never in a crash or an unbounded allocation. All frames
// are decoded when the clip is loaded, so playing it cannot fail later.
#pragma once

#include <QImage>

#include <cstdint>
#include <string>
#include <vector>

class QByteArray;

namespace kestrel {

class TAviClip {
public:
    // Limits that keep a hostile file from exhausting memory.
    static constexpr std::int64_t kMaxFileSize = 64 * 1024 * 1024;
    static constexpr int kMaxDimension = 4096;
    static constexpr int kMaxFrames = 100000;
    static constexpr std::int64_t kMaxDecodedBytes = 256 * 1024 * 1024;

    TAviClip() = default;

    // Loads a clip from a file or a Qt resource path (":/..."); raises kestrel::Exception
    // with a message naming the file when it is missing, truncated or malformed.
    static TAviClip FromFile(const std::string& path);
    // Parses a clip held in memory; name is used in error messages.
    static TAviClip FromBytes(const QByteArray& data, const std::string& name);

    bool Empty() const { return frames_.empty(); }
    int Width() const { return width_; }
    int Height() const { return height_; }
    int FrameCount() const { return static_cast<int>(frames_.size()); }
    double FrameRate() const { return frameRate_; }            // frames per second
    int FrameInterval() const;                                 // milliseconds per frame, at least 1
    const QImage& Frame(int index) const;                      // 0-based; raises ERangeError
    std::uint32_t Compression() const { return compression_; } // 0 uncompressed, 1 RLE8
    int BitCount() const { return bitCount_; }

private:
    int width_ = 0;
    int height_ = 0;
    double frameRate_ = 0;
    std::uint32_t compression_ = 0;
    int bitCount_ = 0;
    std::vector<QImage> frames_;

    friend class AviParser;
};

} // namespace kestrel
