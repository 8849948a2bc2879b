#include "publish/localtree.h"

#include "base/exception.h"
#include "publish/manifest.h"
#include "publish/names.h"
#include "publish/sha256.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fnmatch.h>
#include <limits.h>
#include <memory>
#include <stdlib.h>
#include <sys/stat.h>

namespace kestrel {
namespace {

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool IsHiddenOrBackup(const std::string& name) {
    return name.empty() || name[0] == '.' || EndsWith(name, "~") || EndsWith(name, ".swp") ||
           EndsWith(name, ".bak");
}

// A name the control connection cannot carry (a line end would end the command).
bool IsUnsendable(const std::string& name) {
    return name.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

bool MatchesMask(const std::string& name, const std::string& mask) {
    if (mask.empty())
        return true;
    std::size_t start = 0;
    bool any = false;
    while (start <= mask.size()) {
        std::size_t end = mask.find(';', start);
        if (end == std::string::npos)
            end = mask.size();
        std::string pattern = mask.substr(start, end - start);
        start = end + 1;
        while (!pattern.empty() && pattern.front() == ' ')
            pattern.erase(0, 1);
        while (!pattern.empty() && pattern.back() == ' ')
            pattern.pop_back();
        if (pattern.empty())
            continue;
        any = true;
        if (fnmatch(pattern.c_str(), name.c_str(), FNM_CASEFOLD) == 0)
            return true;
    }
    return !any; // a mask of only separators limits nothing
}

std::string Canonical(const std::string& path) {
    char buffer[PATH_MAX];
    return realpath(path.c_str(), buffer) ? std::string(buffer) : std::string();
}

bool Inside(const std::string& path, const std::string& root) {
    return path == root || (path.size() > root.size() && path.compare(0, root.size(), root) == 0 &&
                            (root == "/" || path[root.size()] == '/'));
}

class Walker {
public:
    Walker(const std::string& root, const TWalkOptions& options)
        : options_(options), given_(root), root_(Canonical(root)) {}

    TLocalTree Run() {
        struct stat info {};
        if (root_.empty() || ::stat(root_.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
            throw EInOutError("Cannot read folder " + given_);
        visited_.insert(root_);
        Folder(root_, "");
        return std::move(tree_);
    }

private:
    void Note(const std::string& text) { tree_.Notes.push_back(text); }

    void Folder(const std::string& full, const std::string& relative) {
        std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(full.c_str()), ::closedir);
        if (!dir) {
            Note("Skipped folder " + Shown(relative) + ": " + std::strerror(errno));
            return;
        }
        std::set<std::string> names; // sorted, so that a walk is repeatable
        while (dirent* entry = ::readdir(dir.get())) {
            std::string name = entry->d_name;
            if (name != "." && name != "..")
                names.insert(name);
        }
        for (const std::string& name : names) {
            if (options_.Stop && *options_.Stop)
                return; // the walk is abandoned: what it found is incomplete
            Entry(full + "/" + name, relative.empty() ? name : relative + "/" + name, name);
        }
    }

    static std::string Shown(const std::string& relative) {
        return relative.empty() ? "." : relative;
    }

    void Entry(const std::string& full, const std::string& relative, const std::string& name) {
        if (IsUnsendable(name)) {
            Note("Skipped " + relative + ": the name holds a line end");
            return;
        }
        struct stat info {};
        if (::lstat(full.c_str(), &info) != 0) {
            Note("Skipped " + relative + ": " + std::strerror(errno)); // vanished meanwhile
            return;
        }
        std::string path = full;
        if (S_ISLNK(info.st_mode)) {
            path = Canonical(full);
            if (path.empty() || ::stat(path.c_str(), &info) != 0) {
                Note("Skipped link " + relative + ": it points nowhere");
                return;
            }
            if (!Inside(path, root_)) {
                Note("Skipped link " + relative + ": it points outside the site folder");
                return;
            }
        }
        if (S_ISDIR(info.st_mode)) {
            if (IsFolderLeftOut(name, options_))
                return;
            if (!visited_.insert(Canonical(path)).second) {
                Note("Skipped link " + relative + ": it leads into a loop");
                return;
            }
            tree_.Folders.insert(relative);
            Folder(path, relative);
            return;
        }
        if (!S_ISREG(info.st_mode)) {
            Note("Skipped special file " + relative);
            return;
        }
        if (IsSettingsFile(name)) {
            Note("Left out " + relative +
                 ": a settings file of this program, it holds the password");
            return;
        }
        if (IsFileLeftOut(name, options_))
            return;
        TLocalFile file;
        file.FullPath = path;
        file.Size = info.st_size;
        file.ModifyTime = info.st_mtim.tv_sec;
        try {
            file.Hash = FileSha256(path);
        } catch (const Exception& error) {
            Note("Skipped " + relative + ": " + error.what());
            return;
        }
        tree_.Files[relative] = std::move(file);
    }

    TWalkOptions options_;
    std::string given_;
    std::string root_;
    std::set<std::string> visited_;
    TLocalTree tree_;
};

} // namespace

bool IsFolderLeftOut(const std::string& name, const TWalkOptions& options) {
    if (IsUnsendable(name) || name == kLockName)
        return true;
    return !options.IncludeHidden && IsHiddenOrBackup(name);
}

bool IsSettingsFile(const std::string& name) {
    return name == "Config.txt" || name == "KestrelFTP.ini";
}

bool IsFileLeftOut(const std::string& name, const TWalkOptions& options) {
    if (IsUnsendable(name) || name == kManifestName || name == kLockName || IsTemporaryName(name) ||
        IsSettingsFile(name))
        return true;
    if (!options.IncludeHidden && IsHiddenOrBackup(name))
        return true;
    return !MatchesMask(name, options.Mask);
}

TLocalTree WalkLocalTree(const std::string& root, const TWalkOptions& options) {
    return Walker(root, options).Run();
}

} // namespace kestrel
