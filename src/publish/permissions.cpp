#include "publish/permissions.h"

#include "net/ftp/vaneftp.h"

#include <cstdio>

namespace kestrel {
namespace {

constexpr int kMostMode = 07777;

// "" -> -1; "644" -> 0644; nothing for anything but 1 to 4 octal digits.
std::optional<int> ParseMode(const std::string& text) {
    if (text.empty())
        return -1;
    if (text.size() > 4)
        return std::nullopt;
    int mode = 0;
    for (char c : text) {
        if (c < '0' || c > '7')
            return std::nullopt;
        mode = mode * 8 + (c - '0');
    }
    return mode <= kMostMode ? std::optional<int>(mode) : std::nullopt;
}

std::string Octal(int mode) {
    char text[16];
    std::snprintf(text, sizeof text, "%03o", unsigned(mode) & 07777u);
    return text;
}

} // namespace

std::optional<TPermissions> ParsePermissions(const std::string& text) {
    std::size_t colon = text.find(':');
    if (colon == std::string::npos || text.find(':', colon + 1) != std::string::npos)
        return std::nullopt;
    std::optional<int> files = ParseMode(text.substr(0, colon));
    std::optional<int> folders = ParseMode(text.substr(colon + 1));
    if (!files || !folders || (*files < 0 && *folders < 0))
        return std::nullopt;
    return TPermissions{*files, *folders};
}

void TPermissionSetter::Reset(TPermissions permissions) {
    permissions_ = permissions;
    refused_ = false;
    std::lock_guard lock(mutex_);
    note_.clear();
}

void TPermissionSetter::Apply(TVaneFTP& ftp, const std::string& remotePath, bool folder) {
    const int mode = folder ? permissions_.Folders : permissions_.Files;
    if (mode < 0 || refused_)
        return;
    try {
        ftp.DoCommand("SITE CHMOD " + Octal(mode) + " " + remotePath);
    } catch (const std::exception& error) {
        std::string reason = error.what();
        while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r'))
            reason.pop_back();
        std::lock_guard lock(mutex_);
        if (!refused_.exchange(true))
            note_ = "Permissions were not set: the server refused SITE CHMOD (" + reason + ")";
    }
}

std::string TPermissionSetter::Note() const {
    std::lock_guard lock(mutex_);
    return note_;
}

} // namespace kestrel
