// Upload soak: uploads through TVaneFTP to pyftpdlib through a loopback proxy of our own
// that drops the control or the data connection at random points. Every upload must
// either report success with the server's file byte-identical, or raise an error; an
// upload that reports success while the server's file differs is the one outcome that
// must never happen. Prints the counts; exits 1 when that count is not 0 or an upload
// hangs.
//
// The proxy forwards the control connection and rewrites each PORT line so that the
// server connects back through the proxy, which then connects on to the client's data
// port. A dropped data connection also takes the session's control connection down:
// pyftpdlib takes any end of an upload's data connection, a reset included, for the end
// of the file, so the shortened file would otherwise be confirmed by the server itself,
// which no client can tell from a good upload.
//
// Usage: soak_upload [--uploads N] [--seed S] [--max-size BYTES]
#include "net/ftp/vaneftp.h"
#include "support/fixtures.h"
#include "support/pyftpd.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

using namespace kestrel;
using namespace kestrel::test;
namespace fs = std::filesystem;

namespace {

enum class Fault { None, Control, Data };

const char* FaultName(Fault f) {
    return f == Fault::None ? "none" : f == Fault::Control ? "control" : "data";
}

int ListenLoopback(std::uint16_t& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(fd, 8) != 0) {
        std::perror("proxy listen");
        std::exit(2);
    }
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

int ConnectLoopback(std::uint32_t addressHostOrder, std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(addressHostOrder);
    a.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void Reset(int& fd) {
    if (fd < 0)
        return;
    linger off{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &off, sizeof off);
    ::close(fd);
    fd = -1;
}

bool SendAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        data += n;
        size -= std::size_t(n);
    }
    return true;
}

// The proxy: one control session at a time (the client never opens two), with its data
// connections. Runs on its own thread; the fault for the next upload is set by Arm().
class Proxy {
public:
    Proxy(int serverPort) : serverPort_(std::uint16_t(serverPort)) {
        listen_ = ListenLoopback(port_);
        thread_ = std::thread([this] { Run(); });
    }
    ~Proxy() {
        stop_ = true;
        thread_.join();
        DropAll();
        ::close(listen_);
    }
    int port() const { return port_; }

