// bench_site: publishing a whole site with TPublisher against lftp's reverse mirror and
// curl's sequential uploads, on a pyftpdlib server that the harness starts on 127.0.0.1.
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
// Usage: bench_site [--rounds N] [--keep]
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
#include <stdexcept>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using namespace kestrel;

namespace {

constexpr const char* kUser = "webuser";
constexpr const char* kPassword = "s3cret";
constexpr int kFolders = 20;
constexpr int kFilesPerFolder = 50;
constexpr int kFileSize = 4096;
constexpr int kChanged = 10;

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Runs argv as a child with its output discarded; returns the wall time from fork to exit.
// A child that takes longer than the limit is killed and reported as an error: pyftpdlib
// now and then loses a data connection for good when several sessions use it at once.
constexpr int kChildLimitSeconds = 120;
double RunChild(const std::vector<std::string>& argv, const std::string& cwd = "") {
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    double start = Now();
    pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::alarm(kChildLimitSeconds);
        if (!cwd.empty() && ::chdir(cwd.c_str()) != 0)
            ::_exit(126);
        int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 1);
        ::close(null);
        ::execv(args[0], args.data());
        std::fprintf(stderr, "bench_site: cannot run %s: %s\n", args[0], std::strerror(errno));
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    double seconds = Now() - start;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error(argv[0] + " failed (status " + std::to_string(status) + ")");
    return seconds;
}

