// bench_site: publishing a whole site with TPublisher against lftp's reverse mirror and
// curl's sequential uploads, on pyftpdlib and vsftpd servers that the harness starts on
// 127.0.0.1 (vsftpd needs root, see bench/servers.h, and is left out without it).
//
// The site: 1,000 files of 4 KiB in 20 folders. Each round, each client publishes it to a
// fresh remote folder (the first publish), then 10 files are changed (same size, new
// bytes) and it publishes again (the second publish). Every run is a child process timed
// from fork to exit, so process start, log-in, the work and the log-out are all counted.
//
//   ours N   bench_site --child: TPublisher with N connections (1 and 4), active mode;
//            "ours 4p" with 4 passive connections
//   lftp     lftp -e "mirror -R --parallel=4 ..."   (passive mode: see LftpCommand)
//   curl     one curl process, -T for every file ("curl -P - --ftp-create-dirs"); curl
//            cannot tell what changed, so its second publish sends everything again
//
// Usage: bench_site [--rounds N] [--servers pv] [--keep] [--switch]
//
// --switch measures instead how long each publish by ours (4 connections, active mode, in
// this process) leaves the site half old and half new: the time from the first staged file
// renamed over its page to the last, against the whole publish (log-in, listing, staging,
// renames, manifest), for the first publish and for the second with 10 changed files.
#include "bench/publish/benchutil.h"
#include "bench/servers.h"
#include "publish/publisher.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <stdexcept>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace kestrel;

namespace {

constexpr int kFolders = 20;
constexpr int kFilesPerFolder = 50;
constexpr int kFileSize = 4096;
constexpr int kChanged = 10;

// Runs argv as a child with its output discarded; returns the wall time from fork to exit
// and the processor time the child used (user and system), the server's not counted.
// A child that takes longer than the limit is killed and reported as an error: pyftpdlib
// now and then loses a data connection for good when several sessions use it at once.
constexpr int kChildLimitSeconds = 120;
struct ChildTimes {
    double wall = 0;
    double cpu = 0;
};

ChildTimes RunChild(const std::vector<std::string>& argv) {
    // What the previous run left to write back goes to the disk now, not during this run.
    ::sync();
    double start = bench::Seconds();
    pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::alarm(kChildLimitSeconds);
        int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::close(null);
        bench::ExecOrExit(argv);
    }
    int status = 0;
    struct rusage usage {};
    while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    double seconds = bench::Seconds() - start;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error(argv[0] + " failed (status " + std::to_string(status) + ")");
    auto time = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return {seconds, time(usage.ru_utime) + time(usage.ru_stime)};
}

std::string FileName(int folder, int file) {
    char name[64];
    std::snprintf(name, sizeof name, "dir%02d/page%03d.htm", folder, file);
    return name;
}

void WriteRandom(const fs::path& path, std::uint64_t seed) {
    std::mt19937_64 random(seed);
    std::string bytes(kFileSize, '\0');
    for (char& c : bytes)
        c = char('a' + random() % 26);
    std::ofstream(path, std::ios::binary) << bytes;
}

void MakeSite(const fs::path& root) {
    for (int d = 1; d <= kFolders; ++d) {
        fs::create_directories(root / ("dir" + std::string(d < 10 ? "0" : "") + std::to_string(d)));
        for (int f = 1; f <= kFilesPerFolder; ++f)
            WriteRandom(root / FileName(d, f), std::uint64_t(d * 1000 + f));
    }
}

// Changes 10 files spread over the folders; the sizes stay, the bytes and times change.
void ChangeTen(const fs::path& root, std::uint64_t round) {
    for (int i = 0; i < kChanged; ++i)
        WriteRandom(root / FileName(1 + i * 2, 1 + i), 1000000 + round * 100 + std::uint64_t(i));
}

// --- The measured clients ----------------------------------------------------------------

// The server a client publishes to, and who it logs in as.
struct Account {
    int port;
    std::string user, password;
};

int ChildPublish(const Account& account, const std::string& local, const std::string& remote,
                 int connections, bool passive) {
    TConnectionSettings connection;
    connection.Host = "127.0.0.1";
    connection.Port = account.port;
    connection.UserID = account.user;
    connection.Password = account.password;
    connection.DataMode = passive ? TDataMode::Passive : TDataMode::Active;
    TPublishOptions options;
    options.LocalRoot = local;
    options.RemoteRoot = remote;
    options.Connections = connections;
    TPublisher publisher(connection, options);
    TPublishSummary summary = publisher.Run();
    if (!summary.Succeeded()) {
        std::fprintf(stderr, "publish failed: %s\n",
                     summary.Failures.empty() ? "stopped" : summary.Failures[0].Reason.c_str());
        return 1;
    }
    return 0;
}

