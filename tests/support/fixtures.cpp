#include "support/fixtures.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace kestrel::test {

namespace {

// splitmix64: small, fast and fully determined by the seed.
std::uint64_t NextRandom(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

constexpr std::uint64_t kFnvOffset = 0xCBF29CE484222325ULL;
constexpr std::uint64_t kFnvPrime = 0x100000001B3ULL;
constexpr std::size_t kChunk = 64 * 1024;

void FillRandom(std::string& chunk, std::uint64_t& state) {
    for (std::size_t i = 0; i < chunk.size(); i += 8) {
        std::uint64_t word = NextRandom(state);
        for (std::size_t b = 0; b < 8 && i + b < chunk.size(); ++b) {
            chunk[i + b] = static_cast<char>((word >> (8 * b)) & 0xFF);
        }
    }
}

std::uint64_t HashUpdate(std::uint64_t hash, const char* data, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        hash ^= static_cast<unsigned char>(data[i]);
        hash *= kFnvPrime;
    }
    return hash;
}

} // namespace

TempDir::TempDir(const std::string& prefix) {
    std::string pattern = "/tmp/" + prefix + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) {
        throw std::runtime_error("cannot create a temporary folder " + pattern + ": " +
                                 std::strerror(errno));
    }
    path_ = buffer.data();
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

CurrentDirGuard::CurrentDirGuard() : saved_(std::filesystem::current_path()) {}

CurrentDirGuard::~CurrentDirGuard() {
    std::error_code ignored;
    std::filesystem::current_path(saved_, ignored);
}

void RandomFile(const std::filesystem::path& path, std::uint64_t size, std::uint64_t seed) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        throw std::runtime_error("cannot create " + path.string());
    }
    std::uint64_t state = seed;
    std::string chunk;
    // Whole 8-byte words per chunk keep the stream identical to RandomBytes().
    for (std::uint64_t left = size; left > 0;) {
        std::size_t n = left < kChunk ? static_cast<std::size_t>(left) : kChunk;
        chunk.resize(n);
        FillRandom(chunk, state);
        out.write(chunk.data(), static_cast<std::streamsize>(n));
        left -= n;
    }
    out.close();
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

std::string RandomBytes(std::uint64_t size, std::uint64_t seed) {
    std::uint64_t state = seed;
    std::string result;
    result.reserve(static_cast<std::size_t>(size));
    std::string chunk;
    for (std::uint64_t left = size; left > 0;) {
        std::size_t n = left < kChunk ? static_cast<std::size_t>(left) : kChunk;
        chunk.resize(n);
        FillRandom(chunk, state);
        result += chunk;
        left -= n;
    }
    return result;
}

std::uint64_t FileHash(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot open " + path.string());
    }
    std::uint64_t hash = kFnvOffset;
    std::vector<char> buffer(kChunk);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        hash = HashUpdate(hash, buffer.data(), static_cast<std::size_t>(in.gcount()));
    }
    if (in.bad()) {
        throw std::runtime_error("cannot read " + path.string());
    }
    return hash;
}

std::uint64_t BytesHash(const std::string& bytes) {
    return HashUpdate(kFnvOffset, bytes.data(), bytes.size());
}

std::string ReadFileBytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot open " + path.string());
    }
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) {
        throw std::runtime_error("cannot read " + path.string());
    }
    return bytes;
}

void WriteFileBytes(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) {
        throw std::runtime_error("cannot create " + path.string());
    }
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

} // namespace kestrel::test
