// The settings record of "Config.txt" and the constants the window shows by default.
//
// The record is stored byte for byte as the whole file: five zero-terminated text fields of
// 100 bytes each and one reserved byte, 501 bytes in all, without header or checksum. The
// password is kept as plain text, so the file is only ever a regular file of the user's,
// readable by its owner only, and never written through a link.
#pragma once

#include "base/files.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace kestrel {

// Publisher placeholders for the window's caption, banner and examples. They name no real
// company or provider on purpose.
inline constexpr char kPublisherName[] = "Example Software";
inline constexpr char kProductCaption[] = "Example Software KestrelFTP v 2.0";
inline constexpr char kBannerText[] = "www.example.org - your pages on the web";
inline constexpr char kExampleUserID[] = "jsmith";

// Defaults that "Load Defaults" puts back and that an empty host or port field receives
// when the window is first shown.
inline constexpr char kDefaultHost[] = "ftp.example.com";
inline constexpr char kDefaultPort[] = "21";
inline constexpr char kDefaultMask[] = "*.htm;*.html;*.jpg;*.gif;*.bmp";

// The file's bare name; it lives in the folder the program was started in.
inline constexpr char kConfigFileName[] = "Config.txt";

inline constexpr std::size_t kConfigFieldSize = 100;
// A field holds at most this many bytes of text followed by its zero byte.
inline constexpr std::size_t kConfigFieldMaxText = kConfigFieldSize - 1;

struct ConfigRecord {
    char Password[kConfigFieldSize];
    char UserID[kConfigFieldSize];
    char Host[kConfigFieldSize];
    char Port[kConfigFieldSize];
    char Mask[kConfigFieldSize];
    char Reserved; // written back exactly as it was read
};

static_assert(sizeof(ConfigRecord) == 501, "ConfigRecord must be exactly 501 bytes");
static_assert(offsetof(ConfigRecord, Password) == 0);
static_assert(offsetof(ConfigRecord, UserID) == 100);
static_assert(offsetof(ConfigRecord, Host) == 200);
static_assert(offsetof(ConfigRecord, Port) == 300);
static_assert(offsetof(ConfigRecord, Mask) == 400);
static_assert(offsetof(ConfigRecord, Reserved) == 500);

using ConfigField = char[kConfigFieldSize];

// The text of a field: up to its first zero byte, or the whole 100 bytes when it holds no
// zero (a damaged or foreign file), never reading into the next field.
std::string GetConfigField(const ConfigField& field);

// True when the text fits a field (at most 99 bytes).
bool ConfigFieldFits(std::string_view text);

// Copies the text and its terminating zero to the field's start. The bytes after the zero
// keep what the field held before (the tail of a longer old value, or zeros). A text longer
// than 99 bytes is cut at the last whole UTF-8 character that fits; returns false when it
// had to be cut.
bool SetConfigField(ConfigField& field, std::string_view text);

// The full name of the settings file in the given folder (the start-up folder).
std::string ConfigFilePath(const std::string& folder);

// Reads the settings file of the folder: opens it for reading and writing, creating it empty
// (owner-only) when it does not exist, and copies up to 501 bytes over the start of the
// record; a shorter file replaces only the bytes it has. Returns false, leaving the record
// untouched, when the file cannot be opened or created or cannot be read; problem then
// receives what the window shows: "File not found", or "<path> is not a regular file" for
// a link, pipe, socket or device in the file's place (never followed, never blocking).
bool ReadConfigFile(const std::string& folder, ConfigRecord& config,
                    std::string* problem = nullptr);

// Writes the whole record as the new content of the folder's settings file (see
// ReplaceFileSafely in base/files.h). Returns false, with the reason in problem, when nothing was
// written.
bool WriteConfigFile(const std::string& folder, const ConfigRecord& config,
                     std::string* problem = nullptr);

} // namespace kestrel
