// The servers the benchmarks run against, each a child process on 127.0.0.1 stopped with its
// object: pyftpdlib through the tests' own script, and vsftpd with a configuration the
// harness writes, logging in a local user the harness creates (so vsftpd needs root).
#pragma once

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <pwd.h>
#include <random>
#include <stdexcept>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#ifndef KESTREL_FTPD_PY
#error "KESTREL_FTPD_PY must name the tests' pyftpdlib script"
#endif

namespace kestrel::bench {

namespace fs = std::filesystem;

constexpr const char* kPyftpdUser = "webuser"; // pyftpdlib's virtual user
constexpr const char* kPyftpdPassword = "s3cret";
constexpr const char* kVsftpdUser = "kestrelbench"; // the local user vsftpd logs in
constexpr const char* kVsftpd = "/usr/sbin/vsftpd";

// In a forked child: runs argv[0] with its arguments, or says why not and ends the child
// with 127.
[[noreturn]] inline void ExecOrExit(const std::vector<std::string>& argv) {
    std::vector<char*> args;
    for (const std::string& arg : argv)
        args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    std::fprintf(stderr, "cannot run %s: %s\n", args[0], std::strerror(errno));
    ::_exit(127);
}

// A server the cases run against: a child process on 127.0.0.1, stopped with the object.
class Server {
public:
    Server(std::string name, std::string user, std::string password)
        : name_(std::move(name)), user_(std::move(user)), password_(std::move(password)) {}
    ~Server() { Stop(); }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;
    const std::string& name() const { return name_; }
    const std::string& user() const { return user_; }
    const std::string& password() const { return password_; }
    int port() const { return port_; }

protected:
    // Starts argv with stdout and stderr going to out (a pipe or a log file).
    void Spawn(const std::vector<std::string>& argv, int out) {
        pid_ = ::fork();
        if (pid_ < 0)
            throw std::runtime_error("fork failed");
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::dup2(out, 1);
            ::dup2(out, 2);
            ExecOrExit(argv);
        }
    }
    bool Exited() { return pid_ > 0 && ::waitpid(pid_, nullptr, WNOHANG) == pid_; }
    void Stop() {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGTERM);
        for (int i = 0; i < 100; ++i) {
            if (::waitpid(pid_, nullptr, WNOHANG) == pid_) {
                pid_ = -1;
                return;
            }
            ::usleep(20000);
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    std::string name_, user_, password_;
    pid_t pid_ = -1;
    int port_ = 0;
};

// pyftpdlib through the tests' own script, which prints the port it took.
class Pyftpd : public Server {
public:
    // With cert (a PEM file holding the certificate and its key) it demands TLS.
    explicit Pyftpd(const fs::path& root, const std::string& cert = {},
                    const std::vector<std::string>& more = {})
        : Server("pyftpdlib", kPyftpdUser, kPyftpdPassword) {
        int pipeFds[2];
        if (::pipe(pipeFds) != 0)
            throw std::runtime_error("pipe failed");
        std::vector<std::string> argv = {
            "/usr/bin/python3", KESTREL_FTPD_PY, "--root",        root.string(), "--user",
            kPyftpdUser,        "--password",    kPyftpdPassword, "--port",      "0",
            "--print-port"};
        if (!cert.empty())
            argv.insert(argv.end(), {"--tls-cert", cert, "--tls-key", cert, "--tls-required"});
        argv.insert(argv.end(), more.begin(), more.end());
        Spawn(argv, pipeFds[1]);
        ::close(pipeFds[1]);
        std::string line;
        char c;
        while (::read(pipeFds[0], &c, 1) == 1 && c != '\n')
            line += c;
        ::close(pipeFds[0]);
        if (line.rfind("PORT ", 0) != 0) {
            Stop();
            throw std::runtime_error("pyftpdlib did not start (is python3-pyftpdlib installed?)");
        }
        port_ = std::stoi(line.substr(5));
    }
};

// A port that was free a moment ago on 127.0.0.1.
inline int FreePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        ::close(fd);
        throw std::runtime_error("no free port");
    }
    ::close(fd);
    return ntohs(a.sin_port);
}

inline bool Accepts(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return ok;
}

// The local user's password: new for every run of the harness, the same for its servers.
inline const std::string& RunPassword() {
    static const std::string password = [] {
        std::random_device device;
        std::string text;
        for (int i = 0; i < 20; ++i)
            text += "abcdefghijkmnpqrstuvwxyz23456789"[device() % 32];
        return text;
    }();
    return password;
}

// vsftpd, which logs in a local user: the harness creates the user when it is missing
// (useradd, no home folder, a shell from /etc/shells as vsftpd's PAM setup asks) and gives
// it a new random password on every run.
class Vsftpd : public Server {
public:
    // How TLS is set up when a certificate is given. Strict: it is demanded for log-ins and
    // data, sessions must be resumed, ciphers HIGH. Defaults: only ssl_enable=YES and the
    // certificate, everything else as vsftpd and Debian's configuration leave it (which
    // demands TLS and the resumption just the same, with vsftpd's own cipher list).
    // Implicit: Defaults with implicit_ssl=YES, TLS from the first byte.
    enum class Tls { Strict, Defaults, Implicit };

