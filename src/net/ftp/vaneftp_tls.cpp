// TVaneFTP: FTP over TLS (RFC 4217), explicit and implicit.
//
//   AUTH TLS   -> 234   then the TLS handshake on the control connection, before USER
//                       (implicit TLS: the handshake right after the connect, and the
//                       greeting comes through it; no AUTH TLS)
//   PBSZ 0     -> 200   after the log-in
//   PROT P     -> 200   every data connection is encrypted too
//
// A data connection resumes the control connection's TLS session and must show the same
// certificate. The certificate of the control connection is checked against the
// system's trusted certificates and the host name; one that fails is trusted only when
// the OnCertificateCheck handler accepts it.
#include "net/ftp/dataoperation.h"
#include "net/ftp/ftpreply.h"
#include "net/ftp/vaneftp.h"
#include "net/sock/tls.h"

namespace kestrel {

void TVaneFTP::ResetTls() {
    Secured = false;
    dataProtected_ = false;
    tlsSlot_.reset();
    serverFingerprint_.clear();
}

int TVaneFTP::DefaultPort(TEncryption encryption) {
    return encryption == TEncryption::Implicit ? 990 : 21;
}

void TVaneFTP::StartControlTls() {
    ResetTls();
    if (Encryption == TEncryption::None)
        return;
    if (Encryption != TEncryption::Implicit) {
        FtpReply reply = Command("AUTH TLS", "AUTH TLS");
        if (reply.code != 234) {
            if (Encryption == TEncryption::Required)
                throw FTPException("The server refused encryption: " + reply.Final());
            StatusMessage(slProtocol, "The connection is not encrypted");
            return;
        }
    }
    // The sessions of the last log-in to the same server, else new ones.
    const std::string server = Host + " " + std::to_string(Port);
    if (!TlsSessions || (!tlsSessionsFor_.empty() && tlsSessionsFor_ != server)) {
        TlsSessions = std::make_shared<TTlsSessionSlot>();
        tlsSessionsFor_ = server;
    }
    tlsSlot_ = TlsSessions;
    try {
        StartTls(Host, tlsSlot_);
    } catch (...) {
        // Half a handshake leaves nothing to say QUIT on: close at once.
        TCorsock::Disconnect();
        throw;
    }
    // A resumed session is the one whose certificate an earlier log-in trusted.
    if (Tls()->Resumed())
        StatusMessage(slProtocol, "Resumed the TLS session of an earlier log-in");
    try {
        TrustCertificate();
    } catch (...) {
        // Nothing of a server whose certificate was refused is resumed later.
        TlsSessions.reset();
        tlsSessionsFor_.clear();
        throw;
    }
    Secured = true;
}

void TVaneFTP::TrustCertificate() {
    TCertificateInfo info = Tls()->Certificate();
    // A resumed session is one that an earlier log-in made with this certificate and
    // trusted: the user is not asked again.
    const bool trustedBefore = Tls()->Resumed() && tlsSlot_ && !info.Fingerprint.empty() &&
                               info.Fingerprint == tlsSlot_->trustedFingerprint;
    if (!info.Reason.empty() && !trustedBefore) {
        bool accept = false;
        if (OnCertificateCheck)
            OnCertificateCheck(info, accept);
        if (!accept)
            throw FTPException("The server's certificate is not trusted: " + info.Reason +
                               " (SHA-256 " + info.Fingerprint + ")");
    }
    serverFingerprint_ = info.Fingerprint;
    if (tlsSlot_)
        tlsSlot_->trustedFingerprint = info.Fingerprint;
}

void TVaneFTP::ProtectData() {
    if (!Secured)
        return;
    FtpReply size = Command("PBSZ 0", "PBSZ 0");
    FtpReply level = size.code / 100 == 2 ? Command("PROT P", "PROT P") : size;
    if (level.code / 100 == 2) {
        dataProtected_ = true;
        return;
    }
    if (Encryption == TEncryption::Required)
        throw FTPException("The server refused encrypted data connections: " + level.Final());
    StatusMessage(slProtocol, "Data connections are not encrypted");
}

void TVaneFTP::SecureData(DataOperation& op) {
    if (!dataProtected_)
        return;
    TCorsock& data = *op.socket;
    data.StartTls(Host, tlsSlot_);
    // Servers that require the resumption say so only afterwards, on the control
    // connection: a failure of this operation is then reported as ETlsResumeRefused.
    op.tlsNotResumed = !data.Tls()->Resumed();
    if (op.tlsNotResumed)
        StatusMessage(slProtocol, data.Tls()->OfferedSession()
                                      ? "The server did not resume the TLS session"
                                      : "No TLS session to resume");
    // The data connection must come from the server whose certificate was checked.
    if (data.Tls()->Certificate().Fingerprint != serverFingerprint_)
        throw ESockError("The data connection's certificate is not the server's");
}

// Under TLS the end of the data is the server's close_notify: a connection that closed
// without it after data came was cut (by the network, or by someone who can end a TCP
// connection but cannot forge TLS), whatever the completion reply says, and what came is
// not all. A close before any data is taken for an empty listing or file: some servers
// (pyftpdlib) close an empty transfer without finishing their side of TLS at all.
void TVaneFTP::RequireEndOfData(DataOperation& op) {
    TCorsock& data = *op.socket;
    if (op.direction == DataOperation::Sending || Stopped() || !data.Tls() ||
        data.Tls()->PeerEnded() || !data.Tls()->ReceivedData())
        return;
    throw ESockError(std::string("The data connection ended without TLS close_notify: the ") +
                     (op.direction == DataOperation::Listing ? "listing" : "download") +
                     " is not complete");
}

} // namespace kestrel
