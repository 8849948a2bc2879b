// The server's answers to the passive-mode commands, read into the port (and, for
// PASV, the address) on which it waits for this client's data connection.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace kestrel {

// Where a PASV reply says the server listens: the dotted IPv4 address it names and the
// port. The address is only reported, never connected to (see TVaneFTP::DataMode).
struct TPassiveAddress {
    std::string Host; // e.g. "192.168.1.20"
    int Port = 0;     // 1 to 65535
};

// The port of an EPSV reply (RFC 2428), e.g. 6446 from
//   229 Entering Extended Passive Mode (|||6446|)
// The delimiter is whatever printable character follows "(" ("|" in practice), and the
// closing parenthesis may be missing. std::nullopt when no such group is found or the
// port is 0 or past 65535.
std::optional<int> ParseEpsvReply(const std::string& line);

// Address and port of a PASV reply (RFC 959), e.g. 192.168.1.20 and 1031 from
//   227 Entering Passive Mode (192,168,1,20,4,7)
// The six numbers are the first run of six comma-separated numbers after the reply code,
// wherever it stands in the text ("227 =192,168,1,20,4,7" and text without parentheses
// work too); blanks after a comma are allowed. std::nullopt when there is none, a number
// is past 255, or the port is 0.
std::optional<TPassiveAddress> ParsePasvReply(const std::string& line);

// The server's line with what happened to an active-mode data connection and the advice
// to use passive mode put before its line end, e.g. for what = "the server could not
// connect back":
//   425 Can't open data connection (the server could not connect back; try passive mode
//   in the settings)\r\n
std::string WithPassiveAdvice(const std::string& line, const std::string& what);

} // namespace kestrel
