#include "publish/names.h"

#include "publish/manifest.h"
#include "publish/sha256.h"

#include <cctype>
#include <set>

namespace kestrel {

std::string LowerSuffix(const std::string& path) {
    std::string name = BaseName(path);
    std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0)
        return "";
    std::string suffix = name.substr(dot + 1);
    for (char& c : suffix)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return suffix;
}

std::string BaseName(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string Parent(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string TemporaryPath(const std::string& path) {
    constexpr std::size_t kLongestName = 255;
    std::string parent = Parent(path);
    std::string name = ".";
    name += BaseName(path).size() + sizeof(kTemporarySuffix) > kLongestName
                ? BytesSha256(BaseName(path)).substr(0, 16)
                : BaseName(path); // appended, not "." + ...: GCC 12 warns falsely at -O2
    name += kTemporarySuffix;
    return parent.empty() ? name : parent + "/" + name;
}

bool IsTemporaryName(const std::string& path) {
    std::string name = BaseName(path);
    return name.size() > sizeof(kTemporarySuffix) - 1 && name[0] == '.' &&
           name.ends_with(kTemporarySuffix);
}

int PlacementOrder(const std::string& path) {
    static const std::set<std::string> pages = {"html", "htm", "xhtml", "shtml", "php", "asp"};
    static const std::set<std::string> referring = {"css", "js", "mjs"};
    const std::string suffix = LowerSuffix(path);
    if (pages.count(suffix))
        return 2;
    return referring.count(suffix) ? 1 : 0;
}

} // namespace kestrel
