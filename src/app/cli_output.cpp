#include "app/cli_output.h"

#include "publish/describe.h"

#include <chrono>
#include <cstdio>

namespace kestrel {
namespace {

// The length of the UTF-8 sequence starting at i, or 0 when it is not a valid one.
std::size_t Utf8Length(const std::string& text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char lead = byte(i);
    std::size_t length = lead < 0x80                    ? 1
                         : lead >= 0xC2 && lead <= 0xDF ? 2
                         : lead >= 0xE0 && lead <= 0xEF ? 3
                         : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                        : 0;
    if (length == 0 || i + length > text.size())
        return 0;
    for (std::size_t k = 1; k < length; ++k)
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
    // No over-long forms, surrogates or code points past U+10FFFF.
    if ((lead == 0xE0 && byte(i + 1) < 0xA0) || (lead == 0xED && byte(i + 1) > 0x9F) ||
        (lead == 0xF0 && byte(i + 1) < 0x90) || (lead == 0xF4 && byte(i + 1) > 0x8F))
        return 0;
    return length;
}

void Print(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
}

std::string OneLineReason(const TPublishSummary& summary) {
    if (summary.Stopped)
        return "stopped before everything was published";
    std::string reason = std::to_string(summary.Failures.size()) +
                         (summary.Failures.size() == 1 ? " failure" : " failures") + " (";
    return reason + FailureText(summary.Failures.front()) + ")";
}

void PrintFailureLine(const TPublishSummary& summary, int exit) {
    if (exit != 0)
        std::fprintf(stderr, "kestrelftp: publish failed: %s\n", OneLineReason(summary).c_str());
}

class TextOutput : public TRunOutput {
public:
    TextOutput(bool listActions, bool verbose, bool terminal)
        : listActions_(listActions), verbose_(verbose), terminal_(terminal) {}

    void Plan(const TPublishPlan& plan, const std::string& root) override {
        Print(PlanSummary(plan, root));
        if (std::string resumed = ResumePlanText(plan); !resumed.empty())
            Print(resumed);
        if (std::string leftOut = LeftOutSummary(plan); !leftOut.empty())
            Print(leftOut + (verbose_ || plan.LeftOut.empty() ? "" : " (--verbose lists them)"));
        for (const std::string& line : PlanWarnings(plan))
            Print(line);
        if (std::string history = HistoryText(plan); !history.empty())
            Print(history);
        if (!plan.DeletionRefused.empty())
            Print("  Check the local and remote folders; to allow it, give --max-delete " +
                  std::to_string(plan.FilesDeleted) + " (or --force-delete)");
        if (listActions_)
            for (const std::string& line : PlanActions(plan, root))
                Print("  " + line);
        if (verbose_)
            for (const std::string& line : LeftOutLines(plan))
                Print("  " + line);
        std::fflush(stdout);
    }

    // A bar redrawn in place on a terminal, a plain line a second otherwise.
    void Progress(const TPublishProgress& p) override {
        auto now = std::chrono::steady_clock::now();
        bool last = p.FilesDone == p.FilesTotal;
        if (!terminal_ && !last && now - lastLine_ < std::chrono::seconds(1))
            return;
        lastLine_ = now;
        std::string text = ProgressText(p);
        if (terminal_) {
            constexpr int kBarWidth = 30;
            int filled = int(ProgressFraction(p) * kBarWidth);
            std::string bar = "[" + std::string(std::size_t(filled), '#') +
                              std::string(std::size_t(kBarWidth - filled), '.') + "] ";
            std::string current = p.Current.empty() ? "" : "  " + p.Current.front();
            if (current.size() > 30)
                current = current.substr(0, 27) + "...";
            std::printf("\r%s%s%s\033[K", bar.c_str(), text.c_str(), current.c_str());
            shown_ = true;
        } else {
            Print(text);
        }
        std::fflush(stdout);
    }

