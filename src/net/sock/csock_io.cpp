// TCorsock: buffered data input and output, whole-file transfers, and listening.
#include "net/sock/csock.h"
#include "net/sock/tls.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <exception>
#include <functional>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <optional>
#include <sys/socket.h>
#include <vector>

namespace kestrel {
namespace {

constexpr const char* kSendAborted = "Socket send aborted";
constexpr const char* kReadlnAborted = "Socket readln aborted";
constexpr const char* kCaptureAborted = "Socket capture aborted";
constexpr const char* kClosedByPeer = "Connection closed by peer";
constexpr std::int64_t kMaxWriteLength = kLineBufferSize - 1;

// Holds back partial segments on a TCP socket (on) or sends them at once (off).
void SetCork(int fd, bool on) {
    if (fd == platform::InvalidSocket)
        return;
    int value = on ? 1 : 0;
    ::setsockopt(fd, IPPROTO_TCP, TCP_CORK, &value, sizeof value);
}

// Bytes SendFile reads from its file at a time.
constexpr std::int64_t kReadAheadSize = 128 * 1024;

// The stream SendFile sends from: it reads the file in large pieces and hands out the
// send steps' chunks from memory, so a file costs one read per 128 KiB instead of one
// read, straddling page boundaries, per 16383-byte chunk.
class ReadAheadStream : public TStream {
public:
    ReadAheadStream(TFileStream& file, std::int64_t size)
        : file_(file), position_(file.Position()), size_(size) {}

    std::int64_t Read(void* buffer, std::int64_t count) override {
        if (count <= 0)
            return 0;
        if (position_ < start_ || position_ >= start_ + std::int64_t(data_.size()) ||
            position_ + count > start_ + std::int64_t(data_.size())) {
            // Refill from the position; a short read near the end of the file is fine. A
            // small file gets a buffer of its own size, not one of 128 KiB to clear.
            data_.resize(std::size_t(std::max(count, std::min(kReadAheadSize, size_ - position_))));
            file_.SetPosition(position_);
            std::int64_t got = file_.Read(data_.data(), std::int64_t(data_.size()));
            data_.resize(std::size_t(got));
            start_ = position_;
        }
        std::int64_t available = start_ + std::int64_t(data_.size()) - position_;
        std::int64_t n = std::min(count, available);
        if (n <= 0)
            return 0;
        std::memcpy(buffer, data_.data() + (position_ - start_), std::size_t(n));
        position_ += n;
        return n;
    }
    void Write(const void* buffer, std::int64_t count) override {
        data_.clear(); // never used by a send; keeps the read-ahead honest if it were
        file_.SetPosition(position_);
        file_.Write(buffer, count);
        position_ += count;
    }
    std::int64_t Size() const override { return file_.Size(); }
    std::int64_t Position() const override { return position_; }
    void SetPosition(std::int64_t position) override { position_ = position; }

private:
    TFileStream& file_;
    std::int64_t position_;
    std::int64_t size_;      // the file's size when the send began
    std::int64_t start_ = 0; // file offset of data_[0]
    std::vector<char> data_; // bytes read ahead
};

// Sets a flag for the length of a scope: InHandler while a send or receive step runs, so
// that a step reached again from inside a handler does nothing.
class FlagScope {
public:
    explicit FlagScope(bool& flag) : flag_(flag) { flag_ = true; }
    ~FlagScope() { flag_ = false; }
    FlagScope(const FlagScope&) = delete;
    FlagScope& operator=(const FlagScope&) = delete;

private:
    bool& flag_;
};

// Puts a file stream in the place of InBuffer or OutBuffer for one whole-file transfer; the
// memory stream comes back and the transfer ends however the operation ends.
class TransferScope {
public:
    TransferScope(TCorsock& sock, TStream*& slot, TStream& file)
        : sock_(sock), slot_(slot), aside_(slot) {
        slot_ = &file;
        sock_.InTransfer = true;
        sock_.FileTransfer = true;
    }
    ~TransferScope() {
        slot_ = aside_;
        sock_.InTransfer = false;
        sock_.FileTransfer = false;
    }
    TransferScope(const TransferScope&) = delete;
    TransferScope& operator=(const TransferScope&) = delete;

private:
    TCorsock& sock_;
    TStream*& slot_;
    TStream* aside_;
};

// Runs an action when the scope ends, however it ends.
template <typename Action> class ScopeExit {
public:
    explicit ScopeExit(Action action) : action_(std::move(action)) {}
    ~ScopeExit() { action_(); }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;

private:
    Action action_;
};

// Holds back partial segments for the length of a file send (see SendFile); the socket is
// uncorked at the end unless it has been replaced meanwhile.
class CorkScope {
public:
    explicit CorkScope(const int& socket) : socket_(socket), corked_(socket) {
        SetCork(corked_, true);
    }
    ~CorkScope() {
        if (socket_ == corked_)
            SetCork(corked_, false);
    }
    CorkScope(const CorkScope&) = delete;
    CorkScope& operator=(const CorkScope&) = delete;

private:
    const int& socket_;
    int corked_;
};

// Bytes a capture collects before it writes them to its file.
constexpr std::size_t kCaptureBufferSize = 128 * 1024;

// The stream CaptureFile receives into: it gathers the received chunks and writes them to
// the file in large pieces. Chunks of 16383 bytes written one by one cost a system call
// each and straddle page boundaries, which made a download cost about half again as much
// processor time. A write error met while a notification handler receives (where it cannot
// be raised) is kept and raised by Finish, so a download that did not reach the disk is
// never reported as complete.
class CaptureStreamBuffer : public TStream {
public:
    explicit CaptureStreamBuffer(TFileStream& file) : file_(file), base_(file.Position()) {
        buffer_.reserve(kCaptureBufferSize);
    }

