#include "support/dropping_proxy.h"

#include <arpa/inet.h>
#include <cstdio>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace kestrel::test {

namespace {

constexpr std::uint32_t kLoopback = INADDR_LOOPBACK; // host order

int ListenLoopback(std::uint16_t& port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(kLoopback);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(fd, 16) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return fd;
}

// Each piece goes on at once, as it came: no coalescing delay added by the proxy.
int NoDelay(int fd) {
    int on = 1;
    if (fd >= 0)
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

int ConnectLoopback(std::uint32_t addressHostOrder, std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(addressHostOrder);
    a.sin_port = htons(port);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return NoDelay(fd);
}

// Closes fd; with reset, the peer sees a reset instead of an orderly end.
void CloseFd(int& fd, bool reset) {
    if (fd < 0)
        return;
    if (reset) {
        linger off{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &off, sizeof off);
    }
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

std::string HostPort(std::uint16_t port) {
    return "127,0,0,1," + std::to_string(port >> 8) + "," + std::to_string(port & 0xFF);
}

} // namespace

struct DroppingProxy::Session {
    int clientCtl = -1, serverCtl = -1;
    int dataListen = -1;
    bool passive = false; // the client connects to dataListen, else the server does
    std::uint32_t targetAddress = 0;
    std::uint16_t targetPort = 0;
    int clientData = -1, serverData = -1;
    std::string fromClient, fromServer; // lines not yet complete
    bool dropOnReply = false;

    int& Fd(Role role) {
        switch (role) {
        case Role::ClientControl:
            return clientCtl;
        case Role::ServerControl:
            return serverCtl;
        case Role::DataListen:
            return dataListen;
        case Role::ClientData:
            return clientData;
        default:
            return serverData;
        }
    }
    void CloseData(bool reset) {
        CloseFd(clientData, reset);
        CloseFd(serverData, reset);
    }
    void Close(bool reset) {
        CloseData(reset);
        CloseFd(dataListen, false);
        CloseFd(clientCtl, reset);
        CloseFd(serverCtl, reset);
        fromClient.clear();
        fromServer.clear();
        dropOnReply = false;
    }
};

DroppingProxy::DroppingProxy(int serverPort) : serverPort_(serverPort) {
    std::uint16_t port = 0;
    listen_ = ListenLoopback(port);
    if (listen_ < 0)
        throw std::runtime_error("the proxy cannot listen on 127.0.0.1");
    port_ = port;
    thread_ = std::thread([this] { Run(); });
}

DroppingProxy::~DroppingProxy() {
    stop_ = true;
    thread_.join();
    for (auto& s : sessions_)
        s->Close(true);
    ::close(listen_);
}

void DroppingProxy::Arm(Fault fault, std::uint64_t at) {
    std::lock_guard lock(mutex_);
    fault_ = fault;
    at_ = at;
    controlCount_ = dataCount_ = 0;
    randomLeft_ = 0;
    commandLeft_ = 0;
    dropped_ = false;
}

void DroppingProxy::DropRandomly(std::uint64_t seed, int drops, std::uint64_t maxControl,
                                 std::uint64_t maxData) {
    std::lock_guard lock(mutex_);
    random_.seed(seed);
    randomLeft_ = drops;
    maxControl_ = std::max<std::uint64_t>(maxControl, 1);
    maxData_ = std::max<std::uint64_t>(maxData, 1);
    commandLeft_ = 0;
    dropped_ = false;
    DrawNext();
}

void DroppingProxy::DropAfterCommand(const std::string& prefix, int nth) {
    std::lock_guard lock(mutex_);
    fault_ = Fault::None;
    randomLeft_ = 0;
    commandPrefix_ = prefix;
    commandLeft_ = nth;
    dropped_ = false;
}

bool DroppingProxy::Dropped() {
    std::lock_guard lock(mutex_);
    return dropped_;
}

void DroppingProxy::RefuseSessionsAfterDrop() {
    std::lock_guard lock(mutex_);
    refuseAfterDrop_ = true;
}

int DroppingProxy::Drops() {
    std::lock_guard lock(mutex_);
    return drops_;
}

void DroppingProxy::DrawNext() {
    fault_ = Fault::None;
    controlCount_ = dataCount_ = 0;
    if (randomLeft_ <= 0)
        return;
    --randomLeft_;
    fault_ = random_() % 2 ? Fault::Control : Fault::Data;
    at_ = random_() % (fault_ == Fault::Control ? maxControl_ : maxData_);
}

void DroppingProxy::Drop(Session& s) {
    s.Close(true);
    dropped_ = true;
    ++drops_;
    DrawNext();
}

void DroppingProxy::Run() {
    while (!stop_) {
        std::vector<pollfd> fds{{listen_, POLLIN, 0}};
        std::vector<std::pair<Session*, Role>> owners{{nullptr, Role::Listen}};
        {
            std::lock_guard lock(mutex_);
            for (auto& s : sessions_) {
                for (Role role : {Role::ClientControl, Role::ServerControl, Role::DataListen,
                                  Role::ClientData, Role::ServerData}) {
                    if (s->Fd(role) >= 0) {
                        fds.push_back({s->Fd(role), POLLIN, 0});
                        owners.push_back({s.get(), role});
                    }
                }
            }
        }
        if (::poll(fds.data(), fds.size(), 20) <= 0)
            continue;
        std::lock_guard lock(mutex_);
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            auto [session, role] = owners[i];
            if (!session)
                Accept();
            else if (session->Fd(role) == fds[i].fd) // not closed by an earlier event
                Handle(*session, role);
        }
        std::erase_if(sessions_, [](const auto& s) { return s->clientCtl < 0; });
    }
}

void DroppingProxy::Accept() {
    int client = NoDelay(::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC));
    if (client < 0)
        return;
    if (refuseAfterDrop_ && drops_ > 0) {
        CloseFd(client, true);
        return;
    }
    auto s = std::make_unique<Session>();
    s->clientCtl = client;
    s->serverCtl = ConnectLoopback(kLoopback, std::uint16_t(serverPort_));
    if (s->serverCtl < 0) {
        CloseFd(s->clientCtl, true);
        return;
    }
    sessions_.push_back(std::move(s));
}