    // The next drop: after `at` more control bytes (either way) or after `at` bytes of the
    // next data connection from the client.
    void Arm(Fault fault, std::uint64_t at) {
        std::lock_guard<std::mutex> lock(mutex_);
        fault_ = fault;
        at_ = at;
        controlCount_ = 0;
        dropped_ = false;
    }
    bool Dropped() {
        std::lock_guard<std::mutex> lock(mutex_);
        return dropped_;
    }

private:
    void Run() {
        char buffer[65536];
        while (!stop_) {
            std::vector<pollfd> fds{{listen_, POLLIN, 0}};
            if (clientCtl_ >= 0) {
                fds.push_back({clientCtl_, POLLIN, 0});
                fds.push_back({serverCtl_, POLLIN, 0});
            }
            if (dataListen_ >= 0)
                fds.push_back({dataListen_, POLLIN, 0});
            if (clientData_ >= 0) {
                fds.push_back({clientData_, POLLIN, 0});
                fds.push_back({serverData_, POLLIN, 0});
            }
            if (::poll(fds.data(), fds.size(), 20) <= 0)
                continue;
            std::lock_guard<std::mutex> lock(mutex_);
            for (const pollfd& p : fds) {
                if (!(p.revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                if (p.fd == listen_) {
                    int c = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
                    DropAll();
                    clientCtl_ = c;
                    serverCtl_ = ConnectLoopback(INADDR_LOOPBACK, serverPort_);
                    if (serverCtl_ < 0)
                        Reset(clientCtl_);
                    pending_.clear();
                    break;
                }
                if (p.fd == dataListen_) {
                    int s = ::accept4(dataListen_, nullptr, nullptr, SOCK_CLOEXEC);
                    ::close(dataListen_);
                    dataListen_ = -1;
                    int c = ConnectLoopback(clientDataAddr_, clientDataPort_);
                    if (s < 0 || c < 0) {
                        Reset(s);
                        Reset(c);
                        break;
                    }
                    serverData_ = s;
                    clientData_ = c;
                    dataCount_ = 0;
                    break;
                }
                if (p.fd == clientCtl_ || p.fd == serverCtl_) {
                    bool fromClient = p.fd == clientCtl_;
                    ssize_t n = ::recv(p.fd, buffer, sizeof buffer, 0);
                    if (n <= 0) {
                        // An end of the control connection on one side ends it on the other.
                        DropAll();
                        break;
                    }
                    if (fault_ == Fault::Control && !dropped_ &&
                        controlCount_ + std::uint64_t(n) > at_) {
                        dropped_ = true;
                        DropAll();
                        break;
                    }
                    controlCount_ += std::uint64_t(n);
                    if (fromClient)
                        ForwardClientControl(buffer, std::size_t(n));
                    else if (!SendAll(clientCtl_, buffer, std::size_t(n)))
                        DropAll();
                    break;
                }
                if (p.fd == clientData_ || p.fd == serverData_) {
                    bool fromClient = p.fd == clientData_;
                    ssize_t n = ::recv(p.fd, buffer, sizeof buffer, 0);
                    if (n <= 0) {
                        // Pass the end on as it came: a graceful close or a reset.
                        if (n == 0) {
                            ::shutdown(fromClient ? serverData_ : clientData_, SHUT_WR);
                            ::close(clientData_);
                            ::close(serverData_);
                            clientData_ = serverData_ = -1;
                        } else {
                            Reset(clientData_);
                            Reset(serverData_);
                        }
                        break;
                    }
                    std::size_t pass = std::size_t(n);
                    if (fromClient && fault_ == Fault::Data && !dropped_ &&
                        dataCount_ + pass > at_) {
                        pass = std::size_t(at_ - dataCount_);
                        SendAll(serverData_, buffer, pass);
                        dropped_ = true;
                        DropAll();
                        break;
                    }
                    if (fromClient)
                        dataCount_ += pass;
                    if (!SendAll(fromClient ? serverData_ : clientData_, buffer, pass)) {
                        Reset(clientData_);
                        Reset(serverData_);
                    }
                    break;
                }
            }
        }
    }

    // Forwards whole lines from the client, with each PORT line pointing at a data
    // listener of the proxy instead of the client.
    void ForwardClientControl(const char* data, std::size_t size) {
        pending_.append(data, size);
        std::size_t lf;
        while ((lf = pending_.find('\n')) != std::string::npos) {
            std::string line = pending_.substr(0, lf + 1);
            pending_.erase(0, lf + 1);
            unsigned h1, h2, h3, h4, p1, p2;
            if (line.rfind("PORT ", 0) == 0 && std::sscanf(line.c_str() + 5, "%u,%u,%u,%u,%u,%u",
                                                           &h1, &h2, &h3, &h4, &p1, &p2) == 6) {
                clientDataAddr_ = h1 << 24 | h2 << 16 | h3 << 8 | h4;
                clientDataPort_ = std::uint16_t(p1 << 8 | p2);
                if (dataListen_ >= 0)
                    ::close(dataListen_);
                std::uint16_t port = 0;
                dataListen_ = ListenLoopback(port);
                line = "PORT 127,0,0,1," + std::to_string(port >> 8) + "," +
                       std::to_string(port & 0xFF) + "\r\n";
            }
            if (!SendAll(serverCtl_, line.data(), line.size())) {
                DropAll();
                return;
            }
        }
    }

    void DropAll() {
        Reset(clientData_);
        Reset(serverData_);
        if (dataListen_ >= 0)
            ::close(dataListen_);
        dataListen_ = -1;
        Reset(clientCtl_);
        Reset(serverCtl_);
        pending_.clear();
    }

    std::uint16_t serverPort_;
    std::uint16_t port_ = 0;
    int listen_ = -1;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    int clientCtl_ = -1, serverCtl_ = -1;
    int dataListen_ = -1, clientData_ = -1, serverData_ = -1;
    std::uint32_t clientDataAddr_ = 0;
    std::uint16_t clientDataPort_ = 0;
    std::string pending_;
    Fault fault_ = Fault::None;
    std::uint64_t at_ = 0;
    std::uint64_t controlCount_ = 0;
    std::uint64_t dataCount_ = 0;
    bool dropped_ = false;
};

// Ends the program when one upload takes far too long: a hang is a fault.
class HangGuard {
public:
    HangGuard() : thread_([this] { Watch(); }) {}
    ~HangGuard() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    void Tick(const std::string& what) {
        std::lock_guard<std::mutex> lock(mutex_);
        what_ = what;
        last_ = std::chrono::steady_clock::now();
    }

private:
    void Watch() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!done_) {
            cv_.wait_for(lock, std::chrono::seconds(1));
            if (!done_ && std::chrono::steady_clock::now() - last_ > std::chrono::seconds(60)) {
                std::fprintf(stderr, "soak: hung in %s\n", what_.c_str());
                std::_Exit(1);
            }
        }
    }
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
    std::string what_ = "start";
    std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
    std::thread thread_;
};

} // namespace

