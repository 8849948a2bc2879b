// The jobs of a publish run as one connection carries them out: folders, deletions, the
// uploads (see TTransfers), the lock and the manifest, behind the narrow context of the run
// they belong to.
#pragma once

#include "publish/sitelock.h"
#include "publish/transfers.h"

namespace kestrel {

class TJobRunner {
public:
    TJobRunner(TRunContext& context, TSiteConnection& site, int index);

    // Logged in, or logs in; a failed log-in is noted in the summary.
    bool Connected();
    // Carries out job; returns false when it was abandoned because of a Stop (it then counts
    // as not done). A failure is recorded in the summary and the job counts as done.
    bool Perform(const TPublishJob& job);
    // Several jobs of one kind whose commands may go to the server together (folders made,
    // files verified); one result per job, as Perform's. Uploads may take more jobs on the
    // way (see TTransfers::UploadBatch), whose results follow.
    std::vector<bool> PerformBatch(const std::vector<const TPublishJob*>& jobs,
                                   const TMoreJobs& more = nullptr);

private:
    void MakeRoot();
    std::vector<bool> MakeFolders(const std::vector<const TPublishJob*>& jobs);
    void MakeHistoryFolders(const std::vector<std::string>& folders);
    void FolderMade(const std::string& path);
    void RenameCase(const std::string& to);
    void WriteManifest();
    void TrimManifest();
    void TakeLock();
    void ReleaseLock();
    void BeginHistory();
    void EndHistory();
    void RemoveHistoryRun(const std::string& id, bool own);
    // Returns the reason of a failure, or "".
    std::string PutText(const std::string& path, const std::string& text);
    TLockLink LockLink();
    // Returns the reason of a failure, or "".
    std::string PutManifest(const std::string& text);

    TRunContext& c_;
    TSiteConnection& site_;
    TTransfers t_;
};

} // namespace kestrel
