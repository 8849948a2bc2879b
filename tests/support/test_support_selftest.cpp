// Proves the test servers and fixtures with plain POSIX sockets, so that the tests of the
// FTP client can trust them.
#include "support/fixtures.h"
#include "support/pyftpd.h"
#include "support/scripted_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace kestrel::test {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// --- A minimal raw-socket FTP client -----------------------------------------------------

constexpr int kClientTimeoutMs = 5000;

sockaddr_in Loopback(int port, const char* address = "127.0.0.1") {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address, &a.sin_addr);
    return a;
}

int ConnectTo(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool Readable(int fd, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeout_ms) > 0;
}

void SendAll(int fd, const std::string& bytes) {
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        ASSERT_GT(n, 0) << std::strerror(errno);
        sent += static_cast<std::size_t>(n);
    }
}

// Reads until EOF; "RESET" marks a reset, "TIMEOUT" a silence of the client timeout.
std::string ReadAll(int fd, std::string* end = nullptr) {
    std::string data;
    char buffer[4096];
    for (;;) {
        if (!Readable(fd, kClientTimeoutMs)) {
            if (end != nullptr) {
                *end = "TIMEOUT";
            }
            return data;
        }
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            data.append(buffer, static_cast<std::size_t>(n));
            continue;
        }
        if (end != nullptr) {
            *end = n == 0 ? "EOF" : (errno == ECONNRESET ? "RESET" : std::strerror(errno));
        }
        return data;
    }
}

class Control {
public:
    explicit Control(int port) : fd_(ConnectTo(port)) {}
    ~Control() {
        if (fd_ >= 0) {
            ::close(fd_);
        }
    }
    bool connected() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    void send(const std::string& line) { SendAll(fd_, line + "\r\n"); }

    // One line without CR LF; nullopt at EOF, reset or timeout.
    std::optional<std::string> line() {
        for (;;) {
            std::size_t end = buffer_.find("\r\n");
            if (end != std::string::npos) {
                std::string l = buffer_.substr(0, end);
                buffer_.erase(0, end + 2);
                return l;
            }
            if (!Readable(fd_, kClientTimeoutMs)) {
                return std::nullopt;
            }
            char chunk[1024];
            ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0) {
                last_error_ = n == 0 ? 0 : errno;
                return std::nullopt;
            }
            buffer_.append(chunk, static_cast<std::size_t>(n));
        }
    }

    // The last line of a reply (continuation lines "123-..." are skipped).
    std::string reply() {
        for (;;) {
            std::optional<std::string> l = line();
            if (!l) {
                return "<none>";
            }
            if (l->size() < 4 || (*l)[3] != '-') {
                return *l;
            }
        }
    }

    std::string command(const std::string& text) {
        send(text);
        return reply();
    }

    int last_error() const { return last_error_; }

private:
    int fd_;
    std::string buffer_;
    int last_error_ = 0;
};

// The client's side of an active-mode data connection: listens on 127.0.0.1.
class DataListener {
public:
    DataListener() {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = Loopback(0);
        socklen_t length = sizeof a;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&a), length);
        ::listen(fd_, 1);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &length);
        port_ = ntohs(a.sin_port);
    }
    ~DataListener() { ::close(fd_); }

    // "PORT 127,0,0,1,p1,p2"
    std::string port_command() const {
        return "PORT 127,0,0,1," + std::to_string(port_ / 256) + "," + std::to_string(port_ % 256);
    }

    // The accepted connection (-1 on timeout) and the peer's address.
    int accept(std::string* peer = nullptr) {
        if (!Readable(fd_, kClientTimeoutMs)) {
            return -1;
        }
        sockaddr_in a{};
        socklen_t length = sizeof a;
        int fd = ::accept4(fd_, reinterpret_cast<sockaddr*>(&a), &length, SOCK_CLOEXEC);
        if (peer != nullptr && fd >= 0) {
            char text[INET_ADDRSTRLEN];
            *peer = inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
        }
        return fd;
    }

private:
    int fd_;
    int port_ = 0;
};

int OpenDescriptors() {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
        while (::readdir(dir) != nullptr) {
            ++count;
        }
        ::closedir(dir);
    }
    return count;
}

