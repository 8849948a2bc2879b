// Writes the busy animation "Kestrel.avi": a kestrel carrying a page from the PC on the left
// to the web server on the right over a dotted trail, above the word "Sending" with moving
// dots. 200 x 53 pixels, 20 frames at 10 frames per second, so it loops every two seconds.
// The frames are uncompressed 8-bit pictures with a palette, the simplest kind of clip an
// animation control plays. Uses nothing but the standard library, so the build can run it
// before anything else exists.
//
// Usage: makeclip <output file>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int kWidth = 200;
constexpr int kHeight = 53;
constexpr int kFrames = 20;
constexpr int kFramesPerSecond = 10;
constexpr int kFrameBytes = kWidth * kHeight; // 200 is a multiple of 4: rows need no padding

enum Colour : std::uint8_t { Black, Yellow, Aqua, White, Rust, Slate, Green, Grey, Navy, Cream };

// Palette entries as red, green, blue.
constexpr std::array<std::array<std::uint8_t, 3>, 10> kPalette{{
    {0, 0, 0},       // background, matching the black window panel
    {255, 255, 0},   // text
    {0, 255, 255},   // screen glow
    {255, 255, 255}, // page
    {190, 100, 45},  // the bird's back
    {70, 80, 100},   // wing tips
    {0, 220, 0},     // server lights
    {150, 150, 150}, // cases
    {0, 40, 120},    // screen
    {240, 220, 170}, // the bird's underside
}};

// A 5 x 7 font for the few letters the clip shows.
struct Glyph {
    char letter;
    std::array<const char*, 7> rows;
};

constexpr Glyph kFont[] = {
    {'S', {".####", "#....", "#....", ".###.", "....#", "....#", "####."}},
    {'e', {".....", ".....", ".###.", "#...#", "#####", "#....", ".###."}},
    {'n', {".....", ".....", "#.##.", "##..#", "#...#", "#...#", "#...#"}},
    {'d', {"....#", "....#", ".##.#", "#..##", "#...#", "#...#", ".####"}},
    {'i', {"..#..", ".....", ".##..", "..#..", "..#..", "..#..", ".###."}},
    {'g', {".####", "#...#", "#...#", ".####", "....#", "#...#", ".###."}},
    {'.', {".....", ".....", ".....", ".....", ".....", ".##..", ".##.."}},
};

class Picture {
public:
    Picture() : pixels_(kFrameBytes, Black) {}

    void Set(int x, int y, Colour c) {
        if (x >= 0 && x < kWidth && y >= 0 && y < kHeight)
            pixels_[std::size_t(y) * kWidth + x] = c;
    }
    void Fill(int x0, int y0, int x1, int y1, Colour c) {
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x)
                Set(x, y, c);
    }
    void Frame(int x0, int y0, int x1, int y1, Colour c) {
        Fill(x0, y0, x1, y0, c);
        Fill(x0, y1, x1, y1, c);
        Fill(x0, y0, x0, y1, c);
        Fill(x1, y0, x1, y1, c);
    }
    void Line(int x0, int y0, int x1, int y1, Colour c) {
        const int steps = std::max(std::abs(x1 - x0), std::abs(y1 - y0));
        for (int i = 0; i <= steps; ++i) {
            const int x = x0 + (steps ? (x1 - x0) * i / steps : 0);
            const int y = y0 + (steps ? (y1 - y0) * i / steps : 0);
            Set(x, y, c);
            Set(x, y + 1, c); // two pixels thick, so it reads at this size
        }
    }
    // Draws text at twice the font's size; returns the x after the last letter.
    int Text(int x, int y, const std::string& text, Colour c) {
        constexpr int kScale = 2;
        for (char letter : text) {
            for (const Glyph& glyph : kFont) {
                if (glyph.letter != letter)
                    continue;
                for (int row = 0; row < 7; ++row)
                    for (int col = 0; col < 5; ++col)
                        if (glyph.rows[std::size_t(row)][col] == '#')
                            Fill(x + col * kScale, y + row * kScale, x + col * kScale + 1,
                                 y + row * kScale + 1, c);
            }
            x += 6 * kScale;
        }
        return x;
    }
    // Rows bottom-up, as the clip stores them.
    void AppendTo(std::vector<std::uint8_t>& out) const {
        for (int y = kHeight - 1; y >= 0; --y)
            out.insert(out.end(), pixels_.begin() + std::ptrdiff_t(y) * kWidth,
                       pixels_.begin() + std::ptrdiff_t(y + 1) * kWidth);
    }

