// Shared pieces of the window-piece tests: the main with a Qt application object (from
// support/qt_test_main.h) and a builder of small AVI clips. The guard that restores the
// current folder is in support/fixtures.h.
#pragma once

#include "support/qt_test_main.h"

#include <QApplication>
#include <QByteArray>
#include <QDir>
#include <QString>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kestrel_test {

// Builds AVI files by hand so that tests can make exact, truncated and malformed clips.
struct AviSpec {
    std::int32_t width = 4;
    std::int32_t height = 2;
    std::uint16_t bitCount = 8;
    std::uint32_t compression = 0; // 0 uncompressed, 1 RLE8
    std::uint32_t colorsUsed = 4;
    std::uint32_t rate = 10;
    std::uint32_t scale = 1;
    std::vector<std::uint32_t> palette{0x000000, 0xFF0000, 0x00FF00, 0x0000FF}; // 0xRRGGBB
    std::vector<std::vector<std::uint8_t>> frames;
    const char* frameId = "00db";
};

class AviWriter {
public:
    static QByteArray Build(const AviSpec& clip) {
        AviWriter w;
        const std::size_t riff = w.Begin("RIFF");
        w.CC("AVI ");
        const std::size_t hdrl = w.List("hdrl");
        const std::size_t avih = w.Begin("avih");
        w.U32(clip.scale * 1000000 / (clip.rate ? clip.rate : 1));
        for (int i = 0; i < 3; ++i)
            w.U32(0);
        w.U32(std::uint32_t(clip.frames.size()));
        w.U32(0);
        w.U32(1);
        w.U32(0);
        w.U32(std::uint32_t(clip.width));
        w.U32(std::uint32_t(clip.height));
        for (int i = 0; i < 4; ++i)
            w.U32(0);
        w.End(avih);
        const std::size_t strl = w.List("strl");
        const std::size_t strh = w.Begin("strh");
        w.CC("vids");
        w.CC("    ");
        w.U32(0);
        w.U32(0);
        w.U32(0);
        w.U32(clip.scale);
        w.U32(clip.rate);
        w.U32(0);
        w.U32(std::uint32_t(clip.frames.size()));
        w.U32(0);
        w.U32(0xFFFFFFFF);
        w.U32(0);
        for (int i = 0; i < 4; ++i)
            w.U16(0);
        w.End(strh);
        const std::size_t strf = w.Begin("strf");
        w.U32(40);
        w.U32(std::uint32_t(clip.width));
        w.U32(std::uint32_t(clip.height));
        w.U16(1);
        w.U16(clip.bitCount);
        w.U32(clip.compression);
        for (int i = 0; i < 3; ++i)
            w.U32(0);
        w.U32(clip.colorsUsed);
        w.U32(0);
        for (std::uint32_t rgb : clip.palette) {
            w.bytes_.push_back(char(rgb & 0xFF));
            w.bytes_.push_back(char(rgb >> 8 & 0xFF));
            w.bytes_.push_back(char(rgb >> 16 & 0xFF));
            w.bytes_.push_back(char(0));
        }
        w.End(strf);
        w.End(strl);
        w.End(hdrl);
        const std::size_t movi = w.List("movi");
        for (const auto& frame : clip.frames) {
            const std::size_t chunk = w.Begin(clip.frameId);
            w.bytes_.append(reinterpret_cast<const char*>(frame.data()), qsizetype(frame.size()));
            w.End(chunk);
        }
        w.End(movi);
        w.End(riff);
        return w.bytes_;
    }

private:
    void CC(const char* code) { bytes_.append(code, 4); }
    void U32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            bytes_.push_back(char(v >> (8 * i) & 0xFF));
    }
    void U16(std::uint16_t v) {
        bytes_.push_back(char(v & 0xFF));
        bytes_.push_back(char(v >> 8));
    }
    std::size_t Begin(const char* id) {
        CC(id);
        U32(0);
        return std::size_t(bytes_.size());
    }
    std::size_t List(const char* type) {
        const std::size_t start = Begin("LIST");
        CC(type);
        return start;
    }
    void End(std::size_t start) {
        const std::uint32_t size = std::uint32_t(std::size_t(bytes_.size()) - start);
        for (int i = 0; i < 4; ++i)
            bytes_[qsizetype(start) - 4 + i] = char(size >> (8 * i) & 0xFF);
        if (size & 1)
            bytes_.push_back(char(0));
    }
    QByteArray bytes_;
};

} // namespace kestrel_test
