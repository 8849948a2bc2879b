// The local site folder as a publish sees it: every file to publish with its size, time
// and content hash, every folder, what the site's rules leave out and why, what cannot be
// read, and a note for each thing skipped for a reason the user should know (a link out of
// the folder, a special file).
#pragma once

#include "publish/siterules.h"
#include <atomic>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace kestrel {

struct TWalkOptions {
    // Exclusions of the run after the defaults and the site's ".kestrelignore", one
    // ".gitignore" line each ("drafts/", "!.env"); see siterules.h.
    std::vector<std::string> Exclusions;
    // The names of the program's settings files, never published (see siterules.h). The
    // window and the command line pass their own; this default keeps a caller that names
    // none from sending the password.
    std::vector<std::string> SettingsFiles = {"Config.txt", "KestrelFTP.ini"};
    // When set, the walk ends early once the flag turns true (a publish stopped while it
    // prepares); the tree it returns is then incomplete.
    const std::atomic<bool>* Stop = nullptr;
};

struct TLocalFile {
    std::string FullPath; // where to read it
    std::int64_t Size = 0;
    std::int64_t ModifyTime = 0; // seconds since 1970, UTC
    std::string Hash;            // SHA-256, lower-case hex
};

// A file or folder of the site that could not be read: not published, and a failure.
struct TUnreadable {
    std::string Path;
    std::string Reason;
};

struct TLocalTree {
    std::map<std::string, TLocalFile> Files; // by path relative to the root, "/"-separated
    std::set<std::string> Folders;           // relative paths, the root itself not included
    std::vector<TLeftOut> LeftOut;           // by the site's rules, in path order
    std::vector<TUnreadable> Unreadable;     // folders not listed, files not read
    std::vector<std::string> Notes;          // what was skipped and why
    TSiteRules Rules;                        // what the walk left out by (the plan keeps it)
};

// What tells that a local file was written to: its size and its time to the nanosecond
// (all -1 when it cannot be looked at).
struct TFileState {
    std::int64_t size = -1;
    std::int64_t seconds = -1;
    std::int64_t nanoseconds = -1;
    bool operator==(const TFileState&) const = default;
};
TFileState FileStateOf(const std::string& path);

// Walks the tree under root by the rules of siterules.h (the root's ".kestrelignore" and
// the options' exclusions). Symbolic links are followed only when they point inside the
// root; special files (devices, pipes, sockets) are skipped with a note. Raises
// EInOutError when the root itself is not a readable folder, or its ignore file cannot be
// read.
TLocalTree WalkLocalTree(const std::string& root, const TWalkOptions& options);

} // namespace kestrel
