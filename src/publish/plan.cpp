#include "publish/plan.h"

#include "publish/names.h"

#include <algorithm>
#include <map>

namespace kestrel {
namespace {

bool IsUnder(const std::string& path, const std::string& folder) {
    return path.size() > folder.size() && path.compare(0, folder.size(), folder) == 0 &&
           path[folder.size()] == '/';
}

int Depth(const std::string& path) {
    return int(std::count(path.begin(), path.end(), '/'));
}

void SortDeepestFirst(std::vector<std::string>& folders) {
    std::stable_sort(folders.begin(), folders.end(),
                     [](const auto& a, const auto& b) { return Depth(a) > Depth(b); });
}

// Remote names that differ from local ones only in letter case, and what becomes of them.
class CaseFolding {
public:
    CaseFolding(const TLocalTree& local, const TRemoteTree& remote)
        : local_(local), remote_(remote) {}

    // A remote path that is not local, but is when letter case is ignored ("Index.htm" for
    // a local "index.htm"): the same file on a server that ignores case.
    bool SameButForCase(const std::string& path) {
        if (folded_.empty()) {
            for (const auto& [local, file] : local_.Files) {
                auto [it, added] = folded_.emplace(Folded(local), local);
                if (!added)
                    it->second.clear(); // two local spellings: no one file to rename to
            }
            for (const std::string& folder : local_.Folders)
                folded_.emplace(Folded(folder), "");
        }
        return !local_.Files.count(path) && !local_.Folders.count(path) &&
               folded_.count(Folded(path)) > 0;
    }

    // A file renamed only in letter case within its folder is renamed on the server before
    // the uploads: on a server that ignores case, a deletion of the old spelling would
    // delete the new one. Anything else that differs only in case is kept, with a note.
    void KeepOrRename(const std::string& path, const TRemoteEntry& entry, TPublishPlan& plan) {
        if (entry.Folder)
            return;
        const std::string& to = folded_.at(Folded(path));
        if (!to.empty() && Parent(to) == Parent(path) && !remote_.Entries.count(to) &&
            !renamedTo_.count(to)) {
            plan.CaseRenames.push_back({path, to});
            renamedTo_.insert(to);
            return;
        }
        plan.Notes.push_back("Kept " + path +
                             ": it differs from a local name only in letter case, and on a "
                             "server that ignores case deleting it would delete the file "
                             "just sent; rename or delete it on the server");
    }

private:
    static std::string Folded(std::string path) {
        for (char& c : path)
            if (c >= 'A' && c <= 'Z')
                c = char(c - 'A' + 'a');
        return path;
    }

    const TLocalTree& local_;
    const TRemoteTree& remote_;
    std::map<std::string, std::string> folded_; // local paths in lower case -> the file
    std::set<std::string> renamedTo_;
};

class Planner {
public:
    Planner(const TLocalTree& local, const TRemoteTree& remote,
            const std::optional<TManifest>& manifest, const TPlanOptions& options)
        : local_(local), remote_(remote), manifest_(manifest), options_(options) {}

    TPublishPlan Run() {
        plan_.ByManifest = manifest_.has_value();
        plan_.CreateRoot = !remote_.RootExists;
        FindForeignTrees();
        for (const std::string& folder : local_.Folders)
            PlanFolder(folder);
        for (const auto& [path, file] : local_.Files)
            PlanFile(path, file);
        PlanDeletions();
        GuardDeletions();
        SortDeepestFirst(plan_.FoldersToRemoveFirst);
        SortDeepestFirst(plan_.FoldersToDelete);
        AddNotes();
        plan_.LeftOut = local_.LeftOut;
        for (const TUnreadable& unreadable : local_.Unreadable)
            plan_.Conflicts.push_back({unreadable.Path, unreadable.Reason});
        return std::move(plan_);
    }

private:
    const TRemoteEntry* Remote(const std::string& path) const {
        auto it = remote_.Entries.find(path);
        return it == remote_.Entries.end() ? nullptr : &it->second;
    }

