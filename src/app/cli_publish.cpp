// The command line: the program's options and the publish command, declared once (the
// usage text is made from the declaration); settings from the current folder's
// "Config.txt" with the options taking precedence, the password from the environment, the
// settings file or a prompt without echo (never from the command line), the plan, the run
// and the summary, as text or JSON lines.
#include "app/cli_publish.h"

#include "app/cli_connection.h"
#include "app/cli_options.h"
#include "app/cli_output.h"
#include "app/cli_undo.h"
#include "app/config.h"
#include "app/extrasettings.h"
#include "app/httpcheck.h"
#include "publish/journal.h"
#include "publish/publisher.h"

#include <QCoreApplication>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kestrel {
namespace {

const TCommandSpec kProgramSpec{
    "kestrelftp",
    "Without arguments the window opens; its settings are read from Config.txt and\n"
    "KestrelFTP.ini in the folder it starts in. --from-menu starts in your home folder\n"
    "instead (the desktop menu uses it).",
    {
        {"--help", nullptr, "show this text", false, "-h"},
        {"--version", nullptr, "show the version"},
        {"--from-menu", nullptr, "open the window in the home folder"},
    },
    {},
};

// The options of publish with those of the connection after --connections.
TCommandSpec WithConnectionOptions(TCommandSpec command, const char* after) {
    auto at =
        std::find_if(command.Options.begin(), command.Options.end(),
                     [&](const TOptionSpec& option) { return std::string(option.Name) == after; });
    std::vector<TOptionSpec> connection = ConnectionOptionSpecs();
    command.Options.insert(at == command.Options.end() ? at : at + 1, connection.begin(),
                           connection.end());
    return command;
}

const TCommandSpec kPublishSpec = WithConnectionOptions(
    {
        "kestrelftp publish",
        "Publishes the site folder LOCAL_DIR to REMOTE_DIR on the server (default: the folder\n"
        "the log-in starts in): creates missing folders and sends new and changed files, hidden\n"
        "ones such as .htaccess and .well-known/ included. Left out, each with its reason:\n"
        "version-control folders, system files, editor back-ups, files that look like secrets\n"
        "(.env, *.pem, *.key, id_rsa*, *.sql, *.sqlite, configuration back-ups), the patterns of\n"
        ".kestrelignore in LOCAL_DIR (.gitignore syntax) and of --exclude; what is left out is\n"
        "never deleted on the server. Host, port, user and password come from Config.txt in the\n"
        "current folder; the password also from the variable KESTRELFTP_PASSWORD, else a prompt.\n"
        "Instead of REMOTE_DIR a URL: ftp://user@host:port/folder, ftpes:// for explicit TLS,\n"
        "ftps:// for implicit TLS, an IPv6 host in brackets (ftp://[2001:db8::1]/); the folder is\n"
        "relative to the log-in folder (%2F before it for an absolute one); never a password in\n"
        "it. --host, --port, --user and --tls win over the URL.",
        {
            {"--dry-run", nullptr, "show the plan, change nothing"},
            {"--delete", nullptr, "also delete remote files and folders gone locally"},
            {"--connections", "N", "connections at once to start with, 1 to 8 (default 4)"},
            {"--max-delete", "N",
             "allow up to N deletions; without it a run that deletes more\n"
             "than half of the server's files, or any while LOCAL_DIR has\n"
             "none to publish, is refused"},
            {"--force-delete", nullptr, "allow any number of deletions"},
            {"--exclude", "PATTERN", "leave out what matches (.gitignore syntax; repeatable)",
             true},
            {"--include", "PATTERN", "publish what matches although a rule leaves it out", true},
            {"--chmod", "FILES:FOLDERS", "permissions after each upload and new folder (644:755)"},
            {"--history", "N",
             "keep the last N runs on the server for undo (default 3;\n"
             "0: replaced and deleted files are not kept)"},
            {"--verify-url", "URL",
             "after the run fetch each changed page (.htm, .html, .xhtml)\n"
             "from URL + its path over HTTP(S) and compare it with the\n"
             "local file; a page that differs is a failure"},
            {"--verbose", nullptr, "list every step and every path left out with its reason", false,
             "-v"},
            {"--json", nullptr, "print the plan and each event as one JSON object a line"},
            {"--help", nullptr, "show this text", false, "-h"},
        },
        {{"LOCAL_DIR", true}, {"REMOTE_DIR|URL", false}},
    },
    "--connections");

constexpr const char* kExitCodes = "\nExit status:\n"
                                   "  0  everything was published (with --dry-run: could be)\n"
                                   "  1  something was not published: a failure, a file that "
                                   "cannot be read, a Stop,\n"
                                   "     or a run refused (deletions beyond the guard, a "
                                   "conflict)\n"
                                   "  2  a usage error: an unknown option or command, a bad "
                                   "value, LOCAL_DIR\n"
                                   "     missing or not a folder\n";

using UsageError = TUsageError;

struct Arguments {
    bool dryRun = false;
    bool verbose = false;
    bool json = false;
    int connections = kDefaultConnections;
    TPlanOptions plan;
    TPermissions permissions;
    int historyRuns = kDefaultHistoryRuns;
    std::string local;
    TConnectionArguments connection;
    std::string verifyUrl; // where visitors see the site, for the check over HTTP
};

Arguments ParseArguments(int argc, char** argv) {
    TParsedCommand parsed = ParseCommand(kPublishSpec, argc, argv, 1);
    Arguments args;
    args.dryRun = parsed.Has("--dry-run");
    args.verbose = parsed.Has("--verbose");
    args.json = parsed.Has("--json");
    args.plan.Delete = parsed.Has("--delete");
    args.plan.ForceDelete = parsed.Has("--force-delete");
    if (parsed.Has("--max-delete"))
        args.plan.MaxDelete =
            ParseInteger(parsed.Value("--max-delete"), "--max-delete", 0, 1 << 30);
    if ((parsed.Has("--max-delete") || args.plan.ForceDelete) && !args.plan.Delete)
        throw UsageError{"--max-delete and --force-delete go with --delete"};
    // The exclusions in the order given, --exclude and --include mixed: the last one
    // that matches decides.
    for (const auto& [name, pattern] : parsed.InOrder) {
        if (name != "--exclude" && name != "--include")
            continue;
        if (pattern.empty())
            throw UsageError{name + " needs a pattern"};
        args.plan.Walk.Exclusions.push_back(name == "--exclude" ? ExcludeLine(pattern)
                                                                : IncludeLine(pattern));
    }
    if (parsed.Has("--chmod")) {
        std::optional<TPermissions> permissions = ParsePermissions(parsed.Value("--chmod"));
        if (!permissions)
            throw UsageError{"--chmod takes octal permissions for files and folders, such as "
                             "644:755, not '" +
                             parsed.Value("--chmod") + "'"};
        args.permissions = *permissions;
    }
    if (parsed.Has("--connections"))
        args.connections =
            ParseInteger(parsed.Value("--connections"), "--connections", 1, kMaxConnections);
    if (parsed.Has("--history"))
        args.historyRuns = ParseInteger(parsed.Value("--history"), "--history", 0, 1000);
    if (parsed.Has("--verify-url")) {
        args.verifyUrl = parsed.Value("--verify-url");
        if (std::string problem = CheckUrlProblem(args.verifyUrl); !problem.empty())
            throw UsageError{"--verify-url: " + problem};
    }
    args.local = parsed.Positionals[0];
    args.connection = ParseConnectionArguments(
        parsed, parsed.Positionals.size() > 1 ? parsed.Positionals[1] : std::string());
    return args;
}

// LOCAL_DIR must be a folder: found before any connection is made.
void CheckLocalFolder(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0)
        throw UsageError{"LOCAL_DIR '" + path + "' does not exist"};
    if (!S_ISDIR(info.st_mode))
        throw UsageError{"LOCAL_DIR '" + path + "' is not a folder"};
}

