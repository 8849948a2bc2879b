#include "support/tls_ftp_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <functional>
#include <optional>
#include <stdexcept>

namespace kestrel::test {
namespace {

constexpr int kLimitSeconds = 10; // bound of every blocking call

void Bound(int fd) {
    timeval limit{kLimitSeconds, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

int Listener(int& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, 16) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0)
            ::close(fd);
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    port = ntohs(address.sin_port);
    return fd;
}

// A socket, plain or with TLS on it.
struct Channel {
    int fd = -1;
    SSL* ssl = nullptr;
    std::string in; // bytes read and not yet taken as a line

    bool Send(const std::string& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            long n = ssl ? SSL_write(ssl, bytes.data() + done, int(bytes.size() - done))
                         : ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            done += std::size_t(n);
        }
        return true;
    }
    // Some bytes: a count, 0 at the end (close_notify under TLS), -1 on a failure
    // (under TLS, a plain close without close_notify is one).
    long Recv(char* buffer, std::size_t size) {
        if (!ssl)
            return ::recv(fd, buffer, size, 0);
        int n = SSL_read(ssl, buffer, int(size));
        if (n > 0)
            return n;
        return SSL_get_error(ssl, n) == SSL_ERROR_ZERO_RETURN ? 0 : -1;
    }
    std::optional<std::string> ReadLine() {
        for (;;) {
            std::size_t end = in.find('\n');
            if (end != std::string::npos) {
                std::string line = in.substr(0, end);
                in.erase(0, end + 1);
                if (!line.empty() && line.back() == '\r')
                    line.pop_back();
                return line;
            }
            char bytes[4096];
            long n = Recv(bytes, sizeof bytes);
            if (n <= 0)
                return std::nullopt;
            in.append(bytes, std::size_t(n));
        }
    }
    bool Reply(const std::string& line) { return Send(line + "\r\n"); }
};

std::string Now() {
    return "Jan 01 12:00";
}

} // namespace

// The state of one session: its control channel, the data connection's set-up, the folder.
struct TlsFtpServer::Connection {
    Channel control;
    bool protectData = false;
    int passive = -1;              // listener after EPSV or PASV
    std::optional<int> activePort; // after PORT
    std::string cwd = "/";
    std::string renaming;
};

TlsFtpServer::TlsFtpServer(const TestCertificates& certificates, Options options)
    : options_(options) {
    ::signal(SIGPIPE, SIG_IGN);
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    if (!context ||
        SSL_CTX_use_certificate_file(context, certificates.certFile.c_str(), SSL_FILETYPE_PEM) !=
            1 ||
        SSL_CTX_use_PrivateKey_file(context, certificates.keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
        throw std::runtime_error("cannot make the test server's TLS context");
    // Stateful tickets, kept in the server's own cache: TLS 1.3 takes such a session out
    // of the cache when it is resumed, so each ticket is good for one connection.
    SSL_CTX_set_options(context, SSL_OP_NO_TICKET);
    if (options_.tls12)
        SSL_CTX_set_max_proto_version(context, TLS1_2_VERSION);
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_SERVER);
    SSL_CTX_set_session_id_context(context, reinterpret_cast<const unsigned char*>("kftp"), 4);
    context_ = context;
    listener_ = Listener(port_);
    acceptor_ = std::thread([this] { Run(); });
}

TlsFtpServer::~TlsFtpServer() {
    stop_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    acceptor_.join();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (int fd : fds_)
            ::shutdown(fd, SHUT_RDWR);
    }
    for (std::thread& thread : threads_)
        thread.join();
    ::close(listener_);
    SSL_CTX_free(static_cast<SSL_CTX*>(context_));
}

std::vector<std::string> TlsFtpServer::problems() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return problems_;
}

void TlsFtpServer::Note(const std::string& problem) {
    std::lock_guard<std::mutex> lock(mutex_);
    problems_.push_back(problem);
}

void TlsFtpServer::Track(int fd, bool add) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (add) {
        fds_.insert(fd);
        if (stop_)
            ::shutdown(fd, SHUT_RDWR);
    } else {
        fds_.erase(fd);
    }
}

void TlsFtpServer::Run() {
    while (!stop_) {
        pollfd watch{listener_, POLLIN, 0};
        if (::poll(&watch, 1, 50) <= 0)
            continue;
        int fd = ::accept(listener_, nullptr, nullptr);
        if (fd < 0)
            continue;
        Track(fd, true);
        std::lock_guard<std::mutex> lock(mutex_);
        threads_.emplace_back([this, fd] {
            int now = ++open_;
            for (int most = mostAtOnce_;
                 now > most && !mostAtOnce_.compare_exchange_weak(most, now);) {
            }
            Serve(fd);
            --open_;
            Track(fd, false);
            ::close(fd);
        });
    }
}

