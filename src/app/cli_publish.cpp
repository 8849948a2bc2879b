// The command line: the program's options and the publish command, declared once (the
// usage text is made from the declaration); settings from the current folder's
// "Config.txt" with the options taking precedence, the password from the environment, the
// settings file or a prompt without echo (never from the command line), the plan, the run
// and the summary, as text or JSON lines.
#include "app/cli_publish.h"

#include "app/cli_options.h"
#include "app/cli_output.h"
#include "app/config.h"
#include "app/extrasettings.h"
#include "app/ftpurl.h"
#include "publish/publisher.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace kestrel {
namespace {

constexpr const char* kPasswordVariable = "KESTRELFTP_PASSWORD";

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

const TCommandSpec kPublishSpec{
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
        {"--passive", nullptr, "passive data connections (the server listens)"},
        {"--tls", nullptr, "require TLS on the connection"},
        {"--trust-fingerprint", "SHA256",
         "accept the server certificate with this fingerprint\n"
         "(those trusted in the window, in KestrelFTP.ini here,\n"
         "are accepted too)"},
        {"--host", "H", "the server (overrides the URL and Config.txt)"},
        {"--port", "P", "its port (overrides the URL and Config.txt)"},
        {"--user", "U", "the user (overrides the URL and Config.txt)"},
        {"--max-delete", "N",
         "allow up to N deletions; without it a run that deletes more\n"
         "than half of the server's files, or any while LOCAL_DIR has\n"
         "none to publish, is refused"},
        {"--force-delete", nullptr, "allow any number of deletions"},
        {"--exclude", "PATTERN", "leave out what matches (.gitignore syntax; repeatable)", true},
        {"--include", "PATTERN", "publish what matches although a rule leaves it out", true},
        {"--chmod", "FILES:FOLDERS", "permissions after each upload and new folder (644:755)"},
        {"--verbose", nullptr, "list every step and every path left out with its reason", false,
         "-v"},
        {"--json", nullptr, "print the plan and each event as one JSON object a line"},
        {"--help", nullptr, "show this text", false, "-h"},
    },
    {{"LOCAL_DIR", true}, {"REMOTE_DIR|URL", false}},
};

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
    bool passive = false;
    bool tls = false;
    std::string trustFingerprint;
    std::optional<std::string> host, port, user;
    std::string local, remote;
    std::optional<TFtpUrl> url; // the server as a URL instead of REMOTE_DIR
};

int ParseInteger(const std::string& text, const char* what, int low, int high) {
    int value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < low ||
        value > high)
        throw UsageError{std::string(what) + " must be a number from " + std::to_string(low) +
                         " to " + std::to_string(high) + ", not '" + text + "'"};
    return value;
}

// The words before "--" that ask for help or give a password.
void PreScan(int argc, char** argv, bool& help) {
    for (int i = 1; i < argc && std::string(argv[i]) != "--"; ++i) {
        std::string word = argv[i];
        if (word == "--help" || word == "-h")
            help = true;
        if (word == "-p" || word == "--password" || word.rfind("--password=", 0) == 0)
            throw UsageError{"a password is never taken from the command line; set " +
                             std::string(kPasswordVariable) + " or save it in Config.txt"};
    }
}

std::optional<std::string> Given(const TParsedCommand& parsed, const char* name) {
    if (!parsed.Has(name))
        return std::nullopt;
    return parsed.Value(name);
}

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
    args.passive = parsed.Has("--passive");
    args.tls = parsed.Has("--tls");
    args.trustFingerprint = parsed.Value("--trust-fingerprint");
    args.host = Given(parsed, "--host");
    args.port = Given(parsed, "--port");
    args.user = Given(parsed, "--user");
    args.local = parsed.Positionals[0];
    if (parsed.Positionals.size() > 1 && LooksLikeUrl(parsed.Positionals[1])) {
        try {
            args.url = ParseFtpUrl(parsed.Positionals[1]);
        } catch (const EUrlError& error) {
            throw UsageError{std::string("the address is refused: ") + error.what()};
        }
        args.remote = args.url->Path;
    } else if (parsed.Positionals.size() > 1) {
        args.remote = parsed.Positionals[1];
    }
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

// Reads a line from the terminal without showing it.
std::string PromptPassword(const std::string& prompt) {
    std::fputs(prompt.c_str(), stderr);
    std::fflush(stderr);
    termios saved{};
    bool terminal = ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string line;
    std::getline(std::cin, line);
    if (terminal)
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fputs("\n", stderr);
    return line;
}

std::string Upper(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), ':'), text.end());
    for (char& c : text)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// Accepts a certificate that failed verification when it is the one given by
