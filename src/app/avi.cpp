#include "app/avi.h"

#include "base/exception.h"

#include <QByteArray>
#include <QFile>

#include <algorithm>
#include <cstring>
#include <iterator>

namespace kestrel {

namespace {

constexpr std::uint32_t kBiRgb = 0;
constexpr std::uint32_t kBiRle8 = 1;
constexpr std::size_t kChunkHeaderSize = 8;
constexpr std::size_t kMainHeaderSize = 56;   // 'avih'
constexpr std::size_t kStreamHeaderSize = 48; // 'strh' up to and including dwSampleSize
constexpr std::size_t kBitmapHeaderSize = 40; // BITMAPINFOHEADER in 'strf'
constexpr double kDefaultFrameRate = 15.0;
constexpr int kMaxListDepth = 8; // nesting of LIST chunks we follow

std::uint32_t Le32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}

std::int32_t LeS32(const std::uint8_t* p) {
    return static_cast<std::int32_t>(Le32(p));
}

std::uint16_t Le16(const std::uint8_t* p) {
    return std::uint16_t(p[0] | p[1] << 8);
}

bool IsFourCC(const std::uint8_t* p, const char* code) {
    return std::memcmp(p, code, 4) == 0;
}

// A byte range of the file: chunk bodies are handed around as spans, never copied.
struct Span {
    const std::uint8_t* data = nullptr;
    std::size_t size = 0;
};

} // namespace

// Walks the RIFF structure, then decodes the frames. Every read is checked against the span
// it comes from.
class AviParser {
public:
    AviParser(const QByteArray& bytes, std::string name)
        : file_{reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                static_cast<std::size_t>(bytes.size())},
          name_(std::move(name)) {
        std::fill(std::begin(palette_), std::end(palette_), qRgb(0, 0, 0));
    }

    TAviClip Parse() {
        if (file_.size < 12 || !IsFourCC(file_.data, "RIFF") || !IsFourCC(file_.data + 8, "AVI "))
            Fail("not an AVI file");
        const std::size_t riffSize = Le32(file_.data + 4);
        if (riffSize < 4 || riffSize > file_.size - 8)
            Fail("the file is truncated");
        WalkList({file_.data + 12, riffSize - 4}, 0);

        if (!haveMainHeader_)
            Fail("the main header is missing");
        if (videoStream_ < 0)
            Fail("there is no video stream");
        if (!haveMovie_)
            Fail("the frame data is missing");
        if (frameChunks_.empty())
            Fail("the clip holds no frames");
        return Decode();
    }

private:
    [[noreturn]] void Fail(const std::string& reason) const {
        throw Exception("Cannot open AVI " + name_ + ": " + reason);
    }

    // Calls visit(id, body, listType) for each chunk of the span; listType is set for LISTs.
    template <typename Visit> void ForEachChunk(Span span, Visit visit) {
        std::size_t pos = 0;
        while (pos + kChunkHeaderSize <= span.size) {
            const std::uint8_t* header = span.data + pos;
            const std::size_t size = Le32(header + 4);
            if (size > span.size - pos - kChunkHeaderSize)
                Fail("the file is truncated");
            visit(header, Span{header + kChunkHeaderSize, size});
            pos += kChunkHeaderSize + size + (size & 1); // bodies are padded to even length
        }
        // A few bytes left over are the start of a chunk that was cut off. (A missing pad
        // byte after the last chunk leaves pos one past the end, which is harmless.)
        if (pos < span.size)
            Fail("the file is truncated");
    }

    void WalkList(Span span, int depth) {
        if (depth > kMaxListDepth)
            Fail("the chunks are nested too deeply");
        ForEachChunk(span, [&](const std::uint8_t* id, Span body) {
            if (IsFourCC(id, "LIST")) {
                if (body.size < 4)
                    Fail("a chunk list is malformed");
                Span inner{body.data + 4, body.size - 4};
                if (IsFourCC(body.data, "strl"))
                    ReadStreamList(inner);
                else if (IsFourCC(body.data, "movi") && !haveMovie_) {
                    haveMovie_ = true;
                    CollectFrames(inner, depth + 1);
                } else if (IsFourCC(body.data, "hdrl"))
                    WalkList(inner, depth + 1);
                // Other lists (INFO, odml) carry nothing a player needs.
            } else if (IsFourCC(id, "avih")) {
                ReadMainHeader(body);
            }
        });
    }

    void ReadMainHeader(Span body) {
        if (body.size < kMainHeaderSize)
            Fail("the main header is too short");
        microSecPerFrame_ = Le32(body.data);
        haveMainHeader_ = true;
    }

    void ReadStreamList(Span span) {
        ++streamCount_;
        const int streamIndex = streamCount_ - 1;
        Span strh, strf;
        ForEachChunk(span, [&](const std::uint8_t* id, Span body) {
            if (IsFourCC(id, "strh"))
                strh = body;
            else if (IsFourCC(id, "strf"))
                strf = body;
        });
        if (strh.data == nullptr || strh.size < kStreamHeaderSize)
            Fail("a stream header is missing or too short");
        if (!IsFourCC(strh.data, "vids") || videoStream_ >= 0)
            return; // sound and further video streams are not played
        videoStream_ = streamIndex;
        const std::uint32_t scale = Le32(strh.data + 20);
        const std::uint32_t rate = Le32(strh.data + 24);
        if (scale != 0 && rate != 0)
            frameRate_ = double(rate) / double(scale);
        ReadFormat(strf);
    }