    void Summary(const TPublishSummary& summary, int exit) override {
        if (terminal_ && shown_)
            std::printf("\n");
        for (const std::string& note : summary.Notes)
            Print("Note: " + note);
        for (const TPublishFailure& failure : summary.Failures)
            Print("Failed: " + FailureText(failure));
        Print(SummaryCounts(summary));
        if (std::string verified = VerificationText(summary); !verified.empty())
            Print(verified);
        if (!summary.HistoryRun.empty())
            Print("Kept for undo as run " + summary.HistoryRun + " (kestrelftp undo)");
        if (std::string resumed = ResumedText(summary); !resumed.empty())
            Print(resumed);
        std::fflush(stdout);
        PrintFailureLine(summary, exit);
    }

    void Error(const std::string& reason, int) override {
        std::fprintf(stderr, "kestrelftp: publish failed: %s\n", reason.c_str());
    }

private:
    bool listActions_;
    bool verbose_;
    bool terminal_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point lastLine_{};
};

// One JSON object, built field by field.
class Json {
public:
    Json& Field(const char* name, const std::string& value) { return Raw(name, JsonString(value)); }
    Json& Field(const char* name, const char* value) { return Field(name, std::string(value)); }
    Json& Field(const char* name, std::int64_t value) { return Raw(name, std::to_string(value)); }
    Json& Field(const char* name, int value) { return Field(name, std::int64_t(value)); }
    Json& Field(const char* name, std::size_t value) { return Field(name, std::int64_t(value)); }
    Json& Field(const char* name, bool value) { return Raw(name, value ? "true" : "false"); }
    Json& Strings(const char* name, const std::vector<std::string>& values) {
        std::string list = "[";
        for (std::size_t i = 0; i < values.size(); ++i)
            list += (i ? "," : "") + JsonString(values[i]);
        return Raw(name, list + "]");
    }
    Json& Raw(const char* name, const std::string& json) {
        text_ += (text_.size() > 1 ? "," : "") + JsonString(name) + ":" + json;
        return *this;
    }
    std::string Text() const { return text_ + "}"; }

private:
    std::string text_ = "{";
};

// {"folder":..,"inside":..,"runs":N,"files":N,"bytes":N,"moves":N,"movesBytes":N,
//  "keep":N,"prunes":N}, or null when the history is off.
std::string HistoryJson(const TPlanHistory& history) {
    if (!history.On)
        return "null";
    return Json()
        .Field("folder", history.Folder)
        .Field("inside", history.InsideRoot)
        .Field("runs", history.Runs)
        .Field("files", history.Files)
        .Field("bytes", history.Bytes)
        .Field("moves", history.Moves)
        .Field("movesBytes", history.MovesBytes)
        .Field("keep", history.KeepRuns)
        .Field("prunes", history.Prunes)
        .Text();
}

// The failures and notes of a run or an undo, a JSON object a line.
void PrintFailuresAndNotes(const std::vector<TPublishFailure>& failures,
                           const std::vector<std::string>& notes) {
    for (const TPublishFailure& failure : failures)
        Print(Json()
                  .Field("event", "failed")
                  .Field("path", failure.Path)
                  .Field("reason", failure.Reason)
                  .Text());
    for (const std::string& note : notes)
        Print(Json().Field("event", "note").Field("text", note).Text());
}

class JsonOutput : public TRunOutput {
public:
    void Plan(const TPublishPlan& plan, const std::string& root) override {
        std::vector<std::string> create;
        if (plan.CreateRoot)
            create.push_back(root);
        create.insert(create.end(), plan.FoldersToCreate.begin(), plan.FoldersToCreate.end());
        std::string send = "[";
        for (const TPlannedUpload& upload : plan.Uploads)
            send += (send.size() > 1 ? "," : "") + Json()
                                                       .Field("path", upload.Path)
                                                       .Field("size", upload.Size)
                                                       .Field("new", upload.New)
                                                       .Text();
        std::vector<std::string> deleted;
        for (const auto* paths : {&plan.FilesToRemoveFirst, &plan.FoldersToRemoveFirst,
                                  &plan.FilesToDelete, &plan.FoldersToDelete})
            deleted.insert(deleted.end(), paths->begin(), paths->end());
        std::string conflicts = "[";
        for (const TPlanConflict& conflict : plan.Conflicts)
            conflicts +=
                (conflicts.size() > 1 ? "," : "") +
                Json().Field("path", conflict.Path).Field("reason", conflict.Reason).Text();
        Print(Json()
                  .Field("event", "plan")
                  .Field("root", root)
                  .Strings("create", create)
                  .Raw("send", send + "]")
                  .Field("bytes", plan.BytesToSend)
                  .Field("resumed", plan.FilesResumed)
                  .Field("bytesResumed", plan.BytesResumed)
                  .Strings("delete", deleted)
                  .Field("unchanged", plan.Unchanged.size())
                  .Field("leftOut", plan.LeftOut.size())
                  .Raw("refused",
                       plan.DeletionRefused.empty() ? "null" : JsonString(plan.DeletionRefused))
                  .Raw("conflicts", conflicts + "]")
                  .Strings("notes", plan.Notes)
                  .Raw("history", HistoryJson(plan.History))
                  .Text());
        for (const TLeftOut& leftOut : plan.LeftOut)
            Print(Json()
                      .Field("event", "left-out")
                      .Field("path", leftOut.Path)
                      .Field("folder", leftOut.Folder)
                      .Field("kind", LeftOutKind(leftOut.Reason))
                      .Field("reason", LeftOutText(leftOut))
                      .Text());
        std::fflush(stdout);
    }

