#include "app/config.h"

#include "base/exception.h"
#include "base/streams.h"

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

// Where a settings file cannot be used: "x is not a regular file" for a link, pipe, socket
// or device in its place, "File not found" for anything else (no access, a folder).
void SetProblem(std::string* problem, const std::string& text) {
    if (problem)
        *problem = text;
}

// Opens a settings file for reading and writing, creating it owner-only when it does not
// exist. Never through a link, never anything but a regular file, never blocking.
int OpenConfigForReading(const std::string& path, std::string* problem) {
    TFileDescriptor file(OpenNoFollow(path, O_RDWR | O_CREAT, kConfigFileMode));
    if (file.get() < 0) {
        SetProblem(problem, errno == ELOOP || IsSpecialName(path) ? NotRegularFileText(path)
                                                                  : "File not found");
        return -1;
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode)) {
        SetProblem(problem, NotRegularFileText(path));
        return -1;
    }
    const int status = ::fcntl(file.get(), F_GETFL);
    if (status < 0 || ::fcntl(file.get(), F_SETFL, status & ~O_NONBLOCK) != 0) {
        SetProblem(problem, "File not found");
        return -1;
    }
    return file.release();
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
    TFileDescriptor file(OpenConfigForReading(ConfigFilePath(folder), problem));
    if (file.get() < 0)
        return false;

    char buffer[sizeof(ConfigRecord)];
    const ssize_t total = ReadFull(file.get(), buffer, sizeof buffer);
    if (total < 0) {
        SetProblem(problem, "File not found");
        return false;
    }
    // A shorter file replaces only the bytes it has; the rest of the record stays as it was.
    std::memcpy(&config, buffer, std::size_t(total));
    return true;
}

bool WriteConfigFile(const std::string& folder, const ConfigRecord& config, std::string* problem) {
    const std::string path = ConfigFilePath(folder);
    const char* data = reinterpret_cast<const char*>(&config);
    return ReplaceFileSafely(path, std::string_view(data, sizeof(ConfigRecord)), problem);
}

} // namespace kestrel
