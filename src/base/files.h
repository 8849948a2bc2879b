// Reading and replacing the small files that hold the program's settings and the records
// it saves: never through a symbolic link, never blocking on a pipe or device, every call
// repeated when a signal interrupts it.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace kestrel {

// Closes a descriptor when it goes out of scope.
class TFileDescriptor {
public:
    explicit TFileDescriptor(int fd) : fd_(fd) {}
    ~TFileDescriptor();
    TFileDescriptor(const TFileDescriptor&) = delete;
    TFileDescriptor& operator=(const TFileDescriptor&) = delete;
    int get() const { return fd_; }
    // Hands the descriptor over: it is no longer closed here.
    int release();
    // Closes now and reports whether the close succeeded (a delayed write error shows here).
    bool close();

private:
    int fd_;
};

// open() that never follows a link in the last part of the path (ELOOP), never blocks
// (a pipe without a writer) and never takes a controlling terminal; repeated on EINTR.
// -1 with errno set on a failure. mode applies when O_CREAT makes the file.
int OpenNoFollow(const std::string& path, int flags, mode_t mode = 0600);

// True when the name exists as a link or as something that is neither a regular file nor
// a folder (a pipe, socket or device).
bool IsSpecialName(const std::string& path);

// Reads until size bytes have come or the file ends, repeating on EINTR and EAGAIN.
// Returns the bytes read, or -1 with errno set on an error.
ssize_t ReadFull(int fd, char* buffer, std::size_t size);

// Reads a file from its start to its end in chunks, each handed to consume; repeats on
// EINTR. Raises EFOpenError "Cannot open file <path>" and EInOutError "Cannot read file
// <path>: <reason>". For the files of a site, which are hashed, not kept.
void ReadChunks(const std::string& path,
                const std::function<void(const char* data, std::size_t size)>& consume);

enum class TReadResult {
    Read,
    Missing, // absent, unreadable, a folder, or larger than allowed
    Refused, // a link, pipe, socket or device in the file's place
};

// Reads a whole regular file of at most maxSize bytes into content (appended).
TReadResult ReadRegularFile(const std::string& path, std::string& content, std::size_t maxSize);

// Replaces a file that holds a secret: the content is written to a new owner-only file in
// the same folder, flushed to the disk and renamed over the old name, so that the result is
// always a regular file of mode 0600 owned by the user, a failed save leaves the old file
// whole, and nothing is ever written through a symbolic link. Returns false (problem: "File
// not found" or "<path> is not a regular file") when the file may not be replaced: a
// read-only file, a folder without write access, a link, pipe, socket or device in its place.
// A write that fails after that raises EInOutError "Cannot write file <path>: <reason>".
bool ReplaceFileSafely(const std::string& path, std::string_view content,
                       std::string* problem = nullptr);

} // namespace kestrel
