// The socket layer's errors and what is shown of a server certificate: the types that
// both the socket component (csock.h) and its TLS channel (tls.h) speak, kept below both.
#pragma once

#include "base/exception.h"

#include <functional>
#include <string>

namespace kestrel {

class ESockError : public Exception {
public:
    using Exception::Exception;
};

class EAbortError : public ESockError {
public:
    using ESockError::ESockError;
};

// A server certificate that failed verification, as it is shown to the user.
struct TCertificateInfo {
    std::string Host;      // the name the certificate was checked against
    std::string Subject;   // one line, e.g. "CN=ftp.example.com, O=Example"
    std::string Issuer;    // one line, as Subject
    std::string NotBefore; // validity, e.g. "2026-01-01 00:00:00 UTC"
    std::string NotAfter;
    std::string Fingerprint; // SHA-256 of the certificate, upper-case hex pairs joined by ':'
    std::string Reason;      // why verification failed, in words
};
// Raised when a certificate fails verification; setting Accept trusts it for this
// connection. Without a handler such a certificate is refused.
using TCertificateEvent = std::function<void(const TCertificateInfo& Info, bool& Accept)>;

} // namespace kestrel
