// The lock a publish run holds in the remote root while it changes the server, so that two
// runs to the same folder are detected instead of interleaved: a folder made with MKD (which
// a server makes for one client only) holding a file that names the owner and when the run
// began.
//
//   .kestrelftp-lock/owner:
//     # KestrelFTP lock 1
//     host pc.example pid 4242 user anna since 1765260000
//
// A lock is stale when it is older than kStaleLockAge, or when its owner ran on this host
// and is gone; a stale lock, or one without an owner file (a run that ended between MKD and
// its owner file), is taken over with a note.
#pragma once

#include "net/ftp/vaneftp.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace kestrel {

inline constexpr std::chrono::seconds kStaleLockAge{3600};

struct TLockOwner {
    std::string Host;
    std::int64_t Pid = 0;
    std::string User;
    std::int64_t Since = 0; // seconds since 1970, UTC
};

// This process, now.
TLockOwner ThisLockOwner();
std::string FormatLockOwner(const TLockOwner& owner);
std::optional<TLockOwner> ParseLockOwner(const std::string& text);
// "anna on pc.example (process 4242), 95 s ago"
std::string DescribeLockOwner(const TLockOwner& owner, std::int64_t now);
bool IsStaleLock(const TLockOwner& owner, std::int64_t now);

struct TLockOutcome {
    bool Taken = false;
    std::string Note;    // a stale lock taken over, or why no lock could be made
    std::string Refusal; // set when another run holds the lock: who and since when
};

// How the lock reaches the server: the connection as it stands now (a transfer may have
// replaced it), and a data transfer on it, sent again the way a run sends its files.
struct TLockLink {
    std::function<TVaneFTP&()> ftp;
    std::function<void(const std::function<void(TVaneFTP&)>&)> transfer;
};

// Takes the lock in the remote root (absolute) for me.
TLockOutcome TakeSiteLock(const TLockLink& link, const std::string& root, const TLockOwner& me);
// Removes the lock taken by TakeSiteLock.
void ReleaseSiteLock(const TLockLink& link, const std::string& root);

} // namespace kestrel
