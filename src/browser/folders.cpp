#include "browser/folders.h"

#include "base/exception.h"
#include "browser/paths.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrel::folders {

namespace {

unsigned char FoldCase(unsigned char c) {
    return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c;
}

} // namespace

void RaiseInOutError(int code) {
    throw EInOutError(InOutErrorText(code));
}

std::string CurrentDir() {
    std::string buffer(256, '\0');
    while (::getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE)
            RaiseInOutError(errno);
        buffer.resize(buffer.size() * 2);
    }
    buffer.resize(std::char_traits<char>::length(buffer.c_str()));
    return buffer;
}

bool IsFolder(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Ascending order ignoring case; names equal but for case keep a fixed order.
bool NameLess(const std::string& a, const std::string& b) {
    const size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        const unsigned char ca = FoldCase(static_cast<unsigned char>(a[i]));
        const unsigned char cb = FoldCase(static_cast<unsigned char>(b[i]));
        if (ca != cb)
            return ca < cb;
    }
    if (a.size() != b.size())
        return a.size() < b.size();
    return a < b;
}

std::vector<std::string> SplitMask(const std::string& mask) {
    std::vector<std::string> patterns;
    size_t start = 0;
    while (true) {
        const size_t end = mask.find(';', start);
        patterns.push_back(mask.substr(start, end == std::string::npos ? end : end - start));
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return patterns;
}

bool HasExecutableExtension(const std::string& name) {
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos)
        return false;
    std::string ext = name.substr(dot);
    for (char& c : ext)
        c = static_cast<char>(FoldCase(static_cast<unsigned char>(c)));
    return ext == ".exe" || ext == ".com" || ext == ".bat" || ext == ".pif";
}

// Fills in the attributes of item. The kind of entry usually comes with the folder read
// itself; the entry is examined further only when that is not enough or when the caller
// needs the permission bits, which keeps large folders fast.
void LookUp(int dir_fd, FolderItem& item, bool need_mode) {
    if (item.looked_up)
        return;
    item.looked_up = true;
    item.hidden = !item.name.empty() && item.name[0] == '.';
    if (!need_mode && (item.type == DT_REG || item.type == DT_DIR)) {
        item.directory = item.type == DT_DIR;
        item.archive = item.type == DT_REG;
        return;
    }
    struct stat st {};
    if (::fstatat(dir_fd, item.name.c_str(), &st, 0) != 0) {
        item.system = true;
        return;
    }
    item.mode_known = true;
    item.directory = S_ISDIR(st.st_mode);
    item.archive = S_ISREG(st.st_mode);
    item.system = !item.directory && !item.archive;
    item.read_only = (st.st_mode & 0222) == 0;
    item.executable = item.archive && (st.st_mode & 0111) != 0;
}

// Whether name matches pattern: "*" any run of characters, "?" one character, and
// brackets as the system's pattern matching has them; letters match ignoring case.
bool MatchesPattern(const std::string& pattern, const std::string& name) {
    auto plain = [](const std::string& text) {
        return std::all_of(text.begin(), text.end(),
                           [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    };
    if (pattern.find('[') != std::string::npos || !plain(pattern) || !plain(name))
        return ::fnmatch(pattern.c_str(), name.c_str(), FNM_NOESCAPE | FNM_CASEFOLD) == 0;
    // ASCII only: a direct match with one step back to the last "*" on a mismatch.
    size_t p = 0, n = 0, star = std::string::npos, resume = 0;
    while (n < name.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = n;
        } else if (p < pattern.size() &&
                   (pattern[p] == '?' || FoldCase(static_cast<unsigned char>(pattern[p])) ==
                                             FoldCase(static_cast<unsigned char>(name[n])))) {
            ++p;
            ++n;
        } else if (star != std::string::npos) {
            p = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

// The path that an opened folder list entry names: "[name]" stands for name, a trailing
// part with "*" or "?" or that names a file is set aside, and what is left must be an
// existing folder.
std::string ResolveFolder(const std::string& path) {
    std::string text = path;
    if (text.size() >= 2 && text.front() == '[' && text.back() == ']')
        text = text.substr(1, text.size() - 2);
    if (text.empty())
        RaiseInOutError(ENOENT);
    if (text.front() != '/')
        text = JoinPath(CurrentDir(), text);
    const size_t slash = text.rfind('/');
    const std::string last = text.substr(slash + 1);
    struct stat st {};
    const bool wildcard = last.find_first_of("*?") != std::string::npos;
    const bool names_file = !last.empty() && ::stat(text.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
    if (wildcard || names_file)
        text = slash == 0 ? "/" : text.substr(0, slash);
    if (::stat(text.c_str(), &st) != 0)
        RaiseInOutError(errno);
    if (!S_ISDIR(st.st_mode))
        RaiseInOutError(ENOTDIR);
    return text;
}

FolderReader::FolderReader(const std::string& path) {
    dir_ = ::opendir(path.c_str());
    if (dir_ == nullptr)
        RaiseInOutError(errno);
    errno = 0;
    while (const dirent* entry = ::readdir(dir_)) {
        FolderItem item;
        item.name = entry->d_name;
        item.type = entry->d_type;
        items.push_back(std::move(item));
    }
    if (errno != 0) {
        const int code = errno;
        ::closedir(dir_);
        RaiseInOutError(code);
    }
}

CurrentDirGuard::CurrentDirGuard() {
    char* dir = ::getcwd(nullptr, 0);
    if (dir != nullptr) {
        saved_ = dir;
        std::free(dir);
    }
}

CurrentDirGuard::~CurrentDirGuard() {
    if (!kept_ && !saved_.empty())
        (void)::chdir(saved_.c_str());
}

} // namespace kestrel::folders