// Processes whose parent is this process.
int ChildProcesses() {
    int count = 0;
    const std::string self = std::to_string(::getpid());
    DIR* dir = ::opendir("/proc");
    while (dirent* entry = ::readdir(dir)) {
        std::ifstream stat(std::string("/proc/") + entry->d_name + "/stat");
        std::string text;
        if (!std::getline(stat, text)) {
            continue;
        }
        // pid (comm) state ppid ...; comm may hold spaces, so start after the last ')'.
        std::size_t close = text.rfind(')');
        if (close == std::string::npos) {
            continue;
        }
        char state = 0;
        int ppid = 0;
        if (std::sscanf(text.c_str() + close + 1, " %c %d", &state, &ppid) == 2 &&
            std::to_string(ppid) == self) {
            ++count;
        }
    }
    ::closedir(dir);
    return count;
}

// --- ScriptedFtpServer ----------------------------------------------------------------

TEST(ScriptedFtpServer, TranscriptWithDataBothWaysAndReset) {
    const std::string upload = RandomBytes(100000, 7);
    const std::string download = RandomBytes(70001, 8);
    std::string stored;
    ScriptedFtpServer server([&](Session& s) {
        s.send("220-two\r\n");
        s.reply("220 lines");
        s.expect("USER webuser");
        s.reply("230 in");
        s.expect("PORT ");
        s.reply("200 ok");
        s.expect("STOR up.bin");
        s.reply("150 go");
        s.connect_data();
        stored = s.data_recv_all();
        s.data_close();
        s.reply("226 got " + std::to_string(stored.size()));
        s.expect("PORT ");
        s.reply("200 ok");
        s.expect("RETR down.bin");
        s.reply("150 here");
        s.connect_data();
        s.data_send(download);
        s.data_close();
        s.reply("226 sent");
        s.expect("NOOP");
        s.reset();
    });

    Control c(server.port());
    ASSERT_TRUE(c.connected());
    EXPECT_EQ(c.reply(), "220 lines");
    EXPECT_EQ(c.command("USER webuser"), "230 in");

    DataListener up;
    EXPECT_EQ(c.command(up.port_command()), "200 ok");
    EXPECT_EQ(c.command("STOR up.bin"), "150 go");
    int data = up.accept();
    ASSERT_GE(data, 0);
    SendAll(data, upload);
    ::close(data);
    EXPECT_EQ(c.reply(), "226 got 100000");

    DataListener down;
    EXPECT_EQ(c.command(down.port_command()), "200 ok");
    EXPECT_EQ(c.command("RETR down.bin"), "150 here");
    data = down.accept();
    ASSERT_GE(data, 0);
    std::string end;
    std::string got = ReadAll(data, &end);
    ::close(data);
    EXPECT_EQ(end, "EOF");
    EXPECT_EQ(BytesHash(got), BytesHash(download));
    EXPECT_EQ(c.reply(), "226 sent");

    c.send("NOOP");
    EXPECT_FALSE(c.line().has_value());
    EXPECT_EQ(c.last_error(), ECONNRESET);

    ASSERT_TRUE(server.wait_sessions(1));
    EXPECT_EQ(BytesHash(stored), BytesHash(upload));
    const std::vector<std::string> expected = {"USER webuser",  up.port_command(),
                                               "STOR up.bin",   down.port_command(),
                                               "RETR down.bin", "NOOP"};
    EXPECT_EQ(server.received(), expected);
    EXPECT_EQ(server.received(0), expected);
    EXPECT_TRUE(server.received(1).empty());
    EXPECT_TRUE(server.failures().empty());
}

TEST(ScriptedFtpServer, FailuresAreRecordedAndEndTheScript) {
    ScriptedFtpServer server(
        [](Session& s) {
            if (s.index() == 0) {
                s.reply("220 ready");
                s.expect("USER ");
                s.reply("never sent");
            } else if (s.index() == 1) {
                s.reply("220 ready");
                throw std::runtime_error("boom");
            } else {
                s.connect_data(); // no PORT was read
            }
        },
        {.max_sessions = 3});

    {
        Control c(server.port());
        EXPECT_EQ(c.reply(), "220 ready");
        c.send("PASS early");
        // The mismatch ends the script, and the server closes the connection.
        EXPECT_FALSE(c.line().has_value());
    }
    {
        Control c(server.port());
        EXPECT_EQ(c.reply(), "220 ready");
        EXPECT_FALSE(c.line().has_value());
    }
    {
        Control c(server.port());
        EXPECT_FALSE(c.line().has_value());
    }
    ASSERT_TRUE(server.wait_sessions(3));
    std::vector<std::string> failures = server.failures();
    ASSERT_EQ(failures.size(), 3u);
    EXPECT_EQ(failures[0], "session 0: expected a line starting with 'USER ', got 'PASS early'");
    EXPECT_EQ(failures[1], "session 1: the script threw: boom");
    EXPECT_NE(failures[2].find("session 2: connect_data: no valid PORT"), std::string::npos);
    // The session limit is reached: further clients are refused, not left waiting.
    int late = ConnectTo(server.port());
    EXPECT_EQ(late, -1);
    if (late >= 0) {
        ::close(late);
    }
}

