#include "app/config.h"

#include "base/exception.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrel {

namespace {

// The password is stored in plain text: nobody but the owner may read the file.
constexpr mode_t kConfigFileMode = 0600;

// Closes a descriptor when it goes out of scope.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return fd_; }
    void release() { fd_ = -1; }
    // Closes now and reports whether the close succeeded (a delayed write error shows here).
    bool close() {
        int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

// Where a settings file cannot be used: "x is not a regular file" for a link, pipe, socket
// or device in its place, "File not found" for anything else (no access, a folder).
void SetProblem(std::string* problem, const std::string& text) {
    if (problem)
        *problem = text;
}

std::string NotRegular(const std::string& path) {
    return path + " is not a regular file";
}

// True when the name exists as a link or as something that is neither a regular file nor
// a folder.
bool IsSpecialName(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode);
}

int OpenNoFollow(const std::string& path, int flags) {
    int fd;
    do {
        fd = ::open(path.c_str(), flags | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY,
                    kConfigFileMode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

// Opens a settings file for reading and writing, creating it owner-only when it does not
// exist. Never through a link, never anything but a regular file, never blocking.
int OpenConfigForReading(const std::string& path, std::string* problem) {
    FileDescriptor file(OpenNoFollow(path, O_RDWR | O_CREAT));
    if (file.get() < 0) {
        SetProblem(problem,
                   errno == ELOOP || IsSpecialName(path) ? NotRegular(path) : "File not found");
        return -1;
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        SetProblem(problem, NotRegular(path));
        return -1;
    }
    const int status = ::fcntl(file.get(), F_GETFL);
    if (status < 0 || ::fcntl(file.get(), F_SETFL, status & ~O_NONBLOCK) != 0) {
        SetProblem(problem, "File not found");
        return -1;
    }
    const int fd = file.get();
    file.release();
    return fd;
}

// Checks the place of a settings file before it is replaced: a link, pipe, socket or device
// is refused (a link may have been planted to carry the password elsewhere, or made on
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
        SetProblem(problem, S_ISDIR(info.st_mode) ? "File not found" : NotRegular(path));
        return false;
    }
    FileDescriptor existing(OpenNoFollow(path, O_WRONLY));
    if (existing.get() < 0) {
        SetProblem(problem, errno == ELOOP ? NotRegular(path) : "File not found");
        return false;
    }
    return true;
}

[[noreturn]] void WriteError(const std::string& path, int error) {
    throw EInOutError("Cannot write file " + path + ": " + std::strerror(error));
}

} // namespace

std::string GetConfigField(const ConfigField& field) {
    const char* end = static_cast<const char*>(std::memchr(field, 0, kConfigFieldSize));
    return std::string(field, end ? end : field + kConfigFieldSize);
}

bool ConfigFieldFits(std::string_view text) {
    return text.size() <= kConfigFieldMaxText;
}

bool SetConfigField(ConfigField& field, std::string_view text) {
    std::size_t length = text.size();
    const bool fits = length <= kConfigFieldMaxText;
    if (!fits) {
        length = kConfigFieldMaxText;
        // Step back over UTF-8 continuation bytes so that no character is cut in half.
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xC0) == 0x80)
            --length;
    }
    std::memcpy(field, text.data(), length);
    field[length] = '\0';
    return fits;
}

std::string ConfigFilePath(const std::string& folder) {
    if (folder.empty())
        return kConfigFileName;
    if (folder.back() == '/')
        return folder + kConfigFileName;
    return folder + "/" + kConfigFileName;
}

bool ReadConfigFile(const std::string& folder, ConfigRecord& config, std::string* problem) {
    FileDescriptor file(OpenConfigForReading(ConfigFilePath(folder), problem));
    if (file.get() < 0)
        return false;

    char buffer[sizeof(ConfigRecord)];
    std::size_t total = 0;
    while (total < sizeof buffer) {
        ssize_t n = ::read(file.get(), buffer + total, sizeof buffer - total);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            SetProblem(problem, "File not found");
            return false;
        }
        if (n == 0)
            break;
        total += static_cast<std::size_t>(n);
    }
    // A shorter file replaces only the bytes it has; the rest of the record stays as it was.
    std::memcpy(&config, buffer, total);
    return true;
}

bool WriteConfigFile(const std::string& folder, const ConfigRecord& config, std::string* problem) {
    const std::string path = ConfigFilePath(folder);
    const char* data = reinterpret_cast<const char*>(&config);
    return ReplaceFileSafely(path, std::string_view(data, sizeof(ConfigRecord)), problem);
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
    FileDescriptor file(::mkostemp(temporary.data(), O_CLOEXEC));
    if (file.get() < 0) {
        SetProblem(problem, "File not found");
        return false;
    }
    auto fail = [&](int error) {
        ::unlink(temporary.c_str());
        WriteError(path, error);
    };
    std::size_t written = 0;
    while (written < content.size()) {
        ssize_t n = ::write(file.get(), content.data() + written, content.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            fail(n < 0 ? errno : EIO);
        written += static_cast<std::size_t>(n);
    }
    if (::fchmod(file.get(), kConfigFileMode) != 0 || ::fsync(file.get()) != 0 || !file.close())
        fail(errno);
    if (::rename(temporary.c_str(), path.c_str()) != 0)
        fail(errno);
    // The rename itself reaches the disk with the folder.
    FileDescriptor directory(
        ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory.get() >= 0)
        ::fsync(directory.get());
    return true;
}

} // namespace kestrel
