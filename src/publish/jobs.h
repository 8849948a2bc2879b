// The jobs of a publish run as one connection carries them out: upload (to a temporary
// name, then placed over the real one), delete, make folder, and the manifest, behind the
// narrow context of the run they belong to.
#pragma once

#include "publish/jobboard.h"
#include "publish/localtree.h"
#include "publish/manifest.h"
#include "publish/progress.h"
#include "publish/runrecord.h"
#include "publish/siteconnection.h"

#include <atomic>
#include <functional>
#include <optional>
#include <string>

namespace kestrel {

// What the jobs of one run need to know and to change, and no more.
struct TRunContext {
    std::string remoteRoot;  // absolute
    bool temporaryNames;     // upload under a temporary name, then rename over
    const TLocalTree& local; // where each file is read, and its hash when planned
    const std::atomic<bool>& stop;
    TJobBoard& board;
    TRunRecord& record;
    TProgressMeter& progress;
    // The manifest's text after the run as the record stands (called under its lock), and
    // the text to write before the first change, when the old one may not stay as it is.
    std::function<std::string(const TRunRecord&)> finalManifest;
    std::optional<std::string> manifestDuringRun;
};

class TJobRunner {
public:
    TJobRunner(TRunContext& context, TSiteConnection& site, int index);

    // Logged in, or logs in; a failed log-in is noted in the summary.
    bool Connected();
    // Carries out job; returns false when it was abandoned because of a Stop (it then counts
    // as not done). A failure is recorded in the summary and the job counts as done.
    bool Perform(const TPublishJob& job);

private:
    bool Upload(const TPublishJob& job);
    enum class Stage { Sending, Placing };
    bool SendAndPlace(const TPublishJob& job, Stage& stage);
    bool AfterFailedUpload(const TPublishJob& job, const std::exception& error, Stage stage);
    void RecordUploaded(const TPublishJob& job, const std::string& sentHash, std::int64_t sentSize);
    // Upload, asked again when the server's data connection or its completion reply does
    // not come in time.
    void Send(const std::function<void(TVaneFTP&)>& transfer, std::int64_t size, bool content);
    void PlaceOver(const std::string& temporary, const std::string& path);
    void RemoveTemporary(const std::string& temporary);
    void MakeRoot();
    void WriteManifest();
    void TrimManifest();
    void TakeLock();
    void ReleaseLock();
    std::string PutManifest(const std::string& text);
    std::string Remote(const std::string& relative) const;

    TRunContext& c_;
    TSiteConnection& site_;
    const int index_;
};

} // namespace kestrel
