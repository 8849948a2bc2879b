// What the command line's publish prints: the plan, the progress and the outcome, as text
// for a person (the words of publish/describe.h) or as JSON lines for scripts.
//
// JSON: one object a line on standard output, each with an "event":
//   {"event":"plan","root":"/www","create":[...],"send":[{"path":..,"size":..,"new":..}],
//    "delete":[...],"unchanged":N,"leftOut":N,"refused":null|"...","conflicts":[...],
//    "notes":[...],"history":null|{"folder":..,"inside":..,"runs":N,...}}
//   {"event":"left-out","path":..,"folder":false,"kind":"secrets","reason":".."}
//   {"event":"sent","path":..}  {"event":"deleted","path":..}
//   {"event":"failed","path":..,"reason":..}  {"event":"note","text":..}
//   {"event":"kept","run":..}  the run as the history keeps it, for undo
//   {"event":"summary","uploaded":N,...,"failed":N,"stopped":false,"exit":0}
//   {"event":"error","reason":..,"exit":1|2}  when the run cannot start
// Names are bytes: bytes that are not UTF-8 appear as "\u00XX".
#pragma once

#include "publish/publisher.h"
#include "publish/undo.h"

#include <memory>

namespace kestrel {

class TRunOutput {
public:
    virtual ~TRunOutput() = default;
    virtual void Plan(const TPublishPlan& plan, const std::string& root) = 0;
    virtual void Progress(const TPublishProgress& progress) = 0;
    // Called once, after the run; exit is the status the program ends with.
    virtual void Summary(const TPublishSummary& summary, int exit) = 0;
    virtual void Error(const std::string& reason, int exit) = 0;
};

// listActions: every step of the plan (the dry run, --verbose); verbose: also every path
// left out with its reason; terminal: a progress bar redrawn in place.
std::unique_ptr<TRunOutput> MakeTextOutput(bool listActions, bool verbose, bool terminal);
std::unique_ptr<TRunOutput> MakeJsonOutput();

// What undo prints, as text or JSON lines ({"event":"run",...} for each run and
// {"event":"history",...} after them; {"event":"undone","id":..} for each run undone,
// "failed", "note", then {"event":"summary","undone":[..],...,"exit":N}).
void PrintUndoRuns(const std::vector<TUndoRun>& runs, const TSiteHistory& history,
                   const std::string& root, bool json);
void PrintUndoSummary(const TUndoSummary& summary, int exit, bool json);
void PrintUndoError(const std::string& reason, int exit, bool json);

// The text as a JSON string, quotes included.
std::string JsonString(const std::string& text);

} // namespace kestrel
