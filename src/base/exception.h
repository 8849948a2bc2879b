// Framework exceptions: every failure of the program is one of these, carrying only
// a message text.
#pragma once

#include <stdexcept>
#include <string>

namespace kestrel {

class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& message) : std::runtime_error(message) {}
    std::string Message() const { return what(); }
};

// A value outside the range of the type that should hold it.
class ERangeError : public Exception {
public:
    ERangeError() : Exception("Range check error") {}
};

// A text that is not a number where a number is needed ("'%s' is not a valid integer value").
class EConvertError : public Exception {
public:
    explicit EConvertError(const std::string& message) : Exception(message) {}
};

// File and folder errors: "Cannot open file %s", "Cannot create file %s", and a folder
// that cannot be entered.
class EInOutError : public Exception {
public:
    explicit EInOutError(const std::string& message) : Exception(message) {}
};

class EFOpenError : public Exception {
public:
    explicit EFOpenError(const std::string& message) : Exception(message) {}
};

class EFCreateError : public Exception {
public:
    explicit EFCreateError(const std::string& message) : Exception(message) {}
};

// Fixed texts of the framework errors.
std::string InvalidIntegerText(const std::string& text);   // "'x' is not a valid integer value"
std::string CannotOpenFileText(const std::string& name);   // "Cannot open file x"
std::string CannotCreateFileText(const std::string& name); // "Cannot create file x"
std::string InOutErrorText(int code);                      // "I/O error 2"

// Whole-text conversion to a 32-bit integer, as the framework's StrToInt does:
// optional blanks and sign, decimal or $hex; anything else raises EConvertError.
int StrToInt(const std::string& text);

} // namespace kestrel
