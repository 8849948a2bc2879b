// TCorsock: a TCP client socket component with blocking operations that keep the
// thread's message dispatch turning while they wait.
//
// A component belongs to the thread that made it: every operation runs there, on that
// thread's loop of the event platform (each thread has its own). An operation starts
// asynchronous work (a non-blocking connect, a host lookup, a queued send) and then
// waits through WaitFor until a notification handler sets the flag it waits for, or
// Canceled, or TimedOut is set, or the peer closes. Notifications arrive at Wndproc; an
// exception raised while handling one is discarded.
#pragma once

#include "base/component.h"
#include "base/exception.h"
#include "base/streams.h"
#include "net/sock/sockerror.h"
#include "net/sock/sockstr.h"
#include "platform/platform.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kestrel {

class TTlsChannel;
class TTlsSessionSlot;

using TNotifyEvent = std::function<void(TComponent* Sender)>;
using THandlerEvent = std::function<void(bool& Handled)>;
using TOnHostResolved = std::function<void(TComponent* Sender)>;
using TOnStatus = std::function<void(TComponent* Sender, const std::string& Status)>;
using TOnErrorEvent =
    std::function<void(TComponent* Sender, std::uint16_t Errno, const std::string& Errmsg)>;

// Status levels: a status text of level L reaches OnStatus only when ReportLevel >= L.
enum TStatusLevel : std::uint8_t {
    slProtocol = 1,   // the protocol lines sent and received
    slSocket = 4,     // socket actions
    slOperation = 8,  // the entry of each operation
    slErrorCheck = 16 // error checks
};

// Notification message numbers of the socket component.
constexpr std::uint32_t MsgSocketEvent = 1125;
constexpr std::uint32_t MsgAsyncDone = 1126;
constexpr std::uint32_t MsgSendMore = 1127;
constexpr std::uint32_t MsgReadMore = 1128;

constexpr int kChunkSize = 16383;              // most bytes one receive or send step moves
constexpr int kLineBufferSize = 16385;         // staging buffer of Write: text and a zero byte
constexpr std::int64_t kMaxLineLength = 65536; // a longer line without a line feed is refused
// Past this many unread bytes the component stops receiving, so that a peer that
// floods it is held back by TCP instead of filling memory.
constexpr std::int64_t kMaxBufferedInput = 256 * 1024;

// How a wait ended. When several hold at once, the first in this order is reported: a
// cancel wins over a condition that came true in the same step, and a condition that holds
// wins over a closed connection (the data that came before the close still counts).
enum class TWaitEnd : std::uint8_t {
    TimedOut,   // the TimeOut timer fired (only a wait that armed it)
    Canceled,   // Canceled is set: Cancel, Abort, or a time-out
    Done,       // the wait's condition holds
    PeerClosed, // the connection is gone, Connected is false (only a wait that watches it)
    Deadline,   // the deadline passed
};

// What, besides its condition, ends a wait.
struct TWaitLimits {
    bool cancel = true;     // Canceled ends it
    bool peerClose = false; // Connected turning false ends it
    bool timeOut = false;   // the TimeOut timer runs for the wait (lookup, connect) and ends it
    std::chrono::steady_clock::time_point deadline = std::chrono::steady_clock::time_point::max();
};

// A platform timer whose ticks arrive as messages on the thread that made it.
class TThreadTimer : public TComponent {
public:
    explicit TThreadTimer(TComponent* owner);
    ~TThreadTimer() override;

    bool Enabled() const { return enabled_; }
    void SetEnabled(bool value);
    std::uint32_t Interval() const { return interval_; }
    void SetInterval(std::uint32_t value);
    const TNotifyEvent& OnTimer() const { return onTimer_; }
    void SetOnTimer(TNotifyEvent handler);

protected:
    virtual void Timer();

private:
    void UpdateTimer();
    void Wndproc(const platform::Message& message);

    bool enabled_ = true;
    std::uint32_t interval_ = 1000;
    TNotifyEvent onTimer_;
    platform::TargetId window_ = 0;
};

// IPv4 socket address as the component keeps it; port and address in network order.
struct SockAddrIn {
    std::uint16_t family = 2;
    std::uint16_t port = 0;
    std::uint32_t addr = 0;
};

class TCorsock : public TComponent {
public:
    explicit TCorsock(TComponent* owner);
    ~TCorsock() override;

