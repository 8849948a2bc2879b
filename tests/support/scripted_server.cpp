#include "support/scripted_server.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrel::test {

namespace {

using Clock = std::chrono::steady_clock;

// Thrown from a blocking call once stop() has been called; ends the script quietly.
class StopRequested : public ScriptAbort {
public:
    StopRequested() : ScriptAbort("server stopped") {}
};

constexpr int kListenBacklog = 16;
constexpr std::size_t kReadChunk = 16384;

std::string ErrnoText(int error) {
    return std::strerror(error);
}

std::string ToUpper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text;
}

// Parses the argument of "PORT h1,h2,h3,h4,p1,p2" into a dotted address and a port.
std::optional<std::pair<std::string, int>> ParsePort(const std::string& argument) {
    int values[6];
    std::size_t pos = 0;
    for (int i = 0; i < 6; ++i) {
        while (pos < argument.size() && argument[pos] == ' ') {
            ++pos;
        }
        std::size_t start = pos;
        int value = 0;
        while (pos < argument.size() && std::isdigit(static_cast<unsigned char>(argument[pos])) &&
               pos - start < 3) {
            value = value * 10 + (argument[pos] - '0');
            ++pos;
        }
        if (pos == start || value > 255) {
            return std::nullopt;
        }
        values[i] = value;
        if (i < 5) {
            if (pos >= argument.size() || argument[pos] != ',') {
                return std::nullopt;
            }
            ++pos;
        }
    }
    while (pos < argument.size() && (argument[pos] == ' ' || argument[pos] == '\r')) {
        ++pos;
    }
    if (pos != argument.size()) {
        return std::nullopt;
    }
    char host[16];
    std::snprintf(host, sizeof host, "%d.%d.%d.%d", values[0], values[1], values[2], values[3]);
    return std::make_pair(std::string(host), values[4] * 256 + values[5]);
}

// Parses the argument of "EPRT |2|::1|1031|" (RFC 2428; any delimiter, family 1 or 2)
// into the address and the port.
std::optional<std::pair<std::string, int>> ParseEprt(std::string argument) {
    while (!argument.empty() && (argument.back() == '\r' || argument.back() == ' ')) {
        argument.pop_back();
    }
    if (argument.size() < 7 || argument.back() != argument.front()) {
        return std::nullopt;
    }
    const char d = argument.front();
    std::vector<std::string> fields;
    std::size_t start = 1;
    for (std::size_t pos; (pos = argument.find(d, start)) != std::string::npos; start = pos + 1) {
        fields.push_back(argument.substr(start, pos - start));
    }
    if (fields.size() != 3 || (fields[0] != "1" && fields[0] != "2")) {
        return std::nullopt;
    }
    in6_addr probe{};
    if (::inet_pton(fields[0] == "1" ? AF_INET : AF_INET6, fields[1].c_str(), &probe) != 1) {
        return std::nullopt;
    }
    int port = 0;
    for (char c : fields[2]) {
        if (!std::isdigit(static_cast<unsigned char>(c)) ||
            (port = port * 10 + (c - '0')) > 65535) {
            return std::nullopt;
        }
    }
    if (fields[2].empty() || port == 0) {
        return std::nullopt;
    }
    return std::make_pair(fields[1], port);
}

// A loopback socket address of the family (::1 or 127.0.0.1) with the port (host order).
socklen_t LoopbackAddress(bool ipv6, int port, sockaddr_storage& out) {
    out = sockaddr_storage{};
    if (ipv6) {
        auto& a = reinterpret_cast<sockaddr_in6&>(out);
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_loopback;
        a.sin6_port = htons(static_cast<std::uint16_t>(port));
        return sizeof a;
    }
    auto& a = reinterpret_cast<sockaddr_in&>(out);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    return sizeof a;
}

int PortOf(const sockaddr_storage& address) {
    return ntohs(address.ss_family == AF_INET6
                     ? reinterpret_cast<const sockaddr_in6&>(address).sin6_port
                     : reinterpret_cast<const sockaddr_in&>(address).sin_port);
}

void SetLingerZero(int fd) {
    linger option{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &option, sizeof option);
}

} // namespace

