// The words for a plan, its progress and its outcome, in one place: the command line
// prints them and the window's dialog shows them, so both say the same thing.
#pragma once

#include "publish/publisher.h"
#include "publish/undo.h"

#include <string>
#include <vector>

namespace kestrel {

// "512 B", "1.5 KiB", "3.2 MiB".
std::string SizeText(std::int64_t bytes);

// "Plan for /www: 1 folders to create, 2 files to send (2 new, 0 changed, 10 B),
// 0 to delete, 0 unchanged, 3 left out".
std::string PlanSummary(const TPublishPlan& plan, const std::string& root);

// What the plan does, one line each, in the order it does it: "send a.htm (new, 6 B)",
// "create folder images", "delete old.htm", "remove folder old".
std::vector<std::string> PlanActions(const TPublishPlan& plan, const std::string& root);

// What the user must know before the run: the guard's refusal, what cannot be published,
// files left out as secrets and how to include them, the notes. Each line starts with its
// kind ("Refused:", "Cannot publish", "Left out as secrets:", "Note:").
std::vector<std::string> PlanWarnings(const TPublishPlan& plan);

// Where the history for undo is and what it costs on the server: "History: beside the site
// in /.kestrelftp-history/www: 2 runs, 2 files, 500 B kept; this run moves 1 file (300 B)
// there; keeps the last 2 runs (1 older run removed after this one)". "" when it is off.
std::string HistoryText(const TPublishPlan& plan);

// "Undo the publish of 2026-12-09 08:15:00 UTC to /www? It added 2 files, replaced 1 and
// deleted 3 (folders: 1 made, 0 removed); the site is put back as it was before it."
std::string UndoQuestion(const TUndoRun& run, const std::string& root);
// "/www is as it was before the publish of 2026-12-09 08:15:00 UTC: 2 files removed, 4
// put back, ...", or what failed.
std::string UndoSummaryText(const TUndoSummary& summary, const std::string& root);

// "Left out 4: 1 version control, 1 secrets, 2 .kestrelignore"; empty when nothing is.
std::string LeftOutSummary(const TPublishPlan& plan);
// Each path left out with its reason: "leave out .git (a version-control folder)".
std::vector<std::string> LeftOutLines(const TPublishPlan& plan);

// How far the run is, from 0 to 1: by bytes, else by files.
double ProgressFraction(const TPublishProgress& progress);
// "3/10 files, 1.0 KiB of 2.0 KiB, 512 B/s, 2 s left".
std::string ProgressText(const TPublishProgress& progress);

// "Uploaded 2, created 1, deleted 0, unchanged 5, failed 0".
std::string SummaryCounts(const TPublishSummary& summary);
// "Verified on the server: 7 of 7 files sent, by their hash (HASH SHA-256)", or by their
// size; "" when no file was verified.
std::string VerificationText(const TPublishSummary& summary);
// "Resuming a cut run: 3 files (2.0 MiB) not sent again"; "" when the plan resumes none.
std::string ResumePlanText(const TPublishPlan& plan);
// "Resumed 3 files of a cut run: 2.0 MiB not sent again"; "" when none was.
std::string ResumedText(const TPublishSummary& summary);
// "index.htm: 550 Permission denied", or the reason alone for the connection's failures.
std::string FailureText(const TPublishFailure& failure);

} // namespace kestrel
