#include "streams.h"

#include "exception.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrel {

void TStream::CopyFrom(TStream& source, std::int64_t count) {
    if (count == 0) {
        count = source.Size() - source.Position();
    }
    char chunk[16384];
    while (count > 0) {
        std::int64_t n = source.Read(chunk, std::min<std::int64_t>(count, sizeof chunk));
        if (n <= 0)
            throw Exception("Stream read error");
        Write(chunk, n);
        count -= n;
    }
}

std::int64_t TMemoryStream::Read(void* buffer, std::int64_t count) {
    std::int64_t available = std::max<std::int64_t>(0, Size() - position_);
    std::int64_t n = std::clamp<std::int64_t>(count, 0, available);
    if (n > 0)
        std::memcpy(buffer, Data() + position_, size_t(n));
    position_ += n;
    return n;
}

void TMemoryStream::Write(const void* buffer, std::int64_t count) {
    if (count <= 0)
        return;
    if (position_ + count > Size())
        data_.resize(head_ + size_t(position_ + count));
    std::memcpy(data_.data() + head_ + position_, buffer, size_t(count));
    position_ += count;
}

void TMemoryStream::Consume(std::int64_t count) {
    count = std::clamp<std::int64_t>(count, 0, Size());
    head_ += size_t(count);
    position_ = std::max<std::int64_t>(0, position_ - count);
    if (head_ == data_.size()) {
        data_.clear();
        head_ = 0;
    } else if (head_ >= 65536 && head_ * 2 >= data_.size()) {
        data_.erase(data_.begin(), data_.begin() + std::ptrdiff_t(head_));
        head_ = 0;
    }
}

namespace {

// Opens without blocking: a named pipe without a writer, a terminal or a device must never
// stop the calling thread (and with it that thread's event loop) in open(). The mode is checked
// before anything is read or written.
int OpenNonBlocking(const std::string& name, int flags, unsigned permissions) {
    int fd;
    do {
        fd = ::open(name.c_str(), flags | O_NONBLOCK | O_NOCTTY, permissions);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// True when the name exists as something other than a regular file or a folder (a pipe,
// a socket, a device), which open() may refuse with ENXIO or another code.
bool ExistsAsSpecialFile(const std::string& name) {
    struct stat st {};
    return ::stat(name.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
}

} // namespace

std::string NotRegularFileText(const std::string& name) {
    return name + " is not a regular file";
}

TFileStream::TFileStream(const std::string& name, Mode mode, unsigned permissions) : name_(name) {
    int flags = O_CLOEXEC;
    switch (mode) {
    case OpenRead:
        flags |= O_RDONLY;
        break;
    case OpenReadWrite:
        flags |= O_RDWR;
        break;
    case Create: // truncated only once it is known to be a regular file
    case OpenAppend:
        flags |= O_RDWR | O_CREAT;
        break;
    }
    auto fail = [&](const std::string& text) -> void {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
        if (mode == Create)
            throw EFCreateError(text);
        throw EFOpenError(text);
    };
    const std::string cannot =
        mode == Create ? CannotCreateFileText(name) : CannotOpenFileText(name);
    fd_ = OpenNonBlocking(name, flags, permissions);
    if (fd_ < 0)
        fail(ExistsAsSpecialFile(name) ? NotRegularFileText(name) : cannot);
    struct stat st {};
    if (::fstat(fd_, &st) != 0 || S_ISDIR(st.st_mode))
        fail(cannot);
    if (!S_ISREG(st.st_mode))
        fail(NotRegularFileText(name));
    // A regular file never blocks; reads and writes go on in the ordinary blocking mode.
    // Of the flags it was opened with only O_NONBLOCK is a status flag F_SETFL changes.
    if (::fcntl(fd_, F_SETFL, 0) != 0)
        fail(cannot);
    if (mode == Create && ::ftruncate(fd_, 0) != 0)
        fail(cannot);
}

TFileStream::~TFileStream() {
    if (fd_ >= 0)
        ::close(fd_);
}

std::int64_t TFileStream::Read(void* buffer, std::int64_t count) {
    if (count <= 0)
        return 0;
    ssize_t n;
    do {
        n = ::pread(fd_, buffer, size_t(count), position_);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        throw EInOutError(InOutErrorText(errno));
    position_ += n;
    return n;
}

void TFileStream::Write(const void* buffer, std::int64_t count) {
    const char* p = static_cast<const char*>(buffer);
    while (count > 0) {
        ssize_t n = ::pwrite(fd_, p, size_t(count), position_);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw EInOutError(InOutErrorText(n < 0 ? errno : ENOSPC));
        p += n;
        count -= n;
        position_ += n;
    }
}

void TFileStream::Truncate(std::int64_t size) {
    if (::ftruncate(fd_, size) != 0)
        throw EInOutError(InOutErrorText(errno));
}

std::int64_t TFileStream::Size() const {
    struct stat st {};
    if (::fstat(fd_, &st) != 0)
        return 0;
    return st.st_size;
}

std::int64_t FileSizeOf(const std::string& name) {
    struct stat st {};
    if (::stat(name.c_str(), &st) != 0)
        return -1;
    return st.st_size;
}

} // namespace kestrel
