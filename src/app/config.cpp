#include "app/config.h"

#include "base/exception.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
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
    // Closes now and reports whether the close succeeded (a delayed write error shows here).
    bool close() {
        int fd = fd_;
        fd_ = -1;
        return ::close(fd) == 0;
    }

private:
    int fd_;
};

int OpenConfig(const std::string& path, int extraFlags) {
    int fd;
    do {
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | extraFlags, kConfigFileMode);
    } while (fd < 0 && errno == EINTR);
    return fd;
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

bool ReadConfigFile(const std::string& folder, ConfigRecord& config) {
    FileDescriptor file(OpenConfig(ConfigFilePath(folder), 0));
    if (file.get() < 0)
        return false;

    char buffer[sizeof(ConfigRecord)];
    std::size_t total = 0;
    while (total < sizeof buffer) {
        ssize_t n = ::read(file.get(), buffer + total, sizeof buffer - total);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        total += static_cast<std::size_t>(n);
    }
    // A shorter file replaces only the bytes it has; the rest of the record stays as it was.
    std::memcpy(&config, buffer, total);
    return true;
}

bool WriteConfigFile(const std::string& folder, const ConfigRecord& config) {
    const std::string path = ConfigFilePath(folder);
    FileDescriptor file(OpenConfig(path, O_TRUNC));
    if (file.get() < 0)
        return false;

    const char* data = reinterpret_cast<const char*>(&config);
    std::size_t written = 0;
    while (written < sizeof(ConfigRecord)) {
        ssize_t n = ::write(file.get(), data + written, sizeof(ConfigRecord) - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw EInOutError("Cannot write file " + path + ": " +
                              std::strerror(n < 0 ? errno : EIO));
        written += static_cast<std::size_t>(n);
    }
    if (!file.close())
        throw EInOutError("Cannot write file " + path + ": " + std::strerror(errno));
    return true;
}

} // namespace kestrel