void DroppingProxy::Handle(Session& s, Role role) {
    switch (role) {
    case Role::ClientControl:
    case Role::ServerControl:
        ControlFrom(s, role == Role::ClientControl);
        break;
    case Role::DataListen:
        OpenData(s);
        break;
    case Role::ClientData:
    case Role::ServerData:
        DataFrom(s, role == Role::ClientData);
        break;
    case Role::Listen:
        break;
    }
}

void DroppingProxy::ControlFrom(Session& s, bool fromClient) {
    char buffer[65536];
    ssize_t n = ::recv(fromClient ? s.clientCtl : s.serverCtl, buffer, sizeof buffer, 0);
    if (n <= 0) {
        // An end of the control connection on one side ends the session, as it came.
        s.Close(n < 0);
        return;
    }
    if (fault_ == Fault::Control && controlCount_ + std::uint64_t(n) > at_) {
        Drop(s);
        return;
    }
    controlCount_ += std::uint64_t(n);
    if (fromClient) {
        s.fromClient.append(buffer, std::size_t(n));
        ForwardClientLines(s);
    } else if (s.dropOnReply) {
        Drop(s);
    } else {
        s.fromServer.append(buffer, std::size_t(n));
        ForwardServerLines(s);
    }
}

// Whole lines from the client, each PORT line pointing at a listener of the proxy.
void DroppingProxy::ForwardClientLines(Session& s) {
    std::size_t lf;
    while ((lf = s.fromClient.find('\n')) != std::string::npos) {
        std::string line = s.fromClient.substr(0, lf + 1);
        s.fromClient.erase(0, lf + 1);
        unsigned h1, h2, h3, h4, p1, p2;
        if (line.rfind("PORT ", 0) == 0 &&
            std::sscanf(line.c_str() + 5, "%u,%u,%u,%u,%u,%u", &h1, &h2, &h3, &h4, &p1, &p2) == 6) {
            std::uint16_t port = ListenForData(s, false, h1 << 24 | h2 << 16 | h3 << 8 | h4,
                                               std::uint16_t(p1 << 8 | p2));
            line = "PORT " + HostPort(port) + "\r\n";
        }
        if (commandLeft_ > 0 && line.rfind(commandPrefix_, 0) == 0 && --commandLeft_ == 0)
            s.dropOnReply = true;
        if (!SendAll(s.serverCtl, line.data(), line.size())) {
            s.Close(true);
            return;
        }
    }
}