// ---------------------------------------------------------------------------------------
// Session

Session::Session(ScriptedFtpServer& server, std::size_t index, int control_fd)
    : server_(server), index_(index), control_fd_(control_fd) {}

Session::~Session() {
    close_fd(stall_fd_, true);
    close_fd(passive_fd_, false);
    close_fd(data_fd_, false);
    close_fd(control_fd_, false);
}

std::chrono::milliseconds Session::timeout() const {
    return server_.timeout();
}

void Session::fail(const std::string& message) {
    server_.record_failure(index_, message);
}

void Session::abort_script(const std::string& message) {
    fail(message);
    throw ScriptAbort(message);
}

bool Session::wait_ready(int fd, short events, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        pollfd fds[2] = {{fd, events, 0}, {server_.wake_fd_, POLLIN, 0}};
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() < 0) {
            left = std::chrono::milliseconds{0};
        }
        // poll() skips a negative descriptor, which makes this a plain sleep.
        int n = ::poll(fds, 2, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (fds[1].revents != 0) {
            throw StopRequested();
        }
        if (n > 0) {
            return true;
        }
        if (Clock::now() >= deadline) {
            return false;
        }
    }
}

void Session::sleep(int ms) {
    wait_ready(-1, 0, std::chrono::milliseconds{ms});
}

bool Session::send_on(int fd, const std::string& bytes, const char* what) {
    if (fd < 0) {
        abort_script(std::string("sending on the ") + what + " connection, which is not open");
    }
    std::size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n =
            ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!wait_ready(fd, POLLOUT, timeout())) {
                abort_script(std::string("the client did not take the ") + what +
                             " data within the timeout (" + std::to_string(sent) + " of " +
                             std::to_string(bytes.size()) + " bytes sent)");
            }
            continue;
        }
        return false; // closed or reset by the client
    }
    return true;
}

bool Session::send(const std::string& bytes) {
    return send_on(control_fd_, bytes, "control");
}

bool Session::reply(const std::string& line) {
    return send(line + "\r\n");
}

bool Session::trickle(const std::string& bytes, int delay_ms) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0) {
            sleep(delay_ms);
        }
        if (!send(bytes.substr(i, 1))) {
            return false;
        }
    }
    return true;
}

std::optional<std::string> Session::read_line() {
    const auto deadline = Clock::now() + timeout();
    for (;;) {
        std::size_t end = in_buffer_.find('\n');
        if (end != std::string::npos || (control_eof_ && !in_buffer_.empty())) {
            std::string line;
            if (end == std::string::npos) {
                line = std::move(in_buffer_);
                in_buffer_.clear();
            } else {
                line = in_buffer_.substr(0, end);
                in_buffer_.erase(0, end + 1);
            }
            if (!line.empty() && line.back() == '\r') {
                line.pop_back();
            }
            received_.push_back(line);
            server_.record_line(index_, line);
            remember_port(line);
            return line;
        }
        if (control_eof_ || control_fd_ < 0) {
            return std::nullopt;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || !wait_ready(control_fd_, POLLIN, left)) {
            return std::nullopt;
        }
        char buffer[kReadChunk];
        ssize_t n = ::recv(control_fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            in_buffer_.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            control_eof_ = true; // orderly close or reset
        }
    }
}

std::string Session::expect(const std::string& prefix) {
    std::optional<std::string> line = read_line();
    if (!line) {
        abort_script("expected a line starting with '" + prefix + "', got " +
                     (control_eof_ ? "end of connection" : "nothing within the timeout"));
    }
    if (line->compare(0, prefix.size(), prefix) != 0) {
        abort_script("expected a line starting with '" + prefix + "', got '" + *line + "'");
    }
    return *line;
}

void Session::remember_port(const std::string& line) {
    if (line.size() < 5) {
        return;
    }
    if (ToUpper(line.substr(0, 5)) == "PORT ") {
        port_address_ = ParsePort(line.substr(5));
    } else if (ToUpper(line.substr(0, 5)) == "EPRT ") {
        port_address_ = ParseEprt(line.substr(5));
    }
}

