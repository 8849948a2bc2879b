#include "publish/plan.h"

#include "publish/names.h"

#include <algorithm>

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
        SortDeepestFirst(plan_.FoldersToRemoveFirst);
        SortDeepestFirst(plan_.FoldersToDelete);
        AddNotes();
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

    bool Keep(const std::string& path, const TRemoteEntry& entry) const {
        if (removed_.count(path) || Foreign(path) || path == kManifestName || path == kLockName ||
            IsUnder(path, kLockName))
            return true; // handled already, or not ours
        std::string name = BaseName(path);
        if (IsTemporaryName(name) && !entry.Folder)
            return false; // a temporary file an interrupted publish left behind
        if (!options_.Delete)
            return true;
        if (entry.Folder)
            return local_.Folders.count(path) > 0 || IsFolderLeftOut(name, options_.Walk);
        return local_.Files.count(path) > 0 || IsFileLeftOut(name, options_.Walk);
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
    }

    const TLocalTree& local_;
    const TRemoteTree& remote_;
    const std::optional<TManifest>& manifest_;
    const TPlanOptions& options_;
    TPublishPlan plan_;
    std::vector<std::string> blocked_; // local folders that cannot be created
    std::vector<std::string> foreign_;
    std::set<std::string> removed_; // remote paths removed to make way
};

} // namespace

TPublishPlan MakePlan(const TLocalTree& local, const TRemoteTree& remote,
                      const std::optional<TManifest>& manifest, const TPlanOptions& options) {
    return Planner(local, remote, manifest, options).Run();
}

} // namespace kestrel
