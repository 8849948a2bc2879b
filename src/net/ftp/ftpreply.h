// Values that the FTP client reads out of a server's reply lines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrel {

// --- The reply grammar (RFC 959, 4.2) -------------------------------------------------
// A reply line starts with a three-digit code followed by a space (the last line of
// its reply) or a hyphen (the first line of a multi-line reply). A multi-line reply
// ends only at a line with the same code and a space, whatever lines come between:
//   150-Opening data connection
//    for index.htm (2048 bytes)
//   150 go

// The code of a reply line: 0 when the line does not start with three digits and a
// space or a hyphen ("45 x", "2000 x" and "HTTP/1.1 400" have none).
int ReplyCodeOf(const std::string& line);
// True for the codes with which a server ends the service or the transfer on its own
// (421 closing, 426 transfer aborted); they may arrive while no reply is awaited.
bool EndsService(int code);

// A whole reply is at most this long; a server that sends more (a reply whose
// continuation lines never end) is no FTP server to go on with.
constexpr std::size_t kMaxReplyLength = 1024 * 1024;
// Of a longer multi-line reply, the lines after the first are kept up to about this many
// bytes; later ones replace the last line kept, so the final line is always there.
constexpr std::size_t kMaxKeptReplyText = 64 * 1024;

// One reply: its lines as received (with their line ends) and the first line's code. The
// first and the final line are always kept, and the lines between them as far as
// kMaxKeptReplyText allows.
struct FtpReply {
    int code = 0;
    std::vector<std::string> lines;
    std::size_t length = 0; // bytes of every line added, kept or not

    const std::string& First() const;
    const std::string& Final() const;
    // The text that reports the reply: its first line, and for a multi-line reply its
    // final line too (servers put the name first and the reason last, or the reverse).
    std::string Text() const;
    // Adds the next line read. False when the reply has grown past kMaxReplyLength.
    bool Add(std::string line);

private:
    std::size_t kept_ = 0; // bytes of the lines kept after the first
};

// True when the lines read so far of a reply are not yet the whole reply.
bool ReplyContinues(const FtpReply& reply);

// --- What a reply means ---------------------------------------------------------------
// 1xx is preliminary: a final reply follows. 2xx completes a command; 3xx asks for the
// next command of a sequence and passes only where that is expected.
inline bool IsPreliminary(int code) {
    return code >= 100 && code <= 199;
}
inline bool IsCompletion(int code) {
    return code >= 200 && code <= 299;
}
// The 3xx reply with which a command passes: 331 after USER, 350 after REST and RNFR;
// 0 for every other command.
int ExpectedIntermediate(const std::string& command);
// The error text of a line that should have been a reply and is none.
std::string InvalidReplyText(const std::string& line);

// The size a server announces in a reply line, for instance 2048 from
//   150 Opening BINARY mode data connection for index.htm (2048 bytes).
// It is the last run of digits at or before the first "BYTE" (in any case); so
// when no size comes before that word, the nearest digits may be the reply code's
// own (150 for "150 Opening data connection for a (bytes unknown)"). 0 when the
// line has no "BYTE", no digit before it, or a number too large for 64 bits.
std::int64_t ParseBytesTotal(const std::string& reply);
// The size a reply line announces, as ParseBytesTotal finds it but never the reply
// code itself: 0 for "150 Opening data connection for a (bytes unknown)".
std::int64_t AnnouncedSize(const std::string& line);

// The directory named by a PWD reply: the text between the first double quote and
// the quote that closes it, e.g. /web/site from
//   257 "/web/site" is the current directory
// A doubled quote inside is one quote of the name (257 "/a""b" names /a"b). A reply
// without a quote gives an empty text; one whose quote is never closed gives the
// rest of the line after it. The line end is never part of the result.
std::string ExtractQuotedDir(const std::string& reply);

} // namespace kestrel
