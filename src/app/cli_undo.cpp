#include "app/cli_undo.h"

#include "app/cli_connection.h"
#include "app/cli_options.h"
#include "app/cli_output.h"
#include "publish/undo.h"

#include <cstdio>

namespace kestrel {
namespace {

TCommandSpec UndoSpec() {
    TCommandSpec command{
        "kestrelftp undo",
        "Puts the site in REMOTE_DIR back as it was before its last publish, byte for byte,\n"
        "the manifest included: files the publish added are removed, those it replaced or\n"
        "deleted come back from the history it kept on the server (the last 3 publishes by\n"
        "default, see publish --history), folders it made are removed and those it removed\n"
        "made again. --run undoes the run named and every later one, the last first.\n"
        "The server, the user and the password are found as for publish.",
        {
            {"--list", nullptr, "list the runs in the history, change nothing"},
            {"--run", "ID", "undo this run (and the later ones) instead of the last"},
        },
        {{"REMOTE_DIR|URL", true}},
    };
    for (const TOptionSpec& option : ConnectionOptionSpecs())
        command.Options.push_back(option);
    command.Options.push_back({"--json", nullptr, "print each event as one JSON object a line"});
    command.Options.push_back({"--help", nullptr, "show this text", false, "-h"});
    return command;
}

const TCommandSpec kUndoSpec = UndoSpec();

int Undo(const TParsedCommand& parsed) {
    const bool json = parsed.Has("--json");
    const bool list = parsed.Has("--list");
    const std::string run = parsed.Value("--run");
    if (list && parsed.Has("--run"))
        throw TUsageError{"--list and --run do not go together"};
    if (parsed.Has("--run") && !IsHistoryRunId(run))
        throw TUsageError{"--run takes a run's id as --list shows it (20261209T081500Z), not '" +
                          run + "'"};
    TConnectionArguments args = ParseConnectionArguments(parsed, parsed.Positionals[0]);
    try {
        TUndo undo(ConnectionSettings(args), args.remote);
        if (list) {
            std::vector<TUndoRun> runs = undo.List();
            PrintUndoRuns(runs, undo.History(), undo.RemoteRoot(), json);
            return 0;
        }
        TUndoSummary summary = undo.Undo(run);
        const int exit = summary.Succeeded() ? 0 : 1;
        PrintUndoSummary(summary, exit, json);
        return exit;
    } catch (const TUsageError&) {
        throw;
    } catch (const std::exception& error) {
        PrintUndoError(ReasonText(error), 1, json);
        return 1;
    }
}

} // namespace

std::string UndoSynopsis(const char* prefix) {
    return SynopsisText(kUndoSpec, prefix);
}

std::string UndoOptionsText() {
    return std::string(kUndoSpec.Description) + "\n\nOptions of undo:\n" + OptionsText(kUndoSpec);
}

int RunUndoCommand(int argc, char** argv) {
    try {
        bool help = false;
        PreScan(argc, argv, help);
        if (help) {
            std::fputs(("Usage: " + UndoSynopsis("") + "\n" + UndoOptionsText()).c_str(), stdout);
            return 0;
        }
        return Undo(ParseCommand(kUndoSpec, argc, argv, 1));
    } catch (const TUsageError& error) {
        std::fprintf(stderr, "kestrelftp undo: %s\nUsage: %sTry 'kestrelftp undo --help'.\n",
                     error.Text.c_str(), UndoSynopsis("").c_str());
        return 2;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "kestrelftp: undo failed: %s\n", ReasonText(error).c_str());
        return 1;
    }
}

} // namespace kestrel
