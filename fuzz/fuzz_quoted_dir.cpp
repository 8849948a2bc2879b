// Arbitrary PWD replies through the folder extraction: the result never carries
// the line end, comes from inside the first quotes, and with a well-formed reply
// gives back exactly the folder that was quoted.
#include "net/ftp/ftpreply.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

using namespace kestrel;

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

std::string Quoted(const std::string& folder) {
    std::string text = "257 \"";
    for (const char c : folder) {
        text += c;
        if (c == '"') {
            text += '"';
        }
    }
    return text + "\" is the current directory\r\n";
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::string dir = ExtractQuotedDir(input);

    // The line end never matters: with or without it the folder is the same.
    const std::size_t kept = input.find_last_not_of("\r\n");
    const std::string line = kept == std::string::npos ? std::string() : input.substr(0, kept + 1);
    Check(dir == ExtractQuotedDir(line));
    Check(dir == ExtractQuotedDir(line + "\r\n"));
    Check(dir == ExtractQuotedDir(line + "\n"));

    // The folder is the text after the first quote, as the server quoted it.
    const std::size_t open = line.find('"');
    if (open == std::string::npos) {
        Check(dir.empty());
    } else {
        std::string doubled;
        for (const char c : dir) {
            doubled += c;
            if (c == '"') {
                doubled += '"';
            }
        }
        Check(line.compare(open + 1, doubled.size(), doubled) == 0);
    }

    // Round trip: a folder without line breaks, quoted as a server does, comes back.
    if (input.find_first_of("\r\n") == std::string::npos) {
        Check(ExtractQuotedDir(Quoted(input)) == input);
    }
    return 0;
}
