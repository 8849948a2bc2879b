#include "support/tls_support.h"

#include "net/sock/tls.h"
#include "support/fixtures.h"

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>

namespace kestrel::test {
namespace {

EVP_PKEY* NewKey() {
    EVP_PKEY* key = EVP_EC_gen("P-256");
    if (!key)
        throw std::runtime_error("cannot make a key");
    return key;
}

void AddExtension(X509* certificate, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    if (!extension)
        throw std::runtime_error("cannot make an extension");
    X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
}

// A certificate for key, signed by issuerKey (itself when issuer is null).
X509* NewCertificate(EVP_PKEY* key, const char* commonName, X509* issuer, EVP_PKEY* issuerKey,
                     const char* altNames, bool authority, long fromDays, long toDays) {
    static long serial = 1;
    X509* certificate = X509_new();
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), serial++);
    X509_gmtime_adj(X509_getm_notBefore(certificate), fromDays * 86400);
    X509_gmtime_adj(X509_getm_notAfter(certificate), toDays * 86400);
    X509_set_pubkey(certificate, key);
    X509_NAME* name = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(name, "O", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>("KestrelFTP tests"), -1, -1,
                               0);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
    X509* signer = issuer ? issuer : certificate;
    X509_set_issuer_name(certificate, X509_get_subject_name(signer));
    if (authority) {
        AddExtension(certificate, signer, NID_basic_constraints, "critical,CA:TRUE");
        AddExtension(certificate, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        AddExtension(certificate, signer, NID_basic_constraints, "CA:FALSE");
        AddExtension(certificate, signer, NID_ext_key_usage, "serverAuth");
    }
    if (altNames)
        AddExtension(certificate, signer, NID_subject_alt_name, altNames);
    X509_sign(certificate, issuerKey ? issuerKey : key, EVP_sha256());
    return certificate;
}

void WritePem(const std::string& path, X509* certificate, EVP_PKEY* key) {
    FILE* file = std::fopen(path.c_str(), "w");
    if (!file)
        throw std::runtime_error("cannot write " + path);
    if (certificate)
        PEM_write_X509(file, certificate);
    if (key)
        PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(file);
}

} // namespace

TestCertificates MakeTestCertificates(const std::string& dir) {
    TestCertificates out;
    EVP_PKEY* caKey = NewKey();
    X509* ca = NewCertificate(caKey, "KestrelFTP test CA", nullptr, nullptr, nullptr, true, -1, 30);
    out.caFile = dir + "/ca.pem";
    WritePem(out.caFile, ca, nullptr);

    struct Leaf {
        const char* name;
        const char* altNames;
        bool selfSigned;
        long from, to;
        std::string* cert;
        std::string* key;
        const char* file;
    } leaves[] = {
        {"localhost", "IP:127.0.0.1,DNS:localhost", false, -1, 30, &out.certFile, &out.keyFile,
         "server"},
        {"www.example.invalid", "DNS:www.example.invalid", false, -1, 30, &out.wrongNameCert,
         &out.wrongNameKey, "wrongname"},
        {"localhost", "IP:127.0.0.1,DNS:localhost", true, -1, 30, &out.selfSignedCert,
         &out.selfSignedKey, "selfsigned"},
        {"www.example.invalid", "DNS:www.example.invalid", true, -1, 30,
         &out.selfSignedWrongNameCert, &out.selfSignedWrongNameKey, "selfsigned-wrongname"},
        {"localhost", "IP:127.0.0.1,DNS:localhost", false, -10, -1, &out.expiredCert,
         &out.expiredKey, "expired"},
    };
    for (const Leaf& leaf : leaves) {
        EVP_PKEY* key = NewKey();
        X509* certificate = leaf.selfSigned
                                ? NewCertificate(key, leaf.name, nullptr, nullptr, leaf.altNames,
                                                 false, leaf.from, leaf.to)
                                : NewCertificate(key, leaf.name, ca, caKey, leaf.altNames, false,
                                                 leaf.from, leaf.to);
        *leaf.cert = dir + "/" + leaf.file + "-cert.pem";
        *leaf.key = dir + "/" + leaf.file + "-key.pem";
        WritePem(*leaf.cert, certificate, nullptr);
        WritePem(*leaf.key, nullptr, key);
        X509_free(certificate);
        EVP_PKEY_free(key);
    }
    X509_free(ca);
    EVP_PKEY_free(caKey);
    return out;
}