class Server {
public:
    explicit Server(const fs::path& root) {
        int fds[2];
        if (::pipe(fds) != 0)
            throw std::runtime_error("pipe failed");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::dup2(fds[1], 1);
            ::close(fds[0]);
            ::close(fds[1]);
            std::string rootArg = root.string();
            ::execl("/usr/bin/python3", "python3", KESTREL_FTPD_PY, "--root", rootArg.c_str(),
                    "--user", kUser, "--password", kPassword, "--port", "0", "--print-port",
                    "--max-cons", "64", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(fds[1]);
        std::string line;
        char c;
        while (::read(fds[0], &c, 1) == 1 && c != '\n')
            line += c;
        ::close(fds[0]);
        if (line.rfind("PORT ", 0) != 0)
            throw std::runtime_error("pyftpdlib did not start");
        port_ = std::stoi(line.substr(5));
    }
    ~Server() {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    int port() const { return port_; }

private:
    pid_t pid_ = -1;
    int port_ = 0;
};

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

int ChildPublish(int port, const std::string& local, const std::string& remote, int connections,
                 bool passive) {
    TConnectionSettings connection;
    connection.Host = "127.0.0.1";
    connection.Port = port;
    connection.UserID = kUser;
    connection.Password = kPassword;
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

std::vector<std::string> CurlCommand(int port, const fs::path& local, const std::string& remote) {
    std::vector<std::string> argv{"/usr/bin/curl",
                                  "-sS",
                                  "-P",
                                  "-",
                                  "--ftp-create-dirs",
                                  "--user",
                                  std::string(kUser) + ":" + kPassword};
    std::string base = "ftp://127.0.0.1:" + std::to_string(port) + remote + "/";
    for (int d = 1; d <= kFolders; ++d)
        for (int f = 1; f <= kFilesPerFolder; ++f) {
            std::string name = FileName(d, f);
            argv.insert(argv.end(),
                        {"-T", (local / name).string(), base + name.substr(0, name.find('/') + 1)});
        }
    return argv;
}

std::vector<std::string> LftpCommand(int port, const fs::path& local, const std::string& remote) {
    // lftp runs in passive mode, its default: in active mode its parallel connections to
    // pyftpdlib fail part of the files (501 and 530 replies) and it still exits with 0.
    std::string script = "mirror -R --parallel=4 " + local.string() + " " + remote + "; quit";
    return {"/usr/bin/lftp",
            "-u",
            std::string(kUser) + "," + kPassword,
            "-p",
            std::to_string(port),
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

} // namespace

int main(int argc, char** argv) {
    std::signal(SIGPIPE, SIG_IGN);
    if (argc == 7 && std::string(argv[1]) == "--child")
        return ChildPublish(std::stoi(argv[2]), argv[3], argv[4], std::stoi(argv[5]),
                            std::string(argv[6]) == "passive");
    int rounds = 3;
    bool keep = false;
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word == "--rounds" && i + 1 < argc)
            rounds = std::max(1, std::stoi(argv[++i]));
        else if (word == "--keep")
            keep = true;
        else {
            std::fprintf(stderr, "Usage: bench_site [--rounds N] [--keep]\n");
            return 2;
        }
    }
    fs::path work =
        fs::temp_directory_path() / ("kestrel-bench-site-" + std::to_string(::getpid()));
    fs::create_directories(work / "webspace");
    fs::path local = work / "site";
    MakeSite(local);
    std::string self = fs::read_symlink("/proc/self/exe").string();
    std::map<std::string, std::vector<double>> times;
    try {
        Server server(work / "webspace");
        std::printf("bench_site: %d files of %d bytes in %d folders, pyftpdlib on 127.0.0.1:%d, "
                    "%d rounds; ours runs with up to %d connection(s) at once\n",
                    kFolders * kFilesPerFolder, kFileSize, kFolders, server.port(), rounds,
                    TPublisher::ConnectionLimit());
        std::fflush(stdout);
        const std::vector<std::string> clients = {"ours 1", "ours 4", "ours 4p", "lftp", "curl"};
        for (int round = 0; round < rounds; ++round) {
            for (std::size_t k = 0; k < clients.size(); ++k) {
                // Alternate the order from round to round.
                const std::string& client = clients[(k + std::size_t(round)) % clients.size()];
                std::string tag = client;
                tag.erase(std::remove(tag.begin(), tag.end(), ' '), tag.end());
                std::string remote = "/r" + std::to_string(round) + "-" + tag;
                auto command = [&]() -> std::vector<std::string> {
                    if (client == "lftp")
                        return LftpCommand(server.port(), local, remote);
                    if (client == "curl")
                        return CurlCommand(server.port(), local, remote);
                    return {self,
                            "--child",
                            std::to_string(server.port()),
                            local.string(),
                            remote,
                            client.substr(5, 1),
                            client.back() == 'p' ? "passive" : "active"};
                };
                times[client + " first"].push_back(RunChild(command()));
                std::printf("  %s first %.3f s\n", client.c_str(), times[client + " first"].back());
                int published = CountFiles(work / "webspace" / remote.substr(1));
                if (published != kFolders * kFilesPerFolder)
                    throw std::runtime_error(client + " published " + std::to_string(published) +
                                             " files, not all");
                ChangeTen(local, std::uint64_t(round * 10 + int(k)));
                ::usleep(10000); // a second publish within the same second must still see it
                times[client + " second"].push_back(RunChild(command()));
                std::printf("  %s second %.3f s\n", client.c_str(),
                            times[client + " second"].back());
                std::fflush(stdout);
            }
            std::printf("  round %d done\n", round + 1);
            std::fflush(stdout);
        }
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_site: %s\n", error.what());
        if (!keep)
            fs::remove_all(work);
        return 1;
    }
    if (!keep)
        fs::remove_all(work);

    std::printf(
        "\n| client | first publish (s) | second publish, 10 changed (s) | second/first |\n");
    std::printf("| --- | ---: | ---: | ---: |\n");
    for (const char* client : {"ours 1", "ours 4", "ours 4p", "lftp", "curl"}) {
        double first = Median(times[std::string(client) + " first"]);
        double second = Median(times[std::string(client) + " second"]);
        std::printf("| %s | %.3f | %.3f | %.1f %% |\n", client, first, second,
                    first > 0 ? 100 * second / first : 0);
    }
    double ours4 = Median(times["ours 4p first"]);
    std::printf("\nours 4p / curl (first): %.2f (target <= 0.50)\n",
                ours4 / Median(times["curl first"]));
    std::printf("ours 4p / lftp (first): %.2f (target < 1)\n", ours4 / Median(times["lftp first"]));
    std::printf("ours 4p / lftp (second): %.2f\n",
                Median(times["ours 4p second"]) / Median(times["lftp second"]));
    std::printf("ours 4p second / first: %.1f %% (target < 10 %%)\n",
                100 * Median(times["ours 4p second"]) / ours4);
    return 0;
}
