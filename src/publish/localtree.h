// The local site folder as a publish sees it: every file to publish with its size, time
// and content hash, every folder, and a note for each thing left out for a reason the
// user should know (a link out of the folder, a special file, an unreadable file).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace kestrel {

struct TWalkOptions {
    // File masks separated by ";" ("*.htm;*.css"), matched against the file's name
    // ignoring case; empty means every file. Folders are always walked.
    std::string Mask;
    // Hidden names (starting with ".") and editor back-ups ("~", ".swp", ".bak" at the
    // end) are left out unless this is set.
    bool IncludeHidden = false;
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

struct TLocalTree {
    std::map<std::string, TLocalFile> Files; // by path relative to the root, "/"-separated
    std::set<std::string> Folders;           // relative paths, the root itself not included
    std::vector<std::string> Notes;          // what was skipped and why
};

// The program's own settings files, which hold the password: never published, wherever
// they stand in the site folder (the current folder is often the site folder).
bool IsSettingsFile(const std::string& name);

// True when a file of this name is not published (and so never deleted on the server
// either): hidden names and back-ups unless IncludeHidden, names outside the mask, the
// manifest's name, the settings files, and names a control connection cannot carry.
bool IsFileLeftOut(const std::string& name, const TWalkOptions& options);
// The same for a folder (the mask does not apply).
bool IsFolderLeftOut(const std::string& name, const TWalkOptions& options);

// Walks the tree under root. Symbolic links are followed only when they point inside the
// root; special files (devices, pipes, sockets) are skipped with a note. Raises
// EInOutError when the root itself is not a readable folder.
TLocalTree WalkLocalTree(const std::string& root, const TWalkOptions& options);

} // namespace kestrel
