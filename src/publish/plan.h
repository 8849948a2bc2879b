// What a publish will do, worked out from the local tree, the remote tree and the
// manifest without touching the network, so that it can be shown first and tested alone.
//
// The steps run in this order: remove what stands in the way (a remote file where a
// local folder is, or the reverse; only with the delete option), create the remote root
// and the missing folders (parents first), rename files whose name changed only in letter
// case (only with the delete option), upload new and changed files, delete remote
// files and folders that are gone locally (only with the delete option; folders deepest
// first), and write the manifest last.
#pragma once

#include "publish/localtree.h"
#include "publish/manifest.h"
#include "publish/remotetree.h"

#include <optional>

namespace kestrel {

struct TPlanOptions {
    bool Delete = false; // remove remote files and folders that no longer exist locally
    TWalkOptions Walk;   // what the walk left out is never deleted on the server either
    // The guard on deletions: a plan that would delete more than half of the files on the
    // server, or any file while the local folder has none to publish, is refused. With
    // MaxDelete (0 or more) it is refused exactly when it would delete more files than
    // that; ForceDelete lifts the guard.
    int MaxDelete = -1;
    bool ForceDelete = false;
};

struct TPlannedUpload {
    std::string Path; // relative to both roots
    std::int64_t Size = 0;
    bool New = true; // false: changed
    // Resumed from the journal of a cut run: already staged whole under its temporary name
    // (not sent again, only put in place), or staged in part up to RestartAt bytes and
    // continued from there (REST and STOR).
    bool Staged = false;
    std::int64_t RestartAt = 0;
};

// A remote file whose name changed locally only in letter case ("Index.htm" ->
// "index.htm"), renamed on the server before the uploads (with the delete option).
struct TCaseRename {
    std::string From;
    std::string To;
};

// A local file or folder that cannot be published without the delete option.
struct TPlanConflict {
    std::string Path;
    std::string Reason;
};

// What a run means for the history of the site on the server (see history.h): where it is,
// what it keeps now, what this run moves there, and the older runs it removes afterwards.
struct TPlanHistory {
    bool On = false; // false: replaced and deleted files are not kept
    bool InsideRoot = false;
    std::string Folder;
    int KeepRuns = 0;
    int Runs = 0; // kept now
    int Files = 0;
    std::int64_t Bytes = 0;
    int Moves = 0; // files this run moves there
    std::int64_t MovesBytes = 0;
    int Prunes = 0; // older runs removed after this one succeeds
    int PrunesFiles = 0;
    std::int64_t PrunesBytes = 0;
};

struct TPublishPlan {
    bool CreateRoot = false;
    std::vector<std::string> FilesToRemoveFirst;
    std::vector<std::string> FoldersToRemoveFirst; // deepest first
    std::vector<std::string> FoldersToCreate;      // parents first
    std::vector<TCaseRename> CaseRenames;
    std::vector<TPlannedUpload> Uploads;
    std::vector<std::string> FilesToDelete;
    std::vector<std::string> FoldersToDelete; // deepest first
    std::vector<std::string> Unchanged;
    std::vector<TPlanConflict> Conflicts; // failures of the run: what cannot be published
    std::vector<std::string> Notes;
    std::vector<TLeftOut> LeftOut; // what the site's rules leave out, with the reason
    int KeptOnServer = 0;          // remote files the rules leave out: kept, not deleted
    // The files the plan deletes (temporary names left over not counted), and why the
    // guard refuses that, when it does: then the run does nothing at all.
    int FilesDeleted = 0;
    int FilesOnServer = 0;
    std::string DeletionRefused;
    bool ByManifest = false;
    TPlanHistory History;
    std::int64_t BytesToSend = 0; // of all the files to send, resumed ones included
    // Files a cut run left staged, whole or in part, that this run finishes (see
    // TPlannedUpload), and the bytes of them it does not send again.
    int FilesResumed = 0;
    std::int64_t BytesResumed = 0;

    bool NothingToDo() const {
        return !CreateRoot && FilesToRemoveFirst.empty() && FoldersToRemoveFirst.empty() &&
               FoldersToCreate.empty() && CaseRenames.empty() && Uploads.empty() &&
               FilesToDelete.empty() && FoldersToDelete.empty();
    }
};

TPublishPlan MakePlan(const TLocalTree& local, const TRemoteTree& remote,
                      const std::optional<TManifest>& manifest, const TPlanOptions& options);

} // namespace kestrel
