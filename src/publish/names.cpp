#include "publish/names.h"

#include "publish/manifest.h"
#include "publish/sha256.h"

namespace kestrel {

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

} // namespace kestrel
