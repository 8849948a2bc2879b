// TCorsock: switching a connected socket to TLS, and the receive and send calls that
// go through it.
#include "net/sock/csock.h"
#include "net/sock/tls.h"

#include <chrono>
#include <sys/socket.h>

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
    closedTls_.reset();
    tls_ = std::make_unique<TTlsChannel>(SocketHandle, host, std::move(slot));
    // Bytes already waiting (the server's answer, say) are not announced again.
    platform::post(NotifyWindow, MsgReadMore, 0);
    // A peer may send its data and end the connection in the same breath as the last
    // handshake message: the handshake then counts as done, and the closed connection's
    // channel (closedTls_) still tells about the certificate.
    TWaitEnd end = WaitFor([this] { return Tls() && (Tls()->HandshakeDone() || Tls()->Failed()); },
                           {.peerClose = true, .timeOut = TimeOut > 0});
    TTlsChannel* channel = Tls();
    if (channel && channel->HandshakeDone() && !channel->Failed())
        return;
    const bool failed = channel && channel->Failed();
    std::string reason = failed       ? channel->Error()
                         : !Connected ? "TLS handshake failed: the server closed the connection"
                         : end == TWaitEnd::TimedOut ? "TLS handshake timed out"
                                                     : "TLS handshake aborted";
    tls_.reset();
    closedTls_.reset();
    if (!failed && Connected && end != TWaitEnd::TimedOut)
        RaiseIfCanceled(reason.c_str());
    Canceled = false;
    throw ESockError(reason);
}

void TCorsock::EndTls() {
    if (!tls_ || !Connected)
        return;
    const auto deadline = std::chrono::steady_clock::now() + kCloseNotifyLimit;
    tls_->Shutdown();
    WaitFor([this] { return !tls_ || !tls_->HasPendingOutput(); },
            {.peerClose = true, .deadline = deadline});
    // What the peer sent meanwhile (session tickets, its own close_notify) is read and
    // dropped: a socket closed with unread bytes resets the connection, and a reset can
    // make the peer lose data it has not read yet. The peer's answer to our close_notify
    // may still be on its way, so the end of our sending is announced (a FIN after the
    // last record) and the peer's close awaited before the socket may be closed.
    char bytes[4096];
    auto drain = [&] {
        while (tls_ && Connected && TransportRecv(bytes, sizeof bytes) > 0) {
        }
    };
    drain();
    if (!tls_ || !Connected || Canceled || tls_->HasPendingOutput())
        return;
    ::shutdown(SocketHandle, SHUT_WR);
    WaitFor(
        [&] {
            drain();
            return !tls_ || !Connected;
        },
        {.peerClose = true, .deadline = deadline});
}

} // namespace kestrel
