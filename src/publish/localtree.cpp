#include "publish/localtree.h"

#include "base/exception.h"
#include "publish/manifest.h"
#include "publish/names.h"
#include "publish/sha256.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <limits.h>
#include <memory>
#include <sstream>
#include <stdlib.h>
#include <sys/stat.h>

namespace kestrel {

TFileState FileStateOf(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        return {};
    return {std::int64_t(info.st_size), std::int64_t(info.st_mtim.tv_sec),
            std::int64_t(info.st_mtim.tv_nsec)};
}
namespace {

// A name the control connection cannot carry (a line end would end the command).
bool IsUnsendable(const std::string& name) {
    return name.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

// The site's ignore file; none is no rule. One that is there but cannot be read stops the
// walk: publishing without the owner's rules could send what they keep private.
std::string ReadIgnoreFile(const std::string& root) {
    const std::string path = root + "/" + kIgnoreFileName;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 && errno == ENOENT)
        return "";
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    if (!in || !S_ISREG(info.st_mode) || !(text << in.rdbuf()))
        throw EInOutError("Cannot read " + path +
                          (S_ISREG(info.st_mode) ? "" : ": it is not a file"));
    return text.str();
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
        tree_.Rules.AddIgnoreFile(ReadIgnoreFile(root_));
        tree_.Rules.AddExclusions(options_.Exclusions);
        tree_.Rules.AddSettingsFiles(options_.SettingsFiles);
        visited_.insert(root_);
        Folder(root_, "");
        return std::move(tree_);
    }

private:
    void Note(const std::string& text) { tree_.Notes.push_back(text); }

    void Unreadable(const std::string& relative, const std::string& reason) {
        tree_.Unreadable.push_back({relative.empty() ? "." : relative, reason});
    }

    // Whether the site's rules leave the path out; recorded with the reason when they do.
    bool LeftOut(const std::string& relative, bool folder) {
        std::optional<TLeftOut> leftOut = tree_.Rules.LeftOut(relative, folder);
        if (leftOut)
            tree_.LeftOut.push_back(std::move(*leftOut));
        return leftOut.has_value();
    }

    void Folder(const std::string& full, const std::string& relative) {
        std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(full.c_str()), ::closedir);
        if (!dir) {
            Unreadable(relative, std::string("the folder cannot be read: ") + std::strerror(errno));
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
            if (LeftOut(relative, true))
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
        if (LeftOut(relative, false))
            return;
        TLocalFile file;
        file.FullPath = path;
        file.Size = info.st_size;
        file.ModifyTime = info.st_mtim.tv_sec;
        try {
            file.Hash = FileSha256(path);
        } catch (const Exception& error) {
            Unreadable(relative, std::string("the file cannot be read: ") + error.what());
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

TLocalTree WalkLocalTree(const std::string& root, const TWalkOptions& options) {
    return Walker(root, options).Run();
}

} // namespace kestrel
