#include "net/sock/sockstr.h"

#include "base/streams.h"

#include <climits>
#include <cstddef>

namespace kestrel {

std::string NthWord(const std::string& text, char delimiter, int n) {
    if (n <= 0 || text.empty()) {
        return {};
    }
    // Skip the first n-1 fields, then take everything up to the next delimiter.
    std::size_t start = 0;
    for (int field = 1; field < n; ++field) {
        const std::size_t next = text.find(delimiter, start);
        if (next == std::string::npos) {
            return {};
        }
        start = next + 1;
    }
    const std::size_t end = text.find(delimiter, start);
    return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

int NthPos(const std::string& text, char delimiter, int n) {
    // A position must fit the int result, and so must "length plus 1".
    const std::size_t limit = text.size() < std::size_t(INT_MAX) ? text.size() : INT_MAX - 1;
    const int pastEnd = int(limit) + 1;
    if (n <= 0) {
        return pastEnd;
    }
    int seen = 0;
    for (std::size_t i = 0; i < limit; ++i) {
        if (text[i] == delimiter && ++seen == n) {
            // An occurrence in the last place reports "past the end" as well.
            return i + 1 == limit ? pastEnd : int(i) + 1;
        }
    }
    return pastEnd;
}

void StreamLn(TStream& stream, const std::string& text) {
    stream.WriteString(text + "\r\n");
}

} // namespace kestrel