// --trust-fingerprint, or the one the window trusts for the host (the settings file of
// the current folder, only read here); otherwise prints its fingerprint once.
TCertificateEvent CertificateCheck(const std::string& given, int port) {
    auto saved = std::make_shared<TExtraSettings>();
    std::string problem;
    if (!saved->Load("", &problem))
        std::fprintf(stderr, "kestrelftp: %s; no certificate trusted there is used\n",
                     problem.c_str());
    auto printed = std::make_shared<std::once_flag>();
    return [given, saved, printed, port](const TCertificateInfo& info, bool& accept) {
        const TCertificateTrust trust = saved->TrustOf(info.Host, port, info.Fingerprint);
        accept = (!given.empty() && Upper(info.Fingerprint) == given) ||
                 trust == TCertificateTrust::Trusted;
        if (accept)
            return;
        std::call_once(*printed, [&] {
            std::fprintf(stderr,
                         "kestrelftp: the server's certificate was refused (%s)\n"
                         "  SHA-256 fingerprint %s\n",
                         info.Reason.c_str(), info.Fingerprint.c_str());
            if (trust == TCertificateTrust::Changed)
                std::fprintf(stderr, "  %s trusts another certificate for %s\n",
                             kExtraSettingsFileName, info.Host.c_str());
            std::fprintf(stderr, "  give --trust-fingerprint %s to accept it\n",
                         info.Fingerprint.c_str());
        });
    };
}

// ftps:// is TLS from the first byte, which --tls (TLS required) cannot make weaker;
// ftpes:// and --tls are TLS after AUTH TLS.
TEncryption EncryptionOf(const Arguments& args) {
    if (args.url && args.url->Security == TUrlSecurity::ImplicitTls)
        return TEncryption::Implicit;
    if (args.tls || (args.url && args.url->Security == TUrlSecurity::ExplicitTls))
        return TEncryption::Required;
    return TEncryption::None;
}

// The connection settings: options first, then the URL, then Config.txt of the current
// folder. A URL may name another server than Config.txt: its port is the URL's or the
// default, never the one saved for Config.txt's host, and Config.txt's user and password
// go to no other host than its own.
TConnectionSettings Settings(const Arguments& args) {
    ConfigRecord config{};
    if (::access(kConfigFileName, F_OK) == 0 && !ReadConfigFile("", config))
        std::fprintf(stderr, "kestrelftp: %s cannot be read; using the options only\n",
                     kConfigFileName);
    TConnectionSettings settings;
    std::string savedHost = GetConfigField(config.Host);
    std::string savedPort = GetConfigField(config.Port);
    std::string savedUser = GetConfigField(config.UserID);
    std::string savedPassword = GetConfigField(config.Password);
    if (args.url) {
        std::string configHost = savedHost;
        if (configHost.size() > 2 && configHost.front() == '[' && configHost.back() == ']')
            configHost = configHost.substr(1, configHost.size() - 2);
        if (args.url->Host != configHost) {
            savedUser.clear();
            savedPassword.clear();
        }
        savedHost = args.url->Host;
        savedPort =
            std::to_string(args.url->Port != 0 ? args.url->Port : DefaultPort(args.url->Security));
        if (!args.url->UserID.empty())
            savedUser = args.url->UserID;
    }
    settings.Host = args.host.value_or(savedHost);
    if (settings.Host.empty())
        throw UsageError{"no host: give --host or save one in Config.txt"};
    std::string port = args.port.value_or(savedPort);
    settings.Port = port.empty() ? 21 : ParseInteger(port, "the port", 1, 65535);
    settings.UserID = args.user.value_or(savedUser);
    if (settings.UserID.empty())
        throw UsageError{"no user: give --user or save one in Config.txt"};
    if (const char* password = std::getenv(kPasswordVariable))
        settings.Password = password;
    else
        settings.Password = savedPassword;
    if (settings.Password.empty()) {
        if (!::isatty(STDIN_FILENO))
            throw UsageError{std::string("no password: set ") + kPasswordVariable +
                             " or save it in Config.txt"};
        settings.Password =
            PromptPassword("Password for " + settings.UserID + "@" + settings.Host + ": ");
    }
    settings.DataMode = args.passive ? TDataMode::Passive : TDataMode::Active;
    settings.Encryption = EncryptionOf(args);
    settings.OnCertificateCheck = CertificateCheck(Upper(args.trustFingerprint), settings.Port);
    return settings;
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

int Publish(const Arguments& args) {
    CheckLocalFolder(args.local);
    TPublishOptions options;
    options.LocalRoot = args.local;
    options.RemoteRoot = args.remote;
    options.Connections = args.connections;
    options.GrowTo = kMaxConnections; // more while the server takes them and they repay
    options.Plan = args.plan;
    options.Plan.Walk.SettingsFiles = SettingsFileNames();
    options.Permissions = args.permissions;
    std::unique_ptr<TRunOutput> output =
        args.json
            ? MakeJsonOutput()
            : MakeTextOutput(args.dryRun || args.verbose, args.verbose, ::isatty(STDOUT_FILENO));
    try {
        TPublisher publisher(Settings(args), options);
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
           "Try 'kestrelftp --help' for the options.\n";
}

std::string UsageText() {
    return "Usage: " + SynopsisText(kProgramSpec, "") + SynopsisText(kPublishSpec, "       ") +
           "\n" + kProgramSpec.Description + "\n\n" + kPublishSpec.Description +
           "\n\nOptions of publish:\n" + OptionsText(kPublishSpec) + kExitCodes;
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
