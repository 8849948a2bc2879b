#include "publish/describe.h"

#include <algorithm>
#include <cstdio>
#include <map>

namespace kestrel {
namespace {

constexpr std::size_t kSecretsNamed = 10; // more are counted, not named

} // namespace

std::string SizeText(std::int64_t count) {
    char text[32];
    if (count < 1024)
        std::snprintf(text, sizeof text, "%lld B", static_cast<long long>(count));
    else if (count < 1024 * 1024)
        std::snprintf(text, sizeof text, "%.1f KiB", double(count) / 1024);
    else
        std::snprintf(text, sizeof text, "%.1f MiB", double(count) / (1024 * 1024));
    return text;
}

std::string PlanSummary(const TPublishPlan& plan, const std::string& root) {
    std::size_t created = plan.FoldersToCreate.size() + (plan.CreateRoot ? 1 : 0);
    std::size_t added = std::count_if(plan.Uploads.begin(), plan.Uploads.end(),
                                      [](const TPlannedUpload& u) { return u.New; });
    std::size_t removed = plan.FilesToDelete.size() + plan.FoldersToDelete.size() +
                          plan.FilesToRemoveFirst.size() + plan.FoldersToRemoveFirst.size();
    return "Plan for " + root + ": " + std::to_string(created) + " folders to create, " +
           std::to_string(plan.Uploads.size()) + " files to send (" + std::to_string(added) +
           " new, " + std::to_string(plan.Uploads.size() - added) + " changed, " +
           SizeText(plan.BytesToSend) + "), " + std::to_string(removed) + " to delete, " +
           std::to_string(plan.Unchanged.size()) + " unchanged, " +
           std::to_string(plan.LeftOut.size()) + " left out";
}

std::string HistoryText(const TPublishPlan& plan) {
    const TPlanHistory& history = plan.History;
    if (!history.On)
        return "";
    auto count = [](int n, const char* one) {
        return std::to_string(n) + " " + one + (n == 1 ? "" : "s");
    };
    std::string text = history.InsideRoot ? "History: inside the site in " + history.Folder +
                                                " (closed to visitors by its .htaccess): "
                                          : "History: beside the site in " + history.Folder + ": ";
    text += count(history.Runs, "run") + ", " + count(history.Files, "file") + ", " +
            SizeText(history.Bytes) + " kept; this run moves " + count(history.Moves, "file") +
            " (" + SizeText(history.MovesBytes) + ") there; keeps the last " +
            count(history.KeepRuns, "run");
    if (history.Prunes > 0)
        text += " (" + count(history.Prunes, "older run") + ", " + SizeText(history.PrunesBytes) +
                ", removed after this one)";
    return text;
}

std::string UndoQuestion(const TUndoRun& run, const std::string& root) {
    std::string text = "Undo the publish of " + run.Time + " to " + root + "?";
    if (run.Readable)
        text += " It added " + std::to_string(run.Added) + " files, replaced " +
                std::to_string(run.Replaced) + " and deleted " + std::to_string(run.Deleted) +
                " (folders: " + std::to_string(run.FoldersMade) + " made, " +
                std::to_string(run.FoldersRemoved) + " removed)" +
                (run.Complete ? "" : "; it was cut before its end") + ".";
    return text + " The site is put back as it was before it.";
}

std::string UndoSummaryText(const TUndoSummary& summary, const std::string& root) {
    std::string when;
    for (const std::string& id : summary.Undone)
        when += (when.empty() ? "" : ", ") + HistoryRunTime(id);
    std::string text =
        summary.Succeeded()
            ? root + " is as it was before the publish of " + when + ": "
            : "The undo failed: " + FailureText(summary.Failures.front()) +
                  (summary.Failures.size() > 1
                       ? " (and " + std::to_string(summary.Failures.size() - 1) + " more)"
                       : "") +
                  ". Done before that: ";
    text += std::to_string(summary.Removed) + " files removed, " +
            std::to_string(summary.Restored) + " put back, " +
            std::to_string(summary.FoldersRemoved) + " folders removed, " +
            std::to_string(summary.FoldersMade) + " made again.";
    for (const std::string& note : summary.Notes)
        text += "\n" + note;
    return text;
}

std::vector<std::string> PlanActions(const TPublishPlan& plan, const std::string& root) {
    std::vector<std::string> lines;
    for (const std::string& path : plan.FilesToRemoveFirst)
        lines.push_back("delete " + path + " (makes way)");
    for (const std::string& path : plan.FoldersToRemoveFirst)
        lines.push_back("remove folder " + path + " (makes way)");
    if (plan.CreateRoot)
        lines.push_back("create folder " + root);
    for (const std::string& path : plan.FoldersToCreate)
        lines.push_back("create folder " + path);
    for (const TCaseRename& rename : plan.CaseRenames)
        lines.push_back("rename " + rename.From + " to " + rename.To + " (letter case)");
    for (const TPlannedUpload& upload : plan.Uploads)
        lines.push_back("send " + upload.Path + " (" + (upload.New ? "new" : "changed") + ", " +
                        SizeText(upload.Size) + ")");
    for (const std::string& path : plan.FilesToDelete)
        lines.push_back("delete " + path);
    for (const std::string& path : plan.FoldersToDelete)
        lines.push_back("remove folder " + path);
    return lines;
}

std::vector<std::string> PlanWarnings(const TPublishPlan& plan) {
    std::vector<std::string> lines;
    if (!plan.DeletionRefused.empty())
        lines.push_back("Refused: " + plan.DeletionRefused);
    for (const TPlanConflict& conflict : plan.Conflicts)
        lines.push_back("Cannot publish " + conflict.Path + ": " + conflict.Reason);
    std::vector<std::string> secrets;
    for (const TLeftOut& leftOut : plan.LeftOut)
        if (leftOut.Reason == TLeftOutReason::Secret)
            secrets.push_back(leftOut.Path);
    if (!secrets.empty()) {
        std::string named;
        for (std::size_t i = 0; i < secrets.size() && i < kSecretsNamed; ++i)
            named += (i ? ", " : "") + secrets[i];
        if (secrets.size() > kSecretsNamed)
            named += " and " + std::to_string(secrets.size() - kSecretsNamed) + " more";
        lines.push_back("Left out as secrets: " + named +
                        "; to publish one, include it (--include NAME, or a line !NAME in the "
                        "exclusions or in " +
                        kIgnoreFileName + ")");
    }
    for (const std::string& note : plan.Notes)
        lines.push_back("Note: " + note);
    return lines;
}

std::string LeftOutSummary(const TPublishPlan& plan) {
    if (plan.LeftOut.empty() && plan.KeptOnServer == 0)
        return "";
    std::map<TLeftOutReason, int> counts;
    for (const TLeftOut& leftOut : plan.LeftOut)
        ++counts[leftOut.Reason];
    std::string text = "Left out " + std::to_string(plan.LeftOut.size());
    const char* separator = ": ";
    for (const auto& [reason, count] : counts) {
        text += separator + std::to_string(count) + " " + LeftOutKind(reason);
        separator = ", ";
    }
    if (plan.KeptOnServer > 0)
        text += "; " + std::to_string(plan.KeptOnServer) +
                " such files on the server are kept, never deleted";
    return text;
}

std::vector<std::string> LeftOutLines(const TPublishPlan& plan) {
    std::vector<std::string> lines;
    for (const TLeftOut& leftOut : plan.LeftOut)
        lines.push_back("leave out " + leftOut.Path + (leftOut.Folder ? "/" : "") + " (" +
                        LeftOutText(leftOut) + ")");
    return lines;
}

double ProgressFraction(const TPublishProgress& p) {
    double part = p.BytesTotal > 0 ? double(p.BytesDone) / double(p.BytesTotal)
                                   : (p.FilesTotal > 0 ? double(p.FilesDone) / p.FilesTotal : 1);
    return std::clamp(part, 0.0, 1.0);
}

std::string ProgressText(const TPublishProgress& p) {
    bool last = p.FilesDone == p.FilesTotal;
    std::string left = last                ? "0 s"
                       : p.SecondsLeft < 0 ? "?"
                                           : std::to_string(int(p.SecondsLeft + 0.5)) + " s";
    return std::to_string(p.FilesDone) + "/" + std::to_string(p.FilesTotal) + " files, " +
           SizeText(p.BytesDone) + " of " + SizeText(p.BytesTotal) + ", " +
           SizeText(std::int64_t(p.Rate)) + "/s, " + left + " left";
}

std::string SummaryCounts(const TPublishSummary& summary) {
    return "Uploaded " + std::to_string(summary.Uploaded) + ", created " +
           std::to_string(summary.Created) + ", deleted " + std::to_string(summary.Deleted) +
           ", unchanged " + std::to_string(summary.Unchanged) + ", failed " +
           std::to_string(summary.Failures.size());
}

std::string VerificationText(const TPublishSummary& summary) {
    if (summary.Verified == 0 || summary.VerifiedBy.empty())
        return "";
    return "Verified on the server: " + std::to_string(summary.Verified) + " of " +
           std::to_string(summary.Uploaded) + " files sent, by " +
           (summary.VerifiedBy == "SIZE"
                ? std::string("their size (SIZE; the server offers no hash command)")
                : "their hash (" + summary.VerifiedBy + ")");
}

std::string ResumePlanText(const TPublishPlan& plan) {
    if (plan.FilesResumed == 0)
        return "";
    return "Resuming a cut run: " + std::to_string(plan.FilesResumed) +
           (plan.FilesResumed == 1 ? " file (" : " files (") + SizeText(plan.BytesResumed) +
           ") not sent again";
}

std::string ResumedText(const TPublishSummary& summary) {
    if (summary.Resumed == 0)
        return "";
    return "Resumed " + std::to_string(summary.Resumed) +
           (summary.Resumed == 1 ? " file" : " files") +
           " of a cut run: " + SizeText(summary.BytesNotResent) + " not sent again";
}

std::string FailureText(const TPublishFailure& failure) {
    return failure.Path.empty() ? failure.Reason : failure.Path + ": " + failure.Reason;
}

} // namespace kestrel