std::vector<std::string> CurlCommand(const Account& account, const fs::path& local,
                                     const std::string& remote) {
    std::vector<std::string> argv{"/usr/bin/curl",
                                  "-sS",
                                  "-P",
                                  "-",
                                  "--ftp-create-dirs",
                                  "--user",
                                  account.user + ":" + account.password};
    std::string base = "ftp://127.0.0.1:" + std::to_string(account.port) + remote + "/";
    for (int d = 1; d <= kFolders; ++d)
        for (int f = 1; f <= kFilesPerFolder; ++f) {
            std::string name = FileName(d, f);
            argv.insert(argv.end(),
                        {"-T", (local / name).string(), base + name.substr(0, name.find('/') + 1)});
        }
    return argv;
}

std::vector<std::string> LftpCommand(const Account& account, const fs::path& local,
                                     const std::string& remote) {
    // lftp runs in passive mode, its default: in active mode its parallel connections to
    // pyftpdlib fail part of the files (501 and 530 replies) and it still exits with 0.
    std::string script = "mirror -R --parallel=4 " + local.string() + " " + remote + "; quit";
    return {"/usr/bin/lftp",
            "-u",
            account.user + "," + account.password,
            "-p",
            std::to_string(account.port),
            "-e",
            script,
            "127.0.0.1"};
}

