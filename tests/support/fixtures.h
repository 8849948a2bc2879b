// Small fixtures for tests that touch the file system.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace kestrel::test {

// A unique folder under /tmp, removed with everything in it at destruction.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "kestrel-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }
    // path() / name
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// Restores the process's current directory at destruction.
class CurrentDirGuard {
public:
    CurrentDirGuard();
    ~CurrentDirGuard();
    CurrentDirGuard(const CurrentDirGuard&) = delete;
    CurrentDirGuard& operator=(const CurrentDirGuard&) = delete;

    const std::filesystem::path& saved() const { return saved_; }

private:
    std::filesystem::path saved_;
};

// Writes size pseudo-random bytes, the same bytes for the same seed. Throws
// std::runtime_error when the file cannot be written.
void RandomFile(const std::filesystem::path& path, std::uint64_t size, std::uint64_t seed = 1);
// The bytes of a file as RandomFile would write them, for comparing with received data.
std::string RandomBytes(std::uint64_t size, std::uint64_t seed = 1);

// A 64-bit hash (FNV-1a) of a file's bytes. Throws std::runtime_error when the file
// cannot be read.
std::uint64_t FileHash(const std::filesystem::path& path);
std::uint64_t BytesHash(const std::string& bytes);

// Whole-file helpers; both throw std::runtime_error on failure.
std::string ReadFileBytes(const std::filesystem::path& path);
void WriteFileBytes(const std::filesystem::path& path, const std::string& bytes);

} // namespace kestrel::test