    // --- Published properties --------------------------------------------------
    std::string Host;             // dotted IPv4 address or host name
    std::int32_t Port = 0;        // remote port for Connect; local port for Listen
    std::int32_t TimeOut = 0;     // ms limit of host lookup and connect; 0 = none
    std::int32_t ReportLevel = 0; // highest status level reported
    TNotifyEvent OnDisconnect;
    TNotifyEvent OnConnect;
    THandlerEvent OnInvalidHost;
    TOnHostResolved OnHostResolved;
    TOnStatus OnStatus;
    TNotifyEvent OnConnectionFailed;
    TNotifyEvent OnPacketRecvd;
    TNotifyEvent OnPacketSent;
    TOnErrorEvent OnError;
    THandlerEvent OnConnectionRequired;
    // With ZeroCopy, SendFile hands the file's chunks from the file straight to the socket
    // (sendfile), so they are not copied through the process; without it, or over TLS, it
    // reads and sends them. Off by default: sendfile saves this process a quarter of its
    // processor time, but on a connection within the host it made uploads slower (the
    // receiving server took longer over the same bytes), and the time is what the user waits.
    bool ZeroCopy = false;
    std::string Proxy;          // when set, looked up and connected to instead of Host
    std::int32_t ProxyPort = 0; // port used with Proxy
    TNotifyEvent OnDataArrived; // after received data was buffered
    TNotifyEvent OnAcceptReady; // accept notification in the shared-message mode

    // --- Run-time state ------------------------------------------------------------
    int SocketHandle = platform::InvalidSocket;
    platform::TargetId NotifyWindow = 0;
    SockAddrIn RemoteAddress;
    bool Connected = false;
    bool Canceled = false;
    bool TimedOut = false;
    bool LastEventOK = true;
    bool AsyncDone = false;
    bool PeerReset = false; // the peer's close came with an error (a reset)
    std::int32_t LastErrorNo = 0;
    std::string Status;
    std::vector<std::string> WinsockInfo;
    std::string HostEntryBuffer; // address bytes of the last host lookup
    TThreadTimer* TimeoutTimer = nullptr;
    bool ShuttingDown = false;

    // Transfer state. InBuffer and OutBuffer point at the memory streams, or at a file
    // during CaptureFile and SendFile.
    TStream* InBuffer = nullptr;
    TStream* OutBuffer = nullptr;
    bool InHandler = false;
    bool InTransfer = false;
    bool FileTransfer = false;
    bool SendComplete = false;
    std::int64_t BytesSent = 0;
    std::int64_t BytesRcvd = 0;
    std::int64_t BytesTotal = 0;
    std::string LastReply;
    std::int16_t ReplyCode = 0;

    // Count of live components holding the sockets library.
    static std::int32_t WinsockUsers();

    // --- Connection ------------------------------------------------------------------
    void InitWinsock();
    void ResolveRemoteHost();
    virtual int Accept();
    virtual void Connect();
    virtual void Disconnect();
    void RequestCloseSocket();
    void CertifyConnect();
    void Cancel();
    virtual void Abort();
    void Close(int handle);
    void StatusMessage(std::uint8_t level, const std::string& text);
    std::string SocketErrorStr(std::uint16_t code);
    std::string ErrorManager(std::uint16_t expected);
    void SetWSAError(std::uint16_t code, std::string text);
    std::int32_t GetLastErrorNo();
    void SetLastErrorNo(std::int32_t value);
    std::string GetRemoteIP() const;
    std::string GetLocalIP();

    // --- Event dispatch and time-outs -------------------------------------------------
    void Wndproc(const platform::Message& message);
    void TimerOn();
    void TimerOff();
    void TimerFired(TComponent* Sender);

    // --- Data input and output ---------------------------------------------------------
    void SendBuffer(const char* buffer, std::uint16_t length);
    void Write(const std::string& text);
    void Writeln(const std::string& text);
    std::string Read(std::uint16_t count);
    std::string ReadLn();
    virtual std::string Transaction(const std::string& command);
    // Sends the file from offset startAt (0: the whole file); BytesSent counts from there.
    void SendFile(const std::string& fileName, std::int64_t startAt = 0);
    // The same from a file the caller has opened already (and may look at afterwards).
    void SendFile(TFileStream& file, std::int64_t startAt = 0);
    void SendStream(TStream& stream);
    // Captures into a new file, or, with appendAt >= 0, into the existing file from that
    // offset on (a restarted download).
    void CaptureFile(const std::string& fileName, std::int64_t appendAt = -1);
    void CaptureStream(TStream& stream, std::int32_t count);
    void CaptureString(std::string& text, std::int32_t count);
    void FilterHeader(TStream& stream);
    void ReadToStream();
    void WriteFromStream();

    // Unread bytes of the receive buffer (memory mode); empty during CaptureFile.
    std::string PeekInput() const;
    bool InputHasLine() const;

