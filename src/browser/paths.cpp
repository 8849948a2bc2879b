#include "browser/paths.h"

#include <algorithm>

namespace kestrel {

std::string JoinPath(const std::string& folder, const std::string& name) {
    if (!folder.empty() && folder.back() == '/')
        return folder + name;
    return folder + "/" + name;
}

int PathDepth(const std::string& path) {
    return static_cast<int>(std::count(path.begin(), path.end(), '/'));
}

} // namespace kestrel
