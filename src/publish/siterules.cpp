#include "publish/siterules.h"

#include "publish/manifest.h"
#include "publish/names.h"

#include <algorithm>

namespace kestrel {
namespace {

struct DefaultRule {
    TLeftOutReason reason;
    const char* pattern;
};

// In order: a later rule's reason wins ("wp-config.php.bak" is a secret, not a back-up).
constexpr DefaultRule kDefaultRules[] = {
    {TLeftOutReason::VersionControl, ".git"},
    {TLeftOutReason::VersionControl, ".svn"},
    {TLeftOutReason::VersionControl, ".hg"},
    {TLeftOutReason::VersionControl, ".bzr"},
    {TLeftOutReason::SystemFile, ".DS_Store"},
    {TLeftOutReason::SystemFile, "Thumbs.db"},
    {TLeftOutReason::SystemFile, "[Dd]esktop.ini"},
    {TLeftOutReason::EditorBackup, "*~"},
    {TLeftOutReason::EditorBackup, "*.swp"},
    {TLeftOutReason::EditorBackup, "*.swo"},
    {TLeftOutReason::EditorBackup, "*.bak"},
    {TLeftOutReason::EditorBackup, "#*#"},
    {TLeftOutReason::EditorBackup, ".#*"},
    {TLeftOutReason::Secret, ".env"},
    {TLeftOutReason::Secret, ".env.*"},
    {TLeftOutReason::Secret, "*.pem"},
    {TLeftOutReason::Secret, "*.key"},
    {TLeftOutReason::Secret, "id_rsa*"},
    {TLeftOutReason::Secret, "id_dsa*"},
    {TLeftOutReason::Secret, "id_ecdsa*"},
    {TLeftOutReason::Secret, "id_ed25519*"},
    {TLeftOutReason::Secret, "*.sql"},
    {TLeftOutReason::Secret, "*.sql.gz"},
    {TLeftOutReason::Secret, "*.sqlite"},
    {TLeftOutReason::Secret, "*.sqlite3"},
    {TLeftOutReason::Secret, "*.php.bak"},
    {TLeftOutReason::Secret, "*.php~"},
    {TLeftOutReason::Secret, "*.php.old"},
    {TLeftOutReason::Secret, "*.php.orig"},
    {TLeftOutReason::Secret, "*.php.save"},
    {TLeftOutReason::Secret, "*config*.bak"},
    {TLeftOutReason::Secret, "*config*~"},
    {TLeftOutReason::Secret, "*config*.old"},
    {TLeftOutReason::Secret, "*config*.orig"},
    {TLeftOutReason::ProgramFile, "/.kestrelignore"},
};

constexpr int kIgnoreFileTag = -1;
constexpr int kExclusionTag = -2;

bool IsProgramFile(const std::string& name) {
    return name == kManifestName || name == kLockName || IsTemporaryName(name);
}

} // namespace

std::string LeftOutKind(TLeftOutReason reason) {
    switch (reason) {
    case TLeftOutReason::VersionControl:
        return "version control";
    case TLeftOutReason::SystemFile:
        return "system files";
    case TLeftOutReason::EditorBackup:
        return "back-ups";
    case TLeftOutReason::Secret:
        return "secrets";
    case TLeftOutReason::ProgramFile:
        return "this program's files";
    case TLeftOutReason::SettingsFile:
        return "settings files";
    case TLeftOutReason::IgnoreFile:
        return kIgnoreFileName;
    case TLeftOutReason::Exclusion:
        return "exclusions";
    }
    return "";
}

std::string LeftOutText(const TLeftOut& leftOut) {
    switch (leftOut.Reason) {
    case TLeftOutReason::VersionControl:
        return "a version-control folder";
    case TLeftOutReason::SystemFile:
        return "a file the operating system made";
    case TLeftOutReason::EditorBackup:
        return "an editor back-up or swap file";
    case TLeftOutReason::Secret:
        return "looks like a secret";
    case TLeftOutReason::ProgramFile:
        return "a file of this program";
    case TLeftOutReason::SettingsFile:
        return "a settings file of this program, it holds the password";
    case TLeftOutReason::IgnoreFile:
    case TLeftOutReason::Exclusion:
        return "excluded by " + leftOut.Rule;
    }
    return "";
}

std::vector<std::string> ExclusionLines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.find_first_not_of(" \t") != std::string::npos)
            lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

std::string ExcludeLine(const std::string& pattern) {
    if (!pattern.empty() && (pattern[0] == '#' || pattern[0] == '!'))
        return "\\" + pattern;
    return pattern;
}

std::string IncludeLine(const std::string& pattern) {
    return "!" + pattern; // after the "!" a "#" or "!" is already literal
}

TSiteRules::TSiteRules() {
    for (const DefaultRule& rule : kDefaultRules)
        list_.AddLine(rule.pattern, "", int(rule.reason));
}

void TSiteRules::AddIgnoreFile(const std::string& text) {
    list_.AddText(text, kIgnoreFileName, kIgnoreFileTag);
}

void TSiteRules::AddExclusions(const std::vector<std::string>& lines) {
    for (const std::string& line : lines)
        list_.AddLine(line, "", kExclusionTag);
}

void TSiteRules::AddSettingsFiles(const std::vector<std::string>& names) {
    settingsFiles_.insert(settingsFiles_.end(), names.begin(), names.end());
}

std::optional<TLeftOut> TSiteRules::LeftOut(const std::string& path, bool folder) const {
    std::string name = BaseName(path);
    if (!folder &&
        std::find(settingsFiles_.begin(), settingsFiles_.end(), name) != settingsFiles_.end())
        return TLeftOut{path, folder, TLeftOutReason::SettingsFile, ""};
    if (!folder && IsProgramFile(name))
        return TLeftOut{path, folder, TLeftOutReason::ProgramFile, ""};
    // The name of the publishes' history in the remote root: never published over it.
    if (path == kHistoryName)
        return TLeftOut{path, folder, TLeftOutReason::ProgramFile, ""};
    const TIgnorePattern* pattern = list_.Excluding(path, folder);
    if (!pattern)
        return std::nullopt;
    TLeftOut result{path, folder, TLeftOutReason::Exclusion, pattern->Line};
    if (pattern->Tag == kIgnoreFileTag) {
        result.Reason = TLeftOutReason::IgnoreFile;
        result.Rule += " (" + pattern->Source + ")";
    } else if (pattern->Tag >= 0) {
        result.Reason = TLeftOutReason(pattern->Tag);
    }
    return result;
}

std::vector<std::string> TSiteRules::Problems() const {
    std::vector<std::string> problems;
    for (const TIgnorePattern& pattern : list_.Patterns())
        if (pattern.Malformed)
            problems.push_back("The pattern " + pattern.Line +
                               (pattern.Source.empty() ? "" : " (" + pattern.Source + ")") +
                               " has a \"[\" without its \"]\" and matches nothing");
    return problems;
}

} // namespace kestrel
