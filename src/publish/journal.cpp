#include "publish/journal.h"

#include "base/exception.h"
#include "base/files.h"
#include "publish/sha256.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>

namespace kestrel {
namespace {

constexpr char kHeader[] = "# KestrelFTP journal 1";
// A journal larger than this is not one of ours: a site of a million files stays far below.
constexpr std::size_t kLongestJournal = 256u << 20;

bool IsHex64(const std::string& text) {
    if (text.size() != 64)
        return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    return true;
}

// A plain path below the root: no empty, "." or ".." part, no leading "/".
bool IsPlainPath(const std::string& path) {
    if (path.empty())
        return false;
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string::npos)
            end = path.size();
        const std::string part = path.substr(start, end - start);
        if (part.empty() || part == "." || part == "..")
            return false;
        start = end + 1;
    }
    return true;
}

// "staged <hash> <size> <path>" -> its parts; false for anything else.
bool ParseEntry(const std::string& line, std::string& kind, std::string& path,
                TManifestEntry& entry) {
    std::size_t a = line.find(' ');
    if (a == std::string::npos)
        return false;
    kind = line.substr(0, a);
    std::size_t b = line.find(' ', a + 1);
    if (b == std::string::npos)
        return false;
    entry.Hash = line.substr(a + 1, b - a - 1);
    std::size_t c = line.find(' ', b + 1);
    if (c == std::string::npos)
        return false;
    const std::string size = line.substr(b + 1, c - b - 1);
    path = line.substr(c + 1);
    if (!IsHex64(entry.Hash) || size.empty() || size.size() > 18 ||
        size.find_first_not_of("0123456789") != std::string::npos || !IsPlainPath(path))
        return false;
    entry.Size = std::stoll(size);
    return true;
}

void AppendEntries(std::string& text, const char* kind,
                   const std::map<std::string, TManifestEntry>& entries) {
    for (const auto& [path, entry] : entries)
        text += std::string(kind) + " " + entry.Hash + " " + std::to_string(entry.Size) + " " +
                path + "\n";
}

} // namespace

std::string DefaultJournalFolder() {
    const char* state = std::getenv("XDG_STATE_HOME");
    if (state && state[0] == '/')
        return std::string(state) + "/kestrelftp";
    const char* home = std::getenv("HOME");
    if (home && home[0] == '/')
        return std::string(home) + "/.local/state/kestrelftp";
    return "";
}

std::string JournalSiteName(const std::string& host, int port, const std::string& user,
                            const std::string& remoteRoot) {
    const bool v6 = host.find(':') != std::string::npos;
    return "ftp://" + user + "@" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port) +
           remoteRoot;
}

std::string JournalPath(const std::string& folder, const std::string& site) {
    // "ftp://u@ftp.example.com:21/www" -> "ftp.example.com-21-3f0a9c2e41d7b5a8.journal"
    std::string readable;
    const std::size_t at = site.find('@');
    const std::size_t slash = site.find('/', at == std::string::npos ? 6 : at);
    for (char c : site.substr(at + 1, slash - at - 1)) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '.' || c == '-';
        readable += plain ? c : '-';
    }
    return folder + "/" + readable + "-" + BytesSha256(site).substr(0, 16) + ".journal";
}

std::string FormatJournal(const TJournalState& state) {
    std::string text = std::string(kHeader) + "\nsite " + state.Site + "\n";
    AppendEntries(text, "placed", state.Placed);
    AppendEntries(text, "staged", state.Staged);
    AppendEntries(text, "sending", state.Sending);
    return text;
}

std::optional<TJournalState> ParseJournal(const std::string& text) {
    std::istringstream lines(text);
    std::string line;
    if (!std::getline(lines, line) || line != kHeader)
        return std::nullopt;
    // The last line ends in a line feed: one cut short does not.
    if (text.empty() || text.back() != '\n')
        return std::nullopt;
    TJournalState state;
    bool site = false;
    while (std::getline(lines, line)) {
        if (!site) {
            if (line.compare(0, 5, "site ") != 0)
                return std::nullopt;
            state.Site = line.substr(5);
            site = true;
            continue;
        }
        std::string kind, path;
        TManifestEntry entry;
        if (!ParseEntry(line, kind, path, entry))
            return std::nullopt;
        if (kind == "staged")
            state.Staged[path] = entry;
        else if (kind == "placed")
            state.Placed[path] = entry;
        else if (kind == "sending")
            state.Sending[path] = entry;
        else
            return std::nullopt;
    }
    if (!site)
        return std::nullopt;
    return state;
}

TJournal::TJournal(std::string path, std::string site)
    : path_(std::move(path)), site_(std::move(site)) {
    state_.Site = site_;
}

TJournal::~TJournal() {
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
        if (dirty_)
            WriteLocked(true);
    }
    wake_.notify_all();
    if (writer_.joinable())
        writer_.join();
}

