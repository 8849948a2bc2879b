#include "publish/sitelock.h"

#include "publish/manifest.h"
#include "publish/publisher.h"
#include "publish/remotetree.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <pwd.h>
#include <sstream>
#include <unistd.h>

namespace kestrel {
namespace {

constexpr char kLockHeader[] = "# KestrelFTP lock 1";
constexpr char kOwnerFile[] = "owner";

std::string ThisHost() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return "unknown";
    return name;
}

std::string OwnerPath(const std::string& root) {
    return JoinRemote(JoinRemote(root, kLockName), kOwnerFile);
}

void PutOwner(const TLockLink& link, const std::string& root, const TLockOwner& me) {
    TMemoryStream text;
    text.WriteString(FormatLockOwner(me));
    link.transfer([&](TVaneFTP& ftp) { ftp.Upload(text, OwnerPath(root)); });
}

// The owner file of a lock that exists; nothing when it cannot be read.
std::optional<TLockOwner> ReadOwner(const TLockLink& link, const std::string& root) {
    TMemoryStream text;
    try {
        link.transfer([&](TVaneFTP& ftp) {
            text.Clear();
            ftp.Download(OwnerPath(root), text);
        });
    } catch (const FTPException&) {
        return std::nullopt;
    }
    return ParseLockOwner(text.ToString());
}

} // namespace

TLockOwner ThisLockOwner() {
    TLockOwner owner;
    owner.Host = ThisHost();
    owner.Pid = std::int64_t(::getpid());
    const char* user = std::getenv("USER");
    const passwd* entry = ::getpwuid(::getuid());
    owner.User = user && *user ? user : entry ? entry->pw_name : "unknown";
    owner.Since = std::int64_t(std::time(nullptr));
    return owner;
}

// One word of the owner line: blanks and line ends would cut it into several.
static std::string Word(std::string text) {
    for (char& c : text)
        if (std::isspace(static_cast<unsigned char>(c)))
            c = '_';
    return text.empty() ? "unknown" : text;
}

std::string FormatLockOwner(const TLockOwner& owner) {
    return std::string(kLockHeader) + "\nhost " + Word(owner.Host) + " pid " +
           std::to_string(owner.Pid) + " user " + Word(owner.User) + " since " +
           std::to_string(owner.Since) + "\n";
}

std::optional<TLockOwner> ParseLockOwner(const std::string& text) {
    std::istringstream in(text);
    std::string header;
    if (!std::getline(in, header) || header.rfind(kLockHeader, 0) != 0)
        return std::nullopt;
    TLockOwner owner;
    std::string hostWord, pidWord, userWord, sinceWord;
    if (!(in >> hostWord >> owner.Host >> pidWord >> owner.Pid >> userWord >> owner.User >>
          sinceWord >> owner.Since) ||
        hostWord != "host" || pidWord != "pid" || userWord != "user" || sinceWord != "since")
        return std::nullopt;
    return owner;
}

std::string DescribeLockOwner(const TLockOwner& owner, std::int64_t now) {
    return owner.User + " on " + owner.Host + " (process " + std::to_string(owner.Pid) + "), " +
           std::to_string(std::max<std::int64_t>(0, now - owner.Since)) + " s ago";
}

bool IsStaleLock(const TLockOwner& owner, std::int64_t now) {
    if (now - owner.Since > kStaleLockAge.count())
        return true;
    // A run of this host whose process is gone left it (killed before it could remove it).
    return owner.Host == ThisHost() && owner.Pid > 0 && ::kill(pid_t(owner.Pid), 0) != 0 &&
           errno == ESRCH;
}

TLockOutcome TakeSiteLock(const TLockLink& link, const std::string& root, const TLockOwner& me) {
    TLockOutcome outcome;
    try {
        link.ftp().MakeDirectory(JoinRemote(root, kLockName));
        PutOwner(link, root, me);
        outcome.Taken = true;
        return outcome;
    } catch (const FTPException& refused) {
        std::optional<TLockOwner> owner = ReadOwner(link, root);
        if (owner && !IsStaleLock(*owner, me.Since)) {
            outcome.Refusal =
                "another publish to this folder is running: " + DescribeLockOwner(*owner, me.Since);
            return outcome;
        }
        if (!owner) {
            // No owner: a lock a run left between MKD and its owner file, or no lock at all
            // because the server refused the folder (then writing the owner fails too).
            try {
                PutOwner(link, root, me);
            } catch (const FTPException&) {
                outcome.Note = "No lock could be made on the server (" + ReasonText(refused) +
                               "); a publish to the same folder at the same time would not be "
                               "noticed";
                return outcome;
            }
            outcome.Taken = true;
            outcome.Note = "A lock without an owner was found on the server and taken over";
            return outcome;
        }
        PutOwner(link, root, me);
        outcome.Taken = true;
        outcome.Note = "A stale lock of " + DescribeLockOwner(*owner, me.Since) +
                       " was found on the server and taken over";
        return outcome;
    }
}

void ReleaseSiteLock(const TLockLink& link, const std::string& root) {
    TVaneFTP& ftp = link.ftp();
    const std::string owner = OwnerPath(root), folder = JoinRemote(root, kLockName);
    if (!ftp.Pipelining) {
        ftp.Delete(owner);
        ftp.RemoveDir(folder);
        return;
    }
    // In one packet: an RMD after a refused DELE finds the folder not empty and changes
    // nothing.
    for (const FtpReply& reply : ftp.Pipeline({"DELE " + owner, "RMD " + folder}))
        if (!IsCompletion(reply.code))
            throw FTPException(reply.Text());
}

} // namespace kestrel
