// The text of what an action raises, for comparing with the exact message.
#pragma once

#include <exception>
#include <string>

namespace kestrel::test {

// Runs action and returns the message of the exception of type E it raises, or
// "(no exception)" when it raises none. An exception of another type is not caught,
// so it fails the test as a wrong kind of error.
template <typename E = std::exception, typename Action> std::string MessageOf(Action action) {
    try {
        action();
    } catch (const E& e) {
        return e.what();
    }
    return "(no exception)";
}

} // namespace kestrel::test