    bool Blocked(const std::string& path) const {
        for (const std::string& folder : blocked_)
            if (IsUnder(path, folder))
                return true;
        return false;
    }

    // A remote folder (not the root) holding a manifest belongs to another published tree:
    // nothing in it is ever deleted.
    void FindForeignTrees() {
        for (const auto& [path, entry] : remote_.Entries)
            if (!entry.Folder && BaseName(path) == kManifestName && path != kManifestName)
                foreign_.push_back(Parent(path));
    }

    bool Foreign(const std::string& path) const {
        for (const std::string& folder : foreign_)
            if (path == folder || IsUnder(path, folder))
                return true;
        return false;
    }

    // Removes, before anything is created, the remote file or folder tree at path.
    bool RemoveFirst(const std::string& path, const TRemoteEntry& entry, const char* what) {
        if (!options_.Delete || Foreign(path)) {
            plan_.Conflicts.push_back(
                {path, std::string("a ") + what +
                           " of that name is on the server; publish with delete to replace it"});
            return false;
        }
        if (!entry.Folder) {
            plan_.FilesToRemoveFirst.push_back(path);
        } else {
            for (const auto& [inner, innerEntry] : remote_.Entries) {
                if (!IsUnder(inner, path))
                    continue;
                (innerEntry.Folder ? plan_.FoldersToRemoveFirst : plan_.FilesToRemoveFirst)
                    .push_back(inner);
                removed_.insert(inner);
            }
            plan_.FoldersToRemoveFirst.push_back(path);
        }
        removed_.insert(path);
        return true;
    }

    void PlanFolder(const std::string& folder) {
        if (Blocked(folder))
            return;
        const TRemoteEntry* entry = Remote(folder);
        if (entry && entry->Folder)
            return;
        if (entry && !RemoveFirst(folder, *entry, "file")) {
            blocked_.push_back(folder);
            return;
        }
        plan_.FoldersToCreate.push_back(folder);
    }

    bool Changed(const std::string& path, const TLocalFile& file, const TRemoteEntry& entry) const {
        if (entry.Size >= 0 && entry.Size != file.Size)
            return true;
        if (manifest_) {
            auto it = manifest_->find(path);
            return it == manifest_->end() || it->second.Hash != file.Hash ||
                   it->second.Size != file.Size;
        }
        if (entry.Size < 0)
            return true; // nothing to compare with
        return entry.ModifyTime >= 0 && file.ModifyTime > entry.ModifyTime;
    }

    void PlanFile(const std::string& path, const TLocalFile& file) {
        if (Blocked(path))
            return;
        const TRemoteEntry* entry = Remote(path);
        bool unlisted = remote_.Unlisted.count(Parent(path)) > 0;
        if (entry && entry->Folder) {
            if (!RemoveFirst(path, *entry, "folder"))
                return;
            entry = nullptr;
        }
        if (entry && !unlisted && !Changed(path, file, *entry)) {
            plan_.Unchanged.push_back(path);
            return;
        }
        plan_.Uploads.push_back({path, file.Size, entry == nullptr && !unlisted});
        plan_.BytesToSend += file.Size;
    }

    // Under a local folder that could not be read (or the root itself): nothing known.
    bool Unread(const std::string& path) const {
        for (const TUnreadable& unreadable : local_.Unreadable)
            if (unreadable.Path == "." || path == unreadable.Path || IsUnder(path, unreadable.Path))
                return true;
        return false;
    }

