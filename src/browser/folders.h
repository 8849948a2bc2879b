// Folder access for the file browser: the current directory, reading a folder with the
// kinds of its entries, name patterns and the order of names.
#pragma once

#include <dirent.h>
#include <string>
#include <vector>

namespace kestrel::folders {

// Raises EInOutError with the framework's text for a system error code.
[[noreturn]] void RaiseInOutError(int code);
// The process's current directory; raises EInOutError when it cannot be read.
std::string CurrentDir();
// Whether path names an existing folder (or a link to one).
bool IsFolder(const std::string& path);

// Remembers the current directory and goes back to it when the scope ends, unless the
// new directory was kept. A failed step thereby leaves the directory as it was.
class CurrentDirGuard {
public:
    CurrentDirGuard();
    ~CurrentDirGuard();
    CurrentDirGuard(const CurrentDirGuard&) = delete;
    CurrentDirGuard& operator=(const CurrentDirGuard&) = delete;
    void Keep() { kept_ = true; }

private:
    std::string saved_;
    bool kept_ = false;
};

// A name read from a folder, with its attributes looked up when first needed.
struct FolderItem {
    std::string name;
    unsigned char type = DT_UNKNOWN;
    bool looked_up = false;
    bool mode_known = false; // permission bits read (read_only and executable valid)
    bool directory = false;
    bool hidden = false;
    bool system = false; // devices, pipes, sockets and links that lead nowhere
    bool read_only = false;
    bool archive = false; // plain files
    bool executable = false;
};

// Fills in the attributes of item (see the .cpp for when the entry is examined further).
void LookUp(int dir_fd, FolderItem& item, bool need_mode);

// The names in a folder, "." and ".." included. Raises EInOutError when it cannot be read.
class FolderReader {
public:
    explicit FolderReader(const std::string& path);
    ~FolderReader() { ::closedir(dir_); }
    FolderReader(const FolderReader&) = delete;
    FolderReader& operator=(const FolderReader&) = delete;
    int Fd() const { return ::dirfd(dir_); }

    std::vector<FolderItem> items;

private:
    DIR* dir_ = nullptr;
};

// Ascending order ignoring case; names equal but for case keep a fixed order.
bool NameLess(const std::string& a, const std::string& b);
// The patterns of a mask: the texts between ";" exactly as written (no trimming).
std::vector<std::string> SplitMask(const std::string& mask);
// Whether name ends in ".exe", ".com", ".bat" or ".pif", ignoring case.
bool HasExecutableExtension(const std::string& name);
// Whether name matches pattern ("*", "?" and brackets), ignoring case.
bool MatchesPattern(const std::string& pattern, const std::string& name);
// The folder that a path given to the folder list stands for (see the .cpp); raises
// EInOutError when there is none.
std::string ResolveFolder(const std::string& path);

} // namespace kestrel::folders
