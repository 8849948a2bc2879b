#include "support/pyftpd.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#ifndef KESTREL_FTPD_PY
#error "KESTREL_FTPD_PY must name the path of ftpd.py"
#endif

namespace kestrel::test {

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kPython = "/usr/bin/python3";
constexpr auto kStartTimeout = std::chrono::seconds{10};
constexpr auto kTermGrace = std::chrono::seconds{3};
constexpr auto kReapPoll = std::chrono::milliseconds{10};

// Reads the child's stdout until the line "PORT <n>" arrives; 0 on EOF or timeout.
int ReadPort(int fd) {
    const auto deadline = Clock::now() + kStartTimeout;
    std::string text;
    for (;;) {
        std::size_t end = text.find('\n');
        if (end != std::string::npos) {
            std::string line = text.substr(0, end);
            if (line.rfind("PORT ", 0) == 0) {
                return std::atoi(line.c_str() + 5);
            }
            text.erase(0, end + 1);
            continue;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return 0;
        }
        pollfd p{fd, POLLIN, 0};
        int n = ::poll(&p, 1, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return 0;
        }
        char buffer[256];
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return 0; // the child ended before it listened
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
}

} // namespace

std::string PyFtpd::script_path() {
    return KESTREL_FTPD_PY;
}

PyFtpd::PyFtpd(PyFtpdOptions options) {
    char pattern[] = "/tmp/kestrel-ftpd-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) {
        throw std::runtime_error(std::string("cannot create the server's folder: ") +
                                 std::strerror(errno));
    }
    base_ = pattern;
    host_ = options.host;
    root_ = base_ / "root";
    log_ = base_ / "ftpd.log";
    std::filesystem::create_directory(root_);

    // Everything the child needs is prepared before fork(): after it only
    // async-signal-safe calls are allowed, the test process may have other threads.
    std::vector<std::string> args = {kPython,        script_path(), "--root",     root_.string(),
                                     "--user",       user_,         "--password", password_,
                                     "--host",       options.host,  "--port",     "0",
                                     "--print-port", "--log-file",  log_.string()};
    if (!options.banner.empty()) {
        args.insert(args.end(), {"--banner", options.banner});
    }
    if (options.read_limit > 0) {
        args.insert(args.end(), {"--read-limit", std::to_string(options.read_limit)});
    }
    if (options.write_limit > 0) {
        args.insert(args.end(), {"--write-limit", std::to_string(options.write_limit)});
    }
    if (options.max_cons > 0) {
        args.insert(args.end(), {"--max-cons", std::to_string(options.max_cons)});
    }
    args.insert(args.end(), options.extra_args.begin(), options.extra_args.end());
    std::vector<char*> argv;
    for (std::string& arg : args) {
        argv.push_back(arg.data());
    }
    argv.push_back(nullptr);
    const std::string log_name = log_.string();

    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        std::error_code ignored;
        std::filesystem::remove_all(base_, ignored);
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    const pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid == 0) {
        // The server must not outlive the test: die with the thread that started us.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            ::_exit(127); // the parent died before prctl took effect
        }
        int null_in = ::open("/dev/null", O_RDONLY);
        int log_fd = ::open(log_name.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (null_in < 0 || log_fd < 0 || ::dup2(null_in, 0) < 0 || ::dup2(out[1], 1) < 0 ||
            ::dup2(log_fd, 2) < 0) {
            ::_exit(127);
        }
        ::execv(kPython, argv.data());
        ::_exit(127);
    }
    int fork_error = errno;
    ::close(out[1]);
    if (pid < 0) {
        ::close(out[0]);
        std::error_code ignored;
        std::filesystem::remove_all(base_, ignored);
        throw std::runtime_error(std::string("fork: ") + std::strerror(fork_error));
    }
    pid_ = pid;
    port_ = ReadPort(out[0]);
    ::close(out[0]);
    if (port_ <= 0) {
        stop();
        std::string text = "pyftpdlib server did not start; its log:\n" + log();
        std::error_code ignored;
        std::filesystem::remove_all(base_, ignored);
        throw std::runtime_error(text);
    }
}

PyFtpd::~PyFtpd() {
    stop();
    std::error_code ignored;
    std::filesystem::remove_all(base_, ignored);
}

void PyFtpd::stop() {
    if (pid_ <= 0) {
        return;
    }
    ::kill(pid_, SIGTERM);
    const auto deadline = Clock::now() + kTermGrace;
    for (;;) {
        int status = 0;
        pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_ || (done < 0 && errno != EINTR)) {
            break;
        }
        if (Clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
            }
            break;
        }
        std::this_thread::sleep_for(kReapPoll);
    }
    pid_ = -1;
}

std::string PyFtpd::log() const {
    std::ifstream in(log_);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

PyFtpdOptions TlsServerOptions(const std::string& certFile, const std::string& keyFile,
                               bool required) {
    PyFtpdOptions options;
    options.extra_args = {"--tls-cert", certFile, "--tls-key", keyFile};
    if (required)
        options.extra_args.push_back("--tls-required");
    return options;
}

} // namespace kestrel::test