TEST(ScriptedFtpServer, TimeoutsBoundEveryWait) {
    std::optional<std::string> silent = "unset";
    ScriptedFtpServer server(
        [&](Session& s) {
            silent = s.read_line();
            s.expect("USER");
        },
        {.max_sessions = 1, .timeout = 200ms});
    Control c(server.port());
    auto start = Clock::now();
    ASSERT_TRUE(server.wait_sessions(1, 5s));
    auto elapsed = Clock::now() - start;
    EXPECT_FALSE(silent.has_value());
    EXPECT_GE(elapsed, 350ms);
    EXPECT_LT(elapsed, 3s);
    ASSERT_EQ(server.failures().size(), 1u);
    EXPECT_EQ(server.failures()[0],
              "session 0: expected a line starting with 'USER', got nothing within the timeout");
}

TEST(ScriptedFtpServer, StopNeverHangsAndLeaksNothing) {
    const int before = OpenDescriptors();
    {
        // Nobody connects.
        ScriptedFtpServer idle([](Session&) {});
        auto start = Clock::now();
        idle.stop();
        idle.stop();
        EXPECT_LT(Clock::now() - start, 1s);
    }
    {
        // Blocked in a read of the control connection, a data receive and a sleep.
        for (int step = 0; step < 3; ++step) {
            ScriptedFtpServer server([&](Session& s) {
                s.reply("220 ready");
                if (step == 0) {
                    s.read_line();
                } else if (step == 1) {
                    s.expect("PORT");
                    s.connect_data();
                    s.data_recv_all();
                } else {
                    s.sleep(60000);
                }
                s.fail("the wait was not interrupted");
            });
            Control c(server.port());
            EXPECT_EQ(c.reply(), "220 ready");
            DataListener listener;
            int data = -1;
            if (step == 1) {
                c.send(listener.port_command());
                data = listener.accept();
                ASSERT_GE(data, 0);
            }
            auto start = Clock::now();
            server.stop();
            EXPECT_LT(Clock::now() - start, 1s) << "step " << step;
            EXPECT_TRUE(server.failures().empty()) << "step " << step;
            // The server closed its ends.
            EXPECT_FALSE(c.line().has_value());
            if (data >= 0) {
                std::string end;
                ReadAll(data, &end);
                EXPECT_EQ(end, "EOF");
                ::close(data);
            }
        }
    }
    {
        // The destructor alone, with a client that keeps sending nothing.
        auto server = std::make_unique<ScriptedFtpServer>([](Session& s) { s.read_line(); });
        Control c(server->port());
        auto start = Clock::now();
        server.reset();
        EXPECT_LT(Clock::now() - start, 1s);
    }
    EXPECT_EQ(OpenDescriptors(), before);
}

TEST(ScriptedFtpServer, DataConnectionFromAForeignAddress) {
    std::string got;
    ScriptedFtpServer server([&](Session& s) {
        s.expect("PORT");
        s.connect_data("127.0.0.2");
        s.data_trickle("abc", 5);
        s.data_reset();
    });
    Control c(server.port());
    DataListener listener;
    c.send(listener.port_command());
    std::string peer;
    int data = listener.accept(&peer);
    ASSERT_GE(data, 0);
    EXPECT_EQ(peer, "127.0.0.2");
    std::string end;
    got = ReadAll(data, &end);
    ::close(data);
    EXPECT_EQ(got, "abc");
    EXPECT_EQ(end, "RESET");
    ASSERT_TRUE(server.wait_sessions(1));
    EXPECT_TRUE(server.failures().empty());
}

