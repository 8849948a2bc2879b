// Arbitrary reply lines through the announced-size parser, checked against a
// plain restatement of the rule: the digit run nearest before the first "byte".
#include "net/ftp/ftpreply.h"

#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

using namespace kestrel;

namespace {

std::int64_t Reference(const std::string& text) {
    std::string upper = text;
    for (char& c : upper) {
        if (c >= 'a' && c <= 'z') {
            c = char(c - 'a' + 'A');
        }
    }
    const std::size_t word = upper.find("BYTE");
    if (word == std::string::npos) {
        return 0;
    }
    const std::size_t last = text.find_last_of("0123456789", word == 0 ? 0 : word - 1);
    if (word == 0 || last == std::string::npos) {
        return 0;
    }
    std::size_t first = last;
    while (first > 0 && text[first - 1] >= '0' && text[first - 1] <= '9') {
        --first;
    }
    std::string digits = text.substr(first, last - first + 1);
    digits.erase(0, digits.find_first_not_of('0'));
    if (digits.empty()) {
        return 0;
    }
    if (digits.size() > 19 || (digits.size() == 19 && digits > "9223372036854775807")) {
        return 0;
    }
    return std::int64_t(std::stoull(digits));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::int64_t value = ParseBytesTotal(input);
    if (value < 0 || value != Reference(input)) {
        std::abort();
    }
    return 0;
}
