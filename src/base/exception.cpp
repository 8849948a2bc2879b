#include "exception.h"

#include <cctype>
#include <climits>

namespace kestrel {

std::string InvalidIntegerText(const std::string& text) {
    return "'" + text + "' is not a valid integer value";
}
std::string CannotOpenFileText(const std::string& name) {
    return "Cannot open file " + name;
}
std::string CannotCreateFileText(const std::string& name) {
    return "Cannot create file " + name;
}
std::string InOutErrorText(int code) {
    return "I/O error " + std::to_string(code);
}

int StrToInt(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && text[i] == ' ')
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    int base = 10;
    if (i < text.size() && text[i] == '$') {
        base = 16;
        ++i;
    } else if (i + 1 < text.size() && text[i] == '0' &&
               (text[i + 1] == 'x' || text[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i >= text.size())
        throw EConvertError(InvalidIntegerText(text));
    long long value = 0;
    for (; i < text.size(); ++i) {
        int c = static_cast<unsigned char>(text[i]);
        int digit;
        if (std::isdigit(c))
            digit = c - '0';
        else if (base == 16 && std::isxdigit(c))
            digit = std::tolower(c) - 'a' + 10;
        else
            throw EConvertError(InvalidIntegerText(text));
        value = value * base + digit;
        if (value > static_cast<long long>(INT_MAX) + 1)
            throw EConvertError(InvalidIntegerText(text));
    }
    if (negative)
        value = -value;
    if (value > INT_MAX || value < INT_MIN)
        throw EConvertError(InvalidIntegerText(text));
    return static_cast<int>(value);
}

} // namespace kestrel