void Session::close_fd(int& fd, bool with_reset) {
    if (fd < 0) {
        return;
    }
    if (with_reset) {
        SetLingerZero(fd);
    } else {
        // Unread input would turn the close into a reset; take what is there, then send
        // the end of data first.
        char buffer[kReadChunk];
        while (::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
        }
        ::shutdown(fd, SHUT_WR);
    }
    ::close(fd);
    fd = -1;
}

void Session::close() {
    close_fd(control_fd_, false);
    control_eof_ = true;
}

void Session::reset() {
    close_fd(control_fd_, true);
    control_eof_ = true;
}

bool Session::open_data(const std::string& source_address, std::string& error) {
    if (!port_address_) {
        error = "no valid PORT line was read";
        return false;
    }
    close_fd(data_fd_, false);
    const auto& [host, port] = *port_address_;
    const std::string target = host + ":" + std::to_string(port);

    const bool v6 = host.find(':') != std::string::npos;
    int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = "socket: " + ErrnoText(errno);
        return false;
    }
    auto give_up = [&](const std::string& text) {
        ::close(fd);
        error = text;
        return false;
    };
    if (!source_address.empty()) {
        sockaddr_storage local{};
        socklen_t length = LoopbackAddress(v6, 0, local);
        void* bytes = v6 ? static_cast<void*>(&reinterpret_cast<sockaddr_in6&>(local).sin6_addr)
                         : static_cast<void*>(&reinterpret_cast<sockaddr_in&>(local).sin_addr);
        if (::inet_pton(v6 ? AF_INET6 : AF_INET, source_address.c_str(), bytes) != 1) {
            return give_up("bad source address " + source_address);
        }
        if (::bind(fd, reinterpret_cast<sockaddr*>(&local), length) != 0) {
            return give_up("bind to " + source_address + ": " + ErrnoText(errno));
        }
    }
    sockaddr_storage remote{};
    socklen_t remote_length = LoopbackAddress(v6, port, remote);
    void* remote_bytes = v6 ? static_cast<void*>(&reinterpret_cast<sockaddr_in6&>(remote).sin6_addr)
                            : static_cast<void*>(&reinterpret_cast<sockaddr_in&>(remote).sin_addr);
    if (::inet_pton(v6 ? AF_INET6 : AF_INET, host.c_str(), remote_bytes) != 1) {
        return give_up("bad PORT address " + host);
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&remote), remote_length) != 0) {
        if (errno != EINPROGRESS) {
            return give_up("connect to " + target + ": " + ErrnoText(errno));
        }
        bool ready = false;
        try {
            ready = wait_ready(fd, POLLOUT, timeout());
        } catch (...) {
            ::close(fd);
            throw;
        }
        if (!ready) {
            return give_up("connect to " + target + ": no answer within the timeout");
        }
        int so_error = 0;
        socklen_t length = sizeof so_error;
        ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &length);
        if (so_error != 0) {
            return give_up("connect to " + target + ": " + ErrnoText(so_error));
        }
    }
    data_fd_ = fd;
    return true;
}

bool Session::try_connect_data(const std::string& source_address) {
    std::string error;
    return open_data(source_address, error);
}

void Session::connect_data(const std::string& source_address) {
    std::string error;
    if (!open_data(source_address, error)) {
        abort_script("connect_data: " + error);
    }
}

int Session::passive_listen_backlog(int backlog) {
    close_fd(stall_fd_, true);
    close_fd(passive_fd_, false);
    const bool v6 = server_.options_.ipv6;
    int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_storage address{};
    socklen_t length = LoopbackAddress(v6, 0, address);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::string error = ErrnoText(errno);
        if (fd >= 0) {
            ::close(fd);
        }
        abort_script("passive_listen: " + error);
    }
    passive_fd_ = fd;
    return PortOf(address);
}

int Session::passive_listen() {
    return passive_listen_backlog(1);
}

bool Session::reply_epsv() {
    int port = passive_listen();
    return reply("229 Entering Extended Passive Mode (|||" + std::to_string(port) + "|)");
}

