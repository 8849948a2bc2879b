// bench_publish: times publishing with TVaneFTP against curl on the same servers.
//
// The harness makes its data in a temporary folder, starts two servers on 127.0.0.1 itself,
// pyftpdlib (Python) and vsftpd (C, logging in a local user the harness creates), and runs
// every case on each once with our component and once with curl in active mode
// (curl -P -), alternating which goes first, for a number of rounds. Each run is a child
// process, timed from fork to exit and measured for peak memory by wait4, so both clients
// are weighed the same way: process start, log-in, the work, and QUIT. The table shows the
// medians and the ratio ours/curl.
//
//   a  Upload of one large file (256 MiB)            curl -T file
//   b  Mode(2), Upload of 1,000 files of 4 KiB on one
//      connection, then one Nlist                     curl -T "f[0001-1000].htm" folder-URL
//   c  Download of the large file                     curl -o file
//   d  Nlist of a folder of 10,000 names              curl --list-only
//   t  case a over TLS (explicit, AUTH TLS; data connections encrypted and resuming the
//      control connection's session)                curl --ssl-reqd --cacert cert -T file
//   u  case c over TLS                                curl --ssl-reqd --cacert cert -o file
//   e  peak resident memory of case a
//   w  case b through the real window (bench_window, offscreen)
//   i  CPU of an idle connected window over 10 s
//
// The TLS cases run against a second vsftpd that demands TLS for log-in and data, with a
// certificate for 127.0.0.1 the harness makes with the openssl command line; both clients
// verify it (ours trusts the file it is in, curl gets it by --cacert). They run in passive
// mode: Debian 12's curl (7.88.1) fails every active TLS transfer ("sa_addr inet_ntop()
// failed"), and against pyftpdlib it fails passive TLS transfers too (it starts the data
// connection's handshake before the transfer command, which pyftpdlib answers with a
// reset), so there is no curl time to hold ours against on pyftpdlib.
//
// Usage: bench_publish [--rounds N] [--size-mib M] [--cases abcdtuwi] [--servers pv] [--keep]
// (--servers: p pyftpdlib, v vsftpd; both by default.) The child mode (--child CASE --port P
// --dir D --user U --password W [--cert FILE]) is how the harness runs our client.
#include "bench/publish/benchutil.h"
#include "bench/servers.h"
#include "net/ftp/vaneftp.h"
#include "net/sock/tls.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
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
using kestrel::bench::Seconds;

using namespace kestrel::bench;

