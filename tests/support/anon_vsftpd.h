// Debian's vsftpd as a real server for tests, with its anonymous account allowed to write:
// no local user, no password and no PAM are involved. The session is kept in base() (its
// "/", vsftpd's chroot) and may write only below base()/www, which the test publishes to.
//
//     std::string reason = AnonVsftpd::Unavailable();
//     if (!reason.empty())
//         GTEST_SKIP() << reason;
//     AnonVsftpd server;
//     ... log in as "anonymous" on 127.0.0.1:server.port(), publish to /www ...
//
// vsftpd must be started as root. The destructor ends it; each of its session processes
// ends with its client's connection, which every test closes.
#pragma once

#include "support/fixtures.h"

#include <arpa/inet.h>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <pwd.h>
#include <stdexcept>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrel::test {

class AnonVsftpd {
public:
    static constexpr const char* kProgram = "/usr/sbin/vsftpd";

    // Why vsftpd cannot run here, or empty when it can.
    static std::string Unavailable() {
        if (!std::filesystem::exists(kProgram))
            return "vsftpd is not installed (apt-get install vsftpd)";
        if (::geteuid() != 0)
            return "vsftpd must be started as root";
        if (!::getpwnam("ftp"))
            return "the system has no \"ftp\" user for vsftpd's anonymous sessions";
        return {};
    }

    // maxPerIp: vsftpd's max_per_ip, the most sessions from one address (0: no limit).
    explicit AnonVsftpd(int maxPerIp = 0) : maxPerIp_(maxPerIp) {
        std::string reason = Unavailable();
        if (!reason.empty())
            throw std::runtime_error(reason);
        const passwd* ftp = ::getpwnam("ftp");
        std::filesystem::create_directories(www());
        if (::chown(www().c_str(), ftp->pw_uid, ftp->pw_gid) != 0)
            throw std::runtime_error("cannot hand " + www().string() + " to the ftp user");
        // The sessions' chroot must not be writable, and vsftpd must reach it.
        for (auto up = base(); up != up.root_path(); up = up.parent_path())
            std::filesystem::permissions(up, std::filesystem::perms::others_exec,
                                         std::filesystem::perm_options::add);
        std::filesystem::create_directories("/var/run/vsftpd/empty"); // its secure_chroot_dir
        for (int attempt = 0; attempt < 5 && pid_ < 0; ++attempt)
            Start();
        if (pid_ < 0)
            throw std::runtime_error("vsftpd did not start: " + Log());
    }
    ~AnonVsftpd() {
        if (pid_ < 0)
            return;
        ::kill(-pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    AnonVsftpd(const AnonVsftpd&) = delete;
    AnonVsftpd& operator=(const AnonVsftpd&) = delete;

    // Gives what a test put below www() to the anonymous user, as if it had uploaded it.
    void HandOver() const {
        const passwd* ftp = ::getpwnam("ftp");
        for (const auto& entry : std::filesystem::recursive_directory_iterator(www()))
            if (::lchown(entry.path().c_str(), ftp->pw_uid, ftp->pw_gid) != 0)
                throw std::runtime_error("cannot hand " + entry.path().string() + " over");
    }

    int port() const { return port_; }
    std::filesystem::path base() const { return dir_.path() / "root"; }
    std::filesystem::path www() const { return base() / "www"; }

private:
    void Start() {
        port_ = FreePort();
        std::filesystem::path config = dir_.path() / "vsftpd.conf";
        std::ofstream out(config);
        out << "listen=YES\nlisten_ipv6=NO\nlisten_address=127.0.0.1\nlisten_port=" << port_
            << "\nbackground=NO\nanonymous_enable=YES\nno_anon_password=YES\nlocal_enable=NO\n"
            << "write_enable=YES\nanon_root=" << base().string()
            << "\nanon_upload_enable=YES\nanon_mkdir_write_enable=YES\n"
            << "anon_other_write_enable=YES\nanon_umask=022\npasv_enable=YES\nport_enable=YES\n"
            << "connect_from_port_20=NO\nseccomp_sandbox=NO\nisolate=NO\nisolate_network=NO\n"
            << "xferlog_enable=NO\ndirmessage_enable=NO\nmax_clients=0\nmax_per_ip=" << maxPerIp_
            << "\n";
        out.close();
        const std::string log = (dir_.path() / "vsftpd.log").string();
        pid_t pid = ::fork();
        if (pid < 0)
            throw std::runtime_error("fork failed");
        if (pid == 0) {
            ::setpgid(0, 0);
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            ::execl(kProgram, kProgram, config.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::setpgid(pid, pid);
        for (int i = 0; i < 250; ++i) {
            if (::waitpid(pid, nullptr, WNOHANG) == pid)
                return; // it ended: the port was taken meanwhile, or the set-up is wrong
            if (Accepts(port_)) {
                pid_ = pid;
                return;
            }
            ::usleep(20000);
        }
        ::kill(-pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }

    std::string Log() const {
        std::ifstream in(dir_.path() / "vsftpd.log");
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    static int FreePort() {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        int port = 0;
        if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0)
            port = ntohs(address.sin_port);
        ::close(fd);
        return port;
    }

    static bool Accepts(int port) {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        bool accepted = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        ::close(fd);
        return accepted;
    }

    TempDir dir_{"kestrel-vsftpd"};
    int maxPerIp_ = 0;
    pid_t pid_ = -1;
    int port_ = 0;
};

} // namespace kestrel::test