bool Session::reply_pasv(const std::string& address) {
    int port = passive_listen();
    std::string numbers = address;
    std::replace(numbers.begin(), numbers.end(), '.', ',');
    return reply("227 Entering Passive Mode (" + numbers + "," + std::to_string(port / 256) + "," +
                 std::to_string(port % 256) + ")");
}

bool Session::try_accept_data(int wait_ms) {
    if (passive_fd_ < 0) {
        abort_script("accepting a data connection without a passive listener");
    }
    close_fd(data_fd_, false);
    const auto deadline = Clock::now() + std::chrono::milliseconds{wait_ms};
    for (;;) {
        int fd = ::accept4(passive_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            data_fd_ = fd;
            close_fd(passive_fd_, false);
            return true;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || !wait_ready(passive_fd_, POLLIN, left)) {
            return false;
        }
    }
}

void Session::accept_data() {
    if (!try_accept_data(static_cast<int>(timeout().count()))) {
        abort_script("accept_data: the client did not connect within the timeout");
    }
}

bool Session::data_pending() {
    if (passive_fd_ < 0) {
        return false;
    }
    pollfd fds{passive_fd_, POLLIN, 0};
    return ::poll(&fds, 1, 0) == 1;
}

int Session::stall_passive() {
    // With a backlog of 0 the queue holds one connection; once it is there, further SYNs
    // are dropped and the client's connect waits for an answer that never comes.
    int port = passive_listen_backlog(0);
    const bool v6 = server_.options_.ipv6;
    stall_fd_ = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage address{};
    socklen_t length = LoopbackAddress(v6, port, address);
    if (stall_fd_ < 0 || ::connect(stall_fd_, reinterpret_cast<sockaddr*>(&address), length) != 0) {
        abort_script("stall_passive: " + ErrnoText(errno));
    }
    return port;
}

int Session::closed_port() {
    // A port the system just handed out and that nothing holds any more.
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_storage address{};
    socklen_t length = LoopbackAddress(false, 0, address);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), length);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return PortOf(address);
}

bool Session::data_send(const std::string& bytes) {
    return send_on(data_fd_, bytes, "data");
}

bool Session::data_trickle(const std::string& bytes, int delay_ms) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0) {
            sleep(delay_ms);
        }
        if (!data_send(bytes.substr(i, 1))) {
            return false;
        }
    }
    return true;
}

std::string Session::data_recv_all() {
    if (data_fd_ < 0) {
        abort_script("data_recv_all: the data connection is not open");
    }
    std::string data;
    char buffer[kReadChunk];
    for (;;) {
        // The timeout bounds a pause of the client, not the whole transfer.
        if (!wait_ready(data_fd_, POLLIN, timeout())) {
            abort_script("data_recv_all: the client neither sent nor closed within the timeout (" +
                         std::to_string(data.size()) + " bytes received)");
        }
        ssize_t n = ::recv(data_fd_, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            data.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0) {
            return data;
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            return data; // a reset ends the data too
        }
    }
}

void Session::data_close() {
    close_fd(data_fd_, false);
}

void Session::data_reset() {
    close_fd(data_fd_, true);
}

// ---------------------------------------------------------------------------------------
// MemoryFiles

void MemoryFiles::put(const std::string& name, std::string content) {
    std::lock_guard lock(mutex_);
    files_[name] = std::move(content);
}

std::optional<std::string> MemoryFiles::get(const std::string& name) const {
    std::lock_guard lock(mutex_);
    auto it = files_.find(name);
    if (it == files_.end()) {
        return std::nullopt;
    }
    return it->second;
}

bool MemoryFiles::contains(const std::string& name) const {
    std::lock_guard lock(mutex_);
    return files_.count(name) != 0;
}

std::vector<std::string> MemoryFiles::names() const {
    std::lock_guard lock(mutex_);
    std::vector<std::string> result;
    for (const auto& entry : files_) {
        result.push_back(entry.first);
    }
    return result;
}

void MemoryFiles::append(const std::string& name, const std::string& content) {
    std::lock_guard lock(mutex_);
    files_[name] += content;
}

bool MemoryFiles::remove(const std::string& name) {
    std::lock_guard lock(mutex_);
    return files_.erase(name) != 0;
}

