// bench_link: publishing a site over a link with a round trip of 20 or 60 ms instead of
// loopback, where every command that waits for its reply costs a round trip. The servers
// (pyftpdlib and vsftpd, see bench/servers.h) run on 127.0.0.1 behind a DelayProxy; every
// client connects to the proxy and works in passive mode.
//
// The sites: 200 files of 4 KiB in 10 folders, 1,000 in 20 (--files). Each round, each
// client publishes the site to a fresh remote folder (first), publishes again with nothing
// changed (unchanged), then after 10 files changed (changed). Every run is a child process
// timed from fork to exit, so process start, log-in, the work and the log-out count.
//
//   ours N   bench_link --child: TPublisher with up to N connections (1, 4, 8), passive
//   lftp N   lftp -e "mirror -R --parallel=N ..." (--lftp 4 by default)
//   curl     one curl process, -T for every file ("curl --ftp-create-dirs"); it cannot
//            tell what changed, so its second publishes would send everything again and
//            are not run
//
// Round trips per file = seconds x connections / files / round trip: how many round trips
// each file cost its connection. The second publishes are given in round trips in all, and
// the unchanged one also in round trips after the log-in: from the moment the first "230"
// reply reaches the client (the proxy sees it) to the client's exit.
//
// Usage: bench_link [--rounds N] [--files 200,1000] [--rtt 20,60] [--servers pv]
//                   [--lftp 4] [--clients o1,o4,o8,lftp,curl] [--keep]
#include "bench/link/delay_proxy.h"
#include "bench/publish/benchutil.h"
#include "bench/servers.h"
#include "publish/publisher.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace kestrel;