const TestCertificates& TrustedTestCertificates() {
    static TempDir dir;
    static TestCertificates certs = [] {
        TestCertificates made = MakeTestCertificates(dir.str());
        AddTrustedCertificates(made.caFile);
        return made;
    }();
    return certs;
}

std::string FingerprintOf(const std::string& pemFile) {
    FILE* file = std::fopen(pemFile.c_str(), "r");
    if (!file)
        return {};
    X509* certificate = PEM_read_X509(file, nullptr, nullptr, nullptr);
    std::fclose(file);
    if (!certificate)
        return {};
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    X509_digest(certificate, EVP_sha256(), digest, &size);
    X509_free(certificate);
    std::string text;
    char hex[4];
    for (unsigned int i = 0; i < size; ++i) {
        std::snprintf(hex, sizeof hex, i ? ":%02X" : "%02X", digest[i]);
        text += hex;
    }
    return text;
}

TlsTestServer::TlsTestServer(const std::string& certFile, const std::string& keyFile,
                             Behaviour behaviour)
    : cert_(certFile), key_(keyFile), behaviour_(behaviour) {
    // OpenSSL writes to the socket itself: a client that is gone must not kill the test.
    ::signal(SIGPIPE, SIG_IGN);
    SSL_CTX* context = SSL_CTX_new(TLS_server_method());
    SSL_CTX_use_certificate_file(context, cert_.c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_use_PrivateKey_file(context, key_.c_str(), SSL_FILETYPE_PEM);
    SSL_CTX_set_session_id_context(context, reinterpret_cast<const unsigned char*>("kt"), 2);
    context_ = context;
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 8);
    socklen_t length = sizeof address;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { Run(); });
}

TlsTestServer::~TlsTestServer() {
    stop_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
    SSL_CTX_free(static_cast<SSL_CTX*>(context_));
}

void TlsTestServer::Run() {
    while (!stop_) {
        pollfd watch{listener_, POLLIN, 0};
        if (::poll(&watch, 1, 50) <= 0)
            continue;
        int fd = ::accept(listener_, nullptr, nullptr);
        if (fd < 0)
            continue;
        ++connections_;
        Serve(fd);
        ::close(fd);
    }
}

void TlsTestServer::Serve(int fd) {
    timeval limit{5, 0}; // a test that forgets the connection must not hang the server
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (behaviour_ == Silent) {
        char bytes[4096];
        while (!stop_ && ::recv(fd, bytes, sizeof bytes, 0) > 0) {
        }
        return;
    }
    SSL* ssl = SSL_new(static_cast<SSL_CTX*>(context_));
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) == 1) {
        reused_ = SSL_session_reused(ssl) == 1;
        char bytes[16384];
        if (behaviour_ == CutMidRecord) {
            // A record header that promises 1000 bytes, then 10 of them and the end.
            const unsigned char header[] = {23, 3, 3, 0x03, 0xE8};
            ::send(fd, header, sizeof header, 0);
            ::send(fd, "0123456789", 10, 0);
        } else if (behaviour_ == SendAndEnd) {
            std::string data(100000, 'x');
            SSL_write(ssl, data.data(), int(data.size()));
            SSL_shutdown(ssl); // close_notify; the connection stays open
            char rest[256];
            int n = SSL_read(ssl, rest, sizeof rest);
            closeNotify_ = n <= 0 && SSL_get_error(ssl, n) == SSL_ERROR_ZERO_RETURN;
        } else {
            for (;;) {
                int n = SSL_read(ssl, bytes, sizeof bytes);
                if (n <= 0) {
                    closeNotify_ = SSL_get_error(ssl, n) == SSL_ERROR_ZERO_RETURN;
                    break;
                }
                received_ += n;
                if (behaviour_ == Echo)
                    SSL_write(ssl, bytes, n);
            }
            SSL_shutdown(ssl);
        }
    }
    ERR_clear_error();
    SSL_free(ssl);
}

} // namespace kestrel::test
