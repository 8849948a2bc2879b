#include "publish/remotetree.h"

#include "net/ftp/vaneftp.h"

#include <cctype>
#include <charconv>
#include <ctime>
#include <deque>

namespace kestrel {
namespace {

std::string Lower(std::string text) {
    for (char& c : text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool ParseNumber(const std::string& text, std::int64_t& value) {
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    return error == std::errc() && end == text.data() + text.size() && value >= 0;
}

// "20261208101500" or "20261208101500.123" (UTC) -> seconds since 1970; -1 when malformed.
std::int64_t ParseMachineTime(const std::string& text) {
    if (text.size() < 14)
        return -1;
    for (int i = 0; i < 14; ++i)
        if (!std::isdigit(static_cast<unsigned char>(text[std::size_t(i)])))
            return -1;
    auto field = [&](int at, int length) {
        return std::stoi(text.substr(std::size_t(at), std::size_t(length)));
    };
    std::tm time{};
    time.tm_year = field(0, 4) - 1900;
    time.tm_mon = field(4, 2) - 1;
    time.tm_mday = field(6, 2);
    time.tm_hour = field(8, 2);
    time.tm_min = field(10, 2);
    time.tm_sec = field(12, 2);
    return std::int64_t(timegm(&time));
}

// Splits off the first word (a run of non-spaces) of text from position at; at moves past
// the word and the spaces after it.
std::string NextWord(const std::string& text, std::size_t& at) {
    std::size_t start = at;
    while (at < text.size() && text[at] != ' ')
        ++at;
    std::string word = text.substr(start, at - start);
    while (at < text.size() && text[at] == ' ')
        ++at;
    return word;
}

} // namespace

bool ParseMachineListLine(const std::string& line, std::string& name, TRemoteEntry& entry) {
    // RFC 3659: facts, each "fact=value;", then one space, then the name to the line's end.
    std::size_t space = line.find(' ');
    if (space == std::string::npos || space + 1 >= line.size())
        return false;
    name = line.substr(space + 1);
    if (name.find('/') != std::string::npos || name == "." || name == "..")
        return false;
    entry = TRemoteEntry{};
    std::string type;
    std::size_t start = 0;
    while (start < space) {
        std::size_t end = line.find(';', start);
        if (end == std::string::npos || end > space)
            end = space;
        std::string fact = line.substr(start, end - start);
        start = end + 1;
        std::size_t equals = fact.find('=');
        if (equals == std::string::npos)
            continue;
        std::string key = Lower(fact.substr(0, equals));
        std::string value = fact.substr(equals + 1);
        if (key == "type")
            type = Lower(value);
        else if (key == "size" && !ParseNumber(value, entry.Size))
            entry.Size = -1;
        else if (key == "modify")
            entry.ModifyTime = ParseMachineTime(value);
    }
    if (type == "dir") {
        entry.Folder = true;
        return true;
    }
    return type == "file";
}

bool ParseUnixListLine(const std::string& line, std::string& name, TRemoteEntry& entry) {
    if (line.empty() || (line[0] != '-' && line[0] != 'd'))
        return false; // totals, links, other systems
    // permissions links owner group size month day time-or-year name...
    std::size_t at = 0;
    std::string words[8];
    for (std::string& word : words) {
        word = NextWord(line, at);
        if (word.empty())
            return false;
    }
    if (at >= line.size())
        return false;
    name = line.substr(at);
    if (name == "." || name == ".." || name.find('/') != std::string::npos)
        return false;
    entry = TRemoteEntry{};
    entry.Folder = line[0] == 'd';
    if (!ParseNumber(words[4], entry.Size))
        entry.Size = -1;
    return true;
}

std::string JoinRemote(const std::string& root, const std::string& relative) {
    if (relative.empty())
        return root;
    if (root.empty() || root == "/")
        return "/" + relative;
    return root.back() == '/' ? root + relative : root + "/" + relative;
}

namespace {

// Names and entries of one folder, by the listing command chosen.
class FolderLister {
public:
    FolderLister(TVaneFTP& ftp, bool machineList) : ftp_(ftp), machineList_(machineList) {}

    std::map<std::string, TRemoteEntry> List(const std::string& path) {
        std::map<std::string, TRemoteEntry> entries;
        std::vector<std::string> lines;
        auto saved = ftp_.OnListItem;
        ftp_.OnListItem = [&](const std::string& line) { lines.push_back(line); };
        try {
            if (machineList_) {
                ftp_.MachineList(path);
            } else {
                ftp_.ChangeDir(path);
                ftp_.ParseList = true;
                ftp_.List();
            }
        } catch (...) {
            ftp_.OnListItem = saved;
            throw;
        }
        ftp_.OnListItem = saved;
        for (const std::string& line : lines) {
            std::string name;
            TRemoteEntry entry;
            bool ok = machineList_ ? ParseMachineListLine(line, name, entry)
                                   : ParseUnixListLine(line, name, entry);
            if (ok)
                entries[name] = entry;
        }
        if (!machineList_ && entries.empty())
            AddParsed(entries);
        return entries;
    }

private:
    // A listing in another system's layout: what the component's parser made of it.
    void AddParsed(std::map<std::string, TRemoteEntry>& entries) {
        if (!ftp_.FTPDirectoryList)
            return;
        const auto& list = *ftp_.FTPDirectoryList;
        for (std::size_t i = 0; i < list.Names.size(); ++i) {
            const std::string& name = list.Names[i];
            if (name.empty() || name == "." || name == "..")
                continue;
            TRemoteEntry entry;
            std::string size = i < list.Sizes.size() ? list.Sizes[i] : std::string();
            std::string attributes = i < list.Attributes.size() ? list.Attributes[i] : "";
            entry.Folder = Lower(size) == "<dir>" || (!attributes.empty() && attributes[0] == 'd');
            if (!ParseNumber(size, entry.Size))
                entry.Size = -1;
            entries[name] = entry;
        }
    }

    TVaneFTP& ftp_;
    bool machineList_;
};

// Servers answer a listing of a missing folder differently (550, 450, 501): the root is
// missing when the server also refuses to change into it.
bool IsMissingFolder(TVaneFTP& ftp, const std::string& path) {
    try {
        ftp.ChangeDir(path);
        return false;
    } catch (const FTPException&) {
        return true;
    }
}

} // namespace

TRemoteTree ReadRemoteTree(TVaneFTP& ftp, const std::string& root, bool useMachineList) {
    TRemoteTree tree;
    tree.TimesKnown = useMachineList;
    FolderLister lister(ftp, useMachineList);
    std::deque<std::string> folders{""};
    while (!folders.empty()) {
        std::string relative = folders.front();
        folders.pop_front();
        std::map<std::string, TRemoteEntry> entries;
        try {
            entries = lister.List(JoinRemote(root, relative));
        } catch (const FTPException& error) {
            if (relative.empty() && IsMissingFolder(ftp, root)) {
                tree.RootExists = false;
                return tree;
            }
            if (relative.empty())
                throw;
            tree.Unlisted.insert(relative);
            tree.Notes.push_back("Could not list " + relative + ": " + error.what());
            continue;
        }
        for (const auto& [name, entry] : entries) {
            std::string path = relative.empty() ? name : relative + "/" + name;
            tree.Entries[path] = entry;
            if (entry.Folder)
                folders.push_back(path);
        }
    }
    return tree;
}

} // namespace kestrel