    bool Keep(const std::string& path, const TRemoteEntry& entry) {
        if (removed_.count(path) || Foreign(path) || path == kManifestName || path == kLockName ||
            IsUnder(path, kLockName) || path == kHistoryName || IsUnder(path, kHistoryName))
            return true; // handled already, or not ours
        if (IsTemporary(path, entry))
            return false; // a temporary file an interrupted publish left behind
        if (!options_.Delete)
            return true;
        if (cases_.SameButForCase(path)) {
            cases_.KeepOrRename(path, entry, plan_);
            return true;
        }
        if (local_.Rules.LeftOut(path, entry.Folder)) {
            plan_.KeptOnServer += !entry.Folder;
            return true; // left out locally, so never deleted either
        }
        if (Unread(path))
            return true;
        if (entry.Folder)
            return local_.Folders.count(path) > 0;
        return local_.Files.count(path) > 0;
    }

    static bool IsTemporary(const std::string& path, const TRemoteEntry& entry) {
        return !entry.Folder && IsTemporaryName(path);
    }

    // More than half of the server's files, or any while there is nothing to publish, is
    // far more often a wrong folder than a wish: refused unless the options allow it.
    void GuardDeletions() {
        for (const auto& [path, entry] : remote_.Entries)
            plan_.FilesOnServer +=
                !entry.Folder && path != kManifestName && !IsTemporary(path, entry);
        plan_.FilesDeleted = int(plan_.FilesToRemoveFirst.size());
        for (const std::string& path : plan_.FilesToDelete)
            plan_.FilesDeleted += !IsTemporary(path, TRemoteEntry{});
        const int deleted = plan_.FilesDeleted;
        if (deleted == 0 || options_.ForceDelete)
            return;
        const std::string count = std::to_string(deleted) + (deleted == 1 ? " file" : " files");
        if (options_.MaxDelete >= 0) {
            if (deleted > options_.MaxDelete)
                plan_.DeletionRefused = "it would delete " + count + ", more than the " +
                                        std::to_string(options_.MaxDelete) + " allowed";
        } else if (local_.Files.empty()) {
            plan_.DeletionRefused = "it would delete " + count +
                                    " on the server while the local folder has none to publish";
        } else if (2 * deleted > plan_.FilesOnServer) {
            plan_.DeletionRefused = "it would delete " + count + " of the " +
                                    std::to_string(plan_.FilesOnServer) +
                                    " on the server, more than half";
        }
    }

    void PlanDeletions() {
        std::set<std::string> kept;
        for (const auto& [path, entry] : remote_.Entries) {
            if (removed_.count(path))
                continue;
            if (Keep(path, entry))
                kept.insert(path);
            else if (!entry.Folder)
                plan_.FilesToDelete.push_back(path);
        }
        // A folder goes only when everything in it goes, and nothing could not be listed.
        for (const auto& [path, entry] : remote_.Entries) {
            if (!entry.Folder || kept.count(path) || removed_.count(path) ||
                remote_.Unlisted.count(path))
                continue;
            bool empties = std::none_of(kept.begin(), kept.end(),
                                        [&](const std::string& k) { return IsUnder(k, path); });
            if (empties)
                plan_.FoldersToDelete.push_back(path);
        }
    }

    void AddNotes() {
        if (!manifest_)
            plan_.Notes.push_back(remote_.TimesKnown
                                      ? "No manifest on the server: changes are judged by "
                                        "size and modification time"
                                      : "No manifest on the server: changes are judged by size");
        for (const std::string& folder : foreign_)
            plan_.Notes.push_back("Left alone: " + folder + " holds another published tree");
        for (const std::string& problem : local_.Rules.Problems())
            plan_.Notes.push_back(problem);
    }

    const TLocalTree& local_;
    const TRemoteTree& remote_;
    const std::optional<TManifest>& manifest_;
    const TPlanOptions& options_;
    TPublishPlan plan_;
    std::vector<std::string> blocked_; // local folders that cannot be created
    std::vector<std::string> foreign_;
    std::set<std::string> removed_; // remote paths removed to make way
    CaseFolding cases_{local_, remote_};
};

} // namespace

TPublishPlan MakePlan(const TLocalTree& local, const TRemoteTree& remote,
                      const std::optional<TManifest>& manifest, const TPlanOptions& options) {
    return Planner(local, remote, manifest, options).Run();
}

} // namespace kestrel