std::atomic<TPublisher*> g_running{nullptr};

void StopOnSignal(int) {
    if (TPublisher* publisher = g_running.load())
        publisher->Stop();
}

// Ctrl-C and SIGTERM stop the publish from its first step to its last, while it compares
// (the listing, the walk) as while it sends: it ends within a moment through its own Stop,
// logged out, with what it sent recorded and a failure status. The earlier handling comes
// back when the publish is over.
class StopOnSignals {
public:
    explicit StopOnSignals(TPublisher& publisher) {
        g_running = &publisher;
        struct sigaction action {};
        action.sa_handler = StopOnSignal;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGINT, &action, &savedInterrupt_);
        ::sigaction(SIGTERM, &action, &savedTerminate_);
    }
    ~StopOnSignals() {
        ::sigaction(SIGINT, &savedInterrupt_, nullptr);
        ::sigaction(SIGTERM, &savedTerminate_, nullptr);
        g_running = nullptr;
    }
    StopOnSignals(const StopOnSignals&) = delete;
    StopOnSignals& operator=(const StopOnSignals&) = delete;

private:
    struct sigaction savedInterrupt_ {};
    struct sigaction savedTerminate_ {};
};

// Fetches the pages the run changed as visitors get them; a page that differs is a failure.
// Qt Network needs an application object, which the command line otherwise never makes.
void VerifyOverHttp(const Arguments& args, TPublishSummary& summary) {
    std::unique_ptr<QCoreApplication> application;
    if (!QCoreApplication::instance()) {
        static int argc = 1;
        static char name[] = "kestrelftp";
        static char* argv[] = {name, nullptr};
        application = std::make_unique<QCoreApplication>(argc, argv);
    }
    const THttpCheck check = CheckOverHttp(args.verifyUrl, args.local, summary.Sent);
    summary.Notes.push_back(HttpCheckText(check));
    summary.Failures.insert(summary.Failures.end(), check.Failures.begin(), check.Failures.end());
}

