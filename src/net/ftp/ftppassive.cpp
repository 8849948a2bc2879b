// Reading the server's answers to EPSV and PASV.
#include "net/ftp/ftppassive.h"

#include <array>
#include <cctype>

namespace kestrel {
namespace {

constexpr int kHighestPort = 65535;

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// Reads a run of at most maxDigits digits at pos; std::nullopt when there is none or it
// is longer.
std::optional<int> ReadNumber(const std::string& text, std::size_t& pos, int maxDigits) {
    std::size_t start = pos;
    int value = 0;
    while (pos < text.size() && IsDigit(text[pos])) {
        if (int(pos - start) == maxDigits)
            return std::nullopt;
        value = value * 10 + (text[pos] - '0');
        ++pos;
    }
    if (pos == start)
        return std::nullopt;
    return value;
}

// "(|||6446|" at pos: three delimiters, the port, the delimiter again.
std::optional<int> EpsvGroupAt(const std::string& line, std::size_t pos) {
    if (pos + 4 >= line.size())
        return std::nullopt;
    char d = line[pos + 1];
    if (d < 33 || d > 126 || IsDigit(d) || line[pos + 2] != d || line[pos + 3] != d)
        return std::nullopt;
    std::size_t at = pos + 4;
    std::optional<int> port = ReadNumber(line, at, 5);
    if (!port || at >= line.size() || line[at] != d || *port < 1 || *port > kHighestPort)
        return std::nullopt;
    return port;
}

// Six comma-separated numbers of at most three digits each starting at pos.
std::optional<std::array<int, 6>> SixNumbersAt(const std::string& line, std::size_t pos) {
    std::array<int, 6> numbers{};
    for (std::size_t i = 0; i < numbers.size(); ++i) {
        if (i > 0) {
            if (pos >= line.size() || line[pos] != ',')
                return std::nullopt;
            ++pos;
            while (pos < line.size() && line[pos] == ' ')
                ++pos;
        }
        std::optional<int> n = ReadNumber(line, pos, 3);
        if (!n || *n > 255)
            return std::nullopt;
        numbers[i] = *n;
    }
    return numbers;
}

// Where the text after the reply code begins.
std::size_t AfterReplyCode(const std::string& line) {
    std::size_t pos = 0;
    while (pos < 3 && pos < line.size() && IsDigit(line[pos]))
        ++pos;
    return pos == 3 ? pos : 0;
}

} // namespace

std::optional<int> ParseEpsvReply(const std::string& line) {
    for (std::size_t pos = line.find('('); pos != std::string::npos;
         pos = line.find('(', pos + 1)) {
        if (std::optional<int> port = EpsvGroupAt(line, pos))
            return port;
    }
    return std::nullopt;
}

std::optional<TPassiveAddress> ParsePasvReply(const std::string& line) {
    for (std::size_t pos = AfterReplyCode(line); pos < line.size(); ++pos) {
        // Only the start of a run of digits can start the six numbers.
        if (!IsDigit(line[pos]) || (pos > 0 && IsDigit(line[pos - 1])))
            continue;
        std::optional<std::array<int, 6>> n = SixNumbersAt(line, pos);
        if (!n)
            continue;
        int port = (*n)[4] * 256 + (*n)[5];
        if (port == 0)
            return std::nullopt;
        TPassiveAddress address;
        address.Host = std::to_string((*n)[0]) + "." + std::to_string((*n)[1]) + "." +
                       std::to_string((*n)[2]) + "." + std::to_string((*n)[3]);
        address.Port = port;
        return address;
    }
    return std::nullopt;
}

std::string WithPassiveAdvice(const std::string& line, const std::string& what) {
    std::size_t end = line.size();
    while (end > 0 && (line[end - 1] == '\r' || line[end - 1] == '\n'))
        --end;
    std::string text = line.substr(0, end);
    if (!text.empty())
        text += ' ';
    return text + "(" + what + "; try passive mode in the settings)" + line.substr(end);
}

} // namespace kestrel