    void ReadFormat(Span strf) {
        if (strf.data == nullptr || strf.size < kBitmapHeaderSize)
            Fail("the video format is missing or too short");
        const std::uint32_t headerSize = Le32(strf.data);
        const std::int32_t width = LeS32(strf.data + 4);
        const std::int32_t height = LeS32(strf.data + 8);
        bitCount_ = Le16(strf.data + 14);
        compression_ = Le32(strf.data + 16);
        const std::uint32_t colorsUsed = Le32(strf.data + 32);

        if (width <= 0 || width > TAviClip::kMaxDimension || height == 0 ||
            height < -TAviClip::kMaxDimension || height > TAviClip::kMaxDimension)
            Fail("the frame size " + std::to_string(width) + " x " + std::to_string(height) +
                 " is not supported");
        width_ = width;
        topDown_ = height < 0;
        height_ = topDown_ ? -height : height;

        if (compression_ == kBiRgb) {
            if (bitCount_ != 8 && bitCount_ != 16 && bitCount_ != 24 && bitCount_ != 32)
                Fail("frames of " + std::to_string(bitCount_) + " bits are not supported");
        } else if (compression_ == kBiRle8) {
            if (bitCount_ != 8 || topDown_)
                Fail("the run-length encoded format is malformed");
        } else {
            Fail("compressed frames are not supported");
        }

        if (bitCount_ == 8) {
            const std::size_t entries = colorsUsed == 0 ? 256 : colorsUsed;
            if (entries > 256 || headerSize < kBitmapHeaderSize || headerSize > strf.size ||
                entries * 4 > strf.size - headerSize)
                Fail("the palette is malformed");
            const std::uint8_t* p = strf.data + headerSize;
            for (std::size_t i = 0; i < entries; ++i, p += 4)
                palette_[i] = qRgb(p[2], p[1], p[0]);
        }
    }

    void CollectFrames(Span span, int depth) {
        if (videoStream_ < 0)
            Fail("there is no video stream");
        if (depth > kMaxListDepth)
            Fail("the chunks are nested too deeply");
        char prefix[3];
        prefix[0] = char('0' + videoStream_ / 10 % 10);
        prefix[1] = char('0' + videoStream_ % 10);
        prefix[2] = 0;
        ForEachChunk(span, [&](const std::uint8_t* id, Span body) {
            if (IsFourCC(id, "LIST")) {
                if (body.size >= 4 && IsFourCC(body.data, "rec "))
                    CollectFrames({body.data + 4, body.size - 4}, depth + 1);
                return;
            }
            if (id[0] != std::uint8_t(prefix[0]) || id[1] != std::uint8_t(prefix[1]))
                return;
            if ((id[2] == 'd' && (id[3] == 'b' || id[3] == 'c'))) {
                if (frameChunks_.size() >= std::size_t(TAviClip::kMaxFrames))
                    Fail("the clip has too many frames");
                frameChunks_.push_back(body);
            }
            // 'pc' palette changes are not followed: the clips played here have none.
        });
    }

    TAviClip Decode() {
        const std::int64_t frameBytes = std::int64_t(width_) * height_ * 4;
        if (frameBytes * std::int64_t(frameChunks_.size()) > TAviClip::kMaxDecodedBytes)
            Fail("the clip is too large");

        TAviClip clip;
        clip.width_ = width_;
        clip.height_ = height_;
        clip.compression_ = compression_;
        clip.bitCount_ = bitCount_;
        if (frameRate_ <= 0 && microSecPerFrame_ > 0)
            frameRate_ = 1e6 / double(microSecPerFrame_);
        clip.frameRate_ = frameRate_ > 0 ? frameRate_ : kDefaultFrameRate;

        // Run-length frames paint over the previous picture, so the indices carry over.
        std::vector<std::uint8_t> indices(std::size_t(width_) * height_, 0);
        QImage previous(width_, height_, QImage::Format_RGB32);
        previous.fill(Qt::black);
        clip.frames_.reserve(frameChunks_.size());
        for (std::size_t i = 0; i < frameChunks_.size(); ++i) {
            const Span chunk = frameChunks_[i];
            QImage image;
            if (chunk.size == 0) {
                image = previous; // an empty chunk repeats the last picture (a dropped frame)
            } else if (compression_ == kBiRle8) {
                DecodeRle8(chunk, indices, i);
                image = FromIndices(indices);
            } else {
                image = DecodeRaw(chunk, i);
            }
            previous = image;
            clip.frames_.push_back(image);
        }
        return clip;
    }

