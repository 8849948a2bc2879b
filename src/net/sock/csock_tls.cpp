// TCorsock: switching a connected socket to TLS, and the receive and send calls that
// go through it.
#include "net/sock/csock.h"
#include "net/sock/tls.h"

#include <chrono>

namespace kestrel {
namespace {

// How long a closing connection waits for the socket to take the close_notify alert.
constexpr auto kCloseNotifyLimit = std::chrono::seconds(2);

} // namespace

long TCorsock::TransportRecv(void* buffer, std::size_t length) {
    if (tls_)
        return tls_->Recv(buffer, length);
    return platform::sock_recv(SocketHandle, buffer, length);
}

long TCorsock::TransportSend(const void* buffer, std::size_t length) {
    if (tls_)
        return tls_->Send(buffer, length);
    return platform::sock_send(SocketHandle, buffer, length);
}

void TCorsock::StartTls(const std::string& host, std::shared_ptr<TTlsSessionSlot> slot) {
    StatusMessage(slSocket, "Starting TLS");
    if (!Connected || SocketHandle == platform::InvalidSocket)
        throw ESockError(SocketErrorStr(platform::err::NotConnected));
    Canceled = false;
    tls_ = std::make_unique<TTlsChannel>(SocketHandle, host, std::move(slot));
    // Bytes already waiting (the server's answer, say) are not announced again.
    platform::post(NotifyWindow, MsgReadMore, 0);
    if (TimeOut > 0)
        TimerOn();
    WaitUntil([this] {
        return tls_->HandshakeDone() || tls_->Failed() || Canceled || TimedOut || !Connected;
    });
    if (TimeOut > 0)
        TimerOff();
    if (tls_ && tls_->HandshakeDone() && !tls_->Failed())
        return;
    const bool failed = tls_ && tls_->Failed();
    std::string reason = failed       ? tls_->Error()
                         : !Connected ? "TLS handshake failed: the server closed the connection"
                         : TimedOut   ? "TLS handshake timed out"
                                      : "TLS handshake aborted";
    const bool aborted = Canceled && !failed && !TimedOut && Connected;
    tls_.reset();
    Canceled = false;
    if (aborted)
        throw EAbortError(reason);
    throw ESockError(reason);
}

void TCorsock::EndTls() {
    if (!tls_ || !Connected)
        return;
    tls_->Shutdown();
    auto deadline = std::chrono::steady_clock::now() + kCloseNotifyLimit;
    WaitUntil([&] {
        return !tls_ || !tls_->HasPendingOutput() || !Connected || Canceled ||
               std::chrono::steady_clock::now() >= deadline;
    });
    // What the peer sent meanwhile (session tickets, its own close_notify) is read and
    // dropped: a socket closed with unread bytes resets the connection, and a reset can
    // make the peer lose data it has not read yet.
    char bytes[4096];
    while (tls_ && Connected && TransportRecv(bytes, sizeof bytes) > 0) {
    }
}

} // namespace kestrel
