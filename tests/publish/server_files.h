// What a publish left on a test server's disk, for comparing with what was expected.
#pragma once

#include "publish/manifest.h"
#include "support/fixtures.h"

#include <filesystem>
#include <map>
#include <string>

namespace kestrel::test {

// Every file under root by relative path ("folder/" for folders), the manifest and the
// history of the publishes (when it is inside the root) left out.
inline std::map<std::string, std::string> ServerFiles(const std::filesystem::path& root) {
    std::map<std::string, std::string> files;
    for (auto it = std::filesystem::recursive_directory_iterator(root);
         it != std::filesystem::end(it); ++it) {
        const auto& entry = *it;
        std::string relative = std::filesystem::relative(entry.path(), root).string();
        if (relative == kHistoryName) {
            it.disable_recursion_pending();
            continue;
        }
        if (entry.is_directory())
            files[relative + "/"] = "";
        else if (relative != kManifestName)
            files[relative] = ReadFileBytes(entry.path());
    }
    return files;
}

} // namespace kestrel::test