// ---------------------------------------------------------------------------------------
// ScriptedFtpServer

ScriptedFtpServer::ScriptedFtpServer(Script script, Options options)
    : script_(std::move(script)), options_(options) {
    wake_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd_ < 0) {
        throw std::runtime_error("eventfd: " + ErrnoText(errno));
    }
    listen_fd_ =
        ::socket(options_.ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_storage address{};
    socklen_t length = LoopbackAddress(options_.ipv6, 0, address);
    if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(listen_fd_, kListenBacklog) != 0 ||
        ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        int error = errno;
        if (listen_fd_ >= 0) {
            ::close(listen_fd_);
        }
        ::close(wake_fd_);
        throw std::runtime_error("scripted server cannot listen: " + ErrnoText(error));
    }
    port_ = PortOf(address);
    thread_ = std::thread([this] { run(); });
}

ScriptedFtpServer::~ScriptedFtpServer() {
    stop();
}

void ScriptedFtpServer::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    if (wake_fd_ >= 0) {
        std::uint64_t one = 1;
        // The eventfd stays readable from now on, so every later wait ends too.
        [[maybe_unused]] ssize_t n = ::write(wake_fd_, &one, sizeof one);
    }
    if (thread_.joinable()) {
        thread_.join();
    }
    if (listen_fd_ >= 0) {
        ::close(listen_fd_);
        listen_fd_ = -1;
    }
    if (wake_fd_ >= 0) {
        ::close(wake_fd_);
        wake_fd_ = -1;
    }
    ended_cv_.notify_all();
}

void ScriptedFtpServer::run() {
    for (std::size_t index = 0; options_.max_sessions == 0 || index < options_.max_sessions;) {
        pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_fd_, POLLIN, 0}};
        int n = ::poll(fds, 2, -1);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 || fds[1].revents != 0) {
            break;
        }
        int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            continue; // the client gave up before we took it, or EINTR
        }
        {
            std::lock_guard lock(mutex_);
            ++accepted_;
            session_lines_.emplace_back();
        }
        ++index;
        if (index == options_.max_sessions) {
            // No more sessions: later clients are refused instead of waiting in the
            // backlog. stop() joins this thread before it looks at listen_fd_.
            ::close(listen_fd_);
            listen_fd_ = -1;
        }
        serve(fd, index - 1);
    }
}

void ScriptedFtpServer::serve(int control_fd, std::size_t index) {
    {
        Session session(*this, index, control_fd);
        try {
            script_(session);
        } catch (const StopRequested&) {
            // stop() ended the script; not a failure of the client.
        } catch (const ScriptAbort&) {
            // Already recorded.
        } catch (const std::exception& e) {
            record_failure(index, std::string("the script threw: ") + e.what());
        } catch (...) {
            record_failure(index, "the script threw an unknown exception");
        }
    }
    std::lock_guard lock(mutex_);
    ++ended_;
    ended_cv_.notify_all();
}

bool ScriptedFtpServer::wait_sessions(std::size_t count, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    return ended_cv_.wait_for(lock, timeout, [&] { return ended_ >= count; });
}

std::size_t ScriptedFtpServer::sessions_accepted() const {
    std::lock_guard lock(mutex_);
    return accepted_;
}

std::size_t ScriptedFtpServer::sessions_ended() const {
    std::lock_guard lock(mutex_);
    return ended_;
}

std::vector<std::string> ScriptedFtpServer::received() const {
    std::lock_guard lock(mutex_);
    return all_lines_;
}

std::vector<std::string> ScriptedFtpServer::received(std::size_t session) const {
    std::lock_guard lock(mutex_);
    if (session >= session_lines_.size()) {
        return {};
    }
    return session_lines_[session];
}

std::vector<std::string> ScriptedFtpServer::failures() const {
    std::lock_guard lock(mutex_);
    return failures_;
}

void ScriptedFtpServer::record_line(std::size_t session, const std::string& line) {
    std::lock_guard lock(mutex_);
    all_lines_.push_back(line);
    session_lines_[session].push_back(line);
}