void TJournal::WriteLater() {
    std::unique_lock lock(mutex_);
    while (!closing_) {
        if (!dirty_) {
            wake_.wait(lock);
            continue;
        }
        if (wake_.wait_until(lock, written_ + kJournalPause, [this] { return closing_; }))
            return;
        if (dirty_)
            WriteLocked(true);
    }
}

TJournalState TJournal::Load(std::vector<std::string>& notes) {
    TJournalState empty;
    empty.Site = site_;
    if (!Enabled())
        return empty;
    std::string text;
    switch (ReadRegularFile(path_, text, kLongestJournal)) {
    case TReadResult::Missing:
        return empty;
    case TReadResult::Refused:
        notes.push_back("The journal " + path_ + " is not a regular file; it was ignored");
        return empty;
    case TReadResult::Read:
        break;
    }
    std::optional<TJournalState> state = ParseJournal(text);
    if (!state) {
        notes.push_back("The journal " + path_ +
                        " is damaged or cut short; it was ignored and nothing in it trusted");
        return empty;
    }
    if (state->Site != site_) {
        notes.push_back("The journal " + path_ + " belongs to " + state->Site + "; it was ignored");
        return empty;
    }
    return *state;
}

void TJournal::Begin(TJournalState kept) {
    std::lock_guard lock(mutex_);
    state_ = std::move(kept);
    state_.Site = site_;
    WriteLocked(true);
    if (Enabled() && !writer_.joinable())
        writer_ = std::thread([this] { WriteLater(); });
}

void TJournal::Sending(const std::string& path, const TManifestEntry& entry) {
    std::lock_guard lock(mutex_);
    state_.Staged.erase(path);
    state_.Placed.erase(path);
    state_.Sending[path] = entry;
    WriteLocked(true); // a large file: its part is what a crash would otherwise lose
}

void TJournal::Staged(const std::string& path, const TManifestEntry& entry) {
    std::lock_guard lock(mutex_);
    state_.Sending.erase(path);
    state_.Placed.erase(path);
    state_.Staged[path] = entry;
    WriteLocked(false);
}

void TJournal::Placed(const std::string& path) {
    std::lock_guard lock(mutex_);
    auto staged = state_.Staged.find(path);
    if (staged == state_.Staged.end())
        return;
    state_.Placed[path] = staged->second;
    state_.Staged.erase(staged);
    WriteLocked(false);
}

void TJournal::Forget(const std::string& path) {
    std::lock_guard lock(mutex_);
    if (state_.Staged.erase(path) + state_.Sending.erase(path) > 0)
        WriteLocked(false);
}

std::optional<TManifestEntry> TJournal::FindStaged(const std::string& path) const {
    std::lock_guard lock(mutex_);
    auto it = state_.Staged.find(path);
    return it == state_.Staged.end() ? std::nullopt : std::optional(it->second);
}

std::optional<TManifestEntry> TJournal::FindSending(const std::string& path) const {
    std::lock_guard lock(mutex_);
    auto it = state_.Sending.find(path);
    return it == state_.Sending.end() ? std::nullopt : std::optional(it->second);
}

void TJournal::Flush() {
    std::lock_guard lock(mutex_);
    if (dirty_)
        WriteLocked(true);
}

void TJournal::Finish() {
    std::lock_guard lock(mutex_);
    state_ = TJournalState{site_, {}, {}, {}};
    dirty_ = false;
    if (Enabled() && ::unlink(path_.c_str()) != 0 && errno != ENOENT && problem_.empty())
        problem_ = "The journal " + path_ + " could not be removed: " + std::strerror(errno);
}

std::string TJournal::Problem() const {
    std::lock_guard lock(mutex_);
    return problem_;
}

TJournalState TJournal::State() const {
    std::lock_guard lock(mutex_);
    return state_;
}

void TJournal::WriteLocked(bool now) {
    if (!Enabled() || !problem_.empty())
        return; // a journal that could not be written is not tried again and again
    dirty_ = true;
    const auto time = std::chrono::steady_clock::now();
    if (!now && time - written_ < kJournalPause) {
        wake_.notify_one(); // the writer takes it within the pause
        return;
    }
    std::string problem;
    try {
        const std::string folder = path_.substr(0, path_.rfind('/'));
        // The state folder and its parents, owner-only where this makes them.
        for (std::size_t slash = 1; slash != std::string::npos;) {
            slash = folder.find('/', slash + 1);
            ::mkdir(folder.substr(0, slash).c_str(), 0700);
        }
        if (!ReplaceFileSafely(path_, FormatJournal(state_), &problem))
            throw Exception(path_ + ": " + problem);
        dirty_ = false;
        written_ = time;
    } catch (const std::exception& error) {
        dirty_ = false;
        problem_ = std::string("The journal could not be written (") + error.what() +
                   "); a cut run is not resumed";
    }
}

} // namespace kestrel