    void Progress(const TPublishProgress&) override {}

    void Summary(const TPublishSummary& summary, int exit) override {
        for (const std::string& path : summary.Sent)
            Print(Json().Field("event", "sent").Field("path", path).Text());
        for (const std::string& path : summary.Removed)
            Print(Json().Field("event", "deleted").Field("path", path).Text());
        PrintFailuresAndNotes(summary.Failures, summary.Notes);
        if (!summary.HistoryRun.empty())
            Print(Json().Field("event", "kept").Field("run", summary.HistoryRun).Text());
        Print(Json()
                  .Field("event", "summary")
                  .Field("uploaded", summary.Uploaded)
                  .Field("created", summary.Created)
                  .Field("deleted", summary.Deleted)
                  .Field("unchanged", summary.Unchanged)
                  .Field("failed", summary.Failures.size())
                  .Field("stopped", summary.Stopped)
                  .Field("resumed", summary.Resumed)
                  .Field("bytesNotResent", summary.BytesNotResent)
                  .Field("exit", exit)
                  .Text());
        std::fflush(stdout);
        PrintFailureLine(summary, exit);
    }

    void Error(const std::string& reason, int exit) override {
        Print(Json().Field("event", "error").Field("reason", reason).Field("exit", exit).Text());
        std::fflush(stdout);
        std::fprintf(stderr, "kestrelftp: publish failed: %s\n", reason.c_str());
    }
};

} // namespace

void PrintUndoRuns(const std::vector<TUndoRun>& runs, const TSiteHistory& history,
                   const std::string& root, bool json) {
    for (const TUndoRun& run : runs) {
        if (json) {
            Print(Json()
                      .Field("event", "run")
                      .Field("id", run.Id)
                      .Field("time", run.Time)
                      .Field("complete", run.Complete)
                      .Field("readable", run.Readable)
                      .Field("added", run.Added)
                      .Field("replaced", run.Replaced)
                      .Field("deleted", run.Deleted)
                      .Field("foldersMade", run.FoldersMade)
                      .Field("foldersRemoved", run.FoldersRemoved)
                      .Field("files", run.Files)
                      .Field("bytes", run.Bytes)
                      .Text());
            continue;
        }
        std::string line = run.Id + "  " + run.Time + "  ";
        if (!run.Readable)
            line += "its record cannot be read";
        else
            line += "added " + std::to_string(run.Added) + ", replaced " +
                    std::to_string(run.Replaced) + ", deleted " + std::to_string(run.Deleted) +
                    ", folders made " + std::to_string(run.FoldersMade) + ", removed " +
                    std::to_string(run.FoldersRemoved) + "; keeps " + std::to_string(run.Files) +
                    " files (" + SizeText(run.Bytes) + ")" + (run.Complete ? "" : "; cut");
        Print(line);
    }
    if (json) {
        Print(Json()
                  .Field("event", "history")
                  .Field("root", root)
                  .Raw("folder", history.Runs.empty() && !history.Exists
                                     ? "null"
                                     : JsonString(history.Folder))
                  .Field("inside", history.InsideRoot)
                  .Field("runs", runs.size())
                  .Text());
    } else if (runs.empty()) {
        Print("No publish of " + root + " to undo: the history holds no run");
    } else {
        Print(std::to_string(runs.size()) + (runs.size() == 1 ? " run" : " runs") + " of " + root +
              " in the history " + history.Folder +
              (history.InsideRoot ? " (inside the site)" : " (beside the site)") +
              "; undo puts back the last one");
    }
    std::fflush(stdout);
}

void PrintUndoSummary(const TUndoSummary& summary, int exit, bool json) {
    auto counts = "removed " + std::to_string(summary.Removed) + ", restored " +
                  std::to_string(summary.Restored) + ", folders removed " +
                  std::to_string(summary.FoldersRemoved) + ", folders made " +
                  std::to_string(summary.FoldersMade);
    if (json) {
        for (const std::string& id : summary.Undone)
            Print(Json().Field("event", "undone").Field("id", id).Text());
        PrintFailuresAndNotes(summary.Failures, summary.Notes);
        Print(Json()
                  .Field("event", "summary")
                  .Strings("undone", summary.Undone)
                  .Field("removed", summary.Removed)
                  .Field("restored", summary.Restored)
                  .Field("foldersRemoved", summary.FoldersRemoved)
                  .Field("foldersMade", summary.FoldersMade)
                  .Field("failed", summary.Failures.size())
                  .Field("exit", exit)
                  .Text());
    } else {
        for (const std::string& note : summary.Notes)
            Print("Note: " + note);
        for (const TPublishFailure& failure : summary.Failures)
            Print("Failed: " + FailureText(failure));
        for (const std::string& id : summary.Undone)
            Print("Undone: run " + id + " (" + HistoryRunTime(id) + ")");
        Print((summary.Succeeded() ? "The site is as before the run: " : "Undo failed: ") + counts);
    }
    std::fflush(stdout);
    if (exit != 0)
        std::fprintf(stderr, "kestrelftp: undo failed: %s\n",
                     summary.Failures.empty() ? "stopped"
                                              : FailureText(summary.Failures.front()).c_str());
}

void PrintUndoError(const std::string& reason, int exit, bool json) {
    if (json) {
        Print(Json().Field("event", "error").Field("reason", reason).Field("exit", exit).Text());
        std::fflush(stdout);
    }
    std::fprintf(stderr, "kestrelftp: undo failed: %s\n", reason.c_str());
}

std::string JsonString(const std::string& text) {
    std::string json = "\"";
    for (std::size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        std::size_t length = Utf8Length(text, i);
        char escaped[8];
        if (c == '"' || c == '\\') {
            json += '\\';
            json += char(c);
        } else if (c == '\n') {
            json += "\\n";
        } else if (c == '\r') {
            json += "\\r";
        } else if (c == '\t') {
            json += "\\t";
        } else if (c < 0x20 || c == 0x7F || length == 0) {
            std::snprintf(escaped, sizeof escaped, "\\u%04x", unsigned(c));
            json += escaped;
            i += 1;
            continue;
        } else {
            json.append(text, i, length);
            i += length;
            continue;
        }
        i += 1;
    }
    return json + "\"";
}

std::unique_ptr<TRunOutput> MakeTextOutput(bool listActions, bool verbose, bool terminal) {
    return std::make_unique<TextOutput>(listActions, verbose, terminal);
}

std::unique_ptr<TRunOutput> MakeJsonOutput() {
    return std::make_unique<JsonOutput>();
}

} // namespace kestrel
