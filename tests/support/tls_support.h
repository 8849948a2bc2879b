// TLS for tests: certificates made on the spot, and a small TLS server on 127.0.0.1.
//
//   TestCertificates certs = MakeTestCertificates(dir.path);
//   AddTrustedCertificates(certs.caFile);           // the client trusts the test CA
//   const TestCertificates& shared = TrustedTestCertificates(); // both at once, once
//   TlsTestServer server(certs.certFile, certs.keyFile, TlsTestServer::Echo);
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

namespace kestrel::test {

// PEM files in dir: a certificate authority, a server certificate it signed for
// 127.0.0.1 and "localhost", one it signed for another name, a self-signed one and an
// expired one, each with its key.
struct TestCertificates {
    std::string caFile;
    std::string certFile, keyFile;           // CA-signed, for 127.0.0.1 and localhost
    std::string wrongNameCert, wrongNameKey; // CA-signed, for www.example.invalid only
    std::string selfSignedCert, selfSignedKey;
    std::string selfSignedWrongNameCert, selfSignedWrongNameKey; // for www.example.invalid
    std::string expiredCert, expiredKey;                         // CA-signed, expired a day ago
};
TestCertificates MakeTestCertificates(const std::string& dir);

// The certificates of this test program: made once, in a folder that lives as long as
// the program, with their CA added to the authorities the client trusts.
const TestCertificates& TrustedTestCertificates();

// SHA-256 fingerprint of a PEM certificate file, upper-case hex pairs joined by ':'.
std::string FingerprintOf(const std::string& pemFile);

// A TLS server thread on 127.0.0.1 for one connection at a time.
class TlsTestServer {
public:
    enum Behaviour {
        Echo,         // handshake, then echo every byte until the client closes
        Silent,       // accept, read the ClientHello, never answer
        CutMidRecord, // handshake, send half of a record, close
        Sink,         // handshake, read everything, remember whether close_notify came
        SendAndEnd,   // handshake, send 100,000 bytes and close_notify, then keep the
                      // connection open until the client answers with its own
    };
    TlsTestServer(const std::string& certFile, const std::string& keyFile, Behaviour behaviour);
    ~TlsTestServer();

    std::uint16_t port() const { return port_; }
    std::int64_t bytesReceived() const { return received_; }
    bool sawCloseNotify() const { return closeNotify_; }
    bool sessionReused() const { return reused_; }
    int connections() const { return connections_; }

private:
    void Run();
    void Serve(int fd);

    std::string cert_, key_;
    Behaviour behaviour_;
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<std::int64_t> received_{0};
    std::atomic<bool> closeNotify_{false};
    std::atomic<bool> reused_{false};
    std::atomic<int> connections_{0};
    void* context_ = nullptr; // SSL_CTX*, keeps the session cache across connections
    std::thread thread_;
};

} // namespace kestrel::test
