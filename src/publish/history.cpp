#include "publish/history.h"

#include "publish/manifest.h"
#include "publish/names.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <sstream>

namespace kestrel {
namespace {

constexpr char kRecordHeader[] = "# KestrelFTP run 1";
constexpr char kFilesFolder[] = "files";

// The record's lines: "added PATH" and the like, each list under its word.
struct RecordList {
    const char* word;
    std::vector<std::string> THistoryRecord::*list;
};
constexpr RecordList kRecordLists[] = {
    {"added", &THistoryRecord::Added},
    {"replaced", &THistoryRecord::Replaced},
    {"deleted", &THistoryRecord::Deleted},
    {"not-kept", &THistoryRecord::NotKept},
    {"made-folder", &THistoryRecord::FoldersMade},
    {"removed-folder", &THistoryRecord::FoldersRemoved},
};

// A path below the root: never "", "/a", "a//b", "a/../b" or "./a", never a line end.
bool IsPlainRelative(const std::string& path) {
    if (path.empty() || path.find_first_of("\r\n") != std::string::npos)
        return false;
    std::size_t start = 0;
    for (;;) {
        std::size_t slash = path.find('/', start);
        std::string name = path.substr(start, slash - start);
        if (name.empty() || name == "." || name == "..")
            return false;
        if (slash == std::string::npos)
            return true;
        start = slash + 1;
    }
}

bool StartsWith(const std::string& text, const std::string& prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

// The history folder at folder as listed; a folder that is not there gives Exists false.
TSiteHistory Listed(TVaneFTP& ftp, const std::string& folder, bool inside, bool machineList,
                    bool together) {
    TSiteHistory history;
    history.Folder = folder;
    history.InsideRoot = inside;
    try {
        history.Tree = ReadRemoteTree(ftp, folder, machineList, together);
        history.Exists = history.Tree.RootExists;
    } catch (const FTPException&) {
        history.Exists = false;
    }
    if (!history.Exists) {
        history.Tree = TRemoteTree{};
        return history;
    }
    history.Protected = history.Tree.Entries.count(".htaccess") > 0;
    for (const auto& [path, entry] : history.Tree.Entries) {
        if (entry.Folder && path.find('/') == std::string::npos && IsHistoryRunId(path))
            history.Runs.push_back({path, 0, 0});
    }
    for (THistoryRunInfo& run : history.Runs) {
        const std::string files = run.Id + "/" + kFilesFolder + "/";
        for (const auto& [path, entry] : history.Tree.Entries) {
            if (entry.Folder || !StartsWith(path, files))
                continue;
            ++run.Files;
            run.Bytes += std::max<std::int64_t>(entry.Size, 0);
        }
    }
    std::sort(history.Runs.begin(), history.Runs.end(),
              [](const THistoryRunInfo& a, const THistoryRunInfo& b) {
                  return HistoryRunBefore(a.Id, b.Id);
              });
    return history;
}

int Depth(const std::string& path) {
    return int(std::count(path.begin(), path.end(), '/'));
}

} // namespace

std::string FormatHistoryRecord(const THistoryRecord& record) {
    std::string text = std::string(kRecordHeader) + "\n";
    text += "id " + record.Id + "\n";
    text += std::string("state ") + (record.Complete ? "complete" : "open") + "\n";
    text += std::string("manifest ") + (record.HadManifest ? "yes" : "no") + "\n";
    for (const RecordList& list : kRecordLists)
        for (const std::string& path : record.*list.list)
            text += std::string(list.word) + " " + path + "\n";
    return text;
}

std::optional<THistoryRecord> ParseHistoryRecord(const std::string& text) {
    std::istringstream lines(text);
    std::string line;
    if (!std::getline(lines, line) || line != kRecordHeader)
        return std::nullopt;
    THistoryRecord record;
    while (std::getline(lines, line)) {
        std::size_t space = line.find(' ');
        if (space == std::string::npos)
            continue;
        const std::string word = line.substr(0, space);
        const std::string value = line.substr(space + 1);
        if (word == "id")
            record.Id = value;
        else if (word == "state")
            record.Complete = value == "complete";
        else if (word == "manifest")
            record.HadManifest = value == "yes";
        for (const RecordList& list : kRecordLists) {
            if (word != list.word)
                continue;
            if (!IsPlainRelative(value))
                return std::nullopt;
            (record.*list.list).push_back(value);
        }
    }
    return record;
}

std::string HistoryRunId(std::chrono::system_clock::time_point when) {
    std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y%m%dT%H%M%SZ", &utc);
    return text;
}

bool IsHistoryRunId(const std::string& name) {
    // 20261209T081500Z, then "-" and a number when two runs began in one second.
    constexpr std::size_t kLength = 16;
    if (name.size() < kLength)
        return false;
    for (std::size_t i = 0; i < kLength; ++i) {
        const char c = name[i];
        const bool ok = i == 8 ? c == 'T' : i == 15 ? c == 'Z' : (c >= '0' && c <= '9');
        if (!ok)
            return false;
    }
    if (name.size() == kLength)
        return true;
    if (name[kLength] != '-' || name.size() == kLength + 1)
        return false;
    return std::all_of(name.begin() + kLength + 1, name.end(),
                       [](char c) { return c >= '0' && c <= '9'; });
}

namespace {

// "20261209T081500Z" -> (that, 1); "20261209T081500Z-3" -> (that, 3).
std::pair<std::string, long> RunKey(const std::string& id) {
    constexpr std::size_t kLength = 16;
    if (id.size() <= kLength + 1)
        return {id, 1};
    return {id.substr(0, kLength), std::strtol(id.c_str() + kLength + 1, nullptr, 10)};
}

} // namespace

bool HistoryRunBefore(const std::string& a, const std::string& b) {
    return RunKey(a) < RunKey(b);
}

std::string NextHistoryRunId(std::chrono::system_clock::time_point when,
                             const std::vector<THistoryRunInfo>& runs) {
    const std::string id = HistoryRunId(when);
    if (runs.empty())
        return id;
    const auto [last, number] = RunKey(runs.back().Id);
    if (id > last)
        return id;
    return last + "-" + std::to_string(number + 1);
}

std::string HistoryRunTime(const std::string& id) {
    if (!IsHistoryRunId(id))
        return id;
    return id.substr(0, 4) + "-" + id.substr(4, 2) + "-" + id.substr(6, 2) + " " + id.substr(9, 2) +
           ":" + id.substr(11, 2) + ":" + id.substr(13, 2) + " UTC";
}

std::string TSiteHistory::RunFolder(const std::string& id) const {
    return JoinRemote(Folder, id);
}

std::string TSiteHistory::KeptPath(const std::string& id, const std::string& relative) const {
    return JoinRemote(JoinRemote(RunFolder(id), kFilesFolder), relative);
}

std::string TSiteHistory::RecordPath(const std::string& id) const {
    return JoinRemote(RunFolder(id), "record");
}

std::string TSiteHistory::ManifestPath(const std::string& id) const {
    return JoinRemote(RunFolder(id), "manifest");
}

TSiteHistory FindHistory(TVaneFTP& ftp, const std::string& root, bool machineList, bool make,
                         bool together) {
    const std::string inside = JoinRemote(root, kHistoryName);
    if (root == "/")
        return Listed(ftp, inside, true, machineList, together);
    const std::string parent = JoinRemote(Parent(root).empty() ? "/" : Parent(root), kHistoryName);
    const std::string beside = JoinRemote(parent, BaseName(root));
    if (make) {
        // Where the log-in may make folders beside the root, the history is kept there, out
        // of the folder visitors are served; an MKD refused (or a folder already there)
        // tells nothing, the listing after it does.
        if (ftp.Pipelining) {
            ftp.Pipeline({"MKD " + parent, "MKD " + beside}); // in one packet: a round trip
        } else {
            for (const std::string& folder : {parent, beside}) {
                try {
                    ftp.MakeDirectory(folder);
                } catch (const FTPException&) {
                }
            }
        }
        TSiteHistory history = Listed(ftp, beside, false, machineList, together);
        return history.Exists ? history : Listed(ftp, inside, true, machineList, together);
    }
    TSiteHistory besideHistory = Listed(ftp, beside, false, machineList, together);
    if (!besideHistory.Runs.empty())
        return besideHistory;
    TSiteHistory insideHistory = Listed(ftp, inside, true, machineList, together);
    if (!insideHistory.Runs.empty() || !besideHistory.Exists)
        return insideHistory;
    return besideHistory;
}

std::string HistoryAccessText() {
    return "# KestrelFTP keeps earlier versions of the site here, for undo: not for visitors.\n"
           "<IfModule mod_authz_core.c>\n"
           "    Require all denied\n"
           "</IfModule>\n"
           "<IfModule !mod_authz_core.c>\n"
           "    Order allow,deny\n"
           "    Deny from all\n"
           "</IfModule>\n";
}

TPlanHistory PlanHistory(const TSiteHistory& history, const TPublishPlan& plan,
                         const TRemoteTree& remote, int keepRuns) {
    TPlanHistory result;
    if (history.Folder.empty() || keepRuns <= 0)
        return result;
    result.On = true;
    result.InsideRoot = history.InsideRoot;
    result.Folder = history.Folder;
    result.KeepRuns = keepRuns;
    result.Runs = int(history.Runs.size());
    for (const THistoryRunInfo& run : history.Runs) {
        result.Files += run.Files;
        result.Bytes += run.Bytes;
    }
    THistoryRun run(history, "", plan, keepRuns);
    const THistoryRecord intended = run.Intended();
    for (const auto* list : {&intended.Replaced, &intended.Deleted}) {
        for (const std::string& path : *list) {
            auto entry = remote.Entries.find(path);
            ++result.Moves;
            if (entry != remote.Entries.end())
                result.MovesBytes += std::max<std::int64_t>(entry->second.Size, 0);
        }
    }
    if (plan.NothingToDo())
        return result; // no run is kept, none removed
    for (const std::string& id : run.RunsToPrune()) {
        auto info = std::find_if(history.Runs.begin(), history.Runs.end(),
                                 [&](const THistoryRunInfo& r) { return r.Id == id; });
        ++result.Prunes;
        result.PrunesFiles += info->Files;
        result.PrunesBytes += info->Bytes;
    }
    return result;
}

THistoryRun::THistoryRun(TSiteHistory site, std::string id, const TPublishPlan& plan, int keepRuns)
    : site_(std::move(site)), id_(std::move(id)), keepRuns_(keepRuns) {
    intended_.Id = id_;
    for (const TPlannedUpload& upload : plan.Uploads) {
        (upload.New ? intended_.Added : intended_.Replaced).push_back(upload.Path);
        if (!upload.New)
            replaces_.insert(upload.Path);
    }
    for (const std::string& path : plan.FilesToRemoveFirst)
        intended_.Deleted.push_back(path);
    for (const TCaseRename& rename : plan.CaseRenames)
        intended_.Deleted.push_back(rename.From);
    for (const std::string& path : plan.FilesToDelete)
        if (!IsTemporaryName(path)) // the publisher's own leftovers are not content
            intended_.Deleted.push_back(path);
    intended_.FoldersMade = plan.FoldersToCreate;
    intended_.FoldersRemoved = plan.FoldersToRemoveFirst;
    intended_.FoldersRemoved.insert(intended_.FoldersRemoved.end(), plan.FoldersToDelete.begin(),
                                    plan.FoldersToDelete.end());
    kept_.insert(intended_.Replaced.begin(), intended_.Replaced.end());
    kept_.insert(intended_.Deleted.begin(), intended_.Deleted.end());
}

std::vector<std::string> THistoryRun::FoldersToMake() const {
    std::set<std::string> folders;
    for (const std::string& path : kept_)
        for (std::string parent = Parent(path); !parent.empty(); parent = Parent(parent))
            folders.insert(parent);
    std::vector<std::string> result{site_.RunFolder(id_), Kept("")};
    // "a" sorts before "a/b": parents come first.
    for (const std::string& folder : folders)
        result.push_back(Kept(folder));
    return result;
}

std::vector<std::string> THistoryRun::RunsToPrune() const {
    std::vector<std::string> result;
    const int older = int(site_.Runs.size()) - std::max(0, keepRuns_ - 1);
    for (int i = 0; i < older; ++i)
        result.push_back(site_.Runs[std::size_t(i)].Id);
    return result;
}

std::vector<std::pair<std::string, bool>> THistoryRun::ContentsOf(const std::string& id) const {
    std::vector<std::pair<std::string, bool>> contents;
    for (const auto& [path, entry] : site_.Tree.Entries)
        if (StartsWith(path, id + "/"))
            contents.push_back({path, entry.Folder});
    std::stable_sort(contents.begin(), contents.end(),
                     [](const auto& a, const auto& b) { return Depth(a.first) > Depth(b.first); });
    contents.push_back({id, true});
    return contents;
}

THistoryRecord THistoryRun::Intended() const {
    std::lock_guard lock(mutex_);
    THistoryRecord record = intended_;
    record.HadManifest = hadManifest_;
    return record;
}

THistoryRecord THistoryRun::Done() const {
    std::lock_guard lock(mutex_);
    THistoryRecord record;
    record.Id = id_;
    record.Complete = true;
    record.HadManifest = hadManifest_;
    record.Added = added_;
    for (const std::string& path : keptCopies_)
        (replaces_.count(path) ? record.Replaced : record.Deleted).push_back(path);
    record.NotKept = notKept_;
    record.FoldersMade = foldersMade_;
    record.FoldersRemoved = foldersRemoved_;
    return record;
}

void THistoryRun::SetHadManifest(bool had) {
    std::lock_guard lock(mutex_);
    hadManifest_ = had;
}

void THistoryRun::SetStarted() {
    std::lock_guard lock(mutex_);
    started_ = true;
}

bool THistoryRun::Started() const {
    std::lock_guard lock(mutex_);
    return started_;
}

void THistoryRun::SetEnd(TEnd end) {
    std::lock_guard lock(mutex_);
    end_ = end;
}

THistoryRun::TEnd THistoryRun::End() const {
    std::lock_guard lock(mutex_);
    return end_;
}

void THistoryRun::Added(const std::string& path) {
    std::lock_guard lock(mutex_);
    added_.push_back(path);
}

void THistoryRun::KeptCopy(const std::string& path) {
    std::lock_guard lock(mutex_);
    keptCopies_.push_back(path);
}

void THistoryRun::Restored(const std::string& path) {
    std::lock_guard lock(mutex_);
    keptCopies_.erase(std::remove(keptCopies_.begin(), keptCopies_.end(), path), keptCopies_.end());
}

void THistoryRun::NotKept(const std::string& path) {
    std::lock_guard lock(mutex_);
    notKept_.push_back(path);
}

void THistoryRun::FolderMade(const std::string& path) {
    std::lock_guard lock(mutex_);
    foldersMade_.push_back(path);
}

void THistoryRun::FolderRemoved(const std::string& path) {
    std::lock_guard lock(mutex_);
    foldersRemoved_.push_back(path);
}

} // namespace kestrel
