// Addresses of an FTP server as one URL, as curl, lftp and rclone take them:
//   ftp://jsmith@ftp.example.com:2121/htdocs
//   ftpes://jsmith@[2001:db8::21]/%2Fvar/www     explicit TLS (AUTH TLS on the FTP port)
//   ftps://jsmith@ftp.example.com                 implicit TLS (TLS from the first byte, 990)
// The path is the folder relative to the log-in folder (RFC 1738); "%2F" at its start
// makes it absolute. Percent escapes are decoded in the user, the path and an IPv6 zone.
// A password is never taken from a URL: it would stay in the shell's history and be
// visible to every user in the process list.
#pragma once

#include "base/exception.h"

#include <string>

namespace kestrel {

class EUrlError : public Exception {
public:
    using Exception::Exception;
};

// How a URL's scheme asks the connection to be protected.
enum class TUrlSecurity { Plain, ExplicitTls, ImplicitTls };

struct TFtpUrl {
    TUrlSecurity Security = TUrlSecurity::Plain;
    std::string UserID; // empty when the URL names none
    // Host name, dotted IPv4 address or IPv6 address (without brackets, a zone after '%').
    std::string Host;
    int Port = 0;     // 0 when the URL names none: DefaultPort(Security) applies
    std::string Path; // decoded; empty for the log-in folder
};

// 21, or 990 for implicit TLS.
int DefaultPort(TUrlSecurity security);

// Whether text is meant as a URL (it has a scheme): "ftp://..." but not "/htdocs".
bool LooksLikeUrl(const std::string& text);

// Reads a URL; raises EUrlError with a message that says what is wrong in it.
TFtpUrl ParseFtpUrl(const std::string& text);

} // namespace kestrel
