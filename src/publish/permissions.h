// Permissions set on the server after each upload and folder creation, with
// "SITE CHMOD 644 /www/index.htm" (a common extension; RFC 959 leaves SITE to the server).
// A server that refuses it is told once in the run's notes, and asked no more.
#pragma once

#include <atomic>
#include <mutex>
#include <optional>
#include <string>

namespace kestrel {

class TVaneFTP;

struct TPermissions {
    int Files = -1;   // octal mode for files, e.g. 0644; -1: left as the server makes them
    int Folders = -1; // the same for folders, e.g. 0755
    bool Any() const { return Files >= 0 || Folders >= 0; }
};

// "644:755", "644:" (files only) or ":755" (folders only): octal, up to 7777 each. Returns
// nothing for any other text.
std::optional<TPermissions> ParsePermissions(const std::string& text);

// Sends the permissions of one run; shared by its connections (any thread).
class TPermissionSetter {
public:
    void Reset(TPermissions permissions);

    // SITE CHMOD for a remote path just uploaded or created; never raises. The first
    // refusal (or failure) ends the sending for the run and is kept for Note().
    void Apply(TVaneFTP& ftp, const std::string& remotePath, bool folder);

    // The note for the run's summary, once, when the server refused; else empty.
    std::string Note() const;

private:
    TPermissions permissions_;
    std::atomic<bool> refused_{false};
    mutable std::mutex mutex_;
    std::string note_;
};

} // namespace kestrel
