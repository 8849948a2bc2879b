// The animation file reader on arbitrary bytes: it either raises kestrel::Exception or
// gives a clip whose frames all have the clip's size, within the reader's limits.
// Input: the bytes of the .avi file.
#include "app/avi.h"
#include "base/exception.h"

#include <QByteArray>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using namespace kestrel;

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    TAviClip clip;
    try {
        clip = TAviClip::FromBytes(bytes, "fuzz.avi");
    } catch (const Exception& e) {
        Check(e.what() != nullptr && e.what()[0] != '\0');
        return 0;
    }
    Check(!clip.Empty());
    Check(clip.Width() > 0 && clip.Width() <= TAviClip::kMaxDimension);
    Check(clip.Height() > 0 && clip.Height() <= TAviClip::kMaxDimension);
    Check(clip.FrameCount() <= TAviClip::kMaxFrames);
    Check(clip.FrameInterval() >= 1);
    for (int i = 0; i < clip.FrameCount(); ++i) {
        const QImage& frame = clip.Frame(i);
        Check(frame.width() == clip.Width() && frame.height() == clip.Height());
    }
    bool refused = false;
    try {
        clip.Frame(clip.FrameCount());
    } catch (const Exception&) {
        refused = true;
    }
    Check(refused);
    return 0;
}
