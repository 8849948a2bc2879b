#include "publish/ignorelist.h"

#include "publish/names.h"

#include <cctype>
#include <cstring>

namespace kestrel {
namespace {

enum class Wild {
    Match,
    NoMatch,
    AbortAll,        // the rest of the text can never match: stop every retry
    AbortToStarStar, // a "*" met a "/": only a "**" further out may retry
};

// A class such as "alpha" in "[[:alpha:]]"; false for an unknown name.
bool InNamedClass(const std::string& name, unsigned char c, bool& known) {
    known = true;
    if (name == "alnum")
        return std::isalnum(c);
    if (name == "alpha")
        return std::isalpha(c);
    if (name == "blank")
        return c == ' ' || c == '\t';
    if (name == "cntrl")
        return std::iscntrl(c);
    if (name == "digit")
        return std::isdigit(c);
    if (name == "graph")
        return std::isgraph(c);
    if (name == "lower")
        return std::islower(c);
    if (name == "print")
        return std::isprint(c);
    if (name == "punct")
        return std::ispunct(c);
    if (name == "space")
        return std::isspace(c);
    if (name == "upper")
        return std::isupper(c);
    if (name == "xdigit")
        return std::isxdigit(c);
    known = false;
    return false;
}

class Matcher {
public:
    Matcher(const char* pattern, bool pathname) : start_(pattern), pathname_(pathname) {}

    Wild Run(const char* p, const char* text) const {
        for (; *p != '\0'; ++text, ++p) {
            unsigned char t = static_cast<unsigned char>(*text);
            if (t == '\0' && *p != '*')
                return Wild::AbortAll;
            switch (*p) {
            case '\\':
                ++p; // the next character stands for itself
                if (static_cast<unsigned char>(*p) != t)
                    return Wild::NoMatch;
                continue;
            case '?':
                if (pathname_ && t == '/')
                    return Wild::NoMatch;
                continue;
            case '*':
                return Star(p, text);
            case '[': {
                Wild result = Class(p, t);
                if (result != Wild::Match)
                    return result;
                continue;
            }
            default:
                if (static_cast<unsigned char>(*p) != t)
                    return Wild::NoMatch;
                continue;
            }
        }
        return *text != '\0' ? Wild::NoMatch : Wild::Match;
    }

private:
    // p at the first "*" of a run of them.
    Wild Star(const char* p, const char* text) const {
        bool matchSlash;
        const char* before = p - 1;
        if (p[1] == '*') {
            while (*p == '*')
                ++p;
            // "**" counts only as a whole path segment: "**/", "/**", "/**/" or all of it.
            if ((before < start_ || *before == '/') &&
                (*p == '\0' || *p == '/' || (p[0] == '\\' && p[1] == '/'))) {
                // "a/**/b" matches "a/b": try the rest with no folder in between.
                if (*p == '/' && Run(p + 1, text) == Wild::Match)
                    return Wild::Match;
                matchSlash = true;
            } else {
                matchSlash = !pathname_;
            }
        } else {
            ++p;
            matchSlash = !pathname_;
        }
        if (*p == '\0') {
            // A trailing "**" takes everything; a trailing "*" only a last segment.
            if (!matchSlash && std::strchr(text, '/'))
                return Wild::NoMatch;
            return Wild::Match;
        }
        if (!matchSlash && *p == '/') {
            // "*/": exactly one segment, up to the next "/".
            const char* slash = std::strchr(text, '/');
            if (!slash)
                return Wild::NoMatch;
            return Run(p + 1, slash + 1);
        }
        for (; *text != '\0'; ++text) {
            Wild result = Run(p, text);
            if (result != Wild::NoMatch) {
                if (!matchSlash || result != Wild::AbortToStarStar)
                    return result;
            } else if (!matchSlash && *text == '/') {
                return Wild::AbortToStarStar;
            }
        }
        return Wild::AbortAll;
    }

    // p at the "[" of "[:name:]" within a class: whether t is in the named class (named
    // set, p then at its "]"), or, without a closing ":]", whether t is that "[" itself, an
    // ordinary member (p unmoved). AbortAll for an unknown name or a class never closed.
    static Wild NamedClass(const char*& p, unsigned char t, bool& named) {
        const char* name = p + 2;
        const char* end = name;
        while (*end != '\0' && *end != ']')
            ++end;
        if (*end == '\0')
            return Wild::AbortAll;
        named = end - name >= 1 && end[-1] == ':';
        if (!named)
            return t == '[' ? Wild::Match : Wild::NoMatch;
        bool known = false;
        const bool in = InNamedClass(std::string(name, end - 1), t, known);
        if (!known)
            return Wild::AbortAll; // a malformed class
        p = end;
        return in ? Wild::Match : Wild::NoMatch;
    }