// Whole lines from the server, each passive reply naming a listener of the proxy.
void DroppingProxy::ForwardServerLines(Session& s) {
    std::size_t lf;
    while ((lf = s.fromServer.find('\n')) != std::string::npos) {
        std::string line = s.fromServer.substr(0, lf + 1);
        s.fromServer.erase(0, lf + 1);
        unsigned h1, h2, h3, h4, p1, p2, p;
        std::size_t open = line.find('(');
        if (line.rfind("227 ", 0) == 0 && open != std::string::npos &&
            std::sscanf(line.c_str() + open + 1, "%u,%u,%u,%u,%u,%u", &h1, &h2, &h3, &h4, &p1,
                        &p2) == 6) {
            std::uint16_t port = ListenForData(s, true, h1 << 24 | h2 << 16 | h3 << 8 | h4,
                                               std::uint16_t(p1 << 8 | p2));
            line = "227 Entering Passive Mode (" + HostPort(port) + ").\r\n";
        } else if (line.rfind("229 ", 0) == 0 && open != std::string::npos &&
                   std::sscanf(line.c_str() + open + 1, "|||%u|", &p) == 1) {
            std::uint16_t port = ListenForData(s, true, kLoopback, std::uint16_t(p));
            line = "229 Entering Extended Passive Mode (|||" + std::to_string(port) + "|)\r\n";
        }
        if (!SendAll(s.clientCtl, line.data(), line.size())) {
            s.Close(true);
            return;
        }
    }
}

std::uint16_t DroppingProxy::ListenForData(Session& s, bool passive, std::uint32_t address,
                                           std::uint16_t port) {
    CloseFd(s.dataListen, false);
    std::uint16_t own = 0;
    s.dataListen = ListenLoopback(own);
    s.passive = passive;
    s.targetAddress = address;
    s.targetPort = port;
    return own;
}

void DroppingProxy::OpenData(Session& s) {
    int accepted = NoDelay(::accept4(s.dataListen, nullptr, nullptr, SOCK_CLOEXEC));
    CloseFd(s.dataListen, false);
    int onward = ConnectLoopback(s.targetAddress, s.targetPort);
    if (accepted < 0 || onward < 0) {
        CloseFd(accepted, true);
        CloseFd(onward, true);
        return;
    }
    s.CloseData(false); // an earlier data connection that has not ended yet
    s.clientData = s.passive ? accepted : onward;
    s.serverData = s.passive ? onward : accepted;
}

void DroppingProxy::DataFrom(Session& s, bool fromClient) {
    char buffer[65536];
    ssize_t n = ::recv(fromClient ? s.clientData : s.serverData, buffer, sizeof buffer, 0);
    if (n <= 0) {
        // Pass the end on as it came: an orderly close or a reset.
        if (n == 0)
            ::shutdown(fromClient ? s.serverData : s.clientData, SHUT_WR);
        s.CloseData(n < 0);
        return;
    }
    std::size_t pass = std::size_t(n);
    if (fromClient && fault_ == Fault::Data && dataCount_ + pass > at_) {
        SendAll(s.serverData, buffer, std::size_t(at_ - dataCount_));
        Drop(s);
        return;
    }
    if (fromClient)
        dataCount_ += pass;
    if (!SendAll(fromClient ? s.serverData : s.clientData, buffer, pass))
        s.CloseData(true);
}

} // namespace kestrel::test