TEST(ScriptedFtpServer, ReplyTableWithInMemoryFiles) {
    auto files = std::make_shared<MemoryFiles>();
    files->put("a.htm", "<html>a</html>");
    ScriptedFtpServer server(ScriptedFtpServer::Replies({{"USER", "331 ok"},
                                                         {"PASS", "230 in"},
                                                         {"STOR bad", "553 bad name"},
                                                         {"TYPE", "200 type"}},
                                                        files),
                             {.max_sessions = 2});
    const std::string page = RandomBytes(50000, 3);
    {
        Control c(server.port());
        EXPECT_EQ(c.reply(), "220 ready");
        EXPECT_EQ(c.command("USER webuser"), "331 ok");
        EXPECT_EQ(c.command("PASS s3cret"), "230 in");
        EXPECT_EQ(c.command("TYPE I"), "200 type");
        EXPECT_EQ(c.command("SITE x"), "502 no");
        EXPECT_EQ(c.command("RETR a.htm"), "425 no PORT");

        DataListener l1;
        EXPECT_EQ(c.command(l1.port_command()), "200 PORT ok");
        EXPECT_EQ(c.command("STOR b.htm"), "150 Ok to send data");
        int data = l1.accept();
        ASSERT_GE(data, 0);
        SendAll(data, page);
        ::close(data);
        EXPECT_EQ(c.reply(), "226 done");

        EXPECT_EQ(c.command("STOR bad"), "553 bad name");

        DataListener l2;
        EXPECT_EQ(c.command(l2.port_command()), "200 PORT ok");
        EXPECT_EQ(c.command("NLST"), "150 Opening ASCII mode data connection for file list");
        data = l2.accept();
        ASSERT_GE(data, 0);
        EXPECT_EQ(ReadAll(data), "a.htm\r\nb.htm\r\n");
        ::close(data);
        EXPECT_EQ(c.reply(), "226 done");

        DataListener l3;
        EXPECT_EQ(c.command(l3.port_command()), "200 PORT ok");
        EXPECT_EQ(c.command("RETR a.htm"),
                  "150 Opening BINARY mode data connection for a.htm (14 bytes)");
        data = l3.accept();
        ASSERT_GE(data, 0);
        EXPECT_EQ(ReadAll(data), "<html>a</html>");
        ::close(data);
        EXPECT_EQ(c.reply(), "226 done");
        EXPECT_EQ(c.command("RETR missing"), "550 not found");

        DataListener l4;
        EXPECT_EQ(c.command(l4.port_command()), "200 PORT ok");
        EXPECT_EQ(c.command("LIST"), "150 Opening ASCII mode data connection for file list");
        data = l4.accept();
        ASSERT_GE(data, 0);
        std::string listing = ReadAll(data);
        ::close(data);
        EXPECT_NE(listing.find(" 14 Jan 01 00:00 a.htm\r\n"), std::string::npos) << listing;
        EXPECT_NE(listing.find(" 50000 Jan 01 00:00 b.htm\r\n"), std::string::npos) << listing;
        EXPECT_EQ(c.reply(), "226 done");

        EXPECT_EQ(c.command("QUIT"), "221 bye");
        EXPECT_FALSE(c.line().has_value());
    }
    {
        // The next session sees the same files; a client that just leaves ends it.
        Control c(server.port());
        EXPECT_EQ(c.reply(), "220 ready");
    }
    ASSERT_TRUE(server.wait_sessions(2));
    EXPECT_EQ(BytesHash(files->get("b.htm").value_or("")), BytesHash(page));
    EXPECT_FALSE(files->contains("bad"));
    EXPECT_EQ(server.received(0).size(), 16u);
    EXPECT_TRUE(server.failures().empty());
}

