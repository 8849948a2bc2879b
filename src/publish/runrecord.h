// What a publish run has done so far, shared by its connections under one mutex: the
// summary, and which files are on the server now, removed, or no longer known to be there.
#pragma once

#include "publish/manifest.h"
#include "publish/permissions.h"
#include "publish/publisher.h"

#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>

namespace kestrel {

struct TRunRecord {
    TPublishSummary summary;
    // Now on the server under its real name, with the hash and size of the bytes sent.
    std::map<std::string, TManifestEntry> uploaded;
    // Sent under its temporary name and not yet put in place, with the hash (empty when the
    // file changed while it was sent) and size of the bytes sent.
    std::map<std::string, TManifestEntry> staged;
    // When the first and the last staged file were put in place.
    std::optional<std::chrono::steady_clock::time_point> firstPlaced, lastPlaced;
    std::set<std::string> removed; // deleted from the server
    std::set<std::string> lost;    // the real name's old content is gone or partial
    std::set<std::string> noted;   // notes given once per run, by key
    TPermissionSetter permissions; // its own lock
    bool lockHeld = false;         // this run holds the lock on the server
    // Connections the server refused as one too many at once, and its line.
    int refusedAsTooMany = 0;
    std::string tooManyReply;

    mutable std::mutex mutex; // guards everything above

    // Runs change under the lock.
    template <typename Change> void Record(Change change) {
        std::lock_guard lock(mutex);
        change();
    }
    void Fail(const std::string& path, const std::string& reason) {
        Record([&] { summary.Failures.push_back({path, reason}); });
    }
    void Note(const std::string& text) {
        Record([&] { summary.Notes.push_back(text); });
    }
    // A note given at most once per run, however many files it concerns.
    void NoteOnce(const std::string& key, const std::string& text) {
        Record([&] {
            if (noted.insert(key).second)
                summary.Notes.push_back(text);
        });
    }
};

} // namespace kestrel