    // With cert (a PEM file holding the certificate and its key) it demands TLS.
    // With chroot the session sees root as "/", so that absolute remote paths stay below it.
    // user is the local account it logs in (made when missing): the tests use one of their
    // own, so that a benchmark's new password never meets a test's server.
    Vsftpd(const fs::path& root, const fs::path& work, const std::string& cert = {},
           bool chroot = false, Tls tls = Tls::Strict, const std::string& user = kVsftpdUser)
        : Server("vsftpd", user, RunPassword()), chroot_(chroot), tls_(tls) {
        if (::geteuid() != 0)
            throw std::runtime_error("vsftpd is left out: it must be started as root");
        if (!fs::exists(kVsftpd))
            throw std::runtime_error("vsftpd is left out: not installed (apt-get install vsftpd)");
        PrepareUser(root);
        port_ = FreePort();
        fs::path config = work / ("vsftpd-" + std::to_string(port_) + ".conf");
        WriteConfig(config, root, cert);
        fs::path logPath = work / ("vsftpd-" + std::to_string(port_) + ".log");
        int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        Spawn({kVsftpd, config.string()}, log);
        ::close(log);
        for (int i = 0; i < 250 && !Accepts(port_); ++i) {
            if (Exited()) {
                pid_ = -1;
                std::ifstream said(logPath);
                std::string text((std::istreambuf_iterator<char>(said)), {});
                throw std::runtime_error("vsftpd did not start: " + text);
            }
            ::usleep(20000);
        }
    }

private:
    void PrepareUser(const fs::path& root) {
        // vsftpd enters the user's home folder before local_root: a user left by an earlier
        // run has its home in that run's (removed) folder, so it is moved to this one.
        if (!::getpwnam(user_.c_str()))
            RunTool({"/usr/sbin/useradd", "--no-create-home", "--home-dir", root.string(),
                     "--shell", "/bin/sh", user_});
        else if (root != ::getpwnam(user_.c_str())->pw_dir)
            RunTool({"/usr/sbin/usermod", "--home", root.string(), user_});
        FILE* chpasswd = ::popen("/usr/sbin/chpasswd", "w");
        if (!chpasswd)
            throw std::runtime_error("cannot run chpasswd");
        std::fprintf(chpasswd, "%s:%s\n", user_.c_str(), password_.c_str());
        if (::pclose(chpasswd) != 0)
            throw std::runtime_error("chpasswd failed");
        // The user writes the uploads below root and must reach it through the folders above.
        const passwd* account = ::getpwnam(user_.c_str());
        if (!account)
            throw std::runtime_error("useradd did not create " + user_);
        ::chown(root.c_str(), account->pw_uid, account->pw_gid);
        for (const auto& entry : fs::recursive_directory_iterator(root))
            ::chown(entry.path().c_str(), account->pw_uid, account->pw_gid);
        for (fs::path up = root.parent_path(); up != up.root_path(); up = up.parent_path())
            fs::permissions(up, fs::perms::others_exec, fs::perm_options::add);
        fs::create_directories("/var/run/vsftpd/empty"); // its secure_chroot_dir
    }

    static void RunTool(const std::vector<std::string>& argv) {
        pid_t pid = ::fork();
        if (pid == 0) {
            ExecOrExit(argv);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            throw std::runtime_error(argv[0] + " failed");
    }

    bool chroot_;
    Tls tls_;

    void WriteConfig(const fs::path& path, const fs::path& root, const std::string& cert) const {
        std::ofstream out(path);
        out << "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\n"
            << "listen_port=" << port_ << "\n"
            << "background=NO\n"
            << "anonymous_enable=NO\nlocal_enable=YES\nwrite_enable=YES\nlocal_umask=022\n"
            << "local_root=" << root.string() << "\n"
            << (chroot_ ? "chroot_local_user=YES\nallow_writeable_chroot=YES\n" : "")
            << "pasv_enable=YES\nport_enable=YES\nconnect_from_port_20=NO\n"
            << "seccomp_sandbox=NO\nisolate=NO\nisolate_network=NO\n"
            << "pam_service_name=vsftpd\nuserlist_enable=NO\n"
            << "xferlog_enable=NO\ndirmessage_enable=NO\nmax_clients=0\nmax_per_ip=0\n";
        if (!cert.empty() && tls_ != Tls::Strict)
            out << "ssl_enable=YES\nrsa_cert_file=" << cert << "\nrsa_private_key_file=" << cert
                << "\n"
                << (tls_ == Tls::Implicit ? "implicit_ssl=YES\n" : "");
        else if (!cert.empty())
            out << "ssl_enable=YES\nrsa_cert_file=" << cert << "\nrsa_private_key_file=" << cert
                << "\nallow_anon_ssl=NO\nforce_local_data_ssl=YES\nforce_local_logins_ssl=YES\n"
                << "require_ssl_reuse=YES\nssl_ciphers=HIGH\n";
        if (!out)
            throw std::runtime_error("cannot write " + path.string());
    }
};

} // namespace kestrel::bench
