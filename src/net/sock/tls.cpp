// TTlsChannel: OpenSSL driven through memory buffers over a platform socket.
#include "net/sock/tls.h"

#include "platform/platform.h"

#include <algorithm>
#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>

namespace kestrel {
namespace {

// Bytes taken from the socket in one receive: a whole TLS record and its header.
constexpr std::size_t kRecordSize = 16384 + 512;

int ChannelIndex() {
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

// Every reason a certificate fails verification, not only the first: the check goes on
// past each failure (the verdict is the owner's, see Context()), and the channel keeps the
// reasons for VerifyError().
int VerifyIndex() {
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

int CollectVerifyErrors(int ok, X509_STORE_CTX* store) {
    if (ok)
        return 1;
    auto* ssl =
        static_cast<SSL*>(X509_STORE_CTX_get_ex_data(store, SSL_get_ex_data_X509_STORE_CTX_idx()));
    auto* errors =
        ssl ? static_cast<std::vector<int>*>(SSL_get_ex_data(ssl, VerifyIndex())) : nullptr;
    const int error = X509_STORE_CTX_get_error(store);
    if (errors && std::find(errors->begin(), errors->end(), error) == errors->end())
        errors->push_back(error);
    return 1;
}

// Every session a connection of an FTP session is given goes to that session's slot, the
// control connection's tickets and those of each resumed data connection alike.
int OnNewSession(SSL* ssl, SSL_SESSION* session) {
    if (auto* channel = static_cast<TTlsChannel*>(SSL_get_ex_data(ssl, ChannelIndex())))
        channel->KeepSession(session);
    return 0; // the slot keeps a copy: OpenSSL's reference stays OpenSSL's
}

std::string LastOpenSslReason() {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0)
        return "unknown error";
    const char* reason = ERR_reason_error_string(code);
    return reason ? reason : "error " + std::to_string(code);
}

struct TSslContextFree {
    void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};

// The one client context of the process; its trusted certificates grow by
// AddTrustedCertificates.
std::mutex g_contextLock;
std::unique_ptr<SSL_CTX, TSslContextFree> g_context;

SSL_CTX* Context() {
    std::lock_guard<std::mutex> lock(g_contextLock);
    if (g_context)
        return g_context.get();
    std::unique_ptr<SSL_CTX, TSslContextFree> context(SSL_CTX_new(TLS_client_method()));
    if (!context || SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION) != 1)
        throw ESockError("TLS is not available: " + LastOpenSslReason());
    // Without the system's certificates every server counts as unverified and is shown to
    // the user, which is the safe side.
    if (SSL_CTX_set_default_verify_paths(context.get()) != 1)
        ERR_clear_error();
    // The verdict on the certificate is the owner's (the user may trust it), so the
    // handshake does not stop at a failed check; VerifyError() reports it.
    SSL_CTX_set_verify(context.get(), SSL_VERIFY_NONE, nullptr);
    // Sessions go to the slots of their FTP sessions only (OnNewSession), never to a
    // cache of the context that another server's connection could pick from.
    SSL_CTX_set_session_cache_mode(context.get(),
                                   SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
    SSL_CTX_sess_set_new_cb(context.get(), OnNewSession);
    SSL_CTX_set_mode(context.get(),
                     SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    g_context = std::move(context);
    return g_context.get();
}

// An address written out (127.0.0.1, ::1) is checked as an address, not as a name.
bool IsAddressLiteral(const std::string& host) {
    in6_addr address{};
    return inet_pton(AF_INET, host.c_str(), &address) == 1 ||
           inet_pton(AF_INET6, host.c_str(), &address) == 1;
}

struct TBioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};

std::string NameLine(X509_NAME* name) {
    std::unique_ptr<BIO, TBioFree> out(BIO_new(BIO_s_mem()));
    if (!out ||
        X509_NAME_print_ex(out.get(), name, 0, XN_FLAG_ONELINE & ~ASN1_STRFLGS_ESC_MSB) < 0) {
        ERR_clear_error();
        return "unknown";
    }
    char* data = nullptr;
    long size = BIO_get_mem_data(out.get(), &data);
    return size > 0 && data ? std::string(data, std::size_t(size)) : std::string();
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

void TSslFree::operator()(ssl_st* ssl) const {
    SSL_free(ssl);
}

void TSslSessionFree::operator()(ssl_session_st* session) const {
    SSL_SESSION_free(session);
}

const void* TTlsSessionSlot::Store(SSL_SESSION* session) {
    // A copy of its own: the connection that received the session may still change the
    // original (a connection freed without a shutdown marks its session spent).
    TSslSessionPtr copy(SSL_SESSION_dup(session));
    if (!copy || SSL_SESSION_is_resumable(copy.get()) != 1)
        return nullptr;
    const void* key = copy.get();
    sessions_.push_back(std::move(copy));
    if (sessions_.size() > kKept)
        sessions_.pop_front();
    return key;
}

void TTlsSessionSlot::Forget(const void* key) {
    std::erase_if(sessions_, [key](const TSslSessionPtr& kept) { return kept.get() == key; });
}

TSslSessionPtr TTlsSessionSlot::Take() {
    while (!sessions_.empty()) {
        SSL_SESSION* newest = sessions_.back().get();
        if (SSL_SESSION_is_resumable(newest) != 1) {
            sessions_.pop_back();
            continue;
        }
        if (SSL_SESSION_get_protocol_version(newest) >= TLS1_3_VERSION) {
            TSslSessionPtr taken = std::move(sessions_.back());
            sessions_.pop_back();
            return taken;
        }
        SSL_SESSION_up_ref(newest);
        return TSslSessionPtr(newest);
    }
    return nullptr;
}

void AddTrustedCertificates(const std::string& pemFile) {
    SSL_CTX* context = Context();
    std::lock_guard<std::mutex> lock(g_contextLock);
    if (X509_STORE_load_file(SSL_CTX_get_cert_store(context), pemFile.c_str()) != 1)
        throw ESockError("Cannot load certificates from " + pemFile + ": " + LastOpenSslReason());
}

TTlsChannel::TTlsChannel(int fd, const std::string& host, std::shared_ptr<TTlsSessionSlot> slot)
    : fd_(fd), host_(host), slot_(std::move(slot)) {
    ssl_.reset(SSL_new(Context()));
    BIO* rbio = BIO_new(BIO_s_mem());
    BIO* wbio = BIO_new(BIO_s_mem());
    if (!ssl_ || !rbio || !wbio) {
        BIO_free(rbio);
        BIO_free(wbio);
        throw ESockError("TLS: " + LastOpenSslReason());
    }
    BIO_set_mem_eof_return(rbio, -1);    // empty means "wait", not "end"
    SSL_set_bio(ssl_.get(), rbio, wbio); // the SSL owns both from here
    SSL_set_connect_state(ssl_.get());
    if (SSL_set_ex_data(ssl_.get(), VerifyIndex(), &verifyErrors_) != 1)
        throw ESockError("TLS: " + LastOpenSslReason());
    SSL_set_verify(ssl_.get(), SSL_VERIFY_NONE, CollectVerifyErrors);
    const bool named =
        IsAddressLiteral(host)
            ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_.get()), host.c_str()) == 1
            : host.empty() || (SSL_set_tlsext_host_name(ssl_.get(), host.c_str()) == 1 &&
                               SSL_set1_host(ssl_.get(), host.c_str()) == 1);
    if (!named)
        throw ESockError("TLS: cannot check the certificate for " + host + ": " +
                         LastOpenSslReason());
    if (slot_) {
        if (TSslSessionPtr session = slot_->Take()) {
            if (SSL_set_session(ssl_.get(), session.get()) != 1) // takes its own reference
                throw ESockError("TLS: " + LastOpenSslReason());
            offered_ = true;
        }
        if (SSL_set_ex_data(ssl_.get(), ChannelIndex(), this) != 1)
            throw ESockError("TLS: " + LastOpenSslReason());
    }
    Step();
}

void TTlsChannel::KeepSession(SSL_SESSION* session) {
    if (const void* key = slot_ ? slot_->Store(session) : nullptr)
        kept_.push_back(key);
}

TTlsChannel::~TTlsChannel() {
    if (slot_ && !peerEnded_)
        for (const void* key : kept_)
            slot_->Forget(key);
    // A connection freed without a shutdown would mark its session as not to be resumed:
    // harmless to the slot, which keeps copies, but the server's view is the same.
    if (handshakeDone_ && !Failed())
        SSL_set_shutdown(ssl_.get(), SSL_SENT_SHUTDOWN | SSL_RECEIVED_SHUTDOWN);
}

void TTlsChannel::Fail(const std::string& text) {
    if (error_.empty())
        error_ = text;
}

bool TTlsChannel::Judge(int result) {
    int code = SSL_get_error(ssl_.get(), result);
    if (code == SSL_ERROR_WANT_READ || code == SSL_ERROR_WANT_WRITE)
        return true;
    Fail(std::string(handshakeDone_ ? "TLS error: " : "TLS handshake failed: ") +
         LastOpenSslReason());
    return false;
}

void TTlsChannel::Step() {
    if (handshakeDone_ || Failed())
        return;
    int result = SSL_do_handshake(ssl_.get());
    if (result == 1)
        handshakeDone_ = true;
    else
        Judge(result);
    FlushOutput();
}

long TTlsChannel::FillFromSocket() {
    char bytes[kRecordSize];
    long n = platform::sock_recv(fd_, bytes, sizeof bytes);
    if (n > 0 && BIO_write(SSL_get_rbio(ssl_.get()), bytes, int(n)) != int(n)) {
        Fail("TLS error: " + LastOpenSslReason()); // out of memory
        platform::set_last_error(platform::err::ConnectionAborted);
        return -1;
    }
    if (n == 0)
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
            int n = SSL_read(ssl_.get(), buffer, int(std::min<std::size_t>(length, 1 << 30)));
            if (n > 0)
                n += ReadMoreInto(static_cast<char*>(buffer) + n, length - std::size_t(n));
            FlushOutput(); // a read may owe the peer an answer (a key update, say)
            if (n > 0) {
                receivedData_ = true;
                return n;
            }
            if (SSL_get_error(ssl_.get(), n) == SSL_ERROR_ZERO_RETURN) {
                peerEnded_ = true;
                return 0; // the peer's close_notify: the data ended here
            }
            if (!Judge(n))
                continue; // Failed() now holds, or the stream ended
        }
        if (handshakeDone_ && Failed())
            continue;
        if (handshakeDone_ && HasUnreadRecords())
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
        int n = SSL_read(ssl_.get(), buffer + total, int(std::min<std::size_t>(room, 1 << 30)));
        if (n <= 0) {
            const int code = SSL_get_error(ssl_.get(), n);
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
    int n = SSL_write(ssl_.get(), buffer, int(std::min<std::size_t>(length, 1 << 30)));
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
    return SSL_pending(ssl_.get()) > 0 || HasUnreadRecords();
}

bool TTlsChannel::HasUnreadRecords() const {
    return BIO_ctrl_pending(SSL_get_rbio(ssl_.get())) > 0;
}

bool TTlsChannel::FlushOutput() {
    char bytes[kRecordSize];
    for (;;) {
        while (pending_.size() < kRecordSize) {
            int n = BIO_read(SSL_get_wbio(ssl_.get()), bytes, int(sizeof bytes));
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
        SSL_shutdown(ssl_.get());
        ERR_clear_error();
    }
    FlushOutput();
}

bool TTlsChannel::Resumed() const {
    return SSL_session_reused(ssl_.get()) == 1;
}

std::string TTlsChannel::VerifyError() const {
    SSL* ssl = ssl_.get();
    if (!SSL_get0_peer_certificate(ssl))
        return "the server sent no certificate";
    std::vector<int> errors = verifyErrors_;
    const long result = SSL_get_verify_result(ssl);
    if (errors.empty() && result != X509_V_OK)
        errors.push_back(int(result)); // a resumed session keeps its verdict only
    std::string text;
    for (int error : errors) {
        if (!text.empty())
            text += "; ";
        if (error == X509_V_ERR_HOSTNAME_MISMATCH || error == X509_V_ERR_IP_ADDRESS_MISMATCH)
            text += "the certificate was issued for another name than " + host_;
        else
            text += X509_verify_cert_error_string(error);
    }
    return text;
}

TCertificateInfo TTlsChannel::Certificate() const {
    TCertificateInfo info;
    info.Host = host_;
    X509* certificate = SSL_get0_peer_certificate(ssl_.get());
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