int main(int argc, char** argv) {
    int uploads = 500;
    unsigned seed = 1;
    std::uint64_t maxSize = 512 * 1024;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string name = argv[i];
        if (name == "--uploads")
            uploads = std::atoi(argv[i + 1]);
        else if (name == "--seed")
            seed = unsigned(std::strtoul(argv[i + 1], nullptr, 10));
        else if (name == "--max-size")
            maxSize = std::strtoull(argv[i + 1], nullptr, 10);
        else {
            std::fprintf(stderr, "usage: soak_upload [--uploads N] [--seed S] [--max-size B]\n");
            return 2;
        }
    }

    PyFtpd server;
    Proxy proxy(server.port());
    TempDir dir("kestrel-soak");
    std::mt19937_64 random(seed);
    HangGuard guard;

    TVaneFTP ftp(nullptr);
    ftp.Host = "127.0.0.1";
    ftp.Port = proxy.port();
    ftp.UserID = server.user();
    ftp.Password = server.password();
    ftp.TimeOut = 10000;

    int successIdentical = 0, successDiffers = 0, errors = 0, connectFailures = 0;
    int faultCounts[3] = {0, 0, 0};
    int errorsWithoutDrop = 0;
    auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < uploads; ++i) {
        const std::uint64_t size = random() % (maxSize + 1);
        const std::string name = "up" + std::to_string(i) + ".bin";
        const fs::path local = dir / name;
        RandomFile(local, size, random());

        const int roll = int(random() % 10);
        Fault fault = roll < 4 ? Fault::None : roll < 7 ? Fault::Control : Fault::Data;
        std::uint64_t at = fault == Fault::Control ? random() % 200
                           : size == 0             ? 0
                                                   : random() % size;
        ++faultCounts[int(fault)];
        guard.Tick("upload " + std::to_string(i) + " (" + FaultName(fault) + ")");

        if (!ftp.Connected) {
            proxy.Arm(Fault::None, 0);
            try {
                ftp.Connect();
                ftp.Mode(2); // image type, as the window sets before it uploads
            } catch (const Exception& e) {
                ++connectFailures;
                std::fprintf(stderr, "upload %d: connect failed: %s\n", i, e.what());
                continue;
            }
        }
        proxy.Arm(fault, at);
        bool reported = false;
        std::string error;
        try {
            ftp.Upload(local.string(), name);
            reported = true;
        } catch (const Exception& e) {
            error = e.what();
        }
        if (reported) {
            std::error_code ec;
            const fs::path remote = server.root() / name;
            if (fs::exists(remote, ec) && FileHash(remote) == FileHash(local) &&
                fs::file_size(remote, ec) == size) {
                ++successIdentical;
            } else {
                ++successDiffers;
                std::fprintf(stderr,
                             "upload %d (%s at %llu of %llu): success but the server's "
                             "file differs\n",
                             i, FaultName(fault), (unsigned long long)at, (unsigned long long)size);
            }
        } else {
            ++errors;
            if (!proxy.Dropped()) {
                ++errorsWithoutDrop;
                std::fprintf(stderr, "upload %d: error without a drop: %s\n", i, error.c_str());
            }
        }
        fs::remove(local);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (ftp.Connected) {
        try {
            ftp.Disconnect();
        } catch (const Exception&) {
        }
    }

    std::printf("uploads: %d in %.1f s (faults armed: none %d, control %d, data %d)\n", uploads,
                seconds, faultCounts[0], faultCounts[1], faultCounts[2]);
    std::printf("success, identical:            %d\n", successIdentical);
    std::printf("error raised:                  %d (%d without a drop)\n", errors,
                errorsWithoutDrop);
    std::printf("log-in failed (upload skipped): %d\n", connectFailures);
    std::printf("success but the file differs: %d\n", successDiffers);
    return successDiffers == 0 ? 0 : 1;
}
