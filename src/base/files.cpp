#include "base/files.h"

#include "base/exception.h"
#include "base/streams.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrel {

namespace {

// The files replaced here may hold a password: nobody but the owner may read them.
constexpr mode_t kSecretFileMode = 0600;

void SetProblem(std::string* problem, const std::string& text) {
    if (problem)
        *problem = text;
}

// Checks the place of a file before it is replaced: a link, pipe, socket or device is
// refused (a link may have been planted to carry the password elsewhere, or made on
// purpose by the user; either way it is neither followed nor silently replaced); an
// existing regular file must be writable, so that a file the user made read-only is still
// not overwritten.
bool MayReplace(const std::string& path, std::string* problem) {
    struct stat info {};
    if (::lstat(path.c_str(), &info) != 0) {
        if (errno == ENOENT)
            return true;
        SetProblem(problem, "File not found");
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        SetProblem(problem, S_ISDIR(info.st_mode) ? "File not found" : NotRegularFileText(path));
        return false;
    }
    TFileDescriptor existing(OpenNoFollow(path, O_WRONLY));
    if (existing.get() < 0) {
        SetProblem(problem, errno == ELOOP ? NotRegularFileText(path) : "File not found");
        return false;
    }
    return true;
}

bool WriteFull(int fd, std::string_view content) {
    std::size_t written = 0;
    while (written < content.size()) {
        ssize_t n = ::write(fd, content.data() + written, content.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

TFileDescriptor::~TFileDescriptor() {
    if (fd_ >= 0)
        ::close(fd_);
}

int TFileDescriptor::release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

bool TFileDescriptor::close() {
    return ::close(release()) == 0;
}

int OpenNoFollow(const std::string& path, int flags, mode_t mode) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

bool IsSpecialName(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode);
}

ssize_t ReadFull(int fd, char* buffer, std::size_t size) {
    std::size_t total = 0;
    while (total < size) {
        ssize_t n = ::read(fd, buffer + total, size - total);
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        total += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(total);
}

TReadResult ReadRegularFile(const std::string& path, std::string& content, std::size_t maxSize) {
    TFileDescriptor file(OpenNoFollow(path, O_RDONLY));
    if (file.get() < 0)
        return errno == ELOOP || IsSpecialName(path) ? TReadResult::Refused : TReadResult::Missing;
    struct stat info {};
    if (::fstat(file.get(), &info) != 0 || S_ISDIR(info.st_mode) ||
        std::size_t(info.st_size) > maxSize)
        return TReadResult::Missing;
    if (!S_ISREG(info.st_mode))
        return TReadResult::Refused;
    // Up to one byte more than allowed: a file that grew past the limit is not read.
    const std::size_t start = content.size();
    content.resize(start + maxSize + 1);
    const ssize_t n = ReadFull(file.get(), content.data() + start, maxSize + 1);
    content.resize(start + std::size_t(n < 0 ? 0 : n));
    if (n < 0 || std::size_t(n) > maxSize) {
        content.resize(start);
        return TReadResult::Missing;
    }
    return TReadResult::Read;
}

bool ReplaceFileSafely(const std::string& path, std::string_view content, std::string* problem) {
    if (!MayReplace(path, problem))
        return false;
    // The new content goes into a fresh owner-only file beside the old one (mkostemp
    // creates it exclusively, so no link planted under that name is followed), reaches
    // the disk, and then takes the old name in one step: a failed save leaves the old
    // file whole, and a link in the file's place is replaced, never written through.
    const std::size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string temporary = folder + "." + base + ".XXXXXX";
    TFileDescriptor file(::mkostemp(temporary.data(), O_CLOEXEC));
    if (file.get() < 0) {
        SetProblem(problem, "File not found");
        return false;
    }
    auto fail = [&](int error) {
        ::unlink(temporary.c_str());
        throw EInOutError("Cannot write file " + path + ": " + std::strerror(error));
    };
    if (!WriteFull(file.get(), content))
        fail(errno);
    if (::fchmod(file.get(), kSecretFileMode) != 0 || ::fsync(file.get()) != 0 || !file.close())
        fail(errno);
    if (::rename(temporary.c_str(), path.c_str()) != 0)
        fail(errno);
    // The rename itself reaches the disk with the folder.
    TFileDescriptor directory(
        ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.get() >= 0)
        ::fsync(directory.get());
    return true;
}

void ReadChunks(const std::string& path,
                const std::function<void(const char* data, std::size_t size)>& consume) {
    constexpr std::size_t kChunk = 64 * 1024;
    TFileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (file.get() < 0)
        throw EFOpenError("Cannot open file " + path);
    auto buffer = std::make_unique<char[]>(kChunk);
    for (;;) {
        ssize_t n = ::read(file.get(), buffer.get(), kChunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw EInOutError("Cannot read file " + path + ": " + std::strerror(errno));
        if (n == 0)
            return;
        consume(buffer.get(), std::size_t(n));
    }
}

} // namespace kestrel