int Publish(const Arguments& args) {
    CheckLocalFolder(args.local);
    TPublishOptions options;
    options.LocalRoot = args.local;
    options.RemoteRoot = args.connection.remote;
    options.HistoryRuns = args.historyRuns;
    options.Connections = args.connections;
    options.GrowTo = kMaxConnections; // more while the server takes them and they repay
    options.Plan = args.plan;
    options.Plan.Walk.SettingsFiles = SettingsFileNames();
    options.Permissions = args.permissions;
    // A cut run is finished by the next one from this journal (see journal.h).
    options.JournalFolder = DefaultJournalFolder();
    std::unique_ptr<TRunOutput> output =
        args.json
            ? MakeJsonOutput()
            : MakeTextOutput(args.dryRun || args.verbose, args.verbose, ::isatty(STDOUT_FILENO));
    try {
        TPublisher publisher(ConnectionSettings(args.connection), options);
        StopOnSignals stopOnSignals(publisher);
        const TPublishPlan& plan = publisher.Prepare();
        output->Plan(plan, publisher.RemoteRoot());
        if (args.dryRun) {
            if (!plan.Conflicts.empty() || !plan.DeletionRefused.empty()) {
                std::fprintf(stderr, "kestrelftp: publish would fail: %s\n",
                             !plan.DeletionRefused.empty()
                                 ? ("refused: " + plan.DeletionRefused).c_str()
                                 : (std::to_string(plan.Conflicts.size()) + " conflicts").c_str());
                return 1;
            }
            return 0;
        }
        publisher.OnProgress = [&](const TPublishProgress& progress) {
            if (progress.FilesTotal > 0)
                output->Progress(progress);
        };
        TPublishSummary summary = publisher.Run();
        if (!args.verifyUrl.empty())
            VerifyOverHttp(args, summary);
        int exit = summary.Succeeded() ? 0 : 1;
        output->Summary(summary, exit);
        return exit;
    } catch (const UsageError&) {
        throw;
    } catch (const std::exception& error) {
        output->Error(ReasonText(error), 1);
        return 1;
    }
}

} // namespace

// The synopsis alone, after a usage error.
std::string ShortUsage() {
    return "Usage: " + SynopsisText(kProgramSpec, "") + SynopsisText(kPublishSpec, "       ") +
           UndoSynopsis("       ") + "Try 'kestrelftp --help' for the options.\n";
}

std::string UsageText() {
    return "Usage: " + SynopsisText(kProgramSpec, "") + SynopsisText(kPublishSpec, "       ") +
           UndoSynopsis("       ") + "\n" + kProgramSpec.Description + "\n\n" +
           kPublishSpec.Description + "\n\nOptions of publish:\n" + OptionsText(kPublishSpec) +
           "\n" + UndoOptionsText() + kExitCodes;
}

int RunPublishCommand(int argc, char** argv) {
    try {
        bool help = false;
        PreScan(argc, argv, help);
        if (help) {
            std::fputs(UsageText().c_str(), stdout);
            return 0;
        }
        return Publish(ParseArguments(argc, argv));
    } catch (const UsageError& error) {
        std::fprintf(stderr, "kestrelftp publish: %s\n%s", error.Text.c_str(),
                     ShortUsage().c_str());
        return 2;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "kestrelftp: publish failed: %s\n", ReasonText(error).c_str());
        return 1;
    }
}

std::optional<int> RunCommandLine(int argc, char** argv, bool& fromMenu) {
    fromMenu = false;
    if (argc > 1 && std::string(argv[1]) == "publish")
        return RunPublishCommand(argc - 1, argv + 1);
    if (argc > 1 && std::string(argv[1]) == "undo")
        return RunUndoCommand(argc - 1, argv + 1);
    try {
        if (argc > 1 && argv[1][0] != '-')
            throw UsageError{"unknown command '" + std::string(argv[1]) + "'"};
        TParsedCommand parsed = ParseCommand(kProgramSpec, argc, argv, 1);
        if (parsed.Has("--help")) {
            std::fputs(UsageText().c_str(), stdout);
            return 0;
        }
        if (parsed.Has("--version")) {
            std::printf("KestrelFTP %s\n", KESTREL_VERSION);
            return 0;
        }
        fromMenu = parsed.Has("--from-menu");
        return std::nullopt;
    } catch (const UsageError& error) {
        std::fprintf(stderr, "kestrelftp: %s\n%s", error.Text.c_str(), ShortUsage().c_str());
        return 2;
    }
}

} // namespace kestrel