    QImage DecodeRaw(Span chunk, std::size_t frameIndex) {
        const std::size_t stride = (std::size_t(width_) * bitCount_ + 31) / 32 * 4;
        if (chunk.size < stride * std::size_t(height_))
            Fail("frame " + std::to_string(frameIndex + 1) + " is truncated");
        QImage image(width_, height_, QImage::Format_RGB32);
        for (int y = 0; y < height_; ++y) {
            const int sourceRow = topDown_ ? y : height_ - 1 - y;
            const std::uint8_t* src = chunk.data + stride * std::size_t(sourceRow);
            auto* dst = reinterpret_cast<QRgb*>(image.scanLine(y));
            for (int x = 0; x < width_; ++x) {
                switch (bitCount_) {
                case 8:
                    dst[x] = palette_[src[x]];
                    break;
                case 16: { // 5-5-5
                    const std::uint16_t v = Le16(src + 2 * x);
                    dst[x] = qRgb((v >> 10 & 31) * 255 / 31, (v >> 5 & 31) * 255 / 31,
                                  (v & 31) * 255 / 31);
                    break;
                }
                case 24:
                    dst[x] = qRgb(src[3 * x + 2], src[3 * x + 1], src[3 * x]);
                    break;
                default:
                    dst[x] = qRgb(src[4 * x + 2], src[4 * x + 1], src[4 * x]);
                    break;
                }
            }
        }
        return image;
    }

    // Decodes one 8-bit run-length frame over the indices of the previous one. Runs that
    // reach past a row are clipped; data that ends inside a command is an error.
    void DecodeRle8(Span chunk, std::vector<std::uint8_t>& indices, std::size_t frameIndex) {
        const auto truncated = [&] {
            Fail("frame " + std::to_string(frameIndex + 1) + " is truncated");
        };
        std::size_t pos = 0;
        int x = 0;
        int row = 0; // counted from the bottom, as the bitmap is stored
        const auto put = [&](std::uint8_t value) {
            if (x < width_ && row < height_)
                indices[std::size_t(height_ - 1 - row) * width_ + x] = value;
            ++x;
        };
        while (row < height_) {
            if (pos + 2 > chunk.size)
                truncated();
            const std::uint8_t count = chunk.data[pos];
            const std::uint8_t value = chunk.data[pos + 1];
            pos += 2;
            if (count > 0) {
                for (int i = 0; i < count; ++i)
                    put(value);
            } else if (value == 0) { // end of line
                x = 0;
                ++row;
            } else if (value == 1) { // end of bitmap
                break;
            } else if (value == 2) { // move right and up
                if (pos + 2 > chunk.size)
                    truncated();
                x += chunk.data[pos];
                row += chunk.data[pos + 1];
                pos += 2;
            } else { // a literal run of `value` indices, padded to even length
                const std::size_t length = value;
                if (pos + length > chunk.size)
                    truncated();
                for (std::size_t i = 0; i < length; ++i)
                    put(chunk.data[pos + i]);
                pos += length + (length & 1);
            }
        }
    }

    QImage FromIndices(const std::vector<std::uint8_t>& indices) const {
        QImage image(width_, height_, QImage::Format_RGB32);
        for (int y = 0; y < height_; ++y) {
            auto* dst = reinterpret_cast<QRgb*>(image.scanLine(y));
            const std::uint8_t* src = indices.data() + std::size_t(y) * width_;
            for (int x = 0; x < width_; ++x)
                dst[x] = palette_[src[x]];
        }
        return image;
    }

    Span file_;
    std::string name_;
    bool haveMainHeader_ = false;
    bool haveMovie_ = false;
    std::uint32_t microSecPerFrame_ = 0;
    int streamCount_ = 0;
    int videoStream_ = -1;
    double frameRate_ = 0;
    int width_ = 0;
    int height_ = 0;
    bool topDown_ = false;
    int bitCount_ = 0;
    std::uint32_t compression_ = 0;
    QRgb palette_[256]; // entries the file does not give stay black
    std::vector<Span> frameChunks_;
};

TAviClip TAviClip::FromBytes(const QByteArray& data, const std::string& name) {
    return AviParser(data, name).Parse();
}

TAviClip TAviClip::FromFile(const std::string& path) {
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly))
        throw Exception("Cannot open AVI " + path + ": " + file.errorString().toStdString());
    if (file.size() > kMaxFileSize)
        throw Exception("Cannot open AVI " + path + ": the file is too large");
    const QByteArray data = file.read(kMaxFileSize);
    if (file.error() != QFileDevice::NoError)
        throw Exception("Cannot open AVI " + path + ": " + file.errorString().toStdString());
    return FromBytes(data, path);
}

int TAviClip::FrameInterval() const {
    if (frameRate_ <= 0)
        return int(1000 / kDefaultFrameRate);
    const double ms = 1000.0 / frameRate_;
    return ms < 1 ? 1 : ms > 10000 ? 10000 : int(ms + 0.5);
}

const QImage& TAviClip::Frame(int index) const {
    if (index < 0 || index >= FrameCount())
        throw ERangeError();
    return frames_[std::size_t(index)];
}

} // namespace kestrel
