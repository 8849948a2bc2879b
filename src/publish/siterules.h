// What a publish leaves out of a site folder, and why. Every other file is published,
// hidden names such as ".htaccess" and ".well-known/" included: they are web files.
//
// Left out, in this order (the last rule that matches decides, as in ".gitignore"):
//   1. by default: version-control folders, system litter, editor back-ups and swap files,
//      files that look like secrets (keys, ".env", database dumps, back-ups of
//      configuration files), and the ignore file itself;
//   2. the site's ignore file, ".kestrelignore" in the site root;
//   3. the exclusions of the run (the command line's --exclude and --include, the
//      dialog's field), one ".gitignore" line each, "!" re-including.
// So a "!" line re-includes any default ("!.env", "!*.sql"). Never published, whatever the
// rules say: the program's settings files (they hold the password), the manifest and the
// publisher's temporary names. What is left out is never deleted on the server either.
#pragma once

#include "publish/ignorelist.h"

#include <optional>
#include <string>
#include <vector>

namespace kestrel {

// The site's ignore file, in the site root.
inline constexpr char kIgnoreFileName[] = ".kestrelignore";

enum class TLeftOutReason {
    VersionControl, // .git, .svn, .hg, .bzr
    SystemFile,     // .DS_Store, Thumbs.db, desktop.ini
    EditorBackup,   // name~, .swp, .bak
    Secret,         // .env, *.pem, *.key, id_rsa*, *.sql, *.sqlite, config back-ups
    ProgramFile,    // the ignore file, the manifest, temporary names
    SettingsFile,   // the program's settings files: they hold the password
    IgnoreFile,     // a pattern of .kestrelignore
    Exclusion,      // an exclusion of the run
};

struct TLeftOut {
    std::string Path; // relative to the site root; a folder leaves out all it holds
    bool Folder = false;
    TLeftOutReason Reason = TLeftOutReason::Exclusion;
    std::string Rule; // the pattern that matched, with where it was written, when one did
};

// "a version-control folder", "looks like a secret", "excluded by drafts/ (.kestrelignore:2)".
std::string LeftOutText(const TLeftOut& leftOut);
// The reason alone, for counts: "version control", "secrets", ".kestrelignore".
std::string LeftOutKind(TLeftOutReason reason);

// The lines of an exclusions text as the dialog's field holds it: one pattern a line,
// blank lines skipped.
std::vector<std::string> ExclusionLines(const std::string& text);

class TSiteRules {
public:
    TSiteRules(); // the default rules alone

    // The lines of the site's ignore file.
    void AddIgnoreFile(const std::string& text);
    // Exclusions of the run, in order, each a ".gitignore" line ("!" re-includes).
    void AddExclusions(const std::vector<std::string>& lines);
    // The names of the program's own settings files, which hold the password: never
    // published, wherever they stand in the site folder (the current folder is often the
    // site folder), whatever the other rules say.
    void AddSettingsFiles(const std::vector<std::string>& names);

    // Why the path (relative, "/"-separated) is not published, or nothing when it is.
    std::optional<TLeftOut> LeftOut(const std::string& path, bool folder) const;

    // Patterns that can match nothing (an unclosed "["), to be told to the user.
    std::vector<std::string> Problems() const;

private:
    TIgnoreList list_;
    std::vector<std::string> settingsFiles_;
};

// "--exclude PATTERN" and "--include PATTERN" as exclusion lines: the pattern as written
// (a leading "#" or "!" taken literally), and the same with "!" in front.
std::string ExcludeLine(const std::string& pattern);
std::string IncludeLine(const std::string& pattern);

} // namespace kestrel
