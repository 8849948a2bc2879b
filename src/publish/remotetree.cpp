#include "publish/remotetree.h"

#include "net/ftp/ftplist.h"
#include "net/ftp/vaneftp.h"
#include "publish/manifest.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <chrono>
#include <ctime>
#include <deque>
#include <memory>

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
// the word and the spaces after it, and end is set just past the word.
std::string NextWord(const std::string& text, std::size_t& at, std::size_t& end) {
    std::size_t start = at;
    while (at < text.size() && text[at] != ' ')
        ++at;
    end = at;
    std::string word = text.substr(start, at - start);
    while (at < text.size() && text[at] == ' ')
        ++at;
    return word;
}

bool HoldsByte255(const std::string& text) {
    return text.find('\xff') != std::string::npos;
}

} // namespace

bool ParseMachineListLine(const std::string& line, std::string& name, TRemoteEntry& entry) {
    // RFC 3659: facts, each "fact=value;", then one space, then the name to the line's end.
    std::size_t space = line.find(' ');
    if (space == std::string::npos)
        return false;
    name = line.substr(space + 1);
    if (name == "." || name == "..")
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
    std::size_t wordEnd = 0;
    std::string words[8];
    for (std::string& word : words) {
        word = NextWord(line, at, wordEnd);
        if (word.empty())
            return false;
    }
    // One space separates the time or year from the name: any further ones belong to the
    // name ("Dec 09 05:17  lead.htm" names " lead.htm"), and so do spaces at its end.
    if (wordEnd + 1 >= line.size())
        return false;
    name = line.substr(wordEnd + 1);
    if (name == "." || name == "..")
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

constexpr std::size_t kMostListingBytes = std::size_t(32) << 20; // of one folder
constexpr std::size_t kMostEntries = 1000000;                    // of the whole tree
// Listings sent together: at most this many folders in one packet, and this many bytes of
// listings in all their replies.
constexpr std::size_t kMostFoldersTogether = 100;
constexpr std::size_t kMostBatchBytes = std::size_t(64) << 20;

// A line in the Unix layout, also one that names no file or folder of its own: "total 12",
// or one for a link or a device ("lrwxrwxrwx 1 o g 4 Dec  8 10:15 l -> x").
bool IsUnixLine(const std::string& line) {
    if (line.rfind("total ", 0) == 0)
        return true;
    std::size_t end = line.find(' ');
    return end == 10 && std::string("-dlbcps").find(line[0]) != std::string::npos;
}

// A name as a note shows it: in quotes, with its control characters written out.
std::string Shown(const std::string& name) {
    std::string text = "\"";
    for (char c : name) {
        if (c == '\r')
            text += "\\r";
        else if (c == '\n')
            text += "\\n";
        else if (c == '\0')
            text += "\\0";
        else
            text += c;
    }
    return text + "\"";
}

// What one listing of a folder says.
struct FolderListing {
    std::map<std::string, TRemoteEntry> entries;
    std::vector<std::string> refused; // notes on names that cannot be taken
    bool namesItself = false;         // it lists "." or "..": options such as -a were taken
    bool otherLayout = false;         // read by words, in another layout than Unix's
};

// Names and entries of one folder, by the listing command chosen. Every name passes
// RemoteNameProblem or is left out with a note: nothing the server lists can make a
// publish act outside the folder listed.
class FolderLister {
public:
    FolderLister(TVaneFTP& ftp, bool machineList, std::vector<std::string>& notes)
        : ftp_(ftp), machineList_(machineList), notes_(notes) {}

    std::map<std::string, TRemoteEntry> List(const std::string& folder, const std::string& path) {
        FolderListing listing;
        if (machineList_) {
            listing = Parse(Lines([&] { ftp_.MachineList(path); }));
        } else {
            ftp_.ChangeDir(path);
            ftp_.ParseList = true;
            listing = ListWithHidden();
        }
        return Finish(folder, std::move(listing));
    }

    // What the commands of one folder in a batch of ListTogether told.
    struct Together {
        enum Kind { Listed, Refused, Unknown } kind = Unknown; // Unknown: list it the old way
        FolderListing listing;                                 // Listed
        std::string refusal;                                   // Refused: the CWD's reply
    };

    bool TakesStatus() const { return status_ != Hidden::NotListed; }

    // The folders of one level (relative to root) in one packet: "CWD <path>" and
    // "STAT -a <path>" for each, and while it is not yet known whether the server takes
    // "-a", "STAT <path>" too, decided as ListWithHidden decides "LIST -a":
    //   -> CWD /site/a\r\nSTAT -a /site/a\r\nCWD /site/b\r\nSTAT -a /site/b\r\n
    // Replies of a shape that no command of these can have raise EListingOutOfStep.
    std::vector<Together> ListTogether(const std::vector<std::string>& folders,
                                       const std::string& root) {
        const bool probe = status_ == Hidden::Unknown;
        const std::size_t per = probe ? 3 : 2;
        std::vector<std::string> commands;
        for (const std::string& folder : folders) {
            const std::string path = JoinRemote(root, folder);
            commands.push_back("CWD " + path);
            commands.push_back("STAT -a " + path);
            if (probe)
                commands.push_back("STAT " + path);
        }
        std::vector<std::vector<std::string>> lines(commands.size());
        std::vector<FtpReply> replies;
        std::size_t bytes = 0;
        try {
            replies = ftp_.PipelineListing(
                commands,
                [&](std::size_t index, const std::string& line) {
                    bytes += line.size() + 2;
                    if (bytes > kMostBatchBytes)
                        throw FTPException("the listings go on past " +
                                           std::to_string(kMostBatchBytes >> 20) + " MiB");
                    lines[index].push_back(line);
                },
                kMostListingBytes);
        } catch (const FTPException& error) {
            throw EListingOutOfStep(std::string("Listings sent together: ") + error.what());
        } catch (const EReplyTimeOut& error) {
            // A server that does not answer STAT at all; the connection is closed by now.
            throw EListingOutOfStep(std::string("Listings sent together: ") + error.what());
        }
        std::vector<Together> results(folders.size());
        for (std::size_t k = 0; k < folders.size(); ++k) {
            const FtpReply& entered = replies[k * per];
            if (!EnteredOrRefused(entered.code))
                throw OutOfStep(commands[k * per], entered);
            if (entered.code >= 400) {
                results[k].kind = Together::Refused;
                results[k].refusal = entered.Text();
                continue;
            }
            std::optional<FolderListing> all =
                StatusListing(replies[k * per + 1], lines[k * per + 1]);
            if (!probe || status_ == Hidden::Listed) {
                if (all) {
                    results[k].kind = Together::Listed;
                    results[k].listing = std::move(*all);
                }
                continue;
            }
            std::optional<FolderListing> plain =
                StatusListing(replies[k * per + 2], lines[k * per + 2]);
            if (status_ == Hidden::NotListed || !all || !plain) {
                DecideStatus(Hidden::NotListed);
                continue;
            }
            bool holdsPlain = true;
            for (const auto& [name, entry] : plain->entries)
                holdsPlain = holdsPlain && all->entries.count(name) > 0;
            if (!holdsPlain) {
                DecideStatus(Hidden::NotListed); // "-a" was taken for a name
                continue;
            }
            if (all->namesItself || !all->entries.empty())
                DecideStatus(Hidden::Listed);
            results[k].kind = Together::Listed;
            results[k].listing = std::move(*all);
        }
        return results;
    }

    // The entries of a folder's listing, with notes on what it did not take.
    std::map<std::string, TRemoteEntry> Finish(const std::string& folder, FolderListing listing) {
        if (listing.otherLayout && !otherLayoutNoted_) {
            otherLayoutNoted_ = true;
            notes_.push_back("The server lists in another layout than Unix's and offers no "
                             "MLSD: a name with spaces at its ends or several spaces in a row "
                             "is not read exactly");
        }
        for (const std::string& refusal : listing.refused)
            notes_.push_back("Left alone in " + (folder.empty() ? "/" : folder) + ": " + refusal);
        return std::move(listing.entries);
    }

private:
    enum class Hidden { Unknown, Listed, NotListed };

    // LIST alone hides the names that begin with a dot on many servers (vsftpd among them),
    // and with them the temporary names an interrupted publish left; "LIST -a" shows them
    // on a server that takes options. Another server takes "-a" for a name, so the first
    // listings of a connection find out which kind it is: "-a" is kept once its listing
    // names "." or "..", or holds everything that LIST alone does; it is dropped once it
    // is refused or misses a name that LIST alone gives.
    FolderListing ListWithHidden() {
        if (hidden_ == Hidden::NotListed)
            return Parse(Lines([&] { ftp_.List(); }));
        std::vector<std::string> lines;
        try {
            lines = Lines([&] { ftp_.List("-a"); });
        } catch (const FTPException&) {
            // A folder that cannot be listed at all raises here as before.
            FolderListing plain = Parse(Lines([&] { ftp_.List(); }));
            Decide(Hidden::NotListed);
            return plain;
        }
        FolderListing all = Parse(lines);
        if (hidden_ == Hidden::Listed)
            return all;
        if (all.namesItself) {
            Decide(Hidden::Listed);
            return all;
        }
        FolderListing plain = Parse(Lines([&] { ftp_.List(); }));
        for (const auto& [name, entry] : plain.entries) {
            if (!all.entries.count(name)) {
                Decide(Hidden::NotListed); // "-a" was taken for a name
                return plain;
            }
        }
        if (!all.entries.empty())
            Decide(Hidden::Listed);
        return all;
    }

    // A CWD passes (2xx) or is refused (4xx, 5xx); 211 to 213 answer STAT, not CWD.
    static bool EnteredOrRefused(int code) {
        return (IsCompletion(code) && (code < 211 || code > 213)) || code >= 400;
    }

    static EListingOutOfStep OutOfStep(const std::string& command, const FtpReply& reply) {
        std::string text = reply.First();
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        return EListingOutOfStep("Listings sent together: \"" + text + "\" cannot answer \"" +
                                 command + "\"");
    }

    // A listing from a STAT reply: a multi-line 211 to 213 whose lines are all in the Unix
    // layout. Nothing when the server refused or answered otherwise: the old way lists that
    // folder.
    std::optional<FolderListing> StatusListing(const FtpReply& reply,
                                               const std::vector<std::string>& lines) const {
        if (reply.code < 211 || reply.code > 213 || reply.lines.size() < 2)
            return std::nullopt;
        for (const std::string& line : lines)
            if (!IsUnixLine(line))
                return std::nullopt;
        return Parse(lines);
    }

    void DecideStatus(Hidden status) {
        if (status_ == status)
            return;
        status_ = status;
        if (status == Hidden::NotListed)
            notes_.push_back("The server does not list folders by \"STAT -a\" on the control "
                             "connection: each folder is listed over a data connection of its "
                             "own, a few round trips each");
    }

    void Decide(Hidden hidden) {
        hidden_ = hidden;
        if (hidden == Hidden::NotListed)
            notes_.push_back("The server's LIST does not show hidden names (it does not take "
                             "\"LIST -a\"): names that begin with a dot are not seen, and "
                             "a temporary name that an interrupted publish left stays");
    }

    // The lines of one listing. One that goes on past kMostListingBytes is stopped and
    // refused: a server whose listing never ends must not fill this side's memory.
    template <typename Listing> std::vector<std::string> Lines(Listing listing) {
        std::vector<std::string> lines;
        std::size_t bytes = 0;
        bool tooLong = false;
        auto saved = ftp_.OnListItem;
        ftp_.OnListItem = [&](const std::string& line) {
            bytes += line.size() + 2;
            if (bytes > kMostListingBytes && !tooLong) {
                tooLong = true;
                ftp_.Abort();
            }
            if (!tooLong)
                lines.push_back(line);
        };
        try {
            listing();
        } catch (...) {
            ftp_.OnListItem = saved;
            if (!tooLong)
                throw;
        }
        ftp_.OnListItem = saved;
        if (tooLong)
            throw FTPException("The listing goes on past " +
                               std::to_string(kMostListingBytes >> 20) + " MiB");
        return lines;
    }

    FolderListing Parse(const std::vector<std::string>& lines) const {
        FolderListing listing;
        bool unixLayout = false;
        for (const std::string& line : lines) {
            std::string name;
            TRemoteEntry entry;
            bool ok = machineList_ ? ParseMachineListLine(line, name, entry)
                                   : ParseUnixListLine(line, name, entry);
            if (ok)
                Take(listing, name, entry);
            unixLayout = unixLayout || ok || IsUnixLine(line);
            if (!machineList_ && !line.empty() && line[0] == 'd' &&
                (line.ends_with(" .") || line.ends_with(" ..")))
                listing.namesItself = true;
        }
        if (!machineList_ && !unixLayout)
            AddParsed(listing, lines);
        return listing;
    }

    static void Take(FolderListing& listing, const std::string& name, const TRemoteEntry& entry) {
        std::string problem = RemoteNameProblem(name);
        if (problem.empty())
            listing.entries[name] = entry;
        else
            listing.refused.push_back("the server listed a name that " + problem + ": " +
                                      Shown(name));
    }

    // A listing in another system's layout: what the component's parser makes of it.
    void AddParsed(FolderListing& listing, const std::vector<std::string>& lines) const {
        std::unique_ptr<TFTPDirectoryList> parser = MakeDirectoryList(ftp_.Vendor);
        if (!parser)
            return;
        for (const std::string& line : lines)
            parser->ParseLine(line);
        const auto& list = *parser;
        listing.otherLayout = !list.Names.empty();
        for (std::size_t i = 0; i < list.Names.size(); ++i) {
            const std::string& name = list.Names[i];
            if (name == "." || name == "..") {
                listing.namesItself = true;
                continue;
            }
            TRemoteEntry entry;
            std::string size = i < list.Sizes.size() ? list.Sizes[i] : std::string();
            std::string attributes = i < list.Attributes.size() ? list.Attributes[i] : "";
            entry.Folder = Lower(size) == "<dir>" || (!attributes.empty() && attributes[0] == 'd');
            if (!ParseNumber(size, entry.Size))
                entry.Size = -1;
            Take(listing, name, entry);
        }
    }

    TVaneFTP& ftp_;
    bool machineList_;
    std::vector<std::string>& notes_;
    Hidden hidden_ = Hidden::Unknown;
    Hidden status_ = Hidden::Unknown; // whether "STAT -a" lists a folder with hidden names
    bool otherLayoutNoted_ = false;
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

TRemoteTree ReadRemoteTree(TVaneFTP& ftp, const std::string& root, bool useMachineList,
                           bool together) {
    TRemoteTree tree;
    tree.TimesKnown = useMachineList;
    FolderLister lister(ftp, useMachineList, tree.Notes);
    together = together && !useMachineList && ftp.Pipelining;
    // Level by level: a folder is listed once its parent's listing showed it.
    std::vector<std::string> level{""};
    while (!level.empty()) {
        std::vector<std::string> next;
        // A folder named with a byte 255 is reached only with the server's rule for it.
        if (!tree.IacRule && std::any_of(level.begin(), level.end(), HoldsByte255))
            tree.IacRule = FindIacRule(ftp, root, tree.Notes);
        std::vector<FolderLister::Together> batch;
        for (std::size_t at = 0; together && lister.TakesStatus() && at < level.size();
             at += kMostFoldersTogether) {
            std::vector<std::string> part(
                level.begin() + std::ptrdiff_t(at),
                level.begin() + std::ptrdiff_t(std::min(level.size(), at + kMostFoldersTogether)));
            auto start = std::chrono::steady_clock::now();
            for (FolderLister::Together& told : lister.ListTogether(part, root))
                batch.push_back(std::move(told));
            double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            tree.BatchSeconds = tree.Waits == 0 ? seconds : std::min(tree.BatchSeconds, seconds);
            ++tree.Waits;
        }
        for (std::size_t k = 0; k < level.size(); ++k) {
            const std::string& relative = level[k];
            const FolderLister::Together* told = k < batch.size() ? &batch[k] : nullptr;
            std::map<std::string, TRemoteEntry> entries;
            try {
                if (told && told->kind == FolderLister::Together::Refused)
                    throw FTPException(told->refusal);
                if (told && told->kind == FolderLister::Together::Listed)
                    entries = lister.Finish(relative, std::move(batch[k].listing));
                else {
                    tree.Waits += TRemoteTree::kWaitsOfListing;
                    entries = lister.List(relative, JoinRemote(root, relative));
                }
            } catch (const FTPException& error) {
                // The CWD sent with the listing was refused: the root is not there.
                bool refused = told && told->kind == FolderLister::Together::Refused;
                if (relative.empty() && (refused || IsMissingFolder(ftp, root))) {
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
                // The publishes' history (see history.h) is not part of the site.
                if (relative.empty() && name == kHistoryName)
                    continue;
                std::string path = relative.empty() ? name : relative + "/" + name;
                tree.Entries[path] = entry;
                if (entry.Folder)
                    next.push_back(path);
            }
            // Folders without end (each listing a new one inside) must not list for ever.
            if (tree.Entries.size() > kMostEntries)
                throw FTPException("The server lists more than " + std::to_string(kMostEntries) +
                                   " files and folders under " + root);
        }
        level = std::move(next);
    }
    return tree;
}

} // namespace kestrel

namespace kestrel {

TIacRule FindIacRule(TVaneFTP& ftp, const std::string& folder, std::vector<std::string>& notes) {
    static const std::string kProbe = "kestrel-iac-probe-";
    const std::string probe = JoinRemote(folder, kProbe + "\xff\xff");
    std::optional<TIacRule> found;
    std::vector<std::string> names;
    auto savedItem = ftp.OnListItem;
    ftp.OnListItem = [&](const std::string& line) {
        // Only the probe's own names are kept, however long the listing.
        std::size_t slash = line.rfind('/');
        std::string name = line.substr(slash == std::string::npos ? 0 : slash + 1);
        if (name.rfind(kProbe, 0) == 0 && names.size() < 8)
            names.push_back(name);
    };
    ftp.IacRule = TIacRule::AsIs; // the probe's bytes go as they are
    try {
        ftp.MakeDirectory(probe);
        try {
            ftp.ChangeDir(folder);
            ftp.Nlist();
        } catch (const std::exception&) {
            // Not listed: nothing is found out.
        }
        ftp.RemoveDir(probe);
    } catch (const std::exception& error) {
        notes.push_back(std::string("Could not find out how the server takes a byte 255 in a "
                                    "name: ") +
                        error.what());
    }
    ftp.OnListItem = savedItem;
    for (const std::string& name : names) {
        if (name == kProbe + "\xff")
            found = TIacRule::Double;
        else if (name == kProbe + "\xff\xff")
            found = TIacRule::AsIs;
    }
    if (!found)
        notes.push_back("A byte 255 in a name is sent doubled, as RFC 959 asks: the server did "
                        "not show how it takes one");
    else if (*found == TIacRule::AsIs)
        notes.push_back("The server takes a byte 255 in a name as it comes, not doubled as RFC "
                        "959 asks: it is sent so");
    ftp.IacRule = found.value_or(TIacRule::Double);
    return ftp.IacRule;
}

TIacRule SettleIacRule(TVaneFTP& ftp, const std::string& root, const TLocalTree& local,
                       TRemoteTree& remote, std::vector<std::string>& notes) {
    if (remote.IacRule)
        return ftp.IacRule = *remote.IacRule;
    bool needed = HoldsByte255(root);
    for (const auto& [path, file] : local.Files)
        needed = needed || HoldsByte255(path);
    for (const std::string& path : local.Folders)
        needed = needed || HoldsByte255(path);
    for (const auto& [path, entry] : remote.Entries)
        needed = needed || HoldsByte255(path);
    if (!needed)
        return ftp.IacRule;
    if (remote.RootExists) {
        remote.IacRule = FindIacRule(ftp, root, notes);
        return ftp.IacRule;
    }
    // A root still to be made is made for the probe and removed again: the plan (and a
    // dry run) finds the server as it was.
    try {
        ftp.MakeDirectory(root);
    } catch (const std::exception& error) {
        notes.push_back(std::string("Could not find out how the server takes a byte 255 in a "
                                    "name: ") +
                        error.what());
        return ftp.IacRule;
    }
    remote.IacRule = FindIacRule(ftp, root, notes);
    try {
        ftp.RemoveDir(root);
    } catch (const std::exception&) {
        remote.RootExists = true; // it stays, empty: the plan makes it no more
    }
    return ftp.IacRule;
}

} // namespace kestrel