TEST(ScriptedFtpServer, PassiveModeListensAnswersAndStalls) {
    auto files = std::make_shared<MemoryFiles>();
    ScriptedFtpServer table(ScriptedFtpServer::Replies({{"PASV", "502 no PASV here"}}, files));
    {
        Control c(table.port());
        EXPECT_EQ(c.reply(), "220 ready");
        std::string epsv = c.command("EPSV");
        EXPECT_EQ(epsv.rfind("229 Entering Extended Passive Mode (|||", 0), 0u) << epsv;
        int port = std::stoi(epsv.substr(epsv.find("|||") + 3));
        int data = ConnectTo(port);
        ASSERT_GE(data, 0);
        EXPECT_EQ(c.command("STOR p.htm"), "150 Ok to send data");
        SendAll(data, "passive bytes");
        ::close(data);
        EXPECT_EQ(c.reply(), "226 done");
        EXPECT_EQ(c.command("PASV"), "502 no PASV here");
        EXPECT_EQ(c.command("QUIT"), "221 bye");
    }
    ASSERT_TRUE(table.wait_sessions(1));
    EXPECT_EQ(files->get("p.htm").value_or(""), "passive bytes");
    EXPECT_TRUE(table.failures().empty());

    // A scripted PASV naming another address, a refused port and a listener that never
    // answers a connect.
    int refused = Session::closed_port();
    ScriptedFtpServer server([&](Session& s) {
        s.expect("PASV");
        s.reply_pasv("192.0.2.7");
        s.expect("GO");
        if (!s.data_pending())
            s.fail("the client's connection was not queued");
        s.accept_data();
        s.data_send("x");
        s.data_close();
        s.expect("STALL");
        s.reply("200 " + std::to_string(s.stall_passive()));
        s.expect("QUIT");
    });
    Control c(server.port());
    std::string pasv = c.command("PASV");
    EXPECT_EQ(pasv.rfind("227 Entering Passive Mode (192,0,2,7,", 0), 0u) << pasv;
    unsigned p1 = 0, p2 = 0;
    ASSERT_EQ(std::sscanf(pasv.c_str() + pasv.rfind(",7,") + 3, "%u,%u", &p1, &p2), 2) << pasv;
    int data = ConnectTo(int(p1 * 256 + p2));
    ASSERT_GE(data, 0);
    c.send("GO");
    EXPECT_EQ(ReadAll(data), "x");
    ::close(data);
    EXPECT_LT(ConnectTo(refused), 0);
    EXPECT_EQ(errno, ECONNREFUSED);

    // The stalled listener: a client's connect stays unanswered.
    std::string stalled = c.command("STALL");
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in a = Loopback(std::stoi(stalled.substr(4)));
    EXPECT_NE(::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    EXPECT_EQ(errno, EINPROGRESS);
    pollfd p{fd, POLLOUT, 0};
    EXPECT_EQ(::poll(&p, 1, 300), 0); // no answer, neither acceptance nor refusal
    ::close(fd);
    c.send("QUIT");
    ASSERT_TRUE(server.wait_sessions(1));
    EXPECT_TRUE(server.failures().empty());
}

// --- PyFtpd ---------------------------------------------------------------------------

TEST(PyFtpd, LogsInStoresAndLeavesNoProcess) {
    pid_t pid = -1;
    std::filesystem::path root;
    const int children_before = ChildProcesses();
    {
        PyFtpd ftpd;
        pid = ftpd.pid();
        root = ftpd.root();
        EXPECT_GT(ftpd.port(), 0);
        EXPECT_TRUE(std::filesystem::is_directory(root));
        EXPECT_EQ(ftpd.user(), "webuser");
        EXPECT_EQ(ftpd.password(), "s3cret");
        EXPECT_EQ(ChildProcesses(), children_before + 1);

        {
            Control c(ftpd.port());
            EXPECT_EQ(c.reply().substr(0, 4), "220 ");
            EXPECT_EQ(c.command("USER webuser").substr(0, 4), "331 ");
            EXPECT_EQ(c.command("PASS wrong").substr(0, 4), "530 ");
        }
        {
            Control c(ftpd.port());
            c.reply();
            EXPECT_EQ(c.command("USER anonymous").substr(0, 4), "331 ");
            EXPECT_EQ(c.command("PASS x@y").substr(0, 4), "530 ");
        }
        {
            Control c(ftpd.port());
            c.reply();
            EXPECT_EQ(c.command("USER webuser").substr(0, 4), "331 ");
            EXPECT_EQ(c.command("PASS s3cret").substr(0, 4), "230 ");
            EXPECT_EQ(c.command("TYPE I").substr(0, 4), "200 ");
            // An active-mode upload into the root folder.
            const std::string body = RandomBytes(200000, 11);
            DataListener listener;
            EXPECT_EQ(c.command(listener.port_command()).substr(0, 4), "200 ");
            c.send("STOR page.htm");
            // pyftpdlib connects at PORT already, so it may answer 125 instead of 150.
            EXPECT_EQ(c.reply().substr(0, 1), "1");
            int data = listener.accept();
            ASSERT_GE(data, 0);
            SendAll(data, body);
            ::close(data);
            EXPECT_EQ(c.reply().substr(0, 4), "226 ");
            EXPECT_EQ(FileHash(root / "page.htm"), BytesHash(body));
            EXPECT_EQ(c.command("QUIT").substr(0, 4), "221 ");
        }
        EXPECT_NE(ftpd.log().find("USER 'webuser' logged in"), std::string::npos) << ftpd.log();
    }
    EXPECT_EQ(::kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
    EXPECT_EQ(ChildProcesses(), children_before);
    EXPECT_FALSE(std::filesystem::exists(root));
}

// Running or not yet reaped by whoever inherited it.
bool ProcessAlive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text)) {
        return false;
    }
    std::size_t close = text.rfind(')');
    return close != std::string::npos && close + 2 < text.size() && text[close + 2] != 'Z';
}

