// NthWord and NthPos on arbitrary text, checked against each other and against
// what they promise. Input: one byte delimiter, one byte n (signed), the text.
#include "net/sock/sockstr.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

using namespace kestrel;

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// Plain restatements: split into every field, count every delimiter.
std::string ReferenceWord(const std::string& text, char delimiter, int n) {
    std::vector<std::string> fields(1);
    for (const char c : text) {
        if (c == delimiter) {
            fields.emplace_back();
        } else {
            fields.back() += c;
        }
    }
    if (n <= 0 || text.empty() || std::size_t(n) > fields.size()) {
        return {};
    }
    return fields[std::size_t(n - 1)];
}

int ReferencePos(const std::string& text, char delimiter, int n) {
    const int pastEnd = int(text.size()) + 1;
    int seen = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == delimiter && ++seen == n) {
            return i + 1 == text.size() ? pastEnd : int(i) + 1;
        }
    }
    return pastEnd;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    const char delimiter = char(data[0]);
    const int n = int(std::int8_t(data[1]));
    const std::string text(reinterpret_cast<const char*>(data + 2), size - 2);

    const std::string word = NthWord(text, delimiter, n);
    Check(word.find(delimiter) == std::string::npos);
    Check(word == ReferenceWord(text, delimiter, n));

    const int pos = NthPos(text, delimiter, n);
    Check(pos >= 1 && pos <= int(text.size()) + 1);
    Check(pos == ReferencePos(text, delimiter, n));
    if (pos <= int(text.size())) {
        Check(text[std::size_t(pos - 1)] == delimiter);
    }
    return 0;
}
