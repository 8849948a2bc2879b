// TTlsChannel: OpenSSL driven through memory buffers over a platform socket.
#include "net/sock/tls.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <ctime>
#include <mutex>

namespace kestrel {
namespace {

// Bytes taken from the socket in one receive: a whole TLS record and its header.
constexpr std::size_t kRecordSize = 16384 + 512;

SSL* AsSsl(void* p) {
    return static_cast<SSL*>(p);
}
BIO* AsBio(void* p) {
    return static_cast<BIO*>(p);
}

int ChannelIndex() {
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

// The first session a control connection is given is the one its data connections
// resume; the slot takes a reference of its own.
int OnNewSession(SSL* ssl, SSL_SESSION* session) {
    auto* slot = static_cast<TTlsSessionSlot*>(SSL_get_ex_data(ssl, ChannelIndex()));
    if (!slot)
        return 0;
    slot->Store(session);
    return 1; // the slot keeps the reference OpenSSL handed over
}

std::mutex g_contextLock;
SSL_CTX* g_context = nullptr;

SSL_CTX* Context() {
    std::lock_guard<std::mutex> lock(g_contextLock);
    if (!g_context) {
        g_context = SSL_CTX_new(TLS_client_method());
        if (!g_context)
            throw ESockError("TLS is not available: " +
                             std::string(ERR_reason_error_string(ERR_get_error())));
        SSL_CTX_set_min_proto_version(g_context, TLS1_2_VERSION);
        SSL_CTX_set_default_verify_paths(g_context);
        // The verdict on the certificate is the owner's (the user may trust it), so the
        // handshake does not stop at a failed check; VerifyError() reports it.
        SSL_CTX_set_verify(g_context, SSL_VERIFY_NONE, nullptr);
        SSL_CTX_set_session_cache_mode(g_context,
                                       SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
        SSL_CTX_sess_set_new_cb(g_context, OnNewSession);
        SSL_CTX_set_mode(g_context,
                         SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    }
    return g_context;
}

std::string LastOpenSslReason() {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return "unknown error";
    const char* reason = ERR_reason_error_string(code);
    return reason ? reason : "error " + std::to_string(code);
}

// The IP address a host names, without the brackets and zone of an IPv6 one ("[::1]",
// "fe80::1%eth0"); empty for a host name.
std::string IpAddressOf(std::string host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    if (host.find(':') != std::string::npos)
        host = host.substr(0, host.find('%'));
    in6_addr address{};
    if (inet_pton(AF_INET, host.c_str(), &address) == 1 ||
        inet_pton(AF_INET6, host.c_str(), &address) == 1)
        return host;
    return std::string();
}

std::string NameLine(X509_NAME* name) {
    BIO* out = BIO_new(BIO_s_mem());
    X509_NAME_print_ex(out, name, 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB);
    char* data = nullptr;
    long size = BIO_get_mem_data(out, &data);
    std::string text(data, std::size_t(size));
    BIO_free(out);
    return text;
}

std::string TimeLine(const ASN1_TIME* time) {
    std::tm parts{};
    if (!time || ASN1_TIME_to_tm(time, &parts) != 1)
        return "unknown";
    char text[40];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    return text;
}

} // namespace

TTlsSessionSlot::~TTlsSessionSlot() {
    if (session)
        SSL_SESSION_free(static_cast<SSL_SESSION*>(session));
}

void TTlsSessionSlot::Store(void* newSession) {
    if (session)
        SSL_SESSION_free(static_cast<SSL_SESSION*>(session));
    session = newSession;
}

void AddTrustedCertificates(const std::string& pemFile) {
    SSL_CTX* context = Context();
    std::lock_guard<std::mutex> lock(g_contextLock);
    if (X509_STORE_load_file(SSL_CTX_get_cert_store(context), pemFile.c_str()) != 1)
        throw ESockError("Cannot load certificates from " + pemFile + ": " + LastOpenSslReason());
}

TTlsChannel::TTlsChannel(int fd, const std::string& host, std::shared_ptr<TTlsSessionSlot> slot)
    : fd_(fd), host_(host), slot_(std::move(slot)) {
    SSL* ssl = SSL_new(Context());
    if (!ssl)
        throw ESockError("TLS: " + LastOpenSslReason());
    ssl_ = ssl;
    rbio_ = BIO_new(BIO_s_mem());
    wbio_ = BIO_new(BIO_s_mem());
    BIO_set_mem_eof_return(AsBio(rbio_), -1);     // empty means "wait", not "end"
    SSL_set_bio(ssl, AsBio(rbio_), AsBio(wbio_)); // the SSL owns both from here
    SSL_set_connect_state(ssl);
    // An address is checked against the certificate's IP entries and sent without a server
    // name (RFC 6066 names hosts only).
    if (std::string ip = IpAddressOf(host); !ip.empty()) {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), ip.c_str());
    } else if (!host.empty()) {
        SSL_set_tlsext_host_name(ssl, host.c_str());
        SSL_set1_host(ssl, host.c_str());
    }
    if (slot_) {
        if (slot_->session) {
            SSL_set_session(ssl, static_cast<SSL_SESSION*>(slot_->session));
        } else {
            // The first channel of a session (the control connection) fills the slot.
            SSL_set_ex_data(ssl, ChannelIndex(), slot_.get());
        }
    }
    Step();
}

TTlsChannel::~TTlsChannel() {
    // A connection freed without a shutdown would mark its session as not to be
    // resumed, and the session is shared: the next data connection must resume it.
    if (handshakeDone_ && !Failed())
        SSL_set_shutdown(AsSsl(ssl_), SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN);
    SSL_free(AsSsl(ssl_));
}

void TTlsChannel::Fail(const std::string& text) {
    if (error_.empty())
        error_ = text;
}

bool TTlsChannel::Judge(int result) {
    int code = SSL_get_error(AsSsl(ssl_), result);
    if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE)
        return true;
    Fail(std::string(handshakeDone_ ? "TLS error: " : "TLS handshake failed: ") +
         LastOpenSslReason());
    return false;
}

void TTlsChannel::Step() {
    if (handshakeDone_ || Failed())
        return;
    int result = SSL_do_handshake(AsSsl(ssl_));
    if (result == 1)
        handshakeDone_ = true;
    else
        Judge(result);
    FlushOutput();
}

long TTlsChannel::FillFromSocket() {
    char bytes[kRecordSize];
    long n = platform::sock_recv(fd_, bytes, sizeof bytes);
    if (n > 0)
        BIO_write(AsBio(rbio_), bytes, int(n));
    else if (n == 0)
        peerClosed_ = true;
    return n;
}

long TTlsChannel::Recv(void* buffer, std::size_t length) {
    for (;;) {
        if (Failed()) {
            platform::set_last_error(platform::err::ConnectionAborted);
            return -1;
        }
        if (!handshakeDone_) {
            Step();
        } else {
            int n = SSL_read(AsSsl(ssl_), buffer, int(std::min<std::size_t>(length, 1 << 30)));
            if (n > 0)
                n += ReadMoreInto(static_cast<char*>(buffer) + n, length - std::size_t(n));
            FlushOutput(); // a read may owe the peer an answer (a key update, say)
            if (n > 0)
                return n;
            if (SSL_get_error(AsSsl(ssl_), n) == SSL_ERROR_ZERO_RETURN) {
                peerEnded_ = true;
                return 0; // the peer's close_notify: the data ended here
            }
            if (!Judge(n))
                continue; // Failed() now holds, or the stream ended
        }
        if (handshakeDone_ && Failed())
            continue;
        if (handshakeDone_ && BIO_ctrl_pending(AsBio(rbio_)) > 0)
            continue; // a whole record may already be waiting
        if (peerClosed_) {
            if (!handshakeDone_)
                Fail("TLS handshake failed: the server closed the connection");
            return Failed() ? (platform::set_last_error(platform::err::ConnectionAborted), -1) : 0;
        }
        long got = FillFromSocket();
        if (got < 0)
            return -1; // would block, or the socket's own error
        if (got == 0 && handshakeDone_)
            return 0; // the peer closed without close_notify
    }
}

// A record carries up to 16384 bytes, one more than a receive step takes: without this,
// every other step would hand out the one byte left over. Takes what the records already
// received hold and what the socket has ready, never waiting; the end of the stream or a
// failure is left for the next call to report.
int TTlsChannel::ReadMoreInto(char* buffer, std::size_t room) {
    int total = 0;
    while (room > 0) {
        if (!HasBufferedInput() && (peerClosed_ || FillFromSocket() <= 0))
            break;
        int n = SSL_read(AsSsl(ssl_), buffer + total, int(std::min<std::size_t>(room, 1 << 30)));
        if (n <= 0) {
            const int code = SSL_get_error(AsSsl(ssl_), n);
            if (code == SSL_ERROR_WANT_READ && !peerClosed_ && FillFromSocket() > 0)
                continue; // the rest of a record that had only partly arrived
            if (code == SSL_ERROR_ZERO_RETURN)
                peerEnded_ = true;
            else if (code != SSL_ERROR_WANT_READ)
                Judge(n);
            break;
        }
        total += n;
        room -= std::size_t(n);
    }
    return total;
}

long TTlsChannel::Send(const void* buffer, std::size_t length) {
    if (Failed()) {
        platform::set_last_error(platform::err::ConnectionAborted);
        return -1;
    }
    if (!FlushOutput() || !handshakeDone_) {
        platform::set_last_error(platform::err::WouldBlock);
        return -1;
    }
    int n = SSL_write(AsSsl(ssl_), buffer, int(std::min<std::size_t>(length, 1 << 30)));
    if (n <= 0) {
        Judge(n);
        platform::set_last_error(Failed() ? platform::err::ConnectionAborted
                                          : platform::err::WouldBlock);
        return -1;
    }
    FlushOutput(); // what the socket refuses now goes with the next send or write event
    return n;
}

bool TTlsChannel::HasBufferedInput() const {
    return SSL_pending(AsSsl(ssl_)) > 0 || BIO_ctrl_pending(AsBio(rbio_)) > 0;
}

bool TTlsChannel::FlushOutput() {
    char bytes[kRecordSize];
    for (;;) {
        while (pending_.size() < kRecordSize) {
            int n = BIO_read(AsBio(wbio_), bytes, int(sizeof bytes));
            if (n <= 0)
                break;
            pending_.append(bytes, std::size_t(n));
        }
        if (pending_.empty())
            return true;
        long sent = platform::sock_send(fd_, pending_.data(), pending_.size());
        if (sent <= 0)
            return false; // the write notification says when the socket takes more
        pending_.erase(0, std::size_t(sent));
    }
}

void TTlsChannel::Shutdown() {
    if (handshakeDone_ && !Failed() && !shutDown_) {
        shutDown_ = true;
        SSL_shutdown(AsSsl(ssl_));
        ERR_clear_error();
    }
    FlushOutput();
}

bool TTlsChannel::Resumed() const {
    return SSL_session_reused(AsSsl(ssl_)) == 1;
}

std::string TTlsChannel::VerifyError() const {
    SSL* ssl = AsSsl(ssl_);
    if (!SSL_get0_peer_certificate(ssl))
        return "the server sent no certificate";
    long result = SSL_get_verify_result(ssl);
    if (result == X509_V_OK)
        return {};
    if (result == X509_V_ERR_HOSTNAME_MISMATCH || result == X509_V_ERR_IP_ADDRESS_MISMATCH)
        return "the certificate was issued for another name than " + host_;
    return X509_verify_cert_error_string(result);
}

TCertificateInfo TTlsChannel::Certificate() const {
    TCertificateInfo info;
    info.Host = host_;
    X509* certificate = SSL_get0_peer_certificate(AsSsl(ssl_));
    if (!certificate)
        return info;
    info.Subject = NameLine(X509_get_subject_name(certificate));
    info.Issuer = NameLine(X509_get_issuer_name(certificate));
    info.NotBefore = TimeLine(X509_get0_notBefore(certificate));
    info.NotAfter = TimeLine(X509_get0_notAfter(certificate));
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (X509_digest(certificate, EVP_sha256(), digest, &size) == 1) {
        static const char kHex[] = "0123456789ABCDEF";
        for (unsigned int i = 0; i < size; ++i) {
            if (i)
                info.Fingerprint += ':';
            info.Fingerprint += kHex[digest[i] >> 4];
            info.Fingerprint += kHex[digest[i] & 15];
        }
    }
    info.Reason = VerifyError();
    return info;
}

} // namespace kestrel