namespace {

constexpr int kSmallFiles = 1000;
constexpr int kSmallSize = 4096;
constexpr int kListNames = 10000;

std::string SmallName(int i) {
    char name[32];
    std::snprintf(name, sizeof name, "f%04d.htm", i);
    return name;
}

// --- Our client, in a child process ----------------------------------------------------------

int RunOurs(std::string kind, int port, const fs::path& dir, const std::string& user,
            const std::string& password, const std::string& cert) {
    TVaneFTP ftp(nullptr);
    if (kind == "t" || kind == "u") {
        // The TLS cases are the upload and the download with encryption required.
        AddTrustedCertificates(cert);
        ftp.Encryption = TEncryption::Required;
        ftp.DataMode = TDataMode::Passive; // as curl, see the TLS cases above
        kind = kind == "t" ? "a" : "c";
    }
    ftp.Host = "127.0.0.1";
    ftp.Port = port;
    ftp.UserID = user;
    ftp.Password = password;
    long names = 0;
    ftp.OnListItem = [&names](const std::string&) { ++names; };
    // A progress handler as a real user has one: it reads the counters per chunk.
    std::int64_t lastSent = 0;
    ftp.OnPacketSent = [&](TComponent*) { lastSent = ftp.GetBytesSent(); };

    double start = Seconds();
    ftp.Connect();
    if (kind == "a") {
        ftp.Mode(2);
        ftp.ChangeDir("upa_ours");
        ftp.Upload((dir / "data" / "big.bin").string(), "big.bin");
    } else if (kind == "b") {
        ftp.Mode(2);
        ftp.ChangeDir("upb_ours");
        for (int i = 1; i <= kSmallFiles; ++i)
            ftp.Upload((dir / "data" / "small" / SmallName(i)).string(), SmallName(i));
        ftp.Nlist();
    } else if (kind == "c") {
        ftp.Mode(2);
        ftp.Download("big.bin", (dir / "dl" / "ours.bin").string());
    } else if (kind == "d") {
        ftp.ChangeDir("list10k");
        ftp.Nlist();
    } else {
        std::fprintf(stderr, "bench_publish: unknown case %s\n", kind.c_str());
        return 2;
    }
    ftp.Disconnect();
    bench::PrintResult(Seconds() - start, names);
    return 0;
}

// --- Child processes
// ------------------------------------------------------------------------------

struct RunResult {
    double seconds = 0;     // fork to exit, as the parent saw it
    long maxRssKiB = 0;     // from wait4
    std::string output;     // the child's stdout
    long count = -1;        // the count from a RESULT line, if any
    double ownSeconds = -1; // the time the child measured itself, if any
};

// Runs argv as a child with stdout captured (or sent to /dev/null) and waits for it.
RunResult RunChild(const std::vector<std::string>& argv, bool captureOutput,
                   const std::map<std::string, std::string>& env = {}) {
    int pipeFds[2] = {-1, -1};
    if (captureOutput && ::pipe(pipeFds) != 0)
        throw std::runtime_error("pipe failed");
    double start = Seconds();
    pid_t pid = ::fork();
    if (pid < 0)
        throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        for (const auto& [name, value] : env)
            ::setenv(name.c_str(), value.c_str(), 1);
        if (captureOutput) {
            ::dup2(pipeFds[1], 1);
            ::close(pipeFds[0]);
            ::close(pipeFds[1]);
        } else {
            int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            ::close(null);
        }
        ExecOrExit(argv);
    }
    RunResult result;
    if (captureOutput) {
        ::close(pipeFds[1]);
        char buffer[4096];
        long n;
        while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0 || (n < 0 && errno == EINTR))
            if (n > 0)
                result.output.append(buffer, static_cast<std::size_t>(n));
        ::close(pipeFds[0]);
    }
    int status = 0;
    rusage usage{};
    while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
    }
    result.seconds = Seconds() - start;
    result.maxRssKiB = usage.ru_maxrss;
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
        throw std::runtime_error(argv[0] + " failed (status " + std::to_string(status) +
                                 "): " + result.output);
    std::size_t at = result.output.find("RESULT ");
    if (at != std::string::npos) {
        long hwm = 0;
        std::sscanf(result.output.c_str() + at, "RESULT %lf %ld %ld", &result.ownSeconds, &hwm,
                    &result.count);
    }
    return result;
}

// --- Data
// ------------------------------------------------------------------------------------------

void WriteRandomFile(const fs::path& path, std::uint64_t size, std::uint64_t seed) {
    std::ofstream out(path, std::ios::binary);
    std::mt19937_64 random(seed);
    std::vector<std::uint64_t> block(1 << 17); // 1 MiB
    while (size > 0) {
        for (auto& word : block)
            word = random();
        std::uint64_t n = std::min<std::uint64_t>(size, block.size() * 8);
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(n));
        size -= n;
    }
    if (!out)
        throw std::runtime_error("cannot write " + path.string());
}

void MakeData(const fs::path& dir, std::uint64_t bigSize) {
    fs::create_directories(dir / "data" / "small");
    fs::create_directories(dir / "dl");
    for (const char* sub : {"upa_ours", "upa_curl", "upb_ours", "upb_curl", "list10k"})
        fs::create_directories(dir / "srv" / sub);
    fs::create_directories(dir / "winsrv");
    WriteRandomFile(dir / "data" / "big.bin", bigSize, 1);
    fs::create_hard_link(dir / "data" / "big.bin", dir / "srv" / "big.bin");
    for (int i = 1; i <= kSmallFiles; ++i)
        WriteRandomFile(dir / "data" / "small" / SmallName(i), kSmallSize, 100 + i);
    for (int i = 1; i <= kListNames; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "page%05d.htm", i);
        std::ofstream(dir / "srv" / "list10k" / name);
    }
}

// A certificate for 127.0.0.1 and its key in one PEM file, made by the openssl command line.
fs::path MakeCertificate(const fs::path& dir) {
    fs::path key = dir / "key.pem", cert = dir / "cert.pem", both = dir / "server.pem";
    std::string command = "openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1"
                          " -addext subjectAltName=IP:127.0.0.1 -keyout '" +
                          key.string() + "' -out '" + cert.string() + "' 2>/dev/null";
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error("cannot make a certificate (is openssl installed?)");
    std::ofstream out(both);
    out << std::ifstream(cert).rdbuf() << std::ifstream(key).rdbuf();
    if (!out)
        throw std::runtime_error("cannot write " + both.string());
    return both;
}