// Files under a folder of the server, the manifest not counted: every client must have
// published the whole site, or its time means nothing.
int CountFiles(const fs::path& folder) {
    int count = 0;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        count += entry.is_regular_file() && entry.path().filename() != kManifestName;
    return count;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

const std::vector<std::string> kClients = {"ours 1", "ours 4", "ours 4p", "lftp", "curl"};

// One server and the times of every client against it.
struct Site {
    std::unique_ptr<bench::Server> server;
    fs::path webspace;
    std::map<std::string, std::vector<double>> times;
};

std::unique_ptr<bench::Server> StartServer(char kind, const fs::path& webspace,
                                           const fs::path& work) {
    if (kind == 'v') // chrooted, so that the clients' absolute remote folders stay below it
        return std::make_unique<bench::Vsftpd>(webspace, work, "", true);
    return std::make_unique<bench::Pyftpd>(webspace, "",
                                           std::vector<std::string>{"--max-cons", "64"});
}

std::vector<std::string> Command(const std::string& client, const Account& account,
                                 const fs::path& local, const std::string& remote) {
    if (client == "lftp")
        return LftpCommand(account, local, remote);
    if (client == "curl")
        return CurlCommand(account, local, remote);
    return {fs::read_symlink("/proc/self/exe").string(),
            "--child",
            std::to_string(account.port),
            account.user,
            account.password,
            local.string(),
            remote,
            client.substr(5, 1),
            client.back() == 'p' ? "passive" : "active"};
}

// Every client publishes the site once to a fresh folder, then again after 10 changes.
void RunRound(Site& site, const fs::path& local, int round) {
    const Account account{site.server->port(), site.server->user(), site.server->password()};
    for (std::size_t k = 0; k < kClients.size(); ++k) {
        // Alternate the order from round to round.
        const std::string& client = kClients[(k + std::size_t(round)) % kClients.size()];
        std::string tag = client;
        tag.erase(std::remove(tag.begin(), tag.end(), ' '), tag.end());
        std::string remote = "/r" + std::to_string(round) + "-" + tag;
        // Each publish leaves about 1,000 connections in TIME_WAIT.
        bench::LetTimeWaitDrain(8000);
        std::vector<double>& first = site.times[client + " first"];
        ChildTimes times = RunChild(Command(client, account, local, remote));
        first.push_back(times.wall);
        site.times[client + " cpu"].push_back(times.cpu);
        std::printf("  %s: %s first %.3f s (client processor %.3f s)\n",
                    site.server->name().c_str(), client.c_str(), times.wall, times.cpu);
        int published = CountFiles(site.webspace / remote.substr(1));
        if (published != kFolders * kFilesPerFolder)
            throw std::runtime_error(client + " published " + std::to_string(published) +
                                     " files, not all");
        ChangeTen(local, std::uint64_t(round * 10 + int(k)));
        ::usleep(10000); // a second publish within the same second must still see it
        std::vector<double>& second = site.times[client + " second"];
        second.push_back(RunChild(Command(client, account, local, remote)).wall);
        std::printf("  %s: %s second %.3f s\n", site.server->name().c_str(), client.c_str(),
                    second.back());
        std::fflush(stdout);
    }
}

void PrintTable(Site& site) {
    std::printf("\n%s, medians:\n\n", site.server->name().c_str());
    std::printf("| client | first publish (s) | second publish, 10 changed (s) | second/first "
                "| client processor, first (s) |\n");
    std::printf("| --- | ---: | ---: | ---: | ---: |\n");
    for (const std::string& client : kClients) {
        double first = Median(site.times[client + " first"]);
        double second = Median(site.times[client + " second"]);
        std::printf("| %s | %.3f | %.3f | %.1f %% | %.3f |\n", client.c_str(), first, second,
                    first > 0 ? 100 * second / first : 0, Median(site.times[client + " cpu"]));
    }
    auto median = [&site](const std::string& key) { return Median(site.times[key]); };
    for (const char* ours : {"ours 4", "ours 4p"}) {
        double first = median(std::string(ours) + " first");
        std::printf("\n%s / curl (first): %.2f (target <= 0.50)\n", ours,
                    first / median("curl first"));
        std::printf("%s / lftp (first): %.2f (target < 1)\n", ours, first / median("lftp first"));
        std::printf("%s / lftp (second): %.2f\n", ours,
                    median(std::string(ours) + " second") / median("lftp second"));
        std::printf("%s second / first: %.1f %% (target < 10 %%)\n", ours,
                    100 * median(std::string(ours) + " second") / first);
    }
}

// The --switch measurement on one server: a table of the medians over the rounds.
void MeasureSwitch(Site& site, const fs::path& local, int rounds) {
    const Account account{site.server->port(), site.server->user(), site.server->password()};
    std::map<std::string, std::vector<double>> whole, window;
    for (int round = 0; round < rounds; ++round) {
        const std::string remote = "/switch" + std::to_string(round);
        for (const char* publish : {"first", "second"}) {
            if (std::string(publish) == "second") {
                ChangeTen(local, std::uint64_t(1000 + round));
                ::usleep(10000);
            }
            bench::LetTimeWaitDrain(8000);
            TConnectionSettings connection;
            connection.Host = "127.0.0.1";
            connection.Port = account.port;
            connection.UserID = account.user;
            connection.Password = account.password;
            TPublishOptions options;
            options.LocalRoot = local.string();
            options.RemoteRoot = remote;
            options.Connections = 4;
            options.MatchConnectionsToWork = false;
            const auto start = std::chrono::steady_clock::now();
            TPublisher publisher(connection, options);
            TPublishSummary summary = publisher.Run();
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            if (!summary.Succeeded())
                throw std::runtime_error("publish failed: " + (summary.Failures.empty()
                                                                   ? "stopped"
                                                                   : summary.Failures[0].Reason));
            whole[publish].push_back(seconds);
            window[publish].push_back(summary.SwitchSeconds);
            std::printf("  %s: %s publish %.3f s, %d files, half old and half new %.3f s\n",
                        site.server->name().c_str(), publish, seconds, summary.Uploaded,
                        summary.SwitchSeconds);
            std::fflush(stdout);
        }
    }
    std::printf("\n%s, ours 4, medians of %d rounds:\n\n", site.server->name().c_str(), rounds);
    std::printf("| publish | whole run (s) | first rename to last (s) | share |\n");
    std::printf("| --- | ---: | ---: | ---: |\n");
    for (const char* publish : {"first", "second"}) {
        double all = Median(whole[publish]), part = Median(window[publish]);
        std::printf("| %s | %.3f | %.3f | %.1f %% |\n", publish, all, part,
                    all > 0 ? 100 * part / all : 0);
    }
}

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    if (argc == 9 && std::string(argv[1]) == "--child")
        return ChildPublish(Account{std::stoi(argv[2]), argv[3], argv[4]}, argv[5], argv[6],
                            std::stoi(argv[7]), std::string(argv[8]) == "passive");
    int rounds = 3;
    std::string servers = "pv";
    bool keep = false;
    bool measureSwitch = false;
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word == "--rounds" && i + 1 < argc)
            rounds = std::max(1, std::stoi(argv[++i]));
        else if (word == "--servers" && i + 1 < argc)
            servers = argv[++i];
        else if (word == "--keep")
            keep = true;
        else if (word == "--switch")
            measureSwitch = true;
        else {
            std::fprintf(stderr,
                         "Usage: bench_site [--rounds N] [--servers pv] [--keep] [--switch]\n");
            return 2;
        }
    }
    fs::path work =
        fs::temp_directory_path() / ("kestrel-bench-site-" + std::to_string(::getpid()));
    fs::path local = work / "site";
    MakeSite(local);
    std::vector<Site> sites;
    try {
        for (char kind : servers) {
            Site site;
            site.webspace = work / (std::string("webspace-") + kind);
            fs::create_directories(site.webspace);
            try {
                site.server = StartServer(kind, site.webspace, work);
            } catch (const std::exception& error) {
                if (kind != 'v')
                    throw;
                std::printf("%s\n", error.what()); // vsftpd is optional: say why it is left out
                continue;
            }
            std::printf("bench_site: %d files of %d bytes in %d folders, %s on 127.0.0.1:%d, "
                        "%d rounds; ours runs with up to %d connection(s) at once\n",
                        kFolders * kFilesPerFolder, kFileSize, kFolders,
                        site.server->name().c_str(), site.server->port(), rounds,
                        TPublisher::ConnectionLimit());
            sites.push_back(std::move(site));
        }
        std::fflush(stdout);
        for (Site& site : sites)
            if (measureSwitch)
                MeasureSwitch(site, local, rounds);
        for (int round = 0; round < (measureSwitch ? 0 : rounds); ++round) {
            for (Site& site : sites)
                RunRound(site, local, round);
            std::printf("  round %d done\n", round + 1);
            std::fflush(stdout);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_site: %s\n", error.what());
        sites.clear();
        if (!keep)
            fs::remove_all(work);
        return 1;
    }
    for (Site& site : sites)
        if (!measureSwitch)
            PrintTable(site);
    sites.clear();
    if (!keep)
        fs::remove_all(work);
    return 0;
}