    std::int64_t Read(void* buffer, std::int64_t count) override {
        FlushNow();
        file_.SetPosition(base_);
        return file_.Read(buffer, count);
    }
    void Write(const void* buffer, std::int64_t count) override {
        if (error_ || count <= 0)
            return; // the data after a failed write is lost anyway; the error is raised
        if (buffer_.size() + std::size_t(count) > kCaptureBufferSize)
            Flush();
        const char* bytes = static_cast<const char*>(buffer);
        if (!error_)
            buffer_.insert(buffer_.end(), bytes, bytes + count);
    }
    std::int64_t Size() const override { return std::max(file_.Size(), Position()); }
    std::int64_t Position() const override { return base_ + std::int64_t(buffer_.size()); }
    void SetPosition(std::int64_t position) override {
        if (position == Position())
            return;
        Flush();
        base_ = position;
    }

    // Writes what is gathered; raises the first write error met. With raise false (the
    // capture is already failing) errors are dropped.
    void Finish(bool raise) {
        Flush();
        if (raise && error_)
            std::rethrow_exception(error_);
    }

private:
    void Flush() {
        try {
            FlushNow();
        } catch (...) {
            if (!error_)
                error_ = std::current_exception();
            buffer_.clear();
        }
    }
    void FlushNow() {
        if (buffer_.empty())
            return;
        file_.SetPosition(base_);
        file_.Write(buffer_.data(), std::int64_t(buffer_.size()));
        base_ += std::int64_t(buffer_.size());
        buffer_.clear();
    }