void TlsFtpServer::Serve(int fd) {
    Bound(fd);
    SSL_CTX* context = static_cast<SSL_CTX*>(context_);
    Connection c;
    c.control.fd = fd;
    auto startTls = [&](Channel& channel) {
        if (!channel.ssl)
            channel.ssl = SSL_new(context);
        SSL_set_fd(channel.ssl, channel.fd);
        if (SSL_accept(channel.ssl) == 1)
            return true;
        ERR_clear_error();
        return false;
    };
    auto endTls = [](Channel& channel) {
        if (channel.ssl)
            SSL_free(channel.ssl);
        channel.ssl = nullptr;
    };
    struct End {
        std::function<void()> run;
        ~End() { run(); }
    } end{[&] {
        endTls(c.control);
        if (c.passive >= 0) {
            Track(c.passive, false);
            ::close(c.passive);
        }
    }};

    if (options_.implicit && !startTls(c.control)) {
        Note("the control connection's handshake failed");
        return;
    }
    c.control.Reply("220 TLS test server ready");

    // The data connection of a transfer, once the 150 went out: accepted or connected,
    // then TLS. nullopt when it failed (the session then ends).
    auto openData = [&]() -> std::optional<Channel> {
        Channel data;
        if (c.passive >= 0) {
            pollfd watch{c.passive, POLLIN, 0};
            if (::poll(&watch, 1, kLimitSeconds * 1000) > 0)
                data.fd = ::accept(c.passive, nullptr, nullptr);
            Track(c.passive, false);
            ::close(c.passive);
            c.passive = -1;
        } else if (c.activePort) {
            data.fd = ::socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(std::uint16_t(*c.activePort));
            if (::connect(data.fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
                ::close(data.fd);
                data.fd = -1;
            }
            c.activePort.reset();
        }
        if (data.fd < 0) {
            c.control.Reply("425 Cannot open the data connection");
            return std::nullopt;
        }
        Track(data.fd, true);
        Bound(data.fd);
        ++dataConnections_;
        if (!c.protectData)
            return data;
        data.ssl = SSL_new(context);
        if (!options_.ticketsOnData)
            SSL_set_num_tickets(data.ssl, 0);
        if (!startTls(data)) {
            Note("a data connection's handshake failed");
        } else {
            const bool resumed = SSL_session_reused(data.ssl) == 1;
            resumed_ += resumed ? 1 : 0;
            if (!options_.requireReuse || resumed)
                return data;
            ++refused_;
            c.control.Reply("522 SSL connection failed: session reuse required");
        }
        endTls(data);
        Track(data.fd, false);
        ::close(data.fd);
        return std::nullopt;
    };
    // The end of a data connection: close_notify, and the client's awaited, as vsftpd does.
    auto closeData = [&](Channel& data, bool cut) {
        if (data.ssl && !cut) {
            if (SSL_shutdown(data.ssl) == 0) {
                char rest[4096];
                while (data.Recv(rest, sizeof rest) > 0) {
                }
            }
        }
        endTls(data);
        Track(data.fd, false);
        ::close(data.fd);
    };
    auto pathOf = [&](const std::string& argument) {
        if (argument.empty())
            return c.cwd;
        if (argument[0] == '/')
            return argument;
        return (c.cwd == "/" ? "/" : c.cwd + "/") + argument;
    };
    auto listing = [&](const std::string& folder, bool names) {
        std::string prefix = folder == "/" ? "/" : folder + "/";
        std::string text;
        for (const std::string& path : files_->names()) {
            if (path.rfind(prefix, 0) != 0 || path.find('/', prefix.size()) != std::string::npos)
                continue;
            std::string name = path.substr(prefix.size());
            if (names)
                text += name + "\r\n";
            else
                text += "-rw-r--r--    1 1000     1000     " +
                        std::to_string(files_->get(path).value_or("").size()) + " " + Now() + " " +
                        name + "\r\n";
        }
        return text;
    };
    // Sends bytes on the data connection: whole with close_notify, or cut when asked.
    auto sendData = [&](const std::string& bytes) {
        std::optional<Channel> data = openData();
        if (!data)
            return false;
        const bool cut = options_.cutListings && data->ssl;
        data->Send(cut ? bytes.substr(0, bytes.size() / 2) : bytes);
        closeData(*data, cut);
        c.control.Reply("226 Transfer complete");
        return true;
    };

    while (std::optional<std::string> line = c.control.ReadLine()) {
        std::size_t space = line->find(' ');
        std::string verb = line->substr(0, space);
        std::string argument = space == std::string::npos ? "" : line->substr(space + 1);
        if (verb == "AUTH" && !options_.implicit && !c.control.ssl) {
            c.control.Reply("234 Proceed with negotiation.");
            if (!startTls(c.control)) {
                Note("the control connection's handshake failed");
                return;
            }
        } else if (verb == "USER") {
            c.control.Reply("331 Password, please.");
        } else if (verb == "PASS") {
            ++sessions_;
            c.control.Reply("230 Login successful.");
        } else if (verb == "PBSZ") {
            c.control.Reply("200 PBSZ set to 0.");
        } else if (verb == "PROT") {
            c.protectData = argument == "P";
            c.control.Reply("200 PROT now " + std::string(c.protectData ? "Private." : "Clear."));
        } else if (verb == "TYPE" || verb == "NOOP") {
            c.control.Reply("200 OK");
        } else if (verb == "SYST") {
            c.control.Reply("215 UNIX Type: L8");
        } else if (verb == "PWD") {
            c.control.Reply("257 \"" + c.cwd + "\" is the current directory");
        } else if (verb == "CWD") {
            c.cwd = pathOf(argument);
            c.control.Reply("250 Directory successfully changed.");
        } else if (verb == "MKD") {
            c.control.Reply("257 \"" + pathOf(argument) + "\" created");
        } else if (verb == "DELE") {
            c.control.Reply(files_->remove(pathOf(argument)) ? "250 Delete operation successful."
                                                             : "550 Delete operation failed.");
        } else if (verb == "SIZE") {
            std::optional<std::string> content = files_->get(pathOf(argument));
            c.control.Reply(content ? "213 " + std::to_string(content->size())
                                    : "550 Could not get file size.");
        } else if (verb == "RNFR") {
            c.renaming = pathOf(argument);
            c.control.Reply(files_->contains(c.renaming) ? "350 Ready for RNTO."
                                                         : "550 RNFR command failed.");
        } else if (verb == "RNTO") {
            std::optional<std::string> content = files_->get(c.renaming);
            if (content) {
                files_->remove(c.renaming);
                files_->put(pathOf(argument), *content);
            }
            c.control.Reply(content ? "250 Rename successful." : "503 RNFR required first.");
        } else if (verb == "EPSV" || verb == "PASV") {
            if (c.passive >= 0) {
                Track(c.passive, false);
                ::close(c.passive);
            }
            int port = 0;
            c.passive = Listener(port);
            Track(c.passive, true);
            c.activePort.reset();
            char text[96];
            if (verb == "EPSV")
                std::snprintf(text, sizeof text, "229 Entering Extended Passive Mode (|||%d|)",
                              port);
            else
                std::snprintf(text, sizeof text, "227 Entering Passive Mode (127,0,0,1,%d,%d).",
                              port >> 8, port & 255);
            c.control.Reply(text);
        } else if (verb == "PORT") {
            int h1, h2, h3, h4, p1, p2;
            if (std::sscanf(argument.c_str(), "%d,%d,%d,%d,%d,%d", &h1, &h2, &h3, &h4, &p1, &p2) !=
                6) {
                c.control.Reply("500 Illegal PORT command.");
                continue;
            }
            c.activePort = p1 * 256 + p2;
            if (c.passive >= 0) {
                Track(c.passive, false);
                ::close(c.passive);
            }
            c.passive = -1;
            c.control.Reply("200 PORT command successful.");
        } else if (verb == "LIST" || verb == "NLST") {
            std::string folder = argument.rfind("-", 0) == 0 ? "" : argument;
            c.control.Reply("150 Here comes the directory listing.");
            if (!sendData(listing(pathOf(folder), verb == "NLST")))
                return;
        } else if (verb == "RETR") {
            std::optional<std::string> content = files_->get(pathOf(argument));
            if (!content) {
                c.control.Reply("550 Failed to open file.");
                continue;
            }
            c.control.Reply("150 Opening BINARY mode data connection (" +
                            std::to_string(content->size()) + " bytes).");
            if (!sendData(*content))
                return;
        } else if (verb == "STOR" || verb == "APPE") {
            c.control.Reply("150 Ok to send data.");
            std::optional<Channel> data = openData();
            if (!data)
                return;
            std::string bytes;
            char chunk[16384];
            long n;
            while ((n = data->Recv(chunk, sizeof chunk)) > 0)
                bytes.append(chunk, std::size_t(n));
            const bool whole = n == 0; // under TLS: close_notify came
            closeData(*data, !whole);
            if (!whole) {
                Note("an upload ended without close_notify: " + argument);
                c.control.Reply("426 Failure reading network stream.");
                continue;
            }
            if (verb == "APPE")
                files_->append(pathOf(argument), bytes);
            else
                files_->put(pathOf(argument), bytes);
            c.control.Reply("226 Transfer complete.");
        } else if (verb == "QUIT") {
            c.control.Reply("221 Goodbye.");
            if (c.control.ssl)
                SSL_shutdown(c.control.ssl);
            return;
        } else {
            c.control.Reply("502 Command not implemented.");
        }
    }
}

} // namespace kestrel::test
