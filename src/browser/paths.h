// Path helpers of the browser: plain string work on POSIX paths, no widgets. The root
// is "/" and the separator "/".
#pragma once

#include <string>

namespace kestrel {

// folder + "/" + name; the separator is not doubled when folder already ends in "/".
std::string JoinPath(const std::string& folder, const std::string& name);
// The number of "/" characters in path.
int PathDepth(const std::string& path);

} // namespace kestrel
