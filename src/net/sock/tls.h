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

#include "net/sock/sockerror.h"

#include <cstddef>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// OpenSSL's handle types, named here without its headers.
struct ssl_st;
struct ssl_session_st;

namespace kestrel {

// Owners of OpenSSL's handles: each frees its handle with the matching OpenSSL call.
struct TSslFree {
    void operator()(ssl_st* ssl) const;
};
struct TSslSessionFree {
    void operator()(ssl_session_st* session) const;
};
using TSslPtr = std::unique_ptr<ssl_st, TSslFree>;
using TSslSessionPtr = std::unique_ptr<ssl_session_st, TSslSessionFree>;

// The TLS sessions of one FTP session, which its data connections resume: many servers
// (vsftpd with require_ssl_reuse, its default) refuse a data connection that does not
// resume one. Every connection of the FTP session stores the sessions its server gives it
// (a TLS 1.3 server sends its tickets after the handshake, on the control connection and
// again on every resumed data connection), and each new data connection resumes the
// newest. A TLS 1.3 ticket is good for one resumption only (RFC 8446 C.4; servers with
// stateful tickets refuse a second), so it leaves the slot when it is used; a TLS 1.2
// session may be resumed any number of times and stays.
// Used by the connections of one FTP session, which all live on one thread.
class TTlsSessionSlot {
public:
    TTlsSessionSlot() = default;
    TTlsSessionSlot(const TTlsSessionSlot&) = delete;
    TTlsSessionSlot& operator=(const TTlsSessionSlot&) = delete;

    // Keeps a copy of a session a connection was given, as the newest; the oldest is
    // dropped when more than kKept are waiting. Returns the copy's key for Forget (null
    // when the session cannot be resumed and was not kept).
    const void* Store(ssl_session_st* session);
    // Drops a stored session that turned out to be spent.
    void Forget(const void* key);
    // The session the next connection should offer: the newest that can still be
    // resumed, or null. A TLS 1.3 session is handed out once.
    TSslSessionPtr Take();
    // Sessions waiting to be resumed.
    std::size_t Count() const { return sessions_.size(); }

    static constexpr std::size_t kKept = 8;
    // The SHA-256 fingerprint of the certificate that the log-in whose sessions these are
    // trusted (its user accepted it, or it verified): a resumed session shows it again.
    std::string trustedFingerprint;

private:
    std::deque<TSslSessionPtr> sessions_; // oldest first
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
    // OpenSSL's new-session callback: the server gave this connection a session. It goes
    // to the slot at once; but a server keeps a session only when the connection that made
    // it ends with the server's close_notify, so the sessions of a connection that ends
    // without one (cut, reset) leave the slot again when the channel is freed.
    void KeepSession(ssl_session_st* session);
    // Whether this connection resumed a session of the slot.
    bool Resumed() const;
    // Whether it offered one: a connection that offered none, or whose offer the server
    // turned down (!Resumed()), began a TLS session of its own.
    bool OfferedSession() const { return offered_; }
    // The peer sent close_notify: its data ended here, whether or not it closes the
    // connection itself (some servers wait for ours first).
    bool PeerEnded() const { return peerEnded_; }
    // Whether any data came (before the end, whichever way it came).
    bool ReceivedData() const { return receivedData_; }
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
    bool HasUnreadRecords() const; // received bytes OpenSSL has not taken yet

    int fd_;
    std::string host_;
    std::shared_ptr<TTlsSessionSlot> slot_;
    TSslPtr ssl_;          // owns its two memory buffers (the socket's bytes in, OpenSSL's out)
    bool offered_ = false; // a session of the slot was offered for resumption
    std::vector<const void*> kept_; // the slot's keys of the sessions this connection got
    std::string pending_;           // OpenSSL's output that the socket refused so far
    bool handshakeDone_ = false;
    bool peerClosed_ = false; // end of stream seen on the socket
    bool peerEnded_ = false;  // the peer's close_notify came
    bool receivedData_ = false;
    bool endAnnounced_ = false;
    bool shutDown_ = false;
    std::string error_;
    std::vector<int> verifyErrors_; // every failed check of the certificate, in order
};

// Adds a file of trusted certificates (PEM) to those of the system, for every channel
// made afterwards in this process (tests: a certificate authority of their own).
void AddTrustedCertificates(const std::string& pemFile);

} // namespace kestrel
