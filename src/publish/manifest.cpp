#include "publish/manifest.h"

#include "net/ftp/ftplist.h"

#include <charconv>

namespace kestrel {
namespace {

constexpr char kHeader[] = "# KestrelFTP manifest 1";
constexpr std::size_t kHashLength = 64;

bool IsLowerHex(const std::string& text) {
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

// A path below the root whose every name is one a listing could give ("a/b.htm"): never
// "", "/a", "a//b", "../a" or "a/./b".
bool IsPlainPath(const std::string& path) {
    std::size_t start = 0;
    for (;;) {
        std::size_t slash = path.find('/', start);
        if (!RemoteNameProblem(path.substr(start, slash - start)).empty())
            return false;
        if (slash == std::string::npos)
            return true;
        start = slash + 1;
    }
}

// "hash size path" -> entry and path; false when the line does not have that shape.
bool ParseLine(const std::string& line, std::string& path, TManifestEntry& entry) {
    if (line.size() < kHashLength + 4 || line[kHashLength] != ' ')
        return false;
    entry.Hash = line.substr(0, kHashLength);
    if (!IsLowerHex(entry.Hash))
        return false;
    std::size_t sizeEnd = line.find(' ', kHashLength + 1);
    if (sizeEnd == std::string::npos || sizeEnd == kHashLength + 1)
        return false;
    const char* first = line.data() + kHashLength + 1;
    const char* last = line.data() + sizeEnd;
    auto [end, error] = std::from_chars(first, last, entry.Size);
    if (error != std::errc() || end != last || entry.Size < 0)
        return false;
    path = line.substr(sizeEnd + 1);
    return IsPlainPath(path);
}

} // namespace

std::string FormatManifest(const TManifest& manifest) {
    std::string text = std::string(kHeader) + "\n";
    for (const auto& [path, entry] : manifest)
        text += entry.Hash + " " + std::to_string(entry.Size) + " " + path + "\n";
    return text;
}

std::optional<TManifest> ParseManifest(const std::string& text, int* badLines) {
    if (badLines)
        *badLines = 0;
    std::size_t start = 0;
    bool header = true;
    TManifest manifest;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (header) {
            if (line != kHeader)
                return std::nullopt;
            header = false;
            continue;
        }
        if (line.empty())
            continue;
        std::string path;
        TManifestEntry entry;
        if (ParseLine(line, path, entry))
            manifest[path] = entry;
        else if (badLines)
            ++*badLines;
    }
    if (header)
        return std::nullopt; // empty text
    return manifest;
}

} // namespace kestrel
