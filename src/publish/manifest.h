// The manifest a publish keeps in the remote root: what each published file holds, so
// that the next publish finds changes exactly, whatever the server's clock or listing.
//
// Text, one line per file after a header line:
//   # KestrelFTP manifest 1
//   9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08 4 index.htm
//   ...                                                             1234 images/a b.gif
// The path is relative to the remote root, "/"-separated, and runs to the end of the line
// (so it may hold spaces); it never holds a line end.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace kestrel {

// The manifest's name in the remote root. A publish never uploads, lists as content, or
// deletes a file of this name.
inline constexpr char kManifestName[] = ".kestrelftp-manifest";

// The folder a run holds in the remote root while it changes the server (see sitelock.h).
// A publish never uploads, lists as content, or deletes anything of this name.
inline constexpr char kLockName[] = ".kestrelftp-lock";

// The folder of the publishes' history (see history.h), beside the remote root or inside it.
// A publish never uploads, lists as content, or deletes anything of this name in the root.
inline constexpr char kHistoryName[] = ".kestrelftp-history";

// A file being uploaded goes first to ".name" + this suffix in its folder and is renamed
// over its real name when complete; such names are the publisher's own, never content.
inline constexpr char kTemporarySuffix[] = ".kestrel-tmp";

struct TManifestEntry {
    std::string Hash; // SHA-256, lower-case hex
    std::int64_t Size = 0;
    bool operator==(const TManifestEntry&) const = default;
};

using TManifest = std::map<std::string, TManifestEntry>;

// The manifest's text, entries in path order.
std::string FormatManifest(const TManifest& manifest);

// Reads a manifest's text. Returns nothing when the text is not a manifest (no header);
// lines that do not parse, or whose path is not a plain one below the root ("../x", "/x",
// "a//b"), are skipped and counted in badLines.
std::optional<TManifest> ParseManifest(const std::string& text, int* badLines = nullptr);

} // namespace kestrel
