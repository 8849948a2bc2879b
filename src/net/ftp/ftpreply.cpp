#include "net/ftp/ftpreply.h"

#include <limits>
#include <utility>

namespace kestrel {

namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

char AsciiUpper(char c) {
    return c >= 'a' && c <= 'z' ? char(c - 'a' + 'A') : c;
}

// Index of the first "BYTE" in text, ignoring the case of ASCII letters.
std::size_t FindByteWord(const std::string& text) {
    static const char kWord[] = "BYTE";
    constexpr std::size_t kLength = sizeof kWord - 1;
    for (std::size_t i = 0; i + kLength <= text.size(); ++i) {
        std::size_t k = 0;
        while (k < kLength && AsciiUpper(text[i + k]) == kWord[k]) {
            ++k;
        }
        if (k == kLength) {
            return i;
        }
    }
    return std::string::npos;
}

} // namespace

int ReplyCodeOf(const std::string& line) {
    if (line.size() < 4 || !IsDigit(line[0]) || !IsDigit(line[1]) || !IsDigit(line[2]))
        return 0;
    if (line[3] != ' ' && line[3] != '-')
        return 0;
    return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

bool ReplyContinues(const FtpReply& reply) {
    const std::string& first = reply.First();
    if (ReplyCodeOf(first) == 0 || first[3] != '-')
        return false; // a single-line reply, or no reply at all
    if (reply.lines.size() < 2)
        return true;
    const std::string& last = reply.Final();
    return !(last.size() >= 4 && last.compare(0, 3, first, 0, 3) == 0 && last[3] == ' ');
}

bool FtpReply::Add(std::string line) {
    length += line.size();
    if (lines.empty()) {
        lines.push_back(std::move(line));
    } else if (lines.size() >= 2 && kept_ + line.size() > kMaxKeptReplyText) {
        kept_ += line.size() - lines.back().size();
        lines.back() = std::move(line);
    } else {
        kept_ += line.size();
        lines.push_back(std::move(line));
    }
    return length <= kMaxReplyLength;
}

std::string FtpReply::Text() const {
    return lines.size() < 2 ? First() : First() + Final();
}

int ExpectedIntermediate(const std::string& command) {
    const std::string verb = command.substr(0, command.find(' '));
    if (verb == "USER")
        return 331;
    if (verb == "REST" || verb == "RNFR")
        return 350;
    return 0;
}

std::string InvalidReplyText(const std::string& line) {
    std::size_t end = line.size();
    while (end > 0 && (line[end - 1] == '\n' || line[end - 1] == '\r'))
        --end;
    return "Invalid reply from server: " + line.substr(0, end);
}

bool EndsService(int code) {
    return code == 421 || code == 426;
}

const std::string& FtpReply::First() const {
    static const std::string kNone;
    return lines.empty() ? kNone : lines.front();
}

const std::string& FtpReply::Final() const {
    static const std::string kNone;
    return lines.empty() ? kNone : lines.back();
}

std::int64_t ParseBytesTotal(const std::string& reply) {
    const std::size_t word = FindByteWord(reply);
    if (word == std::string::npos) {
        return 0;
    }
    // Walk left to the nearest digit, then to the first digit of its run.
    std::size_t end = word;
    while (end > 0 && !IsDigit(reply[end - 1])) {
        --end;
    }
    if (end == 0) {
        return 0;
    }
    std::size_t start = end - 1;
    while (start > 0 && IsDigit(reply[start - 1])) {
        --start;
    }
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    std::int64_t value = 0;
    for (std::size_t i = start; i < end; ++i) {
        const int digit = reply[i] - '0';
        if (value > (kMax - digit) / 10) {
            return 0; // does not fit: no usable size
        }
        value = value * 10 + digit;
    }
    return value;
}

std::int64_t AnnouncedSize(const std::string& line) {
    return ParseBytesTotal(ReplyCodeOf(line) != 0 ? line.substr(4) : line);
}

std::string ExtractQuotedDir(const std::string& reply) {
    std::size_t lineEnd = reply.size();
    while (lineEnd > 0 && (reply[lineEnd - 1] == '\n' || reply[lineEnd - 1] == '\r')) {
        --lineEnd;
    }
    const std::size_t open = reply.find('"');
    if (open == std::string::npos || open >= lineEnd) {
        return {};
    }
    std::string dir;
    for (std::size_t i = open + 1; i < lineEnd; ++i) {
        if (reply[i] != '"') {
            dir += reply[i];
        } else if (i + 1 < lineEnd && reply[i + 1] == '"') {
            dir += '"'; // a quote inside the name is sent doubled
            ++i;
        } else {
            break;
        }
    }
    return dir;
}

} // namespace kestrel