    // --- Listening and accepting ------------------------------------------------------------
    // Listens on Port at address (network order; 0, the default, is every interface).
    void Listen(bool ownMessage, std::uint32_t address = 0);
    std::string GetLocalAddress();
    // An IPv4 address in network order as dotted text, e.g. "127.0.0.1".
    static std::string DottedAddress(std::uint32_t address);
    std::string GetPortString();
    // ",h,l" of a port number, as GetPortString reports the socket's local port.
    static std::string FormatPortString(int port);
    // Closes the listening socket and makes the accepted one this component's socket,
    // registered for all six events.
    void AdoptSocket(int handle);

    // --- TLS ------------------------------------------------------------------------------
    // Switches the connected socket to TLS as a client and waits for the handshake: at
    // most TimeOut ms when TimeOut is set, ended by Cancel. host is the name the
    // certificate must carry; a slot shared by one session's connections lets a data
    // connection resume the control connection's session. Afterwards every receive and
    // send step goes through TLS. A failed handshake or a TLS alert raises ESockError
    // with OpenSSL's reason. The certificate's check is the caller's (Tls()->VerifyError()).
    void StartTls(const std::string& host, std::shared_ptr<TTlsSessionSlot> slot);
    // Sends TLS's close_notify, so that the peer can tell the end of the data from a cut,
    // and waits (at most 2 s, ended by Cancel or the peer's close) until the socket took it.
    void EndTls();
    // The connection's TLS channel; after the connection closed, the closed one (for its
    // certificate), until the next StartTls.
    TTlsChannel* Tls() const { return tls_ ? tls_.get() : closedTls_.get(); }

protected:
    // Reads the first line of a reply for Transaction; a derived protocol may recognise
    // replies that arrive while the wait was cancelled.
    virtual std::string ReadReplyLine() { return ReadLn(); }
    // The one wait of every blocking operation: runs the platform's wait step until done()
    // holds or one of the ends that limits names is reached, and says which ended it.
    // Everything is tested before each step, so a wait whose end already holds takes no
    // step. The flags are not changed: a caller that was cancelled applies the cancel rule.
    TWaitEnd WaitFor(const std::function<bool()>& done, const TWaitLimits& limits = {});
    // WaitFor with no end but the condition (the condition names its own ends).
    void WaitUntil(const std::function<bool()>& done) { WaitFor(done, {.cancel = false}); }
    // The cancel rule of the blocking operations: a cancel that ends an operation is
    // consumed (Canceled is cleared) and raised as EAbortError with the operation's text.
    // Does nothing when Canceled is not set.
    void RaiseIfCanceled(const char* text);
    template <typename Handler> void Raise(const Handler& handler) {
        if (handler)
            handler(this);
    }
    void RegisterAll(int handle);
    // Whether SendFile's chunks may go from the file straight to the socket. A transport
    // that must see the bytes (TLS encrypts them) says no.
    virtual bool SendsFromFile() const { return ZeroCopy && !tls_; }

    TMemoryStream inMemory_;
    TMemoryStream outMemory_;
    bool readPaused_ = false; // receiving stopped at kMaxBufferedInput

private:
    TMemoryStream& InMem() { return *static_cast<TMemoryStream*>(InBuffer); }
    bool InputIsMemory() const { return InBuffer == &inMemory_; }
    void ResumeReading();
    void CaptureInto(const std::function<bool()>& more,
                     const std::function<void(const char*, std::size_t)>& sink);
    void DrainOnClose();
    // Appends received bytes to InBuffer, counted and reported during a transfer.
    void TakeReceived(const char* bytes, long count);
    void SocketEvent(const platform::Message& message);
    // One chunk of the send step from the memory stream or from the file; last is set when
    // it ends the data. Returns the count the socket took, or -1.
    long SendMemoryChunk(std::int64_t size, bool& last);
    long SendFileChunk(std::int64_t size, bool& last);
    void SendOpenFile(TFileStream& file, std::int64_t startAt);
    void AsyncDoneEvent(const platform::Message& message);
    void RenewSocket();
    // The socket's receive and send, through TLS once StartTls has run.
    long TransportRecv(void* buffer, std::size_t length);
    long TransportSend(const void* buffer, std::size_t length);
    bool designTime_ = false;
    std::unique_ptr<TTlsChannel> tls_;       // the open connection's, used for every I/O
    std::unique_ptr<TTlsChannel> closedTls_; // a closed connection's, detached from it
    int sendFileHandle_ = -1;                // the file SendFile sends, while it may go by sendfile
};

} // namespace kestrel