void ScriptedFtpServer::record_failure(std::size_t session, const std::string& message) {
    std::lock_guard lock(mutex_);
    failures_.push_back("session " + std::to_string(session) + ": " + message);
}

// ---------------------------------------------------------------------------------------
// The table mode

namespace {

bool IsDataCommand(const std::string& verb) {
    return verb == "LIST" || verb == "NLST" || verb == "RETR" || verb == "STOR" || verb == "APPE";
}

std::string ListingLine(const std::string& name, std::size_t size) {
    char line[64];
    std::snprintf(line, sizeof line, "-rw-r--r--   1 owner    group    %10zu Jan 01 00:00 ", size);
    return line + name + "\r\n";
}

// One transfer of the table mode: the preliminary reply, the data connection to the
// PORT address, the data, and "226 done".
void ServeData(Session& s, const std::string& verb, const std::string& argument, MemoryFiles& files,
               const std::string* preliminary) {
    bool passive = s.passive_listening();
    if (!passive && !s.port_address()) {
        s.reply("425 no PORT");
        return;
    }
    std::string outgoing;
    std::string opening;
    if (verb == "LIST" || verb == "NLST") {
        for (const std::string& name : files.names()) {
            outgoing += verb == "LIST" ? ListingLine(name, files.get(name).value_or("").size())
                                       : name + "\r\n";
        }
        opening = "150 Opening ASCII mode data connection for file list";
    } else if (verb == "RETR") {
        std::optional<std::string> content = files.get(argument);
        if (!content && preliminary == nullptr) {
            s.reply("550 not found");
            return;
        }
        outgoing = content.value_or("");
        opening = "150 Opening BINARY mode data connection for " + argument + " (" +
                  std::to_string(outgoing.size()) + " bytes)";
    } else {
        opening = "150 Ok to send data";
    }
    s.reply(preliminary != nullptr ? *preliminary : opening);
    if (passive ? !s.try_accept_data(static_cast<int>(s.timeout().count()))
                : !s.try_connect_data()) {
        s.reply("425 cannot open data connection");
        return;
    }
    if (verb == "STOR" || verb == "APPE") {
        std::string incoming = s.data_recv_all();
        if (verb == "STOR") {
            files.put(argument, std::move(incoming));
        } else {
            files.append(argument, incoming);
        }
    } else {
        s.data_send(outgoing);
    }
    s.data_close();
    s.reply("226 done");
}

} // namespace

ScriptedFtpServer::Script ScriptedFtpServer::Replies(ReplyTable table,
                                                     std::shared_ptr<MemoryFiles> files) {
    if (!files) {
        files = std::make_shared<MemoryFiles>();
    }
    return [table = std::move(table), files](Session& s) {
        s.reply("220 ready");
        while (std::optional<std::string> line = s.read_line()) {
            const std::string& command = *line;
            std::size_t space = command.find(' ');
            std::string verb = ToUpper(command.substr(0, space));
            std::string argument = space == std::string::npos ? "" : command.substr(space + 1);

            const std::string* answer = nullptr;
            for (const auto& [key, value] : table) {
                if (command.compare(0, key.size(), key) == 0) {
                    answer = &value;
                    break;
                }
            }
            if (answer != nullptr) {
                if (IsDataCommand(verb) && !answer->empty() && answer->front() == '1') {
                    ServeData(s, verb, argument, *files, answer);
                    continue;
                }
                s.reply(*answer);
                if (verb == "QUIT") {
                    return;
                }
                continue;
            }
            if (verb == "QUIT") {
                s.reply("221 bye");
                return;
            }
            if (verb == "PORT") {
                s.reply(s.port_address() ? "200 PORT ok" : "501 bad PORT");
            } else if (verb == "EPRT") {
                s.reply(s.port_address() ? "200 EPRT ok" : "501 bad EPRT");
            } else if (verb == "EPSV") {
                s.reply_epsv();
            } else if (verb == "PASV") {
                s.reply_pasv();
            } else if (IsDataCommand(verb)) {
                ServeData(s, verb, argument, *files, nullptr);
            } else {
                s.reply("502 no");
            }
        }
    };
}

} // namespace kestrel::test
