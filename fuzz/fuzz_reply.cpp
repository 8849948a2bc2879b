// Reply reading on an arbitrary byte stream: the input is everything a server sends on
// the control connection (greeting, replies to the log-in, replies to a few commands),
// followed by the server closing. The client must log in or fail with an exception,
// read every reply as one line ending in a line feed, and never crash or hang; the
// server's close ends every wait, so each input takes bounded time.
#include "base/exception.h"
#include "net/ftp/vaneftp.h"

#include <arpa/inet.h>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

using namespace kestrel;

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

// One blocking listener on the loopback for the whole run. The client's connect
// completes in the listener's backlog, so the server side is accepted on this thread
// from the client's connect notification.
int Listener(std::uint16_t& port) {
    static int fd = -1;
    static std::uint16_t bound = 0;
    if (fd < 0) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        Check(fd >= 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        Check(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0);
        Check(::listen(fd, 16) == 0);
        socklen_t length = sizeof addr;
        Check(::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) == 0);
        bound = ntohs(addr.sin_port);
    }
    port = bound;
    return fd;
}

// Accepts the client and sends it the whole input, then ends the stream.
int ServeInput(int listener, const std::uint8_t* data, std::size_t size) {
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    Check(fd >= 0);
    std::size_t done = 0;
    while (done < size) {
        const ssize_t n = ::send(fd, data + done, size - done, MSG_NOSIGNAL);
        Check(n > 0);
        done += std::size_t(n);
    }
    ::shutdown(fd, SHUT_WR);
    return fd;
}

void CheckLine(const std::string& line) {
    Check(!line.empty() && line.back() == '\n');
    Check(line.find('\n') == line.size() - 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint16_t port = 0;
    const int listener = Listener(port);
    int server = -1;

    auto ftp = std::make_unique<TVaneFTP>(nullptr);
    ftp->Host = "127.0.0.1";
    ftp->Port = port;
    ftp->TimeOut = 5000;
    ftp->UserID = "user";
    ftp->Password = "secret";
    static_cast<TCorsock&>(*ftp).OnConnect = [&](TComponent*) {
        if (server < 0) {
            server = ServeInput(listener, data, size);
        }
    };
    ftp->OnStatus = [](TComponent*, const std::string& text) { (void)text; };

    try {
        ftp->Connect();
        CheckLine(ftp->LastReply);
        const char* commands[] = {"NOOP", "SYST", "TYPE I", "NOOP"};
        for (const char* command : commands) {
            if (!ftp->Connected) {
                break;
            }
            const std::string first = ftp->Transaction(command);
            CheckLine(first);
            Check(ftp->ReplyCode >= 0);
        }
        if (ftp->Connected) {
            (void)ftp->GetCurrentDir();
        }
    } catch (const Exception&) {
        // A refused, malformed or cut-off reply ends in an exception: the sound outcome.
    }
    // The server goes first and resets, so that no connection lingers in TIME_WAIT.
    if (server >= 0) {
        linger off{1, 0};
        ::setsockopt(server, SOL_SOCKET, SO_LINGER, &off, sizeof off);
        ::close(server);
    }
    ftp.reset();
    return 0;
}