private:
    std::vector<std::uint8_t> pixels_;
};

void DrawComputer(Picture& p) {
    p.Frame(3, 5, 30, 25, Grey);
    p.Fill(5, 7, 28, 23, Navy);
    p.Fill(8, 10, 20, 10, Aqua); // lines of a page on the screen
    p.Fill(8, 13, 24, 13, Aqua);
    p.Fill(8, 16, 18, 16, Aqua);
    p.Fill(14, 26, 19, 28, Grey);
    p.Fill(8, 29, 25, 30, Grey);
}

void DrawServer(Picture& p, int frame) {
    p.Frame(174, 3, 196, 31, Grey);
    for (int slot = 0; slot < 3; ++slot) {
        const int y = 7 + slot * 8;
        p.Fill(177, y, 193, y + 4, Navy);
        // The lights blink in turn, as if the server were taking the data.
        p.Fill(189, y + 1, 191, y + 3, (frame + slot) % 3 == 0 ? Green : Slate);
    }
}

// The kestrel seen from the side, flying right, with a small page in its talons.
void DrawBird(Picture& p, int x, int y, bool wingsUp) {
    p.Fill(x - 7, y - 1, x + 5, y + 1, Rust);  // body
    p.Fill(x - 5, y + 2, x + 3, y + 2, Cream); // underside
    p.Fill(x + 5, y - 3, x + 8, y, Rust);      // head
    p.Set(x + 7, y - 2, Black);                // eye
    p.Set(x + 9, y - 1, Yellow);               // beak
    p.Line(x - 7, y, x - 12, y - 2, Slate);    // tail
    p.Line(x - 7, y, x - 12, y + 1, Slate);
    if (wingsUp) {
        p.Line(x - 1, y - 1, x - 5, y - 9, Rust);
        p.Line(x - 5, y - 9, x - 9, y - 11, Slate);
    } else {
        p.Line(x - 1, y, x - 5, y + 8, Rust);
        p.Line(x - 5, y + 8, x - 9, y + 10, Slate);
    }
    p.Fill(x - 1, y + 4, x + 4, y + 8, White); // the page being carried
    p.Fill(x, y + 5, x + 3, y + 5, Grey);
    p.Fill(x, y + 7, x + 2, y + 7, Grey);
}

Picture DrawFrame(int frame) {
    Picture p;
    DrawComputer(p);
    DrawServer(p, frame);

    constexpr int kStartX = 44;
    constexpr int kEndX = 160;
    const int birdX = kStartX + (kEndX - kStartX) * frame / (kFrames - 1);
    const int birdY = 15 + (frame % 4 == 1 ? -1 : frame % 4 == 3 ? 1 : 0);

    // The trail of dots from the computer to the bird.
    for (int x = 34; x < birdX - 14; x += 6)
        p.Fill(x, 24, x + 1, 25, Yellow);
    DrawBird(p, birdX, birdY, (frame / 2) % 2 == 0);

    // "Sending" with one to three dots; the count changes every half second.
    const int dots = frame / 5 % 4;
    const int textX = (kWidth - 10 * 12) / 2;
    const int afterWord = p.Text(textX, 37, "Sending", Yellow);
    p.Text(afterWord, 37, std::string(std::size_t(dots), '.'), Yellow);
    return p;
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(std::uint8_t(v >> (8 * i)));
}
void Put16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(std::uint8_t(v));
    out.push_back(std::uint8_t(v >> 8));
}
void PutCC(std::vector<std::uint8_t>& out, const char* code) {
    out.insert(out.end(), code, code + 4);
}

// Starts a chunk and returns where its size goes; EndChunk fills it in and pads.
std::size_t BeginChunk(std::vector<std::uint8_t>& out, const char* id) {
    PutCC(out, id);
    Put32(out, 0);
    return out.size();
}
std::size_t BeginList(std::vector<std::uint8_t>& out, const char* type) {
    const std::size_t start = BeginChunk(out, "LIST");
    PutCC(out, type);
    return start;
}
void EndChunk(std::vector<std::uint8_t>& out, std::size_t start) {
    const std::uint32_t size = std::uint32_t(out.size() - start);
    for (int i = 0; i < 4; ++i)
        out[start - 4 + std::size_t(i)] = std::uint8_t(size >> (8 * i));
    if (size & 1)
        out.push_back(0);
}