namespace {

constexpr int kFileSize = 4096;
constexpr int kChanged = 10;
constexpr int kFilesPerFolderSmall = 20; // 200 files: 10 folders
constexpr int kMostFolders = 20;         // 1,000 files: 20 folders of 50

std::vector<int> Numbers(const std::string& list) {
    std::vector<int> numbers;
    std::stringstream in(list);
    std::string item;
    while (std::getline(in, item, ','))
        numbers.push_back(std::stoi(item));
    if (numbers.empty())
        throw std::invalid_argument("an empty list");
    return numbers;
}

std::vector<std::string> Words(const std::string& list) {
    std::vector<std::string> words;
    std::stringstream in(list);
    std::string item;
    while (std::getline(in, item, ','))
        words.push_back(item);
    return words;
}

// --- The site ----------------------------------------------------------------------------

struct SiteShape {
    int files;
    int folders;
    std::string Name(int index) const { // "dir03/page017.htm"
        char name[64];
        std::snprintf(name, sizeof name, "dir%02d/page%03d.htm", index % folders + 1,
                      index / folders + 1);
        return name;
    }
};

SiteShape ShapeFor(int files) {
    return {files, std::clamp(files / kFilesPerFolderSmall, 1, kMostFolders)};
}

void WriteRandom(const fs::path& path, std::uint64_t seed) {
    std::mt19937_64 random(seed);
    std::string bytes(kFileSize, '\0');
    for (char& c : bytes)
        c = char('a' + random() % 26);
    std::ofstream(path, std::ios::binary) << bytes;
}

void MakeSite(const fs::path& root, const SiteShape& shape) {
    for (int i = 0; i < shape.files; ++i) {
        fs::path path = root / shape.Name(i);
        fs::create_directories(path.parent_path());
        WriteRandom(path, std::uint64_t(i + 1));
    }
}

// Changes 10 files spread over the folders; the sizes stay, the bytes and times change.
void ChangeTen(const fs::path& root, const SiteShape& shape, std::uint64_t seed) {
    for (int i = 0; i < kChanged; ++i)
        WriteRandom(root / shape.Name(i * (shape.files / kChanged) + i),
                    seed * 100 + std::uint64_t(i));
}

// Files under a folder of the server, the manifest not counted.
int CountFiles(const fs::path& folder) {
    int count = 0;
    if (!fs::exists(folder))
        return 0;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        count += entry.is_regular_file() && entry.path().filename() != kManifestName;
    return count;
}

// --- Running a client --------------------------------------------------------------------

// Runs argv as a child, killed after limitSeconds; returns the wall time from fork to exit
// and what it printed, and sets ended to the moment it exited. A child that fails or is
// killed is an error: its time means nothing.
double RunChild(const std::vector<std::string>& argv, int limitSeconds, std::string& output,
                double& ended) {
    ::sync(); // what the previous run left to write back goes to the disk now
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    double start = bench::Seconds();
    pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::alarm(unsigned(limitSeconds));
        ::dup2(out[1], 1);
        bench::ExecOrExit(argv);
    }
    ::close(out[1]);
    output.clear();
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(out[0], buffer, sizeof buffer)) != 0)
        if (n > 0)
            output.append(buffer, std::size_t(n));
        else if (errno != EINTR)
            break;
    ::close(out[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    ended = bench::Seconds();
    double seconds = ended - start;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error(argv[0] + " failed (status " + std::to_string(status) + ")");
    return seconds;
}

struct Account {
    int port; // the proxy's
    std::string user, password;
};

// The measured publish of "ours": prints "PUBLISHED <connections> <uploaded>".
int ChildPublish(const Account& account, const std::string& local, const std::string& remote,
                 int connections) {
    TConnectionSettings connection;
    connection.Host = "127.0.0.1";
    connection.Port = account.port;
    connection.UserID = account.user;
    connection.Password = account.password;
    connection.DataMode = TDataMode::Passive;
    TPublishOptions options;
    options.LocalRoot = local;
    options.RemoteRoot = remote;
    options.Connections = connections;
    TPublisher publisher(connection, options);
    TPublishSummary summary;
    try {
        summary = publisher.Run();
    } catch (const std::exception& error) { // a log-in or the listing of the root failed
        std::fprintf(stderr, "publish failed: %s\n", error.what());
        return 1;
    }
    if (!summary.Succeeded()) {
        std::fprintf(stderr, "publish failed: %s\n",
                     summary.Failures.empty() ? "stopped" : summary.Failures[0].Reason.c_str());
        return 1;
    }
    std::printf("PUBLISHED %d %d\n", summary.Connections, summary.Uploaded);
    return 0;
}

struct Client {
    std::string name; // "ours 4", "lftp 4", "curl"
    int connections;
    bool ours() const { return name.rfind("ours", 0) == 0; }
    bool curl() const { return name == "curl"; }
};

std::vector<std::string> Command(const Client& client, const Account& account,
                                 const fs::path& local, const SiteShape& shape,
                                 const std::string& remote) {
    if (client.ours())
        return {fs::read_symlink("/proc/self/exe").string(),
                "--child",
                std::to_string(account.port),
                account.user,
                account.password,
                local.string(),
                remote,
                std::to_string(client.connections)};
    if (client.curl()) {
        // Passive (EPSV, else PASV) is curl's default.
        std::vector<std::string> argv{"/usr/bin/curl", "-sS", "--ftp-create-dirs", "--user",
                                      account.user + ":" + account.password};
        std::string base = "ftp://127.0.0.1:" + std::to_string(account.port) + remote + "/";
        // Folder by folder, as a user would list them: curl changes folders only between them.
        std::vector<std::string> names;
        for (int i = 0; i < shape.files; ++i)
            names.push_back(shape.Name(i));
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            argv.insert(argv.end(),
                        {"-T", (local / name).string(), base + name.substr(0, name.find('/') + 1)});
        }
        return argv;
    }
    // lftp works in passive mode by default.
    std::string script = "mirror -R --parallel=" + std::to_string(client.connections) + " " +
                         local.string() + " " + remote + "; quit";
    return {"/usr/bin/lftp",
            "-u",
            account.user + "," + account.password,
            "-p",
            std::to_string(account.port),
            "-e",
            script,
            "127.0.0.1"};
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// --- The rounds ----------------------------------------------------------------------------

enum Phase { kFirst, kUnchanged, kChangedTen };
constexpr const char* kPhaseNames[] = {"first", "unchanged", "10 changed"};

struct Cell {
    std::vector<double> seconds;
    std::vector<int> connections;   // ours: how many the run opened
    std::vector<double> afterLogIn; // from the first log-in's "230" reaching it to its exit
};

struct Bench {
    fs::path work;
    std::vector<Client> clients;
    int rounds = 1;
    std::uint64_t changes = 0; // the changes made to the sites so far
    // By server, round trip (ms), files, client and phase.
    std::map<std::tuple<std::string, int, int, std::string, int>, Cell> cells;
};

void RunOnce(Bench& bench, const bench::Server& server, const fs::path& webspace,
             bench::DelayProxy& proxy, const SiteShape& shape, const fs::path& local,
             const Client& client, int round) {
    const Account account{proxy.port(), server.user(), server.password()};
    int rtt = int(proxy.roundTripMs());
    std::string tag = client.name;
    std::replace(tag.begin(), tag.end(), ' ', '-');
    std::string remote = "/l" + std::to_string(round) + "-" + std::to_string(rtt) + "ms-" +
                         std::to_string(shape.files) + "-" + tag;
    // Generous: a file of ours on one connection takes about 6 round trips today.
    int limit = std::max(120, int(shape.files * proxy.roundTripMs() / 1000 * 20));
    for (int phase = kFirst; phase <= kChangedTen; ++phase) {
        if (client.curl() && phase != kFirst)
            break; // it would send everything again
        if (phase == kChangedTen) {
            ChangeTen(local, shape, ++bench.changes); // new bytes, never seen before
            ::usleep(10000); // a publish within the same second must still see the change
        }
        bench::LetTimeWaitDrain(8000);
        std::string output;
        double ended = 0;
        proxy.ForgetLogIns();
        double seconds =
            RunChild(Command(client, account, local, shape, remote), limit, output, ended);
        Cell& cell = bench.cells[{server.name(), rtt, shape.files, client.name, phase}];
        cell.seconds.push_back(seconds);
        double afterLogIn = proxy.FirstLogIn() > 0 ? ended - proxy.FirstLogIn() : 0;
        cell.afterLogIn.push_back(afterLogIn);
        int opened = client.connections, uploaded = -1;
        std::sscanf(output.c_str(), "PUBLISHED %d %d", &opened, &uploaded);
        cell.connections.push_back(opened);
        std::printf("  %s %d ms %d files: %s %s %.3f s", server.name().c_str(), rtt, shape.files,
                    client.name.c_str(), kPhaseNames[phase], seconds);
        if (client.ours())
            std::printf(" (%d connection(s), %d uploaded)", opened, uploaded);
        std::printf(", %.1f round trips after the log-in\n", afterLogIn / (rtt / 1000.0));
        std::fflush(stdout);
        int published = CountFiles(webspace / remote.substr(1));
        if (published != shape.files)
            throw std::runtime_error(client.name + " published " + std::to_string(published) +
                                     " of " + std::to_string(shape.files) + " files");
        int expected = phase == kFirst ? shape.files : phase == kUnchanged ? 0 : kChanged;
        if (client.ours() && uploaded != expected)
            throw std::runtime_error(client.name + " uploaded " + std::to_string(uploaded) +
                                     " files in its " + kPhaseNames[phase] + " publish, not " +
                                     std::to_string(expected));
    }
}

void PrintTables(Bench& bench, const std::vector<std::string>& servers,
                 const std::vector<int>& rtts, const std::vector<int>& sizes) {
    for (const std::string& server : servers)
        for (int rtt : rtts)
            for (int files : sizes) {
                std::printf("\n%s, round trip %d ms, %d files of %d bytes in %d folders, medians "
                            "of %d:\n\n",
                            server.c_str(), rtt, files, kFileSize, ShapeFor(files).folders,
                            bench.rounds);
                std::printf("| client | connections | first (s) | round trips per file | "
                            "unchanged (s) | round trips | after log-in | 10 changed (s) | "
                            "round trips |\n");
                std::printf("| --- | ---: | ---: | ---: | ---: | ---: | ---: | ---: | ---: |\n");
                for (const Client& client : bench.clients) {
                    auto key = [&](int phase) {
                        return std::make_tuple(server, rtt, files, client.name, phase);
                    };
                    if (!bench.cells.count(key(kFirst)))
                        continue;
                    Cell& first = bench.cells[key(kFirst)];
                    double seconds = Median(first.seconds);
                    std::vector<double> opened(first.connections.begin(), first.connections.end());
                    double connections = Median(opened);
                    std::printf("| %s | %.0f | %.2f | %.2f |", client.name.c_str(), connections,
                                seconds, seconds * connections / files / (rtt / 1000.0));
                    for (int phase : {kUnchanged, kChangedTen}) {
                        if (!bench.cells.count(key(phase))) {
                            std::printf(phase == kUnchanged ? " (sends all) | - | - |"
                                                            : " - | - |");
                            continue;
                        }
                        const Cell& again = bench.cells[key(phase)];
                        double median = Median(again.seconds);
                        std::printf(" %.2f | %.0f |", median, median / (rtt / 1000.0));
                        if (phase == kUnchanged) // the round trips the log-in does not cover
                            std::printf(" %.1f |", Median(again.afterLogIn) / (rtt / 1000.0));
                    }
                    std::printf("\n");
                }
            }
}

std::unique_ptr<bench::Server> StartServer(char kind, const fs::path& webspace,
                                           const fs::path& work) {
    // Chrooted, so that the clients' absolute remote folders stay below it; a local user of
    // its own, so that bench_site or bench_publish running meanwhile leave it alone.
    if (kind == 'v')
        return std::make_unique<bench::Vsftpd>(webspace, work, "", true, bench::Vsftpd::Tls::Strict,
                                               "kestrellink");
    return std::make_unique<bench::Pyftpd>(webspace, "",
                                           std::vector<std::string>{"--max-cons", "64"});
}

int Usage() {
    std::fprintf(stderr, "Usage: bench_link [--rounds N] [--files 200,1000] [--rtt 20,60] "
                         "[--servers pv] [--lftp 4] [--clients o1,o4,o8,lftp,curl] [--keep]\n");
    return 2;
}

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    if (argc == 8 && std::string(argv[1]) == "--child")
        return ChildPublish(Account{std::stoi(argv[2]), argv[3], argv[4]}, argv[5], argv[6],
                            std::stoi(argv[7]));
    Bench bench;
    std::vector<int> sizes{200}, rtts{20}, lftp{4};
    std::string servers = "pv", clientList = "o1,o4,o8,lftp,curl";
    bool keep = false;
    try {
        for (int i = 1; i < argc; ++i) {
            std::string word = argv[i];
            bool value = i + 1 < argc;
            if (word == "--rounds" && value)
                bench.rounds = std::max(1, std::stoi(argv[++i]));
            else if (word == "--files" && value)
                sizes = Numbers(argv[++i]);
            else if (word == "--rtt" && value)
                rtts = Numbers(argv[++i]);
            else if (word == "--servers" && value)
                servers = argv[++i];
            else if (word == "--lftp" && value)
                lftp = Numbers(argv[++i]);
            else if (word == "--clients" && value)
                clientList = argv[++i];
            else if (word == "--keep")
                keep = true;
            else
                return Usage();
        }
    } catch (const std::exception&) {
        return Usage();
    }
    for (const std::string& word : Words(clientList)) {
        if (word.size() == 2 && word[0] == 'o' && word[1] >= '1' && word[1] <= '8')
            bench.clients.push_back({"ours " + word.substr(1), word[1] - '0'});
        else if (word == "lftp")
            for (int n : lftp)
                bench.clients.push_back({"lftp " + std::to_string(n), n});
        else if (word == "curl")
            bench.clients.push_back({"curl", 1});
        else
            return Usage();
    }
    for (const char* tool : {"/usr/bin/lftp", "/usr/bin/curl"})
        if (!fs::exists(tool)) {
            std::fprintf(stderr, "bench_link: %s is missing (apt-get install %s)\n", tool,
                         fs::path(tool).filename().c_str());
            return 1;
        }
    bench.work = fs::temp_directory_path() / ("kestrel-bench-link-" + std::to_string(::getpid()));
    std::vector<std::string> ran;
    try {
        std::map<int, fs::path> sites;
        for (int files : sizes) {
            sites[files] = bench.work / ("site-" + std::to_string(files));
            MakeSite(sites[files], ShapeFor(files));
        }
        for (char kind : servers) {
            fs::path webspace = bench.work / (std::string("webspace-") + kind);
            fs::create_directories(webspace);
            std::unique_ptr<bench::Server> server;
            try {
                server = StartServer(kind, webspace, bench.work);
            } catch (const std::exception& error) {
                if (kind != 'v')
                    throw;
                std::printf("%s\n", error.what()); // vsftpd is optional: say why it is left out
                continue;
            }
            ran.push_back(server->name());
            for (int rtt : rtts) {
                bench::DelayProxy proxy(server->port(), rtt);
                std::printf("bench_link: %s on 127.0.0.1:%d behind a proxy with a round trip "
                            "of %d ms, %d round(s)\n",
                            server->name().c_str(), server->port(), rtt, bench.rounds);
                std::fflush(stdout);
                for (int round = 0; round < bench.rounds; ++round)
                    for (int files : sizes)
                        for (std::size_t k = 0; k < bench.clients.size(); ++k) {
                            // Alternate the order from round to round.
                            const Client& client =
                                bench.clients[(k + std::size_t(round)) % bench.clients.size()];
                            RunOnce(bench, *server, webspace, proxy, ShapeFor(files), sites[files],
                                    client, round);
                        }
            }
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_link: %s\n", error.what());
        // What was measured until then is still worth its table (medians of fewer rounds).
        PrintTables(bench, ran, rtts, sizes);
        if (!keep)
            fs::remove_all(bench.work);
        return 1;
    }
    PrintTables(bench, ran, rtts, sizes);
    if (!keep)
        fs::remove_all(bench.work);
    return 0;
}
