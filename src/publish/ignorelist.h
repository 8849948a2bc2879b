// Patterns in the syntax site owners already know from ".gitignore", matched against paths
// relative to the site root ("/"-separated, no leading "/"):
//
//   # a comment             (a leading "\#" is a literal "#")
//   *.psd                   no "/" inside: a name at any depth
//   /todo.txt               a leading "/" anchors the pattern at the root
//   drafts/                 a trailing "/" matches folders only
//   docs/*.md               a "/" inside anchors as well; "*" and "?" never match "/"
//   **/cache  cache/**  a/**/b   "**" between slashes: any number of folders
//   [a-c]  [!x]  [[:digit:]]     character classes; "\" escapes the next character
//   !keep.psd               re-includes what an earlier pattern left out
//
// The last pattern that matches decides. As with git, nothing inside a folder that is left
// out can be included again: a path is left out when any folder above it is. Names match
// with their case, as git does on this system. Trailing spaces are dropped unless escaped
// ("\ "); a carriage return before the line end is dropped.
#pragma once

#include <string>
#include <vector>

namespace kestrel {

// True when a pattern in wildcard syntax matches text. With pathname set, "*", "?" and
// classes never match "/", and "**" between slashes matches any number of folders.
bool WildMatch(const std::string& pattern, const std::string& text, bool pathname);

struct TIgnorePattern {
    std::string Pattern;  // without "!", the anchoring "/" and the trailing "/"
    bool Negated = false; // "!": re-includes
    bool FoldersOnly = false;
    bool Anchored = false;  // matched against the whole path, else against the name
    std::string Line;       // the line as written, for messages
    std::string Source;     // where it came from (".kestrelignore:3", "--exclude")
    int Tag = 0;            // the owner's classification (for the reason shown)
    bool Malformed = false; // an unclosed "[": matches nothing, as in git
};

// Parses one line; false for a blank line or a comment.
bool ParseIgnoreLine(const std::string& line, TIgnorePattern& pattern);

// True when this one pattern matches the path (ignoring Negated and any folder above).
bool PatternMatches(const TIgnorePattern& pattern, const std::string& path, bool folder);

class TIgnoreList {
public:
    // Adds one pattern line; blank lines and comments add nothing.
    void AddLine(const std::string& line, const std::string& source, int tag = 0);
    // Adds the lines of a file's text (a UTF-8 byte order mark at the start is skipped);
    // sources are name + ":" + the line number.
    void AddText(const std::string& text, const std::string& name, int tag = 0);

    // The last pattern that matches the path itself, or null; folders above not looked at.
    const TIgnorePattern* LastMatch(const std::string& path, bool folder) const;

    // The pattern that leaves the path out: the one that leaves out a folder above it, else
    // the last match on the path when that one is not negated; null when it is kept.
    const TIgnorePattern* Excluding(const std::string& path, bool folder) const;

    const std::vector<TIgnorePattern>& Patterns() const { return patterns_; }

private:
    std::vector<TIgnorePattern> patterns_;
};

} // namespace kestrel