bool SameContent(const fs::path& a, const fs::path& b) {
    if (fs::file_size(a) != fs::file_size(b))
        return false;
    std::ifstream fa(a, std::ios::binary), fb(b, std::ios::binary);
    std::vector<char> ba(1 << 20), bb(1 << 20);
    while (fa && fb) {
        fa.read(ba.data(), static_cast<std::streamsize>(ba.size()));
        fb.read(bb.data(), static_cast<std::streamsize>(bb.size()));
        if (fa.gcount() != fb.gcount() ||
            !std::equal(ba.begin(), ba.begin() + fa.gcount(), bb.begin()))
            return false;
    }
    return true;
}

int CountFilesOfSize(const fs::path& folder, std::uintmax_t size) {
    int n = 0;
    for (const auto& entry : fs::directory_iterator(folder))
        if (entry.is_regular_file() && entry.file_size() == size)
            ++n;
    return n;
}

void EmptyFolder(const fs::path& folder) {
    for (const auto& entry : fs::directory_iterator(folder))
        fs::remove_all(entry.path());
}

void Check(bool ok, const std::string& what) {
    if (!ok)
        throw std::runtime_error("check failed: " + what);
}

double Median(std::vector<double> values) {
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    std::size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

// Sockets in TIME_WAIT on this machine (IPv4), from /proc/net/tcp.
std::string SelfPath() {
    return fs::read_symlink("/proc/self/exe").string();
}

std::string CpuModel() {
    std::ifstream info("/proc/cpuinfo");
    std::string line;
    while (std::getline(info, line))
        if (line.rfind("model name", 0) == 0)
            return line.substr(line.find(':') + 2);
    return "unknown";
}

struct Options {
    int rounds = 5;
    std::uint64_t sizeMiB = 256;
    std::string cases = "abcdtuwi";
    std::string servers = "pv"; // p pyftpdlib, v vsftpd
    bool keep = false;
};

// --- The benchmark
// ----------------------------------------------------------------------------------

class Bench {
public:
    Bench(Options options, fs::path dir)
        : options_(std::move(options)), dir_(std::move(dir)), self_(SelfPath()),
          window_((fs::path(self_).parent_path() / "bench_window").string()),
          bigSize_(options_.sizeMiB << 20) {}

    void Run() {
        if ((Has('w') || Has('i')) && !fs::exists(window_)) {
            // Built without the window (KESTREL_BUILD_GUI=OFF): the window cases are left out.
            std::printf("No %s: the window cases are left out\n", window_.c_str());
            std::erase_if(options_.cases, [](char kind) { return kind == 'w' || kind == 'i'; });
        }
        std::printf("Making data in %s ...\n", dir_.c_str());
        std::fflush(stdout);
        MakeData(dir_, bigSize_);
        if (HasTls())
            cert_ = MakeCertificate(dir_).string();
        StartServers();
        for (int round = 0; round < options_.rounds; ++round) {
            for (Site& site : sites_)
                RunRound(site, round);
        }
        if (Has('i')) {
            Site& site = sites_.front();
            RunResult r = RunChild(WindowArgs(site, {"--idle", "10"}), true, WindowEnv());
            idleCpu_ = r.ownSeconds;
            EmptyFolder(dir_ / "winsrv");
        }
        for (Site& site : sites_)
            PrintTable(site);
        if (Has('i'))
            std::printf("Idle connected window: %.2f%% of a core over 10 s\n", idleCpu_ * 10.0);
    }

private:
    // A server for the cases and one of the same kind for the window, whose upload goes to
    // the folder it logs in to.
    struct Site {
        std::unique_ptr<Server> server;
        std::unique_ptr<Server> tls; // demands TLS, for cases t and u
        std::unique_ptr<Server> window;
        std::map<std::string, std::vector<double>> times;
        std::map<std::string, std::vector<double>> memory;
    };

    std::unique_ptr<Server> StartServer(char kind, const fs::path& root,
                                        const std::string& cert = {}) {
        if (kind == 'v')
            return std::make_unique<Vsftpd>(root, dir_, cert);
        return std::make_unique<Pyftpd>(root, cert);
    }

    void StartServers() {
        for (char kind : options_.servers) {
            if (kind != 'p' && kind != 'v')
                continue;
            Site site;
            try {
                site.server = StartServer(kind, dir_ / "srv");
                if (HasTls() && kind == 'v')
                    site.tls = StartServer(kind, dir_ / "srv", cert_);
                if (Has('w') || Has('i'))
                    site.window = StartServer(kind, dir_ / "winsrv");
            } catch (const std::exception& error) {
                if (kind == 'p')
                    throw;
                std::printf("%s\n", error.what()); // vsftpd is optional: say why it is left out
                continue;
            }
            std::printf("%s on 127.0.0.1:%d, %d rounds\n", site.server->name().c_str(),
                        site.server->port(), options_.rounds);
            sites_.push_back(std::move(site));
        }
        if (sites_.empty())
            throw std::runtime_error("no server to run the cases against");
        std::fflush(stdout);
    }

    void RunRound(Site& site, int round) {
        LetTimeWaitDrain();
        bool oursFirst = round % 2 == 0;
        for (char kind : std::string("abcdtu")) {
            if (!Has(kind) && !(kind == 'a' && Has('e')))
                continue;
            for (int turn = 0; turn < 2; ++turn) {
                bool ours = (turn == 0) == oursFirst;
                RunCase(site, kind, ours, round);
            }
        }
        if (Has('w')) {
            RunResult r = RunChild(WindowArgs(site, {}), true, WindowEnv());
            Check(r.count == kSmallFiles, "window listing holds 1000 names");
            Check(CountFilesOfSize(dir_ / "winsrv", kSmallSize) == kSmallFiles,
                  "window uploaded 1000 files");
            EmptyFolder(dir_ / "winsrv");
            site.times["w ours"].push_back(r.ownSeconds);
            std::printf("  round %d: %s w window %.3f s\n", round + 1, site.server->name().c_str(),
                        r.ownSeconds);
        }
        std::fflush(stdout);
    }

    std::vector<std::string> WindowArgs(const Site& site, std::vector<std::string> more) const {
        std::vector<std::string> argv = {window_,
                                         "--port",
                                         std::to_string(site.window->port()),
                                         "--dir",
                                         (dir_ / "data" / "small").string(),
                                         "--user",
                                         site.window->user(),
                                         "--password",
                                         site.window->password()};
        argv.insert(argv.end(), more.begin(), more.end());
        return argv;
    }

    std::map<std::string, std::string> WindowEnv() const {
        fs::path runtime = dir_ / "xdg-runtime";
        fs::create_directories(runtime);
        fs::permissions(runtime, fs::perms::owner_all);
        return {{"QT_QPA_PLATFORM", "offscreen"}, {"XDG_RUNTIME_DIR", runtime.string()}};
    }

    bool Has(char kind) const { return options_.cases.find(kind) != std::string::npos; }
    bool HasTls() const { return Has('t') || Has('u'); }

    void RunCase(Site& site, char kind, bool ours, int round) {
        const fs::path srv = dir_ / "srv";
        const bool tls = kind == 't' || kind == 'u';
        if (tls && !site.tls)
            return; // no TLS server of this kind
        const Server& server = tls ? *site.tls : *site.server;
        const char plain = kind == 't' ? 'a' : kind == 'u' ? 'c' : kind; // what it transfers
        const std::string who = ours ? "ours" : "curl";
        const std::string port = std::to_string(server.port());
        const std::string base = "ftp://127.0.0.1:" + port + "/";
        std::vector<std::string> argv;
        if (ours) {
            argv = {self_,         "--child",    std::string(1, kind), "--port",
                    port,          "--dir",      dir_.string(),        "--user",
                    server.user(), "--password", server.password()};
            if (tls)
                argv.insert(argv.end(), {"--cert", cert_});
        } else {
            argv = {"/usr/bin/curl", "-sS", "--user", server.user() + ":" + server.password()};
            if (tls) // passive, see the TLS cases above
                argv.insert(argv.end(), {"--ssl-reqd", "--cacert", cert_});
            else
                argv.insert(argv.end(), {"-P", "-"});
            switch (plain) {
            case 'a':
                argv.insert(argv.end(), {"-T", (dir_ / "data" / "big.bin").string(),
                                         base + "upa_curl/big.bin"});
                break;
            case 'b':
                argv.insert(argv.end(),
                            {"-T", (dir_ / "data" / "small").string() + "/f[0001-1000].htm",
                             base + "upb_curl/"});
                break;
            case 'c':
                argv.insert(argv.end(),
                            {"-o", (dir_ / "dl" / "curl.bin").string(), base + "big.bin"});
                break;
            case 'd':
                argv.insert(argv.end(), {"--list-only", "-o", (dir_ / "dl" / "list.txt").string(),
                                         base + "list10k/"});
                break;
            }
        }
        // Whatever the previous run, case or the making of the data left to write back goes
        // to the disk now, not during the next timed run: otherwise whichever client runs
        // first in a round pays for it.
        ::sync();
        RunResult r = RunChild(argv, ours);

        // Every run is checked, so a fast failure is never taken for a fast transfer.
        switch (plain) {
        case 'a': {
            fs::path up = srv / ("upa_" + who) / "big.bin";
            Check(fs::exists(up) && fs::file_size(up) == bigSize_,
                  who + " uploaded the whole file");
            if (round == 0)
                Check(SameContent(up, dir_ / "data" / "big.bin"), who + " upload is intact");
            fs::remove(up);
            if (kind == 'a')
                site.memory[who].push_back(static_cast<double>(r.maxRssKiB));
            break;
        }
        case 'b': {
            fs::path folder = srv / ("upb_" + who);
            Check(CountFilesOfSize(folder, kSmallSize) == kSmallFiles,
                  who + " uploaded 1000 files");
            if (ours)
                Check(r.count == kSmallFiles, "ours listed 1000 names");
            EmptyFolder(folder);
            break;
        }
        case 'c': {
            fs::path got = dir_ / "dl" / (who + ".bin");
            Check(fs::exists(got) && fs::file_size(got) == bigSize_,
                  who + " downloaded the whole file");
            if (round == 0)
                Check(SameContent(got, dir_ / "data" / "big.bin"), who + " download is intact");
            fs::remove(got);
            break;
        }
        case 'd': {
            long names = r.count;
            if (!ours) {
                std::ifstream list(dir_ / "dl" / "list.txt");
                names = 0;
                for (std::string line; std::getline(list, line);)
                    ++names;
            }
            Check(names == kListNames, who + " listed 10000 names");
            break;
        }
        }
        std::string key = std::string(1, kind) + " " + who;
        site.times[key].push_back(r.seconds);
        std::printf("  round %d: %-9s %c %-4s %.3f s  %ld KiB\n", round + 1, server.name().c_str(),
                    kind, who.c_str(), r.seconds, r.maxRssKiB);
        std::fflush(stdout);
    }

    // A table row: the medians, their ratio, and the spread (the lowest and highest of the
    // per-round ratios, ours against curl of the same round).
    void Row(const std::string& label, const std::vector<double>& ours,
             const std::vector<double>& curl, const char* unit, double scale, double target) {
        double o = Median(ours) * scale, c = Median(curl) * scale;
        double ratio = c > 0 ? o / c : 0;
        std::vector<double> ratios;
        for (std::size_t i = 0; i < ours.size() && i < curl.size(); ++i)
            if (curl[i] > 0)
                ratios.push_back(ours[i] / curl[i]);
        char spread[32] = "";
        if (!ratios.empty()) {
            auto [low, high] = std::minmax_element(ratios.begin(), ratios.end());
            std::snprintf(spread, sizeof spread, "%.2f-%.2f", *low, *high);
        }
        std::printf("| %-44s | %10.3f %-3s | %10.3f %-3s | %5.2f | %-9s | %-6s | %-4s |\n",
                    label.c_str(), o, unit, c, unit, ratio, spread, ("<= " + Fixed(target)).c_str(),
                    ratio <= target ? "met" : "NOT");
    }

    static std::string Fixed(double value) {
        char text[16];
        std::snprintf(text, sizeof text, "%.1f", value);
        return text;
    }

    void PrintTable(Site& site) {
        double load[3] = {0, 0, 0};
        ::getloadavg(load, 3);
        std::printf("\n%s: medians of %d paired rounds; %ld cores, %s; load average %.2f %.2f "
                    "%.2f\n",
                    site.server->name().c_str(), options_.rounds, ::sysconf(_SC_NPROCESSORS_ONLN),
                    CpuModel().c_str(), load[0], load[1], load[2]);
        std::printf("| %-44s | %14s | %14s | %5s | %-9s | %-6s | %-4s |\n", "case", "ours", "curl",
                    "ratio", "spread", "target", "");
        std::printf("|%s|%s|%s|%s|%s|%s|%s|\n", std::string(46, '-').c_str(),
                    std::string(16, '-').c_str(), std::string(16, '-').c_str(),
                    std::string(7, '-').c_str(), std::string(11, '-').c_str(),
                    std::string(8, '-').c_str(), std::string(6, '-').c_str());
        std::string mib = std::to_string(options_.sizeMiB) + " MiB";
        auto& t = site.times;
        if (Has('a'))
            Row("a: upload one file of " + mib, t["a ours"], t["a curl"], "s", 1, 1.0);
        if (Has('b'))
            Row("b: upload 1,000 files of 4 KiB, then Nlist", t["b ours"], t["b curl"], "s", 1,
                1.0);
        if (Has('w') && Has('b'))
            Row("b: the same through the window", t["w ours"], t["b curl"], "s", 1, 1.3);
        if (Has('c'))
            Row("c: download the file of " + mib, t["c ours"], t["c curl"], "s", 1, 1.0);
        if (Has('t') && site.tls)
            Row("t: upload the file of " + mib + " with TLS", t["t ours"], t["t curl"], "s", 1,
                1.0);
        if (Has('u') && site.tls)
            Row("u: download the file of " + mib + " with TLS", t["u ours"], t["u curl"], "s", 1,
                1.0);
        if (Has('d'))
            Row("d: Nlist of 10,000 names", t["d ours"], t["d curl"], "s", 1, 1.0);
        if (Has('e') || Has('a'))
            Row("e: peak resident memory in case a", site.memory["ours"], site.memory["curl"],
                "MiB", 1.0 / 1024, 2.0);
        if (Has('a') || Has('c')) {
            double mb = static_cast<double>(bigSize_) / 1e6;
            std::printf("Throughput (MB/s): a ours %.0f, curl %.0f; c ours %.0f, curl %.0f\n",
                        mb / Median(t["a ours"]), mb / Median(t["a curl"]),
                        mb / Median(t["c ours"]), mb / Median(t["c curl"]));
        }
    }

    Options options_;
    fs::path dir_;
    std::string self_;
    std::string window_;
    std::uint64_t bigSize_;
    std::vector<Site> sites_;
    std::string cert_;   // certificate and key of the TLS servers
    double idleCpu_ = 0; // CPU seconds over the 10 s idle
};

} // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    auto value = [&](const std::string& name) -> std::string {
        for (std::size_t i = 0; i + 1 < args.size(); ++i)
            if (args[i] == name)
                return args[i + 1];
        return {};
    };
    auto flag = [&](const std::string& name) {
        return std::find(args.begin(), args.end(), name) != args.end();
    };
    try {
        if (flag("--child"))
            return RunOurs(value("--child"), std::stoi(value("--port")), value("--dir"),
                           value("--user").empty() ? kPyftpdUser : value("--user"),
                           value("--password").empty() ? kPyftpdPassword : value("--password"),
                           value("--cert"));

        Options options;
        if (!value("--rounds").empty())
            options.rounds = std::max(1, std::stoi(value("--rounds")));
        if (!value("--size-mib").empty())
            options.sizeMiB = std::max(1, std::stoi(value("--size-mib")));
        if (!value("--cases").empty())
            options.cases = value("--cases");
        if (!value("--servers").empty())
            options.servers = value("--servers");
        options.keep = flag("--keep");

        std::string pattern = (fs::temp_directory_path() / "kestrel-bench-XXXXXX").string();
        if (!::mkdtemp(pattern.data()))
            throw std::runtime_error("cannot make a temporary folder");
        fs::path dir = pattern;
        int status = 0;
        try {
            Bench(options, dir).Run();
        } catch (const std::exception& error) {
            std::fprintf(stderr, "bench_publish: %s\n", error.what());
            status = 1;
        }
        if (!options.keep)
            fs::remove_all(dir);
        return status;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "bench_publish: %s\n", error.what());
        return 1;
    }
}
