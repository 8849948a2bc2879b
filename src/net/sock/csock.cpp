// TCorsock: construction, host lookup, connect and close, status and errors, the
// notification dispatch and the time-out timer.
#include "net/sock/csock.h"
#include "net/sock/tls.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <netdb.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>

namespace kestrel {
namespace {

// Counted across threads: every thread may run socket components on its own loop.
std::atomic<std::int32_t> g_winsockUsers{0};

struct ErrorText {
    std::int32_t code;
    const char* text;
};

// The error-text table; the last record is never matched (code 0 is not looked up).
constexpr ErrorText kWinsockMessage[51] = {
    {10004, "Interrupted system call"},
    {10009, "Bad file number"},
    {10013, "Permission denied"},
    {10014, "Bad address"},
    {10022, "Invalid argument"},
    {10024, "Too many open files"},
    {10035, "Operation would block"},
    {10036, "Operation now in progress"},
    {10037, "Operation already in progress"},
    {10038, "Socket operation on non-socket"},
    {10039, "Destination address required"},
    {10040, "Message too long"},
    {10041, "Wrong protocol type for socket"},
    {10042, "Bad protocol option"},
    {10043, "Protocol not supported"},
    {10044, "Socket type not supported"},
    {10045, "Operation not supported on socket"},
    {10046, "Protocol family not supported"},
    {10047, "Address family not supported by protocol family"},
    {10048, "Address already in use"},
    {10049, "Can't assign requested address"},
    {10050, "Network is down"},
    {10051, "Network is unreachable"},
    {10052, "Network dropped connection or reset"},
    {10053, "Software caused connection abort"},
    {10054, "Connection reset by peer"},
    {10055, "No buffer space available"},
    {10056, "Socket is already connected"},
    {10057, "Socket is not connected"},
    {10058, "Can't send after socket shutdown"},
    {10059, "Too many references, can't splice"},
    {10060, "Connection timed out"},
    {10061, "Connection refused"},
    {10062, "Too many levels of symbolic links"},
    {10063, "File name too long"},
    {10064, "Host is down"},
    {10065, "No route to Host"},
    {10066, "Directory not empty"},
    {10067, "Too many processes"},
    {10068, "Too many users"},
    {10069, "Disc quota exceeded"},
    {10070, "Stale NFS file handle"},
    {10071, "Too many levels of remote in path"},
    {10091, "Network subsystem is unavailable"},
    {10092, "Incompatible version of WINSOCK.DLL"},
    {10093, "Successful WSAStartup not yet performed"},
    {11001, "Host not found"},
    {11002, "Non-Authoritative Host not found"},
    {11003, "Non-Recoverable error: FORMERR, REFUSED, NOTIMP"},
    {11004, "Valid name, no data record of requested type"},
    {0, "Unrecognized error code"},
};

constexpr std::uint32_t kInaddrNone = 0xFFFFFFFFu;
constexpr std::uint32_t kMsgTimerTick = platform::MsgTimer;
constexpr std::uint32_t kTimerId = 1;

std::string VersionText(int major, int minor) {
    return std::to_string(major) + "." + std::to_string(minor);
}

} // namespace

// --- TThreadTimer ------------------------------------------------------------------------

TThreadTimer::TThreadTimer(TComponent* owner) : TComponent(owner) {
    window_ = platform::create_target([this](const platform::Message& m) { Wndproc(m); });
}

TThreadTimer::~TThreadTimer() {
    BeginDestroy();
    enabled_ = false;
    UpdateTimer();
    platform::destroy_target(window_);
}

void TThreadTimer::SetEnabled(bool value) {
    if (value != enabled_) {
        enabled_ = value;
        UpdateTimer();
    }
}

void TThreadTimer::SetInterval(std::uint32_t value) {
    if (value != interval_) {
        interval_ = value;
        UpdateTimer();
    }
}

void TThreadTimer::SetOnTimer(TNotifyEvent handler) {
    onTimer_ = std::move(handler);
    UpdateTimer();
}

void TThreadTimer::UpdateTimer() {
    platform::kill_timer(window_, kTimerId);
    if (interval_ != 0 && enabled_ && onTimer_) {
        if (!platform::set_timer(window_, kTimerId, interval_))
            throw Exception("No Timer");
    }
}

void TThreadTimer::Wndproc(const platform::Message& message) {
    if (message.code == kMsgTimerTick)
        Timer();
}

void TThreadTimer::Timer() {
    if (onTimer_) {
        TNotifyEvent handler = onTimer_; // the handler may replace itself
        handler(this);
    }
}

// --- Construction and destruction ------------------------------------------------------------

TCorsock::TCorsock(TComponent* owner) : TComponent(owner) {
    StatusMessage(slOperation, "Create");
    NotifyWindow = platform::create_target([this](const platform::Message& m) { Wndproc(m); });
    Proxy.clear();
    TimeoutTimer = new TThreadTimer(this); // owned through the component tree
    TimeoutTimer->SetEnabled(false);
    TimeoutTimer->SetOnTimer([this](TComponent* sender) { TimerFired(sender); });
    Canceled = InTransfer = ShuttingDown = Connected = false;
    InBuffer = &inMemory_;
    OutBuffer = &outMemory_;
    InitWinsock();
}

TCorsock::~TCorsock() {
    BeginDestroy();
    StatusMessage(slOperation, "Destroy");
    try {
        Abort(); // the most derived version has already run in a derived destructor
        Cancel();
    } catch (...) {
    }
    delete TimeoutTimer;
    TimeoutTimer = nullptr;
    platform::destroy_target(NotifyWindow);
    ShuttingDown = true;
    if (!designTime_) {
        try {
            RequestCloseSocket();
        } catch (...) {
        }
        --g_winsockUsers;
    }
}

std::int32_t TCorsock::WinsockUsers() {
    return g_winsockUsers;
}

void TCorsock::InitWinsock() {
    StatusMessage(slOperation, "Initializing Winsock");
    bool counted = false;
    try {
        bool first = ++g_winsockUsers == 1;
        counted = true;
        if (first) {
            // No start-up call on this platform: describe the BSD sockets instead.
            utsname info{};
            uname(&info);
            rlimit files{};
            getrlimit(RLIMIT_NOFILE, &files);
            WinsockInfo.push_back("Version= " + VersionText(1, 1));
            WinsockInfo.push_back("High Version= " + VersionText(2, 2));
            WinsockInfo.push_back(std::string("Description= BSD sockets, ") + info.sysname + " " +
                                  info.release);
            WinsockInfo.push_back("System= Running");
            WinsockInfo.push_back("Max Sockets= " + std::to_string(files.rlim_cur));
            WinsockInfo.push_back("Max Udp pack size= 65507");
        }
        SocketHandle = platform::sock_create();
        if (SocketHandle == platform::InvalidSocket)
            ErrorManager(platform::err::WouldBlock);
        platform::sock_set_linger(SocketHandle, true, 0);
        RegisterAll(SocketHandle);
    } catch (...) {
        if (counted)
            --g_winsockUsers;
        throw ESockError("Initializaton of windows sockets failed");
    }
}

void TCorsock::RegisterAll(int handle) {
    platform::async_select(handle, NotifyWindow, MsgSocketEvent, platform::EvAll);
}

// --- Host lookup and connect -------------------------------------------------------------------

void TCorsock::ResolveRemoteHost() {
    StatusMessage(slOperation, "Resolve Host");
    std::string name = Proxy.empty() ? Host : Proxy;
    // An address in brackets, as a URL writes an IPv6 one: "[2001:db8::1]".
    if (name.size() >= 2 && name.front() == '[' && name.back() == ']')
        name = name.substr(1, name.size() - 2);
    std::uint32_t address = inet_addr(name.c_str());
    if (address != kInaddrNone) {
        RemoteAddress = platform::address_v4(address);
        RemoteAddresses = {RemoteAddress};
        return;
    }
    // An IPv6 address is used as it is, like a dotted one: no lookup, no OnHostResolved.
    if (name.find(':') != std::string::npos) {
        if (std::optional<platform::NetAddress> literal = platform::parse_address(name)) {
            RemoteAddress = *literal;
            RemoteAddresses = {RemoteAddress};
            return;
        }
    }
    RemoteAddress = platform::NetAddress{};
    RemoteAddresses.clear();
    lookupResult_.clear();
    AsyncDone = false;
    platform::lookup_host(NotifyWindow, MsgAsyncDone, name);
    switch (WaitFor([this] { return AsyncDone; }, {.timeOut = true})) {
    case TWaitEnd::TimedOut:
        throw ESockError("Host Lookup Timed Out");
    case TWaitEnd::Canceled:
        throw ESockError("Host Lookup Canceled");
    default:
        break;
    }
    if (!LastEventOK || lookupResult_.empty())
        throw ESockError("Host Lookup Failed");
    // An address that names no host (0.0.0.0, ::) is no candidate; with none left the
    // address stays unspecified and Connect takes the invalid-host path.
    for (const platform::NetAddress& a : lookupResult_)
        if (!a.unspecified())
            RemoteAddresses.push_back(a);
    if (!RemoteAddresses.empty())
        RemoteAddress = RemoteAddresses.front();
    if (OnHostResolved)
        OnHostResolved(this);
}

void TCorsock::Connect() {
    StatusMessage(slOperation, "Connecting");
    Canceled = false;
    if (Connected)
        throw ESockError("Already connected");
    int retries = 0;
    for (;;) {
        try {
            ResolveRemoteHost();
        } catch (const ESockError& e) {
            std::string text = e.what();
            if (text == "Host Lookup Timed Out" || text == "Host Lookup Canceled")
                throw;
            RemoteAddress = platform::NetAddress{};
        }
        if (!RemoteAddress.unspecified())
            break;
        if (retries > 0 || !OnInvalidHost)
            throw ESockError("Null Remote Address");
        bool handled = false;
        OnInvalidHost(handled);
        if (!handled)
            throw ESockError("Null Remote Address");
        ++retries;
    }
    // Checked before connecting: a port above 65535 must never wrap around to another
    // port and carry the log-in there.
    const std::int32_t port = Proxy.empty() ? Port : ProxyPort;
    if (port < 1 || port > 65535)
        throw ESockError("Invalid port " + std::to_string(port) +
                         ": a port is a number from 1 to 65535");
    RemoteAddress.port = htons(std::uint16_t(port));
    bool v4 = false, v6 = false;
    for (platform::NetAddress& a : RemoteAddresses) {
        a.port = RemoteAddress.port;
        (a.is_v6() ? v6 : v4) = true;
    }
    if (v4 && v6)
        ConnectRace();
    else
        ConnectOne();
}

void TCorsock::ConnectOne() {
    UseFamily(RemoteAddress.family);
    AsyncDone = false;
    LastEventOK = true;
    if (platform::sock_connect(SocketHandle, RemoteAddress) != 0)
        ErrorManager(platform::err::WouldBlock);
    TWaitEnd end = WaitFor([this] { return Connected || !LastEventOK; }, {.timeOut = true});
    if (end != TWaitEnd::Done || !LastEventOK)
        RaiseConnectFailure(end);
}

void TCorsock::RaiseConnectFailure(TWaitEnd end) {
    // A socket left connecting (time-out, cancel) or failed cannot start another
    // connect; a fresh one lets the next Connect work.
    RenewSocket();
    if (OnConnectionFailed)
        OnConnectionFailed(this);
    if (end == TWaitEnd::TimedOut)
        throw ESockError("Connection Timed out");
    if (end == TWaitEnd::Canceled)
        throw ESockError("Connection Canceled");
    throw ESockError("Connection Failed");
}

std::vector<platform::NetAddress>
TCorsock::ConnectionOrder(const std::vector<platform::NetAddress>& addresses) {
    if (addresses.empty())
        return {};
    std::vector<platform::NetAddress> first, other, order;
    for (const platform::NetAddress& a : addresses)
        (a.family == addresses.front().family ? first : other).push_back(a);
    for (std::size_t i = 0; i < first.size() || i < other.size(); ++i) {
        if (i < first.size())
            order.push_back(first[i]);
        if (i < other.size())
            order.push_back(other[i]);
    }
    return order;
}

void TCorsock::RenewSocket() {
    if (SocketHandle != platform::InvalidSocket)
        platform::sock_close(SocketHandle);
    SocketHandle = platform::sock_create();
    if (SocketHandle != platform::InvalidSocket) {
        platform::sock_set_linger(SocketHandle, true, 0);
        RegisterAll(SocketHandle);
    }
}

void TCorsock::UseFamily(platform::NetAddress::Family family) {
    if (SocketHandle != platform::InvalidSocket && platform::sock_family(SocketHandle) == family)
        return;
    bool resets =
        SocketHandle == platform::InvalidSocket || platform::sock_resets_on_close(SocketHandle);
    if (SocketHandle != platform::InvalidSocket)
        platform::sock_close(SocketHandle);
    SocketHandle = platform::sock_create(family);
    if (SocketHandle == platform::InvalidSocket)
        ErrorManager(platform::err::WouldBlock); // e.g. no IPv6 on this machine
    if (resets)
        platform::sock_set_linger(SocketHandle, true, 0);
    RegisterAll(SocketHandle);
}

void TCorsock::Disconnect() {
    StatusMessage(slOperation, "Disconnecting");
    RequestCloseSocket();
}

void TCorsock::RequestCloseSocket() {
    StatusMessage(slSocket, "Request Close Socket");
    Connected = false;
    if (SocketHandle == platform::InvalidSocket)
        return;
    int handle = SocketHandle;
    // The peer's close_notify is answered with ours (at best effort), so a peer that
    // waits for it before closing its side is not left waiting. Never otherwise: an
    // upload that is cut off must not look like one that ended.
    if (tls_ && tls_->PeerEnded())
        tls_->Shutdown();
    SocketHandle = platform::InvalidSocket;
    if (tls_) {
        tls_->Detach();
        closedTls_ = std::move(tls_);
    }
    if (platform::sock_close(handle) != 0) {
        ErrorManager(platform::err::WouldBlock);
        return;
    }
    readPaused_ = false;
    if (!Destroying() && OnDisconnect)
        OnDisconnect(this);
    if (!ShuttingDown) {
        // A fresh socket without the reset-on-close setting, so that its later close
        // is a graceful shutdown.
        SocketHandle = platform::sock_create();
        if (SocketHandle != platform::InvalidSocket)
            RegisterAll(SocketHandle);
    }
}

void TCorsock::CertifyConnect() {
    int retries = 0;
    while (!Connected) {
        if (retries > 0 || !OnConnectionRequired)
            throw Exception("Not Connected");
        bool handled = false;
        OnConnectionRequired(handled);
        if (!handled)
            throw Exception("Not Connected");
        ++retries;
    }
}

void TCorsock::Cancel() {
    StatusMessage(slOperation, "Canceling");
    Canceled = true;
}

void TCorsock::Abort() {
    Cancel();
}

void TCorsock::Close(int handle) {
    platform::sock_close(handle);
}

// --- Status and errors ---------------------------------------------------------------------------

void TCorsock::StatusMessage(std::uint8_t level, const std::string& text) {
    if (static_cast<std::int32_t>(level) <= ReportLevel) {
        Status = text;
        if (!Destroying() && OnStatus)
            OnStatus(this, Status);
    }
}

std::string TCorsock::SocketErrorStr(std::uint16_t code) {
    StatusMessage(slOperation, "Looking Up Error Message");
    if (code == 0)
        return std::string();
    for (const ErrorText& record : kWinsockMessage) {
        if (record.code == code)
            return std::to_string(code) + ":" + record.text;
    }
    return "Unknown Error No. " + std::to_string(code);
}

std::string TCorsock::ErrorManager(std::uint16_t expected) {
    StatusMessage(slErrorCheck, "Checking Error In Error Manager");
    LastErrorNo = platform::last_error();
    if ((LastErrorNo & expected) == expected)
        return std::string();
    std::string text = SocketErrorStr(std::uint16_t(LastErrorNo));
    if (OnError)
        OnError(this, std::uint16_t(LastErrorNo), text);
    throw ESockError(text);
}

void TCorsock::SetWSAError(std::uint16_t code, std::string text) {
    StatusMessage(slOperation, "Setting Winsock Error");
    LastErrorNo = code;
    if (text.empty())
        text = SocketErrorStr(code);
    platform::set_last_error(code);
    if (OnError)
        OnError(this, std::uint16_t(LastErrorNo), text);
}

std::int32_t TCorsock::GetLastErrorNo() {
    StatusMessage(slOperation, "Getting LastError Number");
    return LastErrorNo;
}

void TCorsock::SetLastErrorNo(std::int32_t value) {
    StatusMessage(slOperation, "Setting LastError Number");
    LastErrorNo = value;
}

std::string TCorsock::GetRemoteIP() const {
    return RemoteAddress.text();
}

std::string TCorsock::GetLocalIP() {
    char name[200] = {};
    if (gethostname(name, sizeof name - 1) != 0)
        return std::string();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* result = nullptr;
    if (getaddrinfo(name, nullptr, &hints, &result) != 0 || !result)
        return std::string();
    auto* sin = reinterpret_cast<sockaddr_in*>(result->ai_addr);
    const auto* b = reinterpret_cast<const unsigned char*>(&sin->sin_addr.s_addr);
    char text[32];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    freeaddrinfo(result);
    return text;
}

// --- Dispatch ---------------------------------------------------------------------------------

void TCorsock::Wndproc(const platform::Message& message) {
    try {
        // A notification about a socket that is no longer ours (closed and replaced) is
        // stale; it must not touch the flags either.
        if ((message.code == MsgSocketEvent ||
             (message.code == MsgAsyncDone && message.socket != -1)) &&
            message.socket != SocketHandle)
            return;
        if (message.code == MsgConnectAttempt) {
            ConnectAttemptEvent(message);
            return;
        }
        LastEventOK = platform::HighWord(message.word) == 0;
        switch (message.code) {
        case MsgSocketEvent:
            SocketEvent(message);
            break;
        case MsgAsyncDone:
            AsyncDoneEvent(message);
            break;
        case MsgSendMore:
            WriteFromStream();
            break;
        case MsgReadMore:
            ReadToStream();
            break;
        default:
            break;
        }
    } catch (...) {
        // Failures inside a notification handler are discarded.
    }
}

void TCorsock::SocketEvent(const platform::Message& message) {
    switch (platform::LowWord(message.word)) {
    case platform::EvRead:
        ReadToStream();
        break;
    case platform::EvWrite:
        WriteFromStream();
        break;
    case platform::EvAccept:
        Connected = true;
        if (OnAcceptReady)
            OnAcceptReady(this);
        break;
    case platform::EvConnect:
        if (LastEventOK) {
            Connected = true;
            if (OnConnect)
                OnConnect(this);
        }
        break;
    case platform::EvClose:
        PeerReset = !LastEventOK;
        DrainOnClose();
        Connected = false;
        RequestCloseSocket();
        break;
    default:
        break;
    }
}

// A finished host lookup, or an accept in the own-message mode of Listen.
void TCorsock::AsyncDoneEvent(const platform::Message& message) {
    AsyncDone = true;
    if (message.socket != -1 && platform::LowWord(message.word) == platform::EvAccept) {
        Connected = true;
        if (!Destroying() && OnDisconnect)
            OnDisconnect(this);
    } else {
        HostEntryBuffer = message.payload;
        lookupResult_ = message.addresses;
    }
}

void TCorsock::DrainOnClose() {
    char chunk[kChunkSize + 1];
    long n;
    do {
        n = TransportRecv(chunk, kChunkSize);
        // The bytes that come with the close are part of the transfer as much as any
        // other: counted and reported the same way.
        if (n > 0)
            TakeReceived(chunk, n);
    } while (n > 0 && !Canceled);
}

// --- Waiting and time-outs ------------------------------------------------------------------

namespace {

// Keeps the TimeOut timer running for the length of a wait.
class TimeOutScope {
public:
    TimeOutScope(TCorsock& sock, bool armed) : sock_(sock), armed_(armed) {
        if (armed_)
            sock_.TimerOn();
    }
    ~TimeOutScope() {
        if (!armed_)
            return;
        try {
            sock_.TimerOff();
        } catch (...) {
            // A status handler that fails must not end the program here.
        }
    }
    TimeOutScope(const TimeOutScope&) = delete;
    TimeOutScope& operator=(const TimeOutScope&) = delete;

private:
    TCorsock& sock_;
    bool armed_;
};

} // namespace

TWaitEnd TCorsock::WaitFor(const std::function<bool()>& done, const TWaitLimits& limits) {
    TimeOutScope timer(*this, limits.timeOut);
    const bool timed = limits.deadline != std::chrono::steady_clock::time_point::max();
    for (;;) {
        if (limits.timeOut && TimedOut)
            return TWaitEnd::TimedOut;
        if (limits.cancel && Canceled)
            return TWaitEnd::Canceled;
        if (done())
            return TWaitEnd::Done;
        if (limits.peerClose && !Connected)
            return TWaitEnd::PeerClosed;
        if (timed && std::chrono::steady_clock::now() >= limits.deadline)
            return TWaitEnd::Deadline;
        platform::wait_step();
    }
}

void TCorsock::RaiseIfCanceled(const char* text) {
    if (Canceled) {
        Canceled = false;
        throw EAbortError(text);
    }
}

void TCorsock::TimerOn() {
    StatusMessage(slOperation, "Timer On");
    TimedOut = false;
    if (TimeOut < 0)
        throw ERangeError();
    TimeoutTimer->SetInterval(std::uint32_t(TimeOut));
    TimeoutTimer->SetEnabled(true);
}

void TCorsock::TimerOff() {
    StatusMessage(slOperation, "Timer Off");
    TimeoutTimer->SetEnabled(false);
}

void TCorsock::TimerFired(TComponent*) {
    StatusMessage(slOperation, "Timer Triggered");
    TimerOff();
    TimedOut = true;
    Abort();
}

// --- Connecting to a name with addresses of both families (RFC 8305) -----------------------

void TCorsock::ConnectAttemptEvent(const platform::Message& message) {
    for (ConnectAttempt& attempt : attempts_) {
        if (attempt.handle != message.socket ||
            platform::LowWord(message.word) != platform::EvConnect)
            continue;
        if (platform::HighWord(message.word) == 0)
            attempt.connected = true;
        else
            attempt.failed = true;
    }
}

void TCorsock::ConnectRace() {
    const std::vector<platform::NetAddress> order = ConnectionOrder(RemoteAddresses);
    std::size_t next = 0;
    attempts_.clear();
    // Each attempt is a socket of its own; the one that connects first becomes this
    // component's socket, the others are closed unanswered.
    auto startNext = [&] {
        while (next < order.size()) {
            const platform::NetAddress& to = order[next++];
            int handle = platform::sock_create(to.family);
            if (handle == platform::InvalidSocket)
                continue; // no socket of this family here: the next address
            platform::async_select(handle, NotifyWindow, MsgConnectAttempt, platform::EvConnect);
            StatusMessage(slSocket, "Connecting to " + to.text());
            if (platform::sock_connect(handle, to) != 0 &&
                platform::last_error() != platform::err::WouldBlock) {
                platform::sock_close(handle);
                continue;
            }
            attempts_.push_back({handle, to});
            return;
        }
    };
    auto failedCount = [this] {
        return std::count_if(attempts_.begin(), attempts_.end(),
                             [](const ConnectAttempt& a) { return a.failed; });
    };
    auto winner = [this] {
        return std::find_if(attempts_.begin(), attempts_.end(),
                            [](const ConnectAttempt& a) { return a.connected; });
    };
    auto closeAttempts = [this](int keep) {
        for (ConnectAttempt& attempt : attempts_)
            if (attempt.handle != keep)
                platform::sock_close(attempt.handle);
        attempts_.clear();
    };
    TWaitEnd end = TWaitEnd::Done;
    {
        TimeOutScope timer(*this, true); // one time-out for all the attempts together
        startNext();
        for (;;) {
            if (winner() != attempts_.end())
                break;
            auto failed = failedCount();
            if (failed == std::ptrdiff_t(attempts_.size())) {
                if (next >= order.size()) {
                    end = TWaitEnd::PeerClosed; // every address failed
                    break;
                }
                startNext(); // a failure starts the next attempt at once
                continue;
            }
            auto deadline = next < order.size()
                                ? std::chrono::steady_clock::now() +
                                      std::chrono::milliseconds(kConnectAttemptDelayMs)
                                : std::chrono::steady_clock::time_point::max();
            end = WaitFor(
                [&] { return TimedOut || winner() != attempts_.end() || failedCount() != failed; },
                {.deadline = deadline});
            if (TimedOut) {
                end = TWaitEnd::TimedOut;
                break;
            }
            if (end == TWaitEnd::Canceled)
                break;
            if (end == TWaitEnd::Deadline)
                startNext();
            end = TWaitEnd::Done;
        }
    }
    auto won = winner();
    if (end != TWaitEnd::Done || won == attempts_.end()) {
        closeAttempts(platform::InvalidSocket);
        LastEventOK = false;
        RaiseConnectFailure(end);
    }
    const ConnectAttempt chosen = *won;
    closeAttempts(chosen.handle);
    bool resets = platform::sock_resets_on_close(SocketHandle);
    platform::sock_close(SocketHandle);
    SocketHandle = chosen.handle;
    if (resets)
        platform::sock_set_linger(SocketHandle, true, 0);
    RegisterAll(SocketHandle);
    RemoteAddress = chosen.to;
    LastEventOK = true;
    Connected = true;
    if (OnConnect)
        OnConnect(this);
}

} // namespace kestrel
