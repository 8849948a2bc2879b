// The settings record reader over arbitrary file contents: the record takes exactly the
// bytes the file has (at most 501) and keeps the rest, every field reads back without
// running into the next one, and a record written and read again is unchanged.
// Input: the bytes of Config.txt.
#include "app/config.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>

using namespace kestrel;

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// One scratch folder for the whole run, removed when the process ends normally. Kept
// in plain arrays: they outlive the exit handler that removes the folder.
char folderName[] = "/tmp/kestrel-fuzz-config-XXXXXX";
char fileName[sizeof folderName + 16];

void RemoveFolder() {
    ::unlink(fileName);
    ::rmdir(folderName);
}

std::string Folder() {
    static const bool made = [] {
        Check(::mkdtemp(folderName) != nullptr);
        std::snprintf(fileName, sizeof fileName, "%s/%s", folderName, kConfigFileName);
        std::atexit(RemoveFolder);
        return true;
    }();
    (void)made;
    return folderName;
}

void WriteFile(const std::string& path, const std::uint8_t* data, std::size_t size) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    Check(fd >= 0);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::write(fd, data + done, size - done);
        Check(n > 0);
        done += std::size_t(n);
    }
    Check(::close(fd) == 0);
}

void CheckField(const ConfigField& field) {
    const std::string text = GetConfigField(field);
    Check(text.size() <= kConfigFieldSize);
    Check(text.find('\0') == std::string::npos);
    Check(std::memcmp(text.data(), field, text.size()) == 0);
    Check(text.size() == kConfigFieldSize || field[text.size()] == '\0');
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string folder = Folder();
    WriteFile(ConfigFilePath(folder), data, size);

    ConfigRecord record;
    std::memset(&record, 0xA5, sizeof record);
    Check(ReadConfigFile(folder, record));
    const std::size_t taken = size < sizeof record ? size : sizeof record;
    const auto* bytes = reinterpret_cast<const unsigned char*>(&record);
    Check(std::memcmp(bytes, data, taken) == 0);
    for (std::size_t i = taken; i < sizeof record; ++i) {
        Check(bytes[i] == 0xA5);
    }

    CheckField(record.Password);
    CheckField(record.UserID);
    CheckField(record.Host);
    CheckField(record.Port);
    CheckField(record.Mask);

    // A field set from the file's text reads back as that text, or, when it did not fit,
    // as a prefix that ends before a character, not inside one.
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string clean = text.substr(0, text.find('\0'));
    ConfigField field;
    std::memset(field, 'x', sizeof field);
    const bool fits = SetConfigField(field, clean);
    Check(fits == ConfigFieldFits(clean));
    const std::string back = GetConfigField(field);
    if (fits) {
        Check(back == clean);
    } else {
        Check(back.size() <= kConfigFieldMaxText);
        Check(clean.compare(0, back.size(), back) == 0);
        // Only a text that has no whole character among its first bytes is cut to nothing.
        Check(back.empty() || (static_cast<unsigned char>(clean[back.size()]) & 0xC0) != 0x80);
    }

    // Writing the record and reading it back gives the same 501 bytes.
    Check(WriteConfigFile(folder, record));
    ConfigRecord again;
    std::memset(&again, 0, sizeof again);
    Check(ReadConfigFile(folder, again));
    Check(std::memcmp(&again, &record, sizeof record) == 0);
    return 0;
}
