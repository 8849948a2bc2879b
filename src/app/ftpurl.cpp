// Reading an FTP URL: scheme, user, host (name, IPv4 or bracketed IPv6), port, path.
#include "app/ftpurl.h"

#include <arpa/inet.h>
#include <cctype>
#include <netinet/in.h>

namespace kestrel {
namespace {

constexpr const char* kSchemes = "ftp://, ftpes:// (explicit TLS) or ftps:// (implicit TLS)";

std::string Lower(std::string text) {
    for (char& c : text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = char(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Decodes %XX escapes. A control character, decoded or not, is refused: it would end the
// FTP command the text goes into and start another one (a CR LF in a folder name).
std::string Decode(const std::string& text, const char* what) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%') {
            int high = i + 2 < text.size() ? HexValue(text[i + 1]) : -1;
            int low = i + 2 < text.size() ? HexValue(text[i + 2]) : -1;
            if (high < 0 || low < 0)
                throw EUrlError(std::string("the ") + what + " has a '%' that is not followed " +
                                "by two hexadecimal digits");
            c = char(high * 16 + low);
            i += 2;
        }
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F)
            throw EUrlError(std::string("the ") + what + " holds a control character");
        out += c;
    }
    return out;
}

bool IsHostNameChar(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '.' || c == '_';
}

// "[2001:db8::1]" or "[fe80::1%25eth0]" (RFC 6874): the address, with its zone after '%'.
std::string ReadIpv6(const std::string& inside) {
    std::string address = inside;
    std::string zone;
    if (std::size_t percent = inside.find('%'); percent != std::string::npos) {
        address = inside.substr(0, percent);
        if (inside.compare(percent, 3, "%25") != 0 || percent + 3 == inside.size())
            throw EUrlError("the zone of the IPv6 address [" + inside + "] must be written " +
                            "as %25 and its name, e.g. [fe80::1%25eth0]");
        zone = inside.substr(percent + 3);
        for (char c : zone)
            if (!IsHostNameChar(c) && c != '~')
                throw EUrlError("the zone of the IPv6 address [" + inside + "] is not valid");
    }
    in6_addr probe{};
    if (inet_pton(AF_INET6, address.c_str(), &probe) != 1)
        throw EUrlError("[" + inside + "] is not an IPv6 address");
    return zone.empty() ? address : address + "%" + zone;
}

std::string ReadHost(const std::string& host) {
    if (host.empty())
        throw EUrlError("the address names no host");
    if (host.front() == '[') {
        if (host.back() != ']')
            throw EUrlError("the IPv6 address " + host + " lacks its closing ']'");
        return ReadIpv6(host.substr(1, host.size() - 2));
    }
    if (host.size() > 253)
        throw EUrlError("the host name is longer than 253 characters");
    for (char c : host)
        if (!IsHostNameChar(c)) {
            if (c == ':')
                throw EUrlError("an IPv6 address must be written in brackets, e.g. "
                                "ftp://[2001:db8::1]/");
            throw EUrlError("'" + host + "' is not a valid host name");
        }
    return host;
}

int ReadPort(const std::string& digits) {
    if (digits.empty())
        return 0; // "host:" names no port: the default
    long port = 0;
    for (char c : digits) {
        if (!std::isdigit(static_cast<unsigned char>(c)))
            throw EUrlError("'" + digits + "' is not a port number");
        port = port * 10 + (c - '0');
        if (port > 65535)
            break;
    }
    if (port < 1 || port > 65535)
        throw EUrlError("port " + digits + ": a port is a number from 1 to 65535");
    return int(port);
}

} // namespace

int DefaultPort(TUrlSecurity security) {
    return security == TUrlSecurity::ImplicitTls ? 990 : 21;
}

bool LooksLikeUrl(const std::string& text) {
    std::size_t colon = text.find("://");
    if (colon == std::string::npos || colon == 0)
        return false;
    for (std::size_t i = 0; i < colon; ++i)
        if (!std::isalpha(static_cast<unsigned char>(text[i])))
            return false;
    return true;
}

TFtpUrl ParseFtpUrl(const std::string& text) {
    TFtpUrl url;
    std::size_t colon = text.find("://");
    if (!LooksLikeUrl(text))
        throw EUrlError("'" + text + "' is not an address: it must begin with " + kSchemes);
    const std::string scheme = Lower(text.substr(0, colon));
    if (scheme == "ftp")
        url.Security = TUrlSecurity::Plain;
    else if (scheme == "ftpes")
        url.Security = TUrlSecurity::ExplicitTls;
    else if (scheme == "ftps")
        url.Security = TUrlSecurity::ImplicitTls;
    else
        throw EUrlError("unknown scheme " + scheme + "://: use " + kSchemes);
    std::string rest = text.substr(colon + 3);
    if (rest.find_first_of("?#") != std::string::npos)
        throw EUrlError("an FTP address has no query ('?') or fragment ('#')");
    std::size_t slash = rest.find('/');
    std::string authority = rest.substr(0, slash);
    std::string path = slash == std::string::npos ? "" : rest.substr(slash + 1);

    // The user ends at the last '@' (a '@' in a user name is written %40).
    if (std::size_t at = authority.rfind('@'); at != std::string::npos) {
        std::string user = authority.substr(0, at);
        authority = authority.substr(at + 1);
        if (user.find(':') != std::string::npos)
            throw EUrlError("a password in the address is refused: it would stay in the "
                            "shell's history and be shown in the process list; set "
                            "KESTRELFTP_PASSWORD or let the program ask for it");
        url.UserID = Decode(user, "user name");
        if (url.UserID.empty())
            throw EUrlError("the user name before '@' is empty");
        if (url.UserID.find(' ') != std::string::npos)
            throw EUrlError("the user name holds a blank");
    }
    // The port follows the last ':' outside the brackets of an IPv6 address.
    std::string host = authority;
    std::size_t close = authority.rfind(']');
    std::size_t portColon = authority.rfind(':');
    const bool bracketed = !authority.empty() && authority.front() == '[';
    if (bracketed && close == std::string::npos)
        throw EUrlError("the IPv6 address " + authority + " lacks its closing ']'");
    if (portColon != std::string::npos && (close == std::string::npos || portColon > close) &&
        (bracketed || authority.find(':') == portColon)) {
        host = authority.substr(0, portColon);
        url.Port = ReadPort(authority.substr(portColon + 1));
    } else if (close != std::string::npos && close + 1 != authority.size()) {
        throw EUrlError("unexpected text after the IPv6 address in " + authority);
    }
    url.Host = ReadHost(host);
    url.Path = Decode(path, "path");
    return url;
}

} // namespace kestrel
