// The command line's publish: settings from the current folder's "Config.txt" with the
// options taking precedence, the password from the environment, the settings file or a
// prompt without echo (never from the command line), the plan, the run with a progress
// bar on a terminal or plain lines otherwise, and the summary.
#include "app/cli_publish.h"

#include "app/config.h"
#include "app/extrasettings.h"
#include "app/ftpurl.h"
#include "publish/publisher.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <optional>
#include <termios.h>
#include <unistd.h>

namespace kestrel {

const char* const kPublishUsage =
    "Usage: kestrelftp publish [options] LOCAL_DIR [REMOTE_DIR | URL]\n"
    "Publishes the site folder LOCAL_DIR to REMOTE_DIR on the server (default: the folder\n"
    "the log-in starts in): creates missing folders and sends new and changed files.\n"
    "Host, port, user and password come from Config.txt in the current folder; the\n"
    "password also from the variable KESTRELFTP_PASSWORD, else a prompt.\n"
    "  --dry-run                 show the plan, change nothing\n"
    "  --delete                  also delete remote files and folders gone locally\n"
    "  --connections N           connections at once, 1 to 8 (default 4)\n"
    "  --passive                 passive data connections (the server listens)\n"
    "  --tls                     require TLS on the connection\n"
    "  --trust-fingerprint SHA256  accept the server certificate with this fingerprint\n"
    "                            (certificates trusted in the window, kept in\n"
    "                            KestrelFTP.ini in the current folder, are accepted too)\n"
    "  --host H, --port P, --user U  override the URL and Config.txt\n"
    "URL: ftp://user@host:port/folder, ftpes:// for explicit TLS, ftps:// for implicit\n"
    "TLS, an IPv6 host in brackets (ftp://[2001:db8::1]/); the folder is relative to the\n"
    "log-in folder (%2F before it for an absolute one); never a password in it.\n"
    "Exit status 0 when everything was published, 1 when not, 2 for a usage error.\n";

namespace {

constexpr const char* kPasswordVariable = "KESTRELFTP_PASSWORD";
constexpr int kDefaultConnections = 4;

struct UsageError {
    std::string text;
};

struct Arguments {
    bool dryRun = false;
    bool remove = false;
    int connections = kDefaultConnections;
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

Arguments ParseArguments(int argc, char** argv) {
    Arguments args;
    std::vector<std::string> positional;
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        std::string value;
        bool inlineValue = false;
        if (word.rfind("--", 0) == 0 && word.find('=') != std::string::npos) {
            value = word.substr(word.find('=') + 1);
            word = word.substr(0, word.find('='));
            inlineValue = true;
        }
        auto next = [&]() -> std::string {
            if (inlineValue)
                return value;
            if (i + 1 >= argc)
                throw UsageError{word + " needs a value"};
            return argv[++i];
        };
        if (word == "--dry-run")
            args.dryRun = true;
        else if (word == "--delete")
            args.remove = true;
        else if (word == "--passive")
            args.passive = true;
        else if (word == "--tls")
            args.tls = true;
        else if (word == "--connections")
            args.connections = ParseInteger(next(), "--connections", 1, kMaxConnections);
        else if (word == "--trust-fingerprint")
            args.trustFingerprint = next();
        else if (word == "--host")
            args.host = next();
        else if (word == "--port")
            args.port = next();
        else if (word == "--user")
            args.user = next();
        else if (word == "--password" || word == "-p")
            throw UsageError{"a password is never taken from the command line; set " +
                             std::string(kPasswordVariable) + " or save it in Config.txt"};
        else if (word == "--")
            positional.insert(positional.end(), argv + i + 1, argv + argc), i = argc;
        else if (word.size() > 1 && word[0] == '-')
            throw UsageError{"unknown option " + word};
        else
            positional.push_back(word);
    }
    if (positional.empty() || positional.size() > 2)
        throw UsageError{positional.empty() ? "LOCAL_DIR is missing" : "too many arguments"};
    args.local = positional[0];
    if (positional.size() == 2 && LooksLikeUrl(positional[1])) {
        try {
            args.url = ParseFtpUrl(positional[1]);
        } catch (const EUrlError& error) {
            throw UsageError{std::string("the address is refused: ") + error.what()};
        }
        args.remote = args.url->Path;
    } else if (positional.size() == 2) {
        args.remote = positional[1];
    }
    return args;
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
TCertificateEvent CertificateCheck(const std::string& given) {
    auto saved = std::make_shared<TExtraSettings>();
    std::string problem;
    if (!saved->Load("", &problem))
        std::fprintf(stderr, "kestrelftp: %s; no certificate trusted there is used\n",
                     problem.c_str());
    auto printed = std::make_shared<std::once_flag>();
    return [given, saved, printed](const TCertificateInfo& info, bool& accept) {
        const TCertificateTrust trust = saved->TrustOf(info.Host, info.Fingerprint);
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

// The encryption an ftps:// URL asks for: TLS from the first byte, where the FTP
// component offers it (TEncryption::Implicit); none where it does not.
template <typename Encryption> std::optional<Encryption> ImplicitTls() {
    if constexpr (requires { Encryption::Implicit; })
        return Encryption::Implicit;
    else
        return std::nullopt;
}

// ftps:// is TLS from the first byte, which --tls (TLS required) cannot make weaker;
// ftpes:// and --tls are TLS after AUTH TLS.
TEncryption EncryptionOf(const Arguments& args) {
    if (args.url && args.url->Security == TUrlSecurity::ImplicitTls) {
        if (std::optional<TEncryption> implicit = ImplicitTls<TEncryption>())
            return *implicit;
        throw UsageError{"ftps:// (implicit TLS) is not available in this program; use "
                         "ftpes:// (explicit TLS)"};
    }
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
    settings.OnCertificateCheck = CertificateCheck(Upper(args.trustFingerprint));
    return settings;
}

std::string Bytes(std::int64_t count) {
    char text[32];
    if (count < 1024)
        std::snprintf(text, sizeof text, "%lld B", static_cast<long long>(count));
    else if (count < 1024 * 1024)
        std::snprintf(text, sizeof text, "%.1f KiB", double(count) / 1024);
    else
        std::snprintf(text, sizeof text, "%.1f MiB", double(count) / (1024 * 1024));
    return text;
}

void PrintPlan(const TPublishPlan& plan, const std::string& root, bool list) {
    int created = int(plan.FoldersToCreate.size()) + (plan.CreateRoot ? 1 : 0);
    int added = int(std::count_if(plan.Uploads.begin(), plan.Uploads.end(),
                                  [](const TPlannedUpload& u) { return u.New; }));
    int removed = int(plan.FilesToDelete.size() + plan.FoldersToDelete.size() +
                      plan.FilesToRemoveFirst.size() + plan.FoldersToRemoveFirst.size());
    std::printf("Plan for %s: %d folders to create, %zu files to send (%d new, %d changed, %s), "
                "%d to delete, %zu unchanged\n",
                root.c_str(), created, plan.Uploads.size(), added, int(plan.Uploads.size()) - added,
                Bytes(plan.BytesToSend).c_str(), removed, plan.Unchanged.size());
    for (const std::string& note : plan.Notes)
        std::printf("Note: %s\n", note.c_str());
    for (const TPlanConflict& conflict : plan.Conflicts)
        std::printf("Cannot publish %s: %s\n", conflict.Path.c_str(), conflict.Reason.c_str());
    if (!list)
        return;
    for (const std::string& path : plan.FilesToRemoveFirst)
        std::printf("  delete %s (makes way)\n", path.c_str());
    for (const std::string& path : plan.FoldersToRemoveFirst)
        std::printf("  remove folder %s (makes way)\n", path.c_str());
    if (plan.CreateRoot)
        std::printf("  create folder %s\n", root.c_str());
    for (const std::string& path : plan.FoldersToCreate)
        std::printf("  create folder %s\n", path.c_str());
    for (const TPlannedUpload& upload : plan.Uploads)
        std::printf("  send %s (%s, %s)\n", upload.Path.c_str(), upload.New ? "new" : "changed",
                    Bytes(upload.Size).c_str());
    for (const std::string& path : plan.FilesToDelete)
        std::printf("  delete %s\n", path.c_str());
    for (const std::string& path : plan.FoldersToDelete)
        std::printf("  remove folder %s\n", path.c_str());
}

// Progress: a bar redrawn in place on a terminal, a plain line a second otherwise.
class ProgressPrinter {
public:
    explicit ProgressPrinter(bool terminal) : terminal_(terminal) {}

    void Show(const TPublishProgress& p) {
        auto now = std::chrono::steady_clock::now();
        bool last = p.FilesDone == p.FilesTotal;
        if (!terminal_ && !last && now - lastLine_ < std::chrono::seconds(1))
            return;
        lastLine_ = now;
        double part = p.BytesTotal > 0
                          ? double(p.BytesDone) / double(p.BytesTotal)
                          : (p.FilesTotal > 0 ? double(p.FilesDone) / p.FilesTotal : 1);
        part = std::clamp(part, 0.0, 1.0);
        std::string left = last                ? "0 s"
                           : p.SecondsLeft < 0 ? "?"
                                               : std::to_string(int(p.SecondsLeft + 0.5)) + " s";
        std::string text = std::to_string(p.FilesDone) + "/" + std::to_string(p.FilesTotal) +
                           " files, " + Bytes(p.BytesDone) + " of " + Bytes(p.BytesTotal) + ", " +
                           Bytes(std::int64_t(p.Rate)) + "/s, " + left + " left";
        if (terminal_) {
            constexpr int kWidth = 30;
            int filled = int(part * kWidth);
            std::string bar = "[" + std::string(std::size_t(filled), '#') +
                              std::string(std::size_t(kWidth - filled), '.') + "] ";
            std::string current = p.Current.empty() ? "" : "  " + p.Current.front();
            if (current.size() > 30)
                current = current.substr(0, 27) + "...";
            std::printf("\r%s%s%s\033[K", bar.c_str(), text.c_str(), current.c_str());
            shown_ = true;
        } else {
            std::printf("%s\n", text.c_str());
        }
        std::fflush(stdout);
    }

    void Finish() {
        if (terminal_ && shown_)
            std::printf("\n");
    }

private:
    bool terminal_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point lastLine_{};
};

std::atomic<TPublisher*> g_running{nullptr};

void StopOnSignal(int) {
    if (TPublisher* publisher = g_running.load())
        publisher->Stop();
}

std::string OneLineReason(const TPublishSummary& summary) {
    if (summary.Stopped)
        return "stopped before everything was published";
    const TPublishFailure& first = summary.Failures.front();
    std::string reason = std::to_string(summary.Failures.size()) +
                         (summary.Failures.size() == 1 ? " failure" : " failures") + " (";
    reason += first.Path.empty() ? first.Reason : first.Path + ": " + first.Reason;
    return reason + ")";
}

int Publish(const Arguments& args) {
    TPublishOptions options;
    options.LocalRoot = args.local;
    options.RemoteRoot = args.remote;
    options.Connections = args.connections;
    options.Plan.Delete = args.remove;
    TPublisher publisher(Settings(args), options);
    const TPublishPlan& plan = publisher.Prepare();
    PrintPlan(plan, publisher.RemoteRoot(), args.dryRun);
    if (args.dryRun) {
        if (!plan.Conflicts.empty()) {
            std::fprintf(stderr, "kestrelftp: publish would fail: %zu conflicts\n",
                         plan.Conflicts.size());
            return 1;
        }
        return 0;
    }
    ProgressPrinter printer(::isatty(STDOUT_FILENO));
    publisher.OnProgress = [&](const TPublishProgress& progress) {
        if (progress.FilesTotal > 0)
            printer.Show(progress);
    };
    g_running = &publisher;
    std::signal(SIGINT, StopOnSignal);
    std::signal(SIGTERM, StopOnSignal);
    TPublishSummary summary = publisher.Run();
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    g_running = nullptr;
    printer.Finish();
    for (const std::string& note : summary.Notes)
        std::printf("Note: %s\n", note.c_str());
    for (const TPublishFailure& failure : summary.Failures)
        std::printf("Failed: %s%s%s\n", failure.Path.c_str(), failure.Path.empty() ? "" : ": ",
                    failure.Reason.c_str());
    std::printf("Uploaded %d, created %d, deleted %d, unchanged %d, failed %zu\n", summary.Uploaded,
                summary.Created, summary.Deleted, summary.Unchanged, summary.Failures.size());
    std::fflush(stdout);
    if (summary.Succeeded())
        return 0;
    std::fprintf(stderr, "kestrelftp: publish failed: %s\n", OneLineReason(summary).c_str());
    return 1;
}

} // namespace

int RunPublishCommand(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word == "--help" || word == "-h") {
            std::fputs(kPublishUsage, stdout);
            return 0;
        }
    }
    try {
        return Publish(ParseArguments(argc, argv));
    } catch (const UsageError& error) {
        std::fprintf(stderr, "kestrelftp publish: %s\n%s", error.text.c_str(),
                     "Try 'kestrelftp publish --help'.\n");
        return 2;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "kestrelftp: publish failed: %s\n", ReasonText(error).c_str());
        return 1;
    }
}

} // namespace kestrel
