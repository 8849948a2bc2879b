// The check over HTTP after a publish: each page the run changed is fetched from the site's
// address as a visitor would get it and compared with the local file. It finds what no FTP
// reply shows: a remote folder that is not the one the site is served from, a cache or a
// proxy that still serves the old page, a server that rewrites pages on the way out.
//
// Qt Network (QNetworkAccessManager) does the HTTP and HTTPS; it needs a Qt application
// object (QCoreApplication is enough: the command line makes one for the check).
#pragma once

#include "publish/publisher.h"

#include <string>
#include <vector>

namespace kestrel {

// The pages the check fetches: .htm, .html and .xhtml in any case, whose bytes a web server
// sends as they are. Server-side pages (.php, .shtml) are run, not sent, and pictures or
// style sheets are left to the proof of arrival.
bool IsCheckedPage(const std::string& path);

// "" when url is an http:// or https:// address with a host (where the site is seen),
// else why not.
std::string CheckUrlProblem(const std::string& url);

// The address of a page: the base with one "/" after it and each part of the relative path
// percent-encoded ("https://example.com/~me" + "a b/i.htm" ->
// "https://example.com/~me/a%20b/i.htm").
std::string PageUrl(const std::string& base, const std::string& relative);

struct THttpCheck {
    int Checked = 0;                       // pages fetched
    std::vector<TPublishFailure> Failures; // each page that differs, with the reason
};

// Fetches every checked page of paths (relative to localRoot) from base, a few at once,
// without any cache, and compares the bytes with the local file. Waits at most timeoutMs
// for each page.
THttpCheck CheckOverHttp(const std::string& base, const std::string& localRoot,
                         const std::vector<std::string>& paths, int timeoutMs = 20000);

// "Checked over HTTP: 3 pages, all as published" or "... 1 differs".
std::string HttpCheckText(const THttpCheck& check);

} // namespace kestrel