std::vector<std::uint8_t> BuildClip() {
    constexpr std::uint32_t kHasIndex = 0x10;
    constexpr std::uint32_t kKeyFrame = 0x10;
    std::vector<std::uint8_t> out;
    const std::size_t riff = BeginChunk(out, "RIFF");
    PutCC(out, "AVI ");

    const std::size_t hdrl = BeginList(out, "hdrl");
    const std::size_t avih = BeginChunk(out, "avih");
    Put32(out, 1000000 / kFramesPerSecond);     // microseconds per frame
    Put32(out, kFrameBytes * kFramesPerSecond); // bytes per second
    Put32(out, 0);                              // padding granularity
    Put32(out, kHasIndex);                      // flags
    Put32(out, kFrames);                        // total frames
    Put32(out, 0);                              // initial frames
    Put32(out, 1);                              // streams
    Put32(out, kFrameBytes);                    // suggested buffer size
    Put32(out, kWidth);
    Put32(out, kHeight);
    for (int i = 0; i < 4; ++i)
        Put32(out, 0);
    EndChunk(out, avih);

    const std::size_t strl = BeginList(out, "strl");
    const std::size_t strh = BeginChunk(out, "strh");
    PutCC(out, "vids");
    PutCC(out, "DIB ");
    Put32(out, 0);                // flags
    Put16(out, 0);                // priority
    Put16(out, 0);                // language
    Put32(out, 0);                // initial frames
    Put32(out, 1);                // scale
    Put32(out, kFramesPerSecond); // rate: rate / scale frames per second
    Put32(out, 0);                // start
    Put32(out, kFrames);          // length
    Put32(out, kFrameBytes);      // suggested buffer size
    Put32(out, 0xFFFFFFFF);       // quality: default
    Put32(out, kFrameBytes);      // sample size
    Put16(out, 0);                // frame rectangle
    Put16(out, 0);
    Put16(out, kWidth);
    Put16(out, kHeight);
    EndChunk(out, strh);

    const std::size_t strf = BeginChunk(out, "strf");
    Put32(out, 40); // header size
    Put32(out, kWidth);
    Put32(out, kHeight); // positive: rows stored bottom-up
    Put16(out, 1);       // planes
    Put16(out, 8);       // bits per pixel
    Put32(out, 0);       // uncompressed
    Put32(out, kFrameBytes);
    Put32(out, 0);
    Put32(out, 0);
    Put32(out, 256); // colours used
    Put32(out, 0);
    for (std::size_t i = 0; i < 256; ++i) {
        const auto rgb = i < kPalette.size() ? kPalette[i] : std::array<std::uint8_t, 3>{};
        out.push_back(rgb[2]);
        out.push_back(rgb[1]);
        out.push_back(rgb[0]);
        out.push_back(0);
    }
    EndChunk(out, strf);
    EndChunk(out, strl);
    EndChunk(out, hdrl);

    const std::size_t movi = BeginList(out, "movi");
    const std::size_t moviType = movi; // index offsets count from the list type "movi"
    std::vector<std::uint32_t> offsets;
    for (int frame = 0; frame < kFrames; ++frame) {
        offsets.push_back(std::uint32_t(out.size() - moviType));
        const std::size_t chunk = BeginChunk(out, "00db");
        DrawFrame(frame).AppendTo(out);
        EndChunk(out, chunk);
    }
    EndChunk(out, movi);

    const std::size_t idx1 = BeginChunk(out, "idx1");
    for (std::uint32_t offset : offsets) {
        PutCC(out, "00db");
        Put32(out, kKeyFrame);
        Put32(out, offset);
        Put32(out, kFrameBytes);
    }
    EndChunk(out, idx1);
    EndChunk(out, riff);
    return out;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output file>\n", argv[0]);
        return 2;
    }
    const std::vector<std::uint8_t> clip = BuildClip();
    std::ofstream file(argv[1], std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(clip.data()), std::streamsize(clip.size()));
    file.close();
    if (!file) {
        std::fprintf(stderr, "makeclip: cannot write %s\n", argv[1]);
        return 1;
    }
    return 0;
}
