// The journal of a publish run on this computer: what the run staged on the server (sent
// whole under its temporary name), what it put in place, and which large file it was
// sending, so that the next run to the same site and remote root finishes the job instead
// of sending everything again.
//
// One text file per site and remote root in the state folder
// ($XDG_STATE_HOME/kestrelftp, else ~/.local/state/kestrelftp):
//   # KestrelFTP journal 1
//   site ftp://webuser@127.0.0.1:2121/www
//   staged 9f86d0...0a08 4 index.htm
//   placed 2c26b4...e7ae 1234 images/a b.gif
//   sending 5e8848...1d42 4194304 video/talk.mp4
// The hash is the SHA-256 of the bytes sent, the size theirs; the path, relative to both
// roots, runs to the end of the line. A staged file lies under TemporaryPath(path).
//
// The journal never claims what the server has not confirmed: "staged" is written after the
// server's 226 for the temporary name, "placed" after its answer to RNTO. "sending" claims
// nothing: it names a transfer begun, whose part on the server a later run may continue.
// The file is replaced safely (ReplaceFileSafely): a change waits at most kJournalPause for
// it (one write then takes all the files that went by meanwhile), the start of a large file
// and the run's end are written at once. A journal cut off by a crash then lacks at most the
// last moment's files, which the next run sends again. A run that finishes with its manifest
// written removes it.
#pragma once

#include "publish/manifest.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace kestrel {

// What one journal holds.
struct TJournalState {
    std::string Site;                              // the site and remote root it belongs to
    std::map<std::string, TManifestEntry> Staged;  // under the temporary name, whole
    std::map<std::string, TManifestEntry> Placed;  // under the real name
    std::map<std::string, TManifestEntry> Sending; // a transfer begun, perhaps in part
    bool Empty() const { return Staged.empty() && Placed.empty() && Sending.empty(); }
    bool operator==(const TJournalState&) const = default;
};

// "$XDG_STATE_HOME/kestrelftp" when that variable holds an absolute path, else
// "$HOME/.local/state/kestrelftp"; "" when neither is known.
std::string DefaultJournalFolder();

// The site as the journal names it: "ftp://user@host:port/root".
std::string JournalSiteName(const std::string& host, int port, const std::string& user,
                            const std::string& remoteRoot);

// The journal's file in folder for a site: readable host and port, and a short hash of the
// whole site name, so that two roots on one server get two journals.
std::string JournalPath(const std::string& folder, const std::string& site);

std::string FormatJournal(const TJournalState& state);
// Nothing when the text is not a journal (no header) or any line of it does not parse: a
// journal cut short or damaged is never trusted in part.
std::optional<TJournalState> ParseJournal(const std::string& text);

// Files sent whole with the journal, or in part, from this size on: below it a file is
// sent again from its start, which costs less than the journal's writes.
inline constexpr std::int64_t kContinuedSize = 1 << 20;

// The longest a change waits for the journal's next write while files go by quickly.
inline constexpr std::chrono::milliseconds kJournalPause{100};

// The journal of one run, shared by its connections. A journal that cannot be written is
// noted once (Problem) and the run goes on without it; what it had written before still
// claims nothing the next run does not check again.
class TJournal {
public:
    // path "" keeps nothing and writes nothing.
    TJournal(std::string path, std::string site);
    // Writes what is not written yet.
    ~TJournal();
    TJournal(const TJournal&) = delete;
    TJournal& operator=(const TJournal&) = delete;

    bool Enabled() const { return !path_.empty(); }
    const std::string& Path() const { return path_; }

    // Reads the journal left by an earlier run. A missing one is empty; one that is not a
    // journal of this site, or is damaged, is empty too, with a note in notes.
    TJournalState Load(std::vector<std::string>& notes);

    // Starts from what the earlier run left and the new run still counts on.
    void Begin(TJournalState kept);
    void Sending(const std::string& path, const TManifestEntry& entry);
    void Staged(const std::string& path, const TManifestEntry& entry);
    void Placed(const std::string& path);
    // Writes what is not written yet.
    void Flush();
    // A staged file or a part that is gone from the server (removed, sent again).
    void Forget(const std::string& path);
    // The entry of a file staged whole, or of a transfer begun; nothing when there is none.
    std::optional<TManifestEntry> FindStaged(const std::string& path) const;
    std::optional<TManifestEntry> FindSending(const std::string& path) const;
    // The run is complete and its manifest says all: the journal is removed.
    void Finish();
    // What a failure to write taught, once; "" when writing went well.
    std::string Problem() const;

    TJournalState State() const;

private:
    void WriteLocked(bool now);
    // The writer of changes that wait: on its own thread from Begin to the destructor.
    void WriteLater();

    std::string path_;
    std::string site_;
    mutable std::mutex mutex_;
    TJournalState state_;
    std::string problem_;
    bool dirty_ = false;
    std::chrono::steady_clock::time_point written_{};
    bool closing_ = false;
    std::condition_variable wake_;
    std::thread writer_;
};

} // namespace kestrel
