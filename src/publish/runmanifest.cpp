#include "publish/runmanifest.h"

namespace kestrel {
namespace {

// The entry of path, and those of everything under it when it is a folder.
bool Drop(TManifest& manifest, const std::string& path) {
    bool dropped = manifest.erase(path) > 0;
    const std::string folder = path + "/";
    auto it = manifest.lower_bound(folder);
    while (it != manifest.end() && it->first.compare(0, folder.size(), folder) == 0) {
        it = manifest.erase(it);
        dropped = true;
    }
    return dropped;
}

} // namespace

TManifest FinalManifest(const TManifestBasis& basis, const TRunRecord& record) {
    TManifest result;
    if (basis.old) {
        for (const auto& [path, entry] : *basis.old) {
            auto remote = basis.remote.Entries.find(path);
            if (remote == basis.remote.Entries.end() || remote->second.Folder ||
                record.removed.count(path) || record.lost.count(path))
                continue;
            if (remote->second.Size >= 0 && remote->second.Size != entry.Size)
                continue;
            result[path] = entry;
        }
    }
    for (const std::string& path : basis.plan.Unchanged) {
        const TLocalFile& file = basis.local.Files.at(path);
        const TManifestEntry local{file.Hash, file.Size};
        auto old = basis.old ? basis.old->find(path) : TManifest::const_iterator();
        if (basis.old && old != basis.old->end() && old->second == local)
            result[path] = local;
        else
            result.erase(path); // same size, content not proven
    }
    for (const auto& [path, entry] : record.uploaded)
        result[path] = entry;
    for (const std::string& path : record.lost)
        if (!record.uploaded.count(path))
            result.erase(path);
    return result;
}

std::optional<TManifest> ManifestDuringRun(const TManifestBasis& basis) {
    if (!basis.old)
        return std::nullopt;
    std::vector<std::string> touched;
    for (const TPlannedUpload& upload : basis.plan.Uploads)
        touched.push_back(upload.Path);
    for (const auto* paths : {&basis.plan.FilesToRemoveFirst, &basis.plan.FoldersToRemoveFirst,
                              &basis.plan.FilesToDelete, &basis.plan.FoldersToDelete})
        touched.insert(touched.end(), paths->begin(), paths->end());
    for (const TCaseRename& rename : basis.plan.CaseRenames)
        touched.push_back(rename.From);
    TRunRecord nothingDone;
    TManifest result = FinalManifest(basis, nothingDone);
    TManifest old = *basis.old;
    bool listed = false;
    for (const std::string& path : touched) {
        listed = Drop(old, path) || listed;
        Drop(result, path);
    }
    if (!listed)
        return std::nullopt;
    return result;
}

} // namespace kestrel