    TFileStream& file_;
    std::int64_t base_;        // file offset of the first gathered byte
    std::vector<char> buffer_; // gathered bytes, at most kCaptureBufferSize
    std::exception_ptr error_;
};

} // namespace

// --- Sending ----------------------------------------------------------------------------

void TCorsock::SendBuffer(const char* buffer, std::uint16_t length) {
    StatusMessage(slSocket, "Sending Buffer");
    if (Canceled)
        return;
    if (length == 0)
        length = std::uint16_t(strnlen(buffer, 65535));
    outMemory_.SetPosition(outMemory_.Size());
    outMemory_.Write(buffer, length);
    SendComplete = false;
    platform::post(NotifyWindow, MsgSendMore, 0);
    if (WaitFor([this] { return SendComplete; }, {.peerClose = true}) != TWaitEnd::Done) {
        // Whatever was not taken must not be sent in front of the next command.
        outMemory_.Clear();
        RaiseIfCanceled(kSendAborted);
        throw ESockError(kClosedByPeer);
    }
}

void TCorsock::Write(const std::string& text) {
    StatusMessage(slOperation, "Write");
    // The text is sent up to its first zero character.
    std::size_t length = strnlen(text.c_str(), text.size());
    if (std::int64_t(length) > kMaxWriteLength)
        throw ESockError("Line too long");
    if (length == 0)
        return;
    SendBuffer(text.data(), std::uint16_t(length));
}

void TCorsock::Writeln(const std::string& text) {
    StatusMessage(slOperation, "Writeln");
    Write(text + "\r\n");
}

void TCorsock::SendFile(const std::string& fileName, std::int64_t startAt) {
    StatusMessage(slOperation, "SendFile");
    TFileStream file(fileName, TFileStream::OpenRead);
    SendOpenFile(file, startAt);
}

void TCorsock::SendFile(TFileStream& file, std::int64_t startAt) {
    StatusMessage(slOperation, "SendFile");
    SendOpenFile(file, startAt);
}

void TCorsock::SendOpenFile(TFileStream& file, std::int64_t startAt) {
    const std::int64_t size = file.Size();
    if (startAt < 0 || startAt > size)
        throw ERangeError(); // before any state changes: the component stays as it was
    file.SetPosition(startAt);
    ReadAheadStream source(file, size);
    TWaitEnd end;
    {
        TransferScope transfer(*this, OutBuffer, source);
        sendFileHandle_ = file.Handle();
        ScopeExit forget([this] { sendFileHandle_ = -1; });
        SendComplete = false;
        BytesTotal = size;
        BytesSent = startAt;
        // Corked, the connection carries the file in full segments instead of one short
        // segment per 16383-byte chunk, so the receiver wakes a quarter as often; uncorking
        // sends the rest. What fits one chunk goes in one send, corked or not.
        std::optional<CorkScope> cork;
        if (size - startAt > kChunkSize)
            cork.emplace(SocketHandle);
        platform::post(NotifyWindow, MsgSendMore, 0);
        end = WaitFor([this] { return SendComplete || BytesSent >= BytesTotal; },
                      {.peerClose = true});
    }
    RaiseIfCanceled(kSendAborted);
    if (end == TWaitEnd::PeerClosed)
        throw ESockError(kClosedByPeer);
}

void TCorsock::SendStream(TStream& stream) {
    TWaitEnd end = TWaitEnd::Canceled;
    {
        FlagScope transfer(InTransfer);
        StatusMessage(slOperation, "SendStream");
        if (!Canceled) {
            stream.SetPosition(0);
            StatusMessage(slOperation, "SendFile");
            BytesSent = 0;
            BytesTotal = stream.Size();
            if (outMemory_.Size() == 0)
                outMemory_.SetPosition(0);
            outMemory_.CopyFrom(stream, 0);
            SendComplete = false;
            platform::post(NotifyWindow, MsgSendMore, 0);
            end = WaitFor([this] { return SendComplete; }, {.peerClose = true});
        }
    }
    if (end != TWaitEnd::Done)
        outMemory_.Clear();
    RaiseIfCanceled(kSendAborted);
    if (end == TWaitEnd::PeerClosed)
        throw ESockError(kClosedByPeer);
}

// The send step: hands at most one chunk to the socket and queues the next one.
void TCorsock::WriteFromStream() {
    if (InHandler)
        return;
    FlagScope handling(InHandler);
    StatusMessage(slOperation, "WriteFromStream");
    // Encrypted bytes the socket refused earlier go first; the next write notification
    // calls again while they do not fit.
    if (tls_ && tls_->HasPendingOutput() && !tls_->FlushOutput())
        return;
    // A file is sent up to the size SendFile took at its start (BytesTotal), so the step
    // does not ask the file for its size, a system call, twice per chunk.
    const std::int64_t size = FileTransfer ? BytesTotal : OutBuffer->Size();
    const bool pending = FileTransfer ? BytesSent < size : size > 0;
    if (!pending || Canceled || SocketHandle == platform::InvalidSocket)
        return;
    bool last = false;
    long n = FileTransfer ? SendFileChunk(size, last) : SendMemoryChunk(size, last);
    if (n < 0) {
        // Refused (would block): the next write notification resumes from here.
        LastErrorNo = platform::last_error();
        return;
    }
    if (last)
        SendComplete = true;
    else
        platform::post(NotifyWindow, MsgSendMore, 0);
    BytesSent += n;
    if (InTransfer && OnPacketSent)
        OnPacketSent(this);
}

long TCorsock::SendMemoryChunk(std::int64_t size, bool& last) {
    char chunk[kChunkSize];
    OutBuffer->SetPosition(0);
    std::int64_t r = OutBuffer->Read(chunk, kChunkSize);
    long n = TransportSend(chunk, std::size_t(r));
    if (n < 0) {
        OutBuffer->SetPosition(0);
        return n;
    }
    last = n >= size;
    if (last)
        outMemory_.Clear();
    else
        outMemory_.Consume(n);
    return n;
}

// A chunk of the file from BytesSent on, never past the size taken at the start. A file
// that shrank meanwhile ends where its data ends.
long TCorsock::SendFileChunk(std::int64_t size, bool& last) {
    const std::int64_t count = std::min<std::int64_t>(kChunkSize, size - BytesSent);
    if (sendFileHandle_ != -1 && SendsFromFile()) {
        long n =
            platform::sock_send_file(SocketHandle, sendFileHandle_, BytesSent, std::size_t(count));
        if (n != platform::SendFileUnsupported) {
            last = n == 0 || (n > 0 && BytesSent + n >= size);
            return n;
        }
        sendFileHandle_ = -1; // this file is read and sent from here on
    }
    char chunk[kChunkSize];
    OutBuffer->SetPosition(BytesSent);
    std::int64_t r = OutBuffer->Read(chunk, count);
    long n = TransportSend(chunk, std::size_t(r));
    if (n >= 0)
        last = r == 0 || BytesSent + n >= size;
    return n;
}

// --- Receiving ----------------------------------------------------------------------------

void TCorsock::TakeReceived(const char* bytes, long count) {
    // A capture file is only ever appended to, so it already stands at its end; asking a
    // file for its size would cost a system call per chunk.
    if (InputIsMemory())
        InBuffer->SetPosition(InBuffer->Size());
    InBuffer->Write(bytes, count);
    if (InTransfer) {
        BytesRcvd += count;
        if (OnPacketRecvd)
            OnPacketRecvd(this);
    }
}

// The receive step: appends at most one chunk to InBuffer.
void TCorsock::ReadToStream() {
    if (InHandler)
        return;
    if (InputIsMemory() && inMemory_.Size() >= kMaxBufferedInput) {
        // Nobody reads: stop receiving and let TCP hold the peer back.
        readPaused_ = true;
        return;
    }
    bool received = false;
    {
        FlagScope handling(InHandler);
        StatusMessage(slOperation, "ReadToStream");
        char chunk[kChunkSize];
        long n = TransportRecv(chunk, kChunkSize);
        if (n < 0) {
            LastErrorNo = platform::last_error();
            if (LastErrorNo != platform::err::WouldBlock) { // nothing waiting is no error
                std::string text = SocketErrorStr(std::uint16_t(LastErrorNo));
                if (OnError)
                    OnError(this, std::uint16_t(LastErrorNo), text);
            }
        } else {
            received = true;
            TakeReceived(chunk, n);
            // More may be waiting: in the socket after a full chunk, or inside TLS,
            // where no socket notification will announce it.
            if (n == kChunkSize || (tls_ && tls_->HasBufferedInput()))
                platform::post(NotifyWindow, MsgReadMore, 0);
            // The peer's close_notify ends its data even while it keeps the connection
            // open (waiting for ours): handled as the peer's close, which answers it.
            if (tls_ && tls_->TakePeerEnd())
                platform::post(NotifyWindow, MsgSocketEvent,
                               platform::MakeWord(platform::EvClose, 0), SocketHandle);
        }
    }
    if (received && OnDataArrived)
        OnDataArrived(this);
}

void TCorsock::ResumeReading() {
    if (readPaused_ && inMemory_.Size() < kMaxBufferedInput) {
        readPaused_ = false;
        platform::post(NotifyWindow, MsgReadMore, 0);
    }
}

std::string TCorsock::PeekInput() const {
    return InputIsMemory() ? inMemory_.ToString() : std::string();
}

bool TCorsock::InputHasLine() const {
    return InputIsMemory() && inMemory_.Size() > 0 &&
           std::memchr(inMemory_.Data(), '\n', std::size_t(inMemory_.Size())) != nullptr;
}

std::string TCorsock::Read(std::uint16_t count) {
    StatusMessage(slOperation, "Read( " + std::to_string(count) + " )");
    if (count > 0 && WaitFor([&] { return InBuffer->Size() >= count; }, {.peerClose = true}) ==
                         TWaitEnd::PeerClosed)
        throw ESockError(kClosedByPeer); // the bytes that came stay buffered
    RaiseIfCanceled(kSendAborted);
    // Count 0 takes everything buffered, however much that is.
    std::int64_t take = count == 0 ? inMemory_.Size() : count;
    std::string result(inMemory_.Data(), std::size_t(take));
    inMemory_.Consume(take);
    inMemory_.SetPosition(inMemory_.Size());
    ResumeReading();
    return result;
}

std::string TCorsock::ReadLn() {
    StatusMessage(slOperation, "ReadLn");
    WaitFor([this] { return InputHasLine() || inMemory_.Size() >= kMaxLineLength || !Connected; });
    if (!InputHasLine()) {
        if (inMemory_.Size() >= kMaxLineLength) {
            // A peer that never ends its line must not make us buffer without end.
            inMemory_.Clear();
            RequestCloseSocket();
            throw ESockError("Reply line too long");
        }
        if (!Connected)
            throw ESockError(kClosedByPeer);
    }
    // Unlike the other operations ReadLn leaves Canceled set, and the line buffered: a
    // protocol above may take a reply that cancelled the wait as the reply itself.
    if (Canceled)
        throw EAbortError(kReadlnAborted);
    const char* data = inMemory_.Data();
    const char* lf =
        static_cast<const char*>(std::memchr(data, '\n', std::size_t(inMemory_.Size())));
    std::int64_t length = lf - data + 1;
    if (length > kMaxLineLength) {
        // The line feed came in the same receive as the bytes past the limit: the line is
        // refused all the same, however the bytes were cut into packets.
        inMemory_.Clear();
        RequestCloseSocket();
        throw ESockError("Reply line too long");
    }
    std::string line(data, std::size_t(length));
    inMemory_.Consume(length);
    inMemory_.SetPosition(inMemory_.Size());
    ResumeReading();
    return line;
}

std::string TCorsock::Transaction(const std::string& command) {
    StatusMessage(slOperation, "Transaction");
    ReplyCode = 0;
    Writeln(command);
    LastReply = ReadReplyLine();
    if (!LastReply.empty()) {
        StatusMessage(slProtocol, LastReply);
        std::int64_t value = 0;
        int digits = 0;
        while (digits < 10 && digits < int(LastReply.size()) &&
               LastReply[std::size_t(digits)] >= '0' && LastReply[std::size_t(digits)] <= '9') {
            value = value * 10 + (LastReply[std::size_t(digits)] - '0');
            ++digits;
        }
        if (digits > 0) {
            if (value > 32767)
                throw ERangeError();
            ReplyCode = std::int16_t(value);
        }
    }
    return LastReply;
}

void TCorsock::CaptureFile(const std::string& fileName, std::int64_t appendAt) {
    StatusMessage(slOperation, "CaptureFile");
    TFileStream file(fileName, appendAt >= 0 ? TFileStream::OpenReadWrite : TFileStream::Create);
    if (appendAt >= 0) {
        file.Truncate(appendAt);
        file.SetPosition(appendAt);
    }
    CaptureStreamBuffer capture(file);
    try {
        TransferScope transfer(*this, InBuffer, capture);
        BytesRcvd = 0;
        if (inMemory_.Size() > 0) {
            // Bytes that arrived before the capture began come first.
            capture.Write(inMemory_.Data(), inMemory_.Size());
            BytesRcvd = inMemory_.Size();
            inMemory_.Clear();
        }
        if (readPaused_) {
            readPaused_ = false;
            platform::post(NotifyWindow, MsgReadMore, 0);
        }
        WaitFor([] { return false; }, {.peerClose = true});
    } catch (...) {
        ResumeReading();
        capture.Finish(false); // the bytes received so far stay on disk
        throw;
    }
    ResumeReading();
    capture.Finish(!Canceled);
    RaiseIfCanceled(kSendAborted);
}

// The loop of the capture operations: hands everything buffered to sink while more()
// holds, waiting while nothing is buffered and the connection is open.
void TCorsock::CaptureInto(const std::function<bool()>& more,
                           const std::function<void(const char*, std::size_t)>& sink) {
    // A closed connection ends the loop once nothing is buffered: nothing more can come.
    while (WaitFor([&] { return !more() || inMemory_.Size() > 0; }, {.peerClose = true}) ==
               TWaitEnd::Done &&
           more()) {
        sink(inMemory_.Data(), std::size_t(inMemory_.Size()));
        inMemory_.Clear();
        ResumeReading();
    }
    InTransfer = false;
    RaiseIfCanceled(kCaptureAborted);
}

void TCorsock::CaptureStream(TStream& stream, std::int32_t count) {
    InTransfer = true;
    BytesRcvd = InBuffer->Size();
    StatusMessage(slOperation, "Capture Stream");
    CaptureInto([&] { return Connected && (count == -1 || stream.Size() < count); },
                [&](const char* data, std::size_t size) {
                    stream.SetPosition(stream.Size());
                    stream.Write(data, std::int64_t(size));
                });
}

void TCorsock::CaptureString(std::string& text, std::int32_t count) {
    text.clear();
    InTransfer = true;
    StatusMessage(slOperation, "Capture String");
    BytesRcvd = 0;
    CaptureInto(
        [&] {
            return count == -1 ? Connected || inMemory_.Size() > 0
                               : std::int64_t(text.size()) < count;
        },
        [&](const char* data, std::size_t size) { text.append(data, size); });
    // A count the peer can no longer deliver ends the wait instead of holding it forever.
    if (count >= 0 && std::int64_t(text.size()) < count)
        throw ESockError(kClosedByPeer);
}

void TCorsock::FilterHeader(TStream& stream) {
    StatusMessage(slOperation, "FilterHeader");
    std::string line;
    do {
        line = ReadLn();
        stream.WriteString(line);
    } while (!(line == "\n" || line == "\r\n" || line.empty()));
}

// --- Listening and accepting ----------------------------------------------------------------

void TCorsock::Listen(bool ownMessage, std::uint32_t address) {
    Listen(ownMessage, platform::address_v4(address));
}

void TCorsock::Listen(bool ownMessage, const platform::NetAddress& address) {
    StatusMessage(slOperation, "Listening");
    if (Port < 0 || Port > 65535)
        throw ERangeError();
    UseFamily(address.family);
    RemoteAddress = address;
    RemoteAddress.port = htons(std::uint16_t(Port));
    AsyncDone = false;
    if (platform::sock_bind(SocketHandle, RemoteAddress) != 0)
        throw ESockError(SocketErrorStr(std::uint16_t(platform::last_error())));
    platform::async_select(SocketHandle, NotifyWindow, ownMessage ? MsgAsyncDone : MsgSocketEvent,
                           platform::EvAccept);
    if (platform::sock_listen(SocketHandle, 1) != 0)
        throw ESockError(SocketErrorStr(std::uint16_t(platform::last_error())));
}

int TCorsock::Accept() {
    if (WaitFor([this] { return AsyncDone; }) == TWaitEnd::Canceled)
        throw ESockError("Accepting Canceled"); // Canceled stays set
    if (!LastEventOK)
        throw ESockError("Error creating Data Connection");
    StatusMessage(slSocket, "Accepting");
    platform::NetAddress peer;
    int handle = platform::sock_accept(SocketHandle, &peer);
    if (handle == platform::InvalidSocket) {
        // Nothing to hand back: a caller must not adopt an invalid socket.
        AsyncDone = false;
        throw ESockError("Error creating Data Connection");
    }
    RemoteAddress = peer;
    // The accepted socket inherits the listener's reset-on-close setting; a data
    // connection must close gracefully, or the tail of what was sent is lost.
    platform::sock_set_linger(handle, false, 0);
    if (Canceled)
        platform::sock_close(handle); // handle is valid here
    RaiseIfCanceled(kSendAborted);
    return handle;
}

void TCorsock::AdoptSocket(int handle) {
    tls_.reset();
    closedTls_.reset();
    if (SocketHandle != platform::InvalidSocket)
        platform::sock_close(SocketHandle);
    SocketHandle = handle;
    RegisterAll(handle);
}

std::string TCorsock::DottedAddress(std::uint32_t address) {
    in_addr a{};
    a.s_addr = address;
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

std::string TCorsock::GetLocalAddress() {
    std::uint32_t address = 0;
    platform::sock_local_name(SocketHandle, &address, nullptr);
    std::string result = DottedAddress(address);
    for (char& c : result)
        if (c == '.')
            c = ',';
    return result;
}

platform::NetAddress TCorsock::LocalName() const {
    platform::NetAddress name;
    platform::sock_local_name(SocketHandle, &name);
    return name;
}

platform::NetAddress TCorsock::PeerName() const {
    platform::NetAddress name;
    platform::sock_peer_name(SocketHandle, &name);
    return name;
}

std::string TCorsock::GetPortString() {
    std::uint16_t port = 0;
    platform::sock_local_name(SocketHandle, nullptr, &port);
    return FormatPortString(ntohs(port));
}

std::string TCorsock::FormatPortString(int port) {
    char text[32];
    std::snprintf(text, sizeof text, ",%d,%d", port / 256, port % 256);
    return text;
}

} // namespace kestrel
