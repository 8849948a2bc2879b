// A command line declared once: each option with its value's name and its help, each
// positional argument with its name; the parser and the usage text both read the
// declaration, so that what --help says is what the program takes.
//
//   --name           a switch
//   --name VALUE     an option with a value, also written --name=VALUE
//   --               the words after it are positional, even when they start with "-"
#pragma once

#include <map>
#include <string>
#include <vector>

namespace kestrel {

struct TOptionSpec {
    const char* Name;            // "--connections"
    const char* Value;           // "N"; null for a switch
    const char* Help;            // one line; "\n" starts a continuation line
    bool Repeatable = false;     // may be given more than once, every value kept in order
    const char* Alias = nullptr; // a second spelling ("-h")
};

struct TPositionalSpec {
    const char* Name; // "LOCAL_DIR"
    bool Required = true;
};

struct TCommandSpec {
    const char* Synopsis;    // "kestrelftp publish"
    const char* Description; // a paragraph shown under the synopsis
    std::vector<TOptionSpec> Options;
    std::vector<TPositionalSpec> Positionals;
};

// A word the declaration does not know, a value missing, too many or too few arguments.
struct TUsageError {
    std::string Text;
};

struct TParsedCommand {
    std::map<std::string, std::vector<std::string>> Values; // by option name; switches: ""
    std::vector<std::string> Positionals;
    std::vector<std::pair<std::string, std::string>> InOrder; // every option and its value

    bool Has(const std::string& name) const { return Values.count(name) > 0; }
    // The last value given, or fallback.
    std::string Value(const std::string& name, const std::string& fallback = "") const;
    const std::vector<std::string>& All(const std::string& name) const;
};

// Parses argv[first..argc) by the declaration; raises TUsageError.
TParsedCommand ParseCommand(const TCommandSpec& spec, int argc, char** argv, int first);

// "kestrelftp publish [--dry-run] [--connections N] ... LOCAL_DIR [REMOTE_DIR]", wrapped
// under the first line's indent.
std::string SynopsisText(const TCommandSpec& spec, const char* prefix);
// Each option on its own line with its help in a column.
std::string OptionsText(const TCommandSpec& spec);

} // namespace kestrel