TEST(PyFtpd, ServerDiesWithACrashedTest) {
    int pipe_fds[2];
    ASSERT_EQ(::pipe(pipe_fds), 0);
    pid_t test = ::fork();
    ASSERT_GE(test, 0);
    if (test == 0) {
        // A test process that starts a server and then crashes without cleaning up.
        ::close(pipe_fds[0]);
        try {
            PyFtpd ftpd;
            std::string report = std::to_string(ftpd.pid()) + " " + ftpd.root().string() + "\n";
            [[maybe_unused]] ssize_t n = ::write(pipe_fds[1], report.data(), report.size());
            ::pause();
        } catch (...) {
        }
        ::_exit(0);
    }
    ::close(pipe_fds[1]);
    std::string report;
    char c = 0;
    while (report.find('\n') == std::string::npos && Readable(pipe_fds[0], 15000) &&
           ::read(pipe_fds[0], &c, 1) == 1) {
        report += c;
    }
    ::close(pipe_fds[0]);
    pid_t server = -1;
    char root[256] = {};
    if (std::sscanf(report.c_str(), "%d %255s", &server, root) != 2) {
        ::kill(test, SIGKILL);
        ::waitpid(test, nullptr, 0);
        FAIL() << "no report from the test process: " << report;
    }
    EXPECT_TRUE(ProcessAlive(server));
    ::kill(test, SIGKILL);
    ::waitpid(test, nullptr, 0);
    auto deadline = Clock::now() + 5s;
    while (ProcessAlive(server) && Clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_FALSE(ProcessAlive(server));
    // The crashed process could not remove its folder; do it for it.
    std::filesystem::remove_all(std::filesystem::path(root).parent_path());
}

TEST(PyFtpd, OptionsReachTheServer) {
    PyFtpdOptions options;
    options.banner = "KestrelTest server";
    options.max_cons = 2; // the listening socket counts as one
    PyFtpd ftpd(options);
    Control first(ftpd.port());
    EXPECT_EQ(first.reply(), "220 KestrelTest server");
    Control second(ftpd.port());
    EXPECT_EQ(second.reply().substr(0, 4), "421 ");
    EXPECT_TRUE(std::filesystem::exists(PyFtpd::script_path()));
}

// --- Fixtures -------------------------------------------------------------------------

TEST(Fixtures, TempDirCurrentDirAndFiles) {
    const auto start_dir = std::filesystem::current_path();
    std::filesystem::path kept;
    {
        TempDir dir;
        kept = dir.path();
        EXPECT_EQ(kept.parent_path(), "/tmp");
        CurrentDirGuard guard;
        std::filesystem::create_directories(dir / "a" / "b");
        std::filesystem::current_path(dir / "a" / "b");

        RandomFile("one.bin", 100003, 5);
        RandomFile(dir / "two.bin", 100003, 5);
        RandomFile(dir / "three.bin", 100003, 6);
        RandomFile(dir / "empty.bin", 0, 5);
        EXPECT_EQ(std::filesystem::file_size("one.bin"), 100003u);
        EXPECT_EQ(FileHash("one.bin"), FileHash(dir / "two.bin"));
        EXPECT_NE(FileHash("one.bin"), FileHash(dir / "three.bin"));
        EXPECT_EQ(FileHash("one.bin"), BytesHash(RandomBytes(100003, 5)));
        EXPECT_EQ(ReadFileBytes("one.bin"), RandomBytes(100003, 5));
        EXPECT_EQ(FileHash(dir / "empty.bin"), BytesHash(""));
        EXPECT_THROW(FileHash(dir / "missing"), std::runtime_error);
        EXPECT_THROW(RandomFile(dir / "no" / "such" / "x", 1), std::runtime_error);
    }
    EXPECT_EQ(std::filesystem::current_path(), start_dir);
    EXPECT_FALSE(std::filesystem::exists(kept));
}

} // namespace
} // namespace kestrel::test
