// The publisher's rules for relative paths and for its own temporary names, written once.
#pragma once

#include <string>

namespace kestrel {

// "a/b.htm" -> "b.htm"; "b.htm" -> "b.htm".
std::string BaseName(const std::string& path);
// The letters after a name's last dot, in lower case ("a/Index.HTM" -> "htm"); "" for a name
// without one or one that only starts with a dot (".htaccess").
std::string LowerSuffix(const std::string& path);
// "a/b.htm" -> "a"; "b.htm" -> "".
std::string Parent(const std::string& path);

// The name an upload goes to before it is renamed over its real one, in the same folder:
// "a/b.htm" -> "a/.b.htm.kestrel-tmp"; for a name too long to take the dot and the suffix
// within the 255 bytes a server's file system allows, a short hash of it instead
// (".3f0a9c2e41d7b5a8.kestrel-tmp").
std::string TemporaryPath(const std::string& path);
// True for a name (or the last part of a path) of that form: the publisher's own, never
// content.
bool IsTemporaryName(const std::string& path);

// When a staged file is put in place among the others of its run, so that a page never
// points at an asset still to come: 0 for images, fonts and everything else a page or a
// style sheet may refer to, 1 for style sheets and scripts (which refer to those), 2 for
// the pages (by their suffix, in any case).
int PlacementOrder(const std::string& path);
constexpr int kPlacementOrders = 3;

} // namespace kestrel
