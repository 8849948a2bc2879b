// TVaneFTP: the passive-mode data connection. The server listens and this side connects:
//   EPSV                      -> 229 Entering Extended Passive Mode (|||6446|)
//   (EPSV refused with 5xx)
//   PASV                      -> 227 Entering Passive Mode (192,168,1,20,25,46)
//   connect to port 6446 (or 6446 = 25 * 256 + 46) of the control connection's server
// and only then the transfer command, as RFC 959 requires of a passive transfer. Over
// IPv6 PASV cannot name an address, so there a refused EPSV is the end of it.
#include "net/ftp/dataoperation.h"
#include "net/ftp/ftppassive.h"
#include "net/ftp/vaneftp.h"

#include <arpa/inet.h>
#include <utility>

namespace kestrel {
namespace {

std::string WithoutLineEnd(std::string line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
        line.pop_back();
    return line;
}

} // namespace

// The address of the server at the other end of the control connection, e.g.
// "192.168.1.20" or "2001:db8::20".
std::string TVaneFTP::ControlPeerAddress() const {
    return PeerName().text();
}

void TVaneFTP::ResetPassiveChoice() {
    holdsCommands_.reset();
    aheadSent_ = false;
    pasvOnly_ = false;
    connectBeforeCommand_ = false;
    foreignPasvReported_ = false;
}

int TVaneFTP::RequestPassivePort(TCmdType kind, Policy policy) {
    if (!pasvOnly_) {
        FtpReply reply = Command("EPSV", "EPSV");
        // RFC 2428: a server that does not know EPSV answers 500 or 502. Any 5xx sends us
        // to PASV for the rest of the session; a 4xx is a refusal like any other. Over
        // IPv6 there is nothing to fall back to.
        if (reply.code < 500 || reply.code > 599 || LocalName().is_v6()) {
            if (!CheckOutcome(reply, IsCompletion(reply.code), kind, false, policy))
                return 0;
            for (const std::string& line : reply.lines)
                if (std::optional<int> port = ParseEpsvReply(line))
                    return *port;
            throw FTPException("The server's EPSV reply names no port: " +
                               WithoutLineEnd(reply.Final()));
        }
        pasvOnly_ = true;
    }
    FtpReply reply = Command("PASV", "PASV");
    if (!CheckOutcome(reply, IsCompletion(reply.code), kind, false, policy))
        return 0;
    std::optional<TPassiveAddress> address;
    for (const std::string& line : reply.lines)
        if (!address)
            address = ParsePasvReply(line);
    if (!address)
        throw FTPException("The server's PASV reply names no address and port: " +
                           WithoutLineEnd(reply.Final()));
    // The address of a PASV reply is never used: a server behind a router names its
    // private address, and a hostile one could name any third host for this client to
    // connect to (CVE-2020-8284). The server we talk to is the one to connect to.
    std::string server = ControlPeerAddress();
    if (address->Host != server && !foreignPasvReported_) {
        foreignPasvReported_ = true;
        StatusMessage(slProtocol, "The server named " + address->Host +
                                      " for its data connections; connecting to " + server +
                                      ", the address of the control connection, instead");
    }
    return address->Port;
}

bool TVaneFTP::OpenPassivePort(DataOperation& op) {
    // The data connection opens before the transfer command is sent, unless the command
    // went with the EPSV.
    bool together = aheadSent_ || (Pipelining && !pasvOnly_ && !connectBeforeCommand_ &&
                                   op.restartAt < 0 && !dataProtected_);
    int port =
        together ? RequestPassivePortWithCommand(op) : RequestPassivePort(op.kind, op.policy);
    if (port == 0)
        return false;
    ConnectPassive(*op.socket, port);
    return true;
}

//   -> EPSV\r\nMLSD /site\r\n                             (one packet)
//   <- 229 Entering Extended Passive Mode (|||6446|)
//   connect to port 6446
//   <- 150 Here comes the listing
// A refused EPSV leaves the command to be answered without a data connection: that reply
// is read and dropped, and after a 5xx PASV goes on the ordinary way.
int TVaneFTP::RequestPassivePortWithCommand(DataOperation& op) {
    CheckCommandText(op.command);
    // Sent ahead (UploadSeries): the commands went before the last transfer's end.
    if (!std::exchange(aheadSent_, false)) {
        StatusMessage(slProtocol, "EPSV");
        StatusMessage(slProtocol, op.status);
        if (op.probe)
            StatusMessage(slProtocol, "NOOP");
        ReplyCode = 0;
        Write("EPSV\r\n" + CommandBytes(op.command, IacRule) + "\r\n" +
              (op.probe ? "NOOP\r\n" : ""));
        op.noopPending = op.probe;
    }
    FtpReply reply = FinalReply(ReadReply());
    if (IsCompletion(reply.code)) {
        for (const std::string& line : reply.lines)
            if (std::optional<int> port = ParseEpsvReply(line)) {
                op.sentWithPassive = true;
                return *port;
            }
    }
    FinalReply(ReadReply()); // the command's answer, without a data connection
    if (op.noopPending)
        TakeNoopReply(op, false);
    if (IsCompletion(reply.code))
        throw FTPException("The server's EPSV reply names no port: " +
                           WithoutLineEnd(reply.Final()));
    if (reply.code >= 500 && reply.code <= 599) {
        pasvOnly_ = true;
        return RequestPassivePort(op.kind, op.policy);
    }
    CheckOutcome(reply, false, op.kind, false, op.policy);
    return 0;
}

void TVaneFTP::ConnectPassive(TCorsock& data, int port) {
    data.Host = ControlPeerAddress();
    data.Port = port;
    data.TimeOut = TimeOut;
    StatusMessage(slSocket, "Connecting to " + data.Host + " port " + std::to_string(port));
    try {
        data.Connect(); // non-blocking, bounded by TimeOut, ended by Abort
    } catch (const ESockError& e) {
        throw ESockError("Data connection to " + data.Host + " port " + std::to_string(port) +
                         ": " + e.what());
    }
    // Closed gracefully, so that the server receives the whole file before its end.
    platform::sock_set_linger(data.SocketHandle, false, 0);
}

} // namespace kestrel