    // p at "["; advances p to the closing "]". A class never matches "/" in a path.
    Wild Class(const char*& p, unsigned char t) const {
        ++p;
        bool negated = *p == '!' || *p == '^';
        if (negated)
            ++p;
        bool matched = false;
        unsigned char previous = 0;
        unsigned char c = static_cast<unsigned char>(*p);
        do {
            if (c == '\0')
                return Wild::AbortAll; // no closing "]"
            if (c == '\\') {
                c = static_cast<unsigned char>(*++p);
                if (c == '\0')
                    return Wild::AbortAll;
                matched = matched || t == c;
            } else if (c == '-' && previous != 0 && p[1] != '\0' && p[1] != ']') {
                c = static_cast<unsigned char>(*++p);
                if (c == '\\') {
                    c = static_cast<unsigned char>(*++p);
                    if (c == '\0')
                        return Wild::AbortAll;
                }
                matched = matched || (t >= previous && t <= c);
                c = 0; // a range cannot start another
            } else if (c == '[' && p[1] == ':') {
                bool named = false;
                const Wild member = NamedClass(p, t, named);
                if (member == Wild::AbortAll)
                    return Wild::AbortAll;
                matched = matched || member == Wild::Match;
                if (named)
                    c = 0;
            } else {
                matched = matched || t == c;
            }
            previous = c;
            c = static_cast<unsigned char>(*++p);
        } while (c != ']');
        if (matched == negated || (pathname_ && t == '/'))
            return Wild::NoMatch;
        return Wild::Match;
    }

    const char* start_;
    bool pathname_;
};

// Drops trailing spaces that no backslash escapes.
void TrimTrailingSpaces(std::string& line) {
    std::size_t keep = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\\' && i + 1 < line.size()) {
            ++i;
            keep = i + 1;
        } else if (line[i] != ' ') {
            keep = i + 1;
        }
    }
    line.resize(keep);
}

// A "[" without its "]": git's matcher gives up on such a pattern, so it matches nothing.
bool HasUnclosedClass(const std::string& pattern) {
    for (std::size_t i = 0; i < pattern.size(); ++i) {
        if (pattern[i] == '\\') {
            ++i;
        } else if (pattern[i] == '[') {
            std::size_t j = i + 1;
            if (j < pattern.size() && (pattern[j] == '!' || pattern[j] == '^'))
                ++j;
            std::size_t close = pattern.find(']', j + 1); // "[]x]": the first "]" is a member
            if (close == std::string::npos)
                return true;
            i = close;
        }
    }
    return false;
}

} // namespace

bool WildMatch(const std::string& pattern, const std::string& text, bool pathname) {
    Matcher matcher(pattern.c_str(), pathname);
    return matcher.Run(pattern.c_str(), text.c_str()) == Wild::Match;
}

bool ParseIgnoreLine(const std::string& text, TIgnorePattern& pattern) {
    std::string line = text;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    if (line.empty() || line[0] == '#')
        return false;
    TrimTrailingSpaces(line);
    pattern = TIgnorePattern{};
    pattern.Line = line;
    std::string body = line;
    if (!body.empty() && body[0] == '!') {
        pattern.Negated = true;
        body.erase(0, 1);
    }
    if (!body.empty() && body.back() == '/') {
        pattern.FoldersOnly = true;
        body.pop_back();
    }
    if (body.empty())
        return false;
    pattern.Anchored = body.find('/') != std::string::npos;
    if (body[0] == '/')
        body.erase(0, 1);
    pattern.Pattern = body;
    pattern.Malformed = HasUnclosedClass(body);
    return true;
}

namespace {

bool Matches(const TIgnorePattern& pattern, const std::string& path, const std::string& name,
             bool folder) {
    if (pattern.FoldersOnly && !folder)
        return false;
    return pattern.Anchored ? WildMatch(pattern.Pattern, path, true)
                            : WildMatch(pattern.Pattern, name, false);
}

} // namespace

bool PatternMatches(const TIgnorePattern& pattern, const std::string& path, bool folder) {
    return Matches(pattern, path, BaseName(path), folder);
}

void TIgnoreList::AddLine(const std::string& line, const std::string& source, int tag) {
    TIgnorePattern pattern;
    if (!ParseIgnoreLine(line, pattern))
        return;
    pattern.Source = source;
    pattern.Tag = tag;
    patterns_.push_back(std::move(pattern));
}

void TIgnoreList::AddText(const std::string& text, const std::string& name, int tag) {
    std::size_t start = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    int number = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        ++number;
        AddLine(text.substr(start, end - start), name + ":" + std::to_string(number), tag);
        start = end + 1;
    }
}

const TIgnorePattern* TIgnoreList::LastMatch(const std::string& path, bool folder) const {
    const std::string name = BaseName(path);
    for (auto it = patterns_.rbegin(); it != patterns_.rend(); ++it)
        if (Matches(*it, path, name, folder))
            return &*it;
    return nullptr;
}

const TIgnorePattern* TIgnoreList::Excluding(const std::string& path, bool folder) const {
    // Folders above first, from the root down: the first one left out decides.
    for (std::size_t slash = path.find('/'); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const TIgnorePattern* above = LastMatch(path.substr(0, slash), true);
        if (above && !above->Negated)
            return above;
    }
    const TIgnorePattern* own = LastMatch(path, folder);
    return own && !own->Negated ? own : nullptr;
}

} // namespace kestrel
