// TLS on a connected, non-blocking socket of the event platform (client side).
//
// The channel keeps OpenSSL off the socket itself: it reads and writes the socket only
// through platform::sock_recv and platform::sock_send, and feeds the bytes through
// memory buffers, so the platform's notification rules hold unchanged (a read
// notification comes again only after a receive, a write notification after a send that
// would have blocked). The handshake runs inside the ordinary receive step: every Recv
// advances it, so a wait for "handshake done" needs no loop of its own.
//
// Certificates are checked against the system's trusted certificates and the host name,
// but a failure does not end the handshake: the owner asks VerifyError() afterwards and
// decides (the user may trust a certificate once or always).
#pragma once

#include "net/sock/csock.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kestrel {

// The TLS session of a control connection, which its data connections resume: many
// servers refuse a data connection that does not resume it. Shared by the channels of
// one FTP session; a newer session replaces the older one.
class TTlsSessionSlot {
public:
    TTlsSessionSlot() = default;
    ~TTlsSessionSlot();
    TTlsSessionSlot(const TTlsSessionSlot&) = delete;
    TTlsSessionSlot& operator=(const TTlsSessionSlot&) = delete;

    void* session = nullptr; // SSL_SESSION*, owned (one reference)
    void Store(void* newSession);
};

class TTlsChannel {
public:
    // Starts the handshake on the connected socket fd; host is the name the
    // certificate must carry (a dotted address is checked as an address).
    TTlsChannel(int fd, const std::string& host, std::shared_ptr<TTlsSessionSlot> slot);
    ~TTlsChannel();
    TTlsChannel(const TTlsChannel&) = delete;
    TTlsChannel& operator=(const TTlsChannel&) = delete;

    // Like the socket's receive and send: a count, 0 at the end of the stream, or -1 with
    // platform::last_error() set (WouldBlock when it must wait for the socket; any other
    // number is a failure whose words Error() gives).
    long Recv(void* buffer, std::size_t length);
    long Send(const void* buffer, std::size_t length);

    bool HandshakeDone() const { return handshakeDone_; }
    bool Failed() const { return !error_.empty(); }
    const std::string& Error() const { return error_; }
    // Bytes that arrived but were not handed out yet; no socket event announces them.
    bool HasBufferedInput() const;
    // Encrypted bytes the socket has not taken yet.
    bool HasPendingOutput() const { return !pending_.empty(); }
    // Hands held encrypted bytes to the socket; true when none is left.
    bool FlushOutput();
    // Queues the close_notify alert that tells the peer the data ended here, and tries
    // to send it.
    void Shutdown();
    // Whether this connection resumed the slot's session.
    bool Resumed() const;
    // The peer sent close_notify: its data ended here, whether or not it closes the
    // connection itself (some servers wait for ours first).
    bool PeerEnded() const { return peerEnded_; }
    // Takes the one announcement of that end: true the first time after it came.
    bool TakePeerEnd() { return peerEnded_ && !std::exchange(endAnnounced_, true); }
    // The connection closed: no more reading or writing, the certificate stays.
    void Detach() { fd_ = -1; }
    // Whether close_notify was queued by Shutdown.
    bool ShutDown() const { return shutDown_; }

    // After the handshake: empty when the certificate is trusted for the host, else
    // why it is not (e.g. "self-signed certificate").
    std::string VerifyError() const;
    TCertificateInfo Certificate() const;

private:
    void Step();            // runs the handshake, or nothing once it is done
    bool Judge(int result); // true when the call may be retried after more input
    long FillFromSocket();  // one receive into the read buffer
    int ReadMoreInto(char* buffer, std::size_t room); // what received records still hold
    void Fail(const std::string& text);

    int fd_;
    std::string host_;
    std::shared_ptr<TTlsSessionSlot> slot_;
    void* ssl_ = nullptr;  // SSL*
    void* rbio_ = nullptr; // BIO*, the socket's bytes waiting for OpenSSL
    void* wbio_ = nullptr; // BIO*, OpenSSL's bytes for the socket
    std::string pending_;  // taken from wbio_, refused by the socket so far
    bool handshakeDone_ = false;
    bool peerClosed_ = false; // end of stream seen on the socket
    bool peerEnded_ = false;  // the peer's close_notify came
    bool endAnnounced_ = false;
    bool shutDown_ = false;
    std::string error_;
    std::vector<int> verifyErrors_; // every failed check of the certificate, in order
};

// Adds a file of trusted certificates (PEM) to those of the system, for every channel
// made afterwards in this process (tests: a certificate authority of their own).
void AddTrustedCertificates(const std::string& pemFile);

} // namespace kestrel
