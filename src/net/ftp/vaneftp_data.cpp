// TVaneFTP: the data operation that every listing and transfer runs, the listings, and
// the file transfers.
//
// One sequence of steps serves all eight operations:
//   OpenDataPort         PORT h1,h2,h3,h4,p1,p2   -> 200   (IPv6: EPRT |2|addr|port|)
//                        (passive: EPSV -> 229 or PASV -> 227, and the connect)
//   SendTransferCommand  [REST n -> 350]  STOR/RETR/LIST/... -> 150
//   ConnectData          accept the server's connection, watching the control connection
//                        (passive: connected already)
//   MoveData             move the data, close the data connection
//   ReadCompletion       completion reply         -> 226
// The operations differ only in the switches of DataOperation; the data mode changes
// only OpenDataPort and ConnectData.
#include "net/ftp/dataoperation.h"
#include "net/ftp/ftppassive.h"
#include "net/ftp/ftpreply.h"
#include "net/ftp/vaneftp.h"

#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>

namespace kestrel {
namespace {

// How long a transfer that failed on the data connection waits for the server's reply.
constexpr auto kLateReplyLimit = std::chrono::seconds(2);
// What went wrong when an active-mode data connection does not come.
constexpr const char* kNoConnectBack = "the server could not connect back";

// The file-name part of a local path, sent when no remote name is given.
std::string FileNamePart(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

// --- The data operation ------------------------------------------------------------------

void TVaneFTP::RunDataOperation(DataOperation& op) {
    Canceled = false;
    serviceEnded_ = false;
    CertifyConnect();
    CheckCommandText(op.command);
    bool completed = false;
    try {
        // Ends the data connection however the steps end, before anything else happens.
        struct EndGuard {
            TVaneFTP& ftp;
            DataOperation& op;
            ~EndGuard() { ftp.EndDataOperation(op); }
        } guard{*this, op};
        completed = RunDataSteps(op);
    } catch (...) {
        // After any interrupted operation the server's late reply about it (426, or the
        // 226 of a partial upload) must not be taken for the answer to the next command.
        const bool stopped = Canceled;
        if (Canceled) {
            try {
                Flush();
            } catch (...) {
            }
        }
        if (op.tlsNotResumed && !stopped) {
            try {
                throw;
            } catch (const EAbortError&) {
                throw;
            } catch (const std::exception& error) {
                // The server's refusal may have come after the failure it caused (a
                // reset data connection, then "522 ..."): the message names both.
                std::string text = error.what();
                std::string reply = LastReply.substr(0, LastReply.find_first_of("\r\n"));
                if (ReplyCode >= 400 && !reply.empty() && text.find(reply) == std::string::npos)
                    text += " (" + reply + ")";
                throw ETlsResumeRefused(text);
            }
        }
        throw;
    }
    if (completed && OnSuccess)
        OnSuccess(op.kind);
    if (op.flushAtEnd && Canceled)
        Flush();
}

bool TVaneFTP::RunDataSteps(DataOperation& op) {
    if (!aheadSent_) // else the replies to this operation's commands may be here already
        DiscardInput();
    if (op.prepare)
        op.prepare();
    if (!OpenDataPort(op))
        return false;
    // A small upload whose STOR went with its EPSV is sent as soon as the data connection
    // is open, without waiting for the server's 150: the 150 and the 226 then come a round
    // trip apart instead of two. The bytes fit the connection's buffers, so a server that
    // refuses the command instead never leaves the sending waiting; its refusal comes in
    // the 150's place.
    bool moved = false;
    if (op.direction == DataOperation::Sending && op.sentWithPassive && !dataProtected_ &&
        BytesTotal <= kEarlyDataBytes) {
        NotifyTransactionStart();
        MoveData(op);
        moved = true;
        if (op.sendNext && op.sentWhole)
            op.sendNext();
    }
    if (!SendTransferCommand(op))
        return false;
    if (moved && !op.sentWithPassive)
        moved = false; // the server wanted the connection first: sent again the ordinary way
    if (!moved) {
        if (op.startBeforeAccept)
            NotifyTransactionStart();
        ConnectData(op);
        SecureData(op);
        if (!op.startBeforeAccept)
            NotifyTransactionStart();
        MoveData(op);
        if (op.sendNext && op.sentWhole)
            op.sendNext();
    }
    if (!ReadCompletion(op))
        return false;
    if (op.verify)
        op.verify();
    return true;
}

void TVaneFTP::NotifyTransactionStart() {
    if (OnTransactionStart)
        OnTransactionStart(this);
}

// Active mode: a port of our own that the server connects to.
bool TVaneFTP::OpenDataPort(DataOperation& op) {
    op.socket = std::make_unique<TCorsock>(nullptr);
    FDataSocket = op.socket.get();
    TCorsock& data = *op.socket;
    data.TimeOut = TimeOut;
    if (op.direction == DataOperation::Sending && OnPacketSent)
        data.OnPacketSent = OnPacketSent;
    if (op.direction == DataOperation::Receiving && OnPacketRecvd)
        data.OnPacketRecvd = OnPacketRecvd;
    if (DataMode == TDataMode::Passive)
        return OpenPassivePort(op);
    // Active mode: a port of our own that the server connects to, listening only on the
    // address the server already reaches us by, not on every interface.
    const platform::NetAddress local = LocalName();
    data.Port = 0;
    data.Listen(true, local);
    // PORT with the address by which the server already reaches us, e.g.
    // PORT 127,0,0,1,4,7 for data port 1031; PORT knows IPv4 only, so over IPv6 it is
    // EPRT (RFC 2428), e.g. EPRT |2|::1|1031|.
    std::string port = local.is_v6() ? "EPRT |2|" + local.text() + "|" +
                                           std::to_string(ntohs(data.LocalName().port)) + "|"
                                     : "PORT " + GetLocalAddress() + data.GetPortString();
    FtpReply reply = Command(port, port);
    bool passed = IsCompletion(reply.code);
    if (!passed)
        AdviseOnActiveFailure(reply);
    // A refused PORT means no data connection will come: end quietly when handled.
    return CheckOutcome(reply, passed, op.kind, false, op.policy);
}

// An active-mode data connection that will not come: the server refused PORT, or
// answered 425 because it could not connect back. Behind address translation or a
// firewall that is the rule, so the reply's text says what to do about it.
void TVaneFTP::AdviseOnActiveFailure(FtpReply& reply) {
    if (DataMode != TDataMode::Active || reply.lines.empty())
        return;
    reply.lines.back() = WithPassiveAdvice(reply.lines.back(), kNoConnectBack);
    LastReply = WithPassiveAdvice(LastReply, kNoConnectBack);
}

bool TVaneFTP::SendTransferCommand(DataOperation& op) {
    if (op.restartAt >= 0) {
        std::string rest = "REST " + std::to_string(op.restartAt);
        FtpReply reply = Command(rest, rest);
        if (!CheckOutcome(reply, reply.code == 350, op.kind, false, op.policy))
            return false;
    }
    if (op.sizeFromReply)
        BytesTotal = 0;
    // The data connection comes after a preliminary reply (125, 150); any other reply
    // ends the operation.
    FtpReply reply = op.sentWithPassive ? ReadReply() : StartCommand(op.command, op.status);
    if (op.noopPending) {
        reply = TransferReply(op, std::move(reply));
        if (!IsPreliminary(reply.code))
            TakeNoopReply(op, false);
    }
    // With the next upload's commands already sent, the ordinary way would answer them.
    if (op.sentWithPassive && !aheadSent_ && (reply.code == 425 || reply.code == 503)) {
        // The server wants the data connection open before the command: the ordinary way,
        // for this operation and the rest of the session.
        StatusMessage(slProtocol, "The server wants the data connection before the command; "
                                  "sending one command at a time");
        connectBeforeCommand_ = true;
        op.sentWithPassive = false;
        op.sentWhole = false; // bytes sent early went nowhere: the file goes again
        return OpenDataPort(op) && SendTransferCommand(op);
    }
    if (reply.code == 425)
        AdviseOnActiveFailure(reply);
    if (!CheckOutcome(reply, IsPreliminary(reply.code), op.kind, op.unsupported, op.policy))
        return false;
    // The size may come on any line of the reply.
    for (const std::string& line : reply.lines) {
        if (op.sizeFromReply && BytesTotal == 0)
            BytesTotal = GetBytesTotal(line);
        if (op.announced == 0)
            op.announced = AnnouncedSize(line);
    }
    return true;
}

// Active mode: the server's connection to our port.
void TVaneFTP::ConnectData(DataOperation& op) {
    if (DataMode == TDataMode::Passive)
        return; // OpenDataPort connected before the transfer command
    TCorsock& data = *op.socket;
    int handle = AcceptFromServer(data);
    data.AdoptSocket(handle);
    // Close every data connection gracefully, so that the server receives the whole
    // file before it sees the end of it.
    platform::sock_set_linger(handle, false, 0);
}

void TVaneFTP::MoveData(DataOperation& op) {
    TCorsock& data = *op.socket;
    if (!Stopped()) {
        try {
            op.move(data);
            RequireEndOfData(op);
        } catch (const EAbortError&) {
            RaiseServiceEnd();
            throw;
        } catch (const Exception&) {
            // The data connection ended early, or the local file failed (cannot be
            // created or read, the disk is full, it changed size). The server's reply
            // about the transfer is still to come: take it now, so that it does not
            // answer the next command, and report the failure.
            EndUnfinishedUpload(op);
            data.ShuttingDown = true;
            data.RequestCloseSocket();
            TakeLateReply();
            throw;
        }
        op.sentWhole = !Stopped();
        // Over TLS the close_notify alert tells the server that the file ended here.
        if (op.direction == DataOperation::Sending && op.sentWhole && data.Tls())
            data.EndTls();
    }
    if (OnTransactionStop)
        OnTransactionStop(this);
    data.ShuttingDown = true; // no fresh socket after this close
    EndUnfinishedUpload(op);
    data.RequestCloseSocket();
    if (op.direction != DataOperation::Sending) {
        BytesTotal = data.BytesRcvd;
        StatusMessage(slProtocol, "Received " + std::to_string(BytesTotal) + " Bytes");
    }
}

// The completion reply decides: a 4xx or 5xx says the server did not store or send the
// data whole.
bool TVaneFTP::ReadCompletion(DataOperation& op) {
    if (Stopped()) {
        if (!(ServerClosingLineBuffered() && InputHasLine()))
            throw EAbortError("Socket readln aborted");
        Canceled = false;
    }
    FtpReply reply = ReadReply();
    for (;;) {
        if (op.noopPending)
            reply = TransferReply(op, std::move(reply));
        if (!IsPreliminary(reply.code))
            break;
        reply = ReadReply();
    }
    // With the next file's commands sent ahead, a reply to its passive request here means
    // the server answered them while this transfer ran: this transfer's end is still to
    // come, and what follows is out of step.
    if (aheadSent_ && (reply.code == 227 || reply.code == 228 || reply.code == 229)) {
        CloseOutOfStep();
        throw Exception("The server answered the next file's commands before the end of the "
                        "transfer: " +
                        reply.lines.back());
    }
    if (op.noopPending)
        TakeNoopReply(op, IsCompletion(reply.code));
    return CheckOutcome(reply, IsCompletion(reply.code), op.kind, false, op.policy);
}

void TVaneFTP::EndDataOperation(DataOperation& op) {
    accepting_ = false;
    acceptRefused_ = false;
    EndUnfinishedUpload(op);
    FDataSocket = nullptr;
    op.socket.reset();
}

// A stopped or failed upload ends with a reset instead of the graceful close, so that
// the server never takes the shortened file for the whole one.
void TVaneFTP::EndUnfinishedUpload(DataOperation& op) {
    if (op.direction == DataOperation::Sending && !op.sentWhole && op.socket &&
        op.socket->SocketHandle != platform::InvalidSocket)
        platform::sock_set_linger(op.socket->SocketHandle, true, 0);
}

void TVaneFTP::TakeLateReply() {
    auto deadline = std::chrono::steady_clock::now() + kLateReplyLimit;
    WaitUntil([&] {
        return InputHasLine() || !Connected || Canceled ||
               std::chrono::steady_clock::now() >= deadline;
    });
    if (Canceled || !InputHasLine())
        return;
    try {
        FinalReply(ReadReply());
    } catch (const Exception&) {
        // The failure being reported matters more than an odd late reply.
    }
}

// A 421 or 426 that arrived during the move ended it (CheckRead): report that line
// instead of a bare cancel.
void TVaneFTP::RaiseServiceEnd() {
    if (!serviceEnded_ || !InputHasLine())
        return;
    serviceEnded_ = false;
    Canceled = false;
    throw FTPException(ReadReply().Text());
}

// Waits for the server's data connection. Only the server at the other end of the
// control connection may connect: anyone else who reaches the port first is turned
// away, and the wait goes on.
int TVaneFTP::AcceptFromServer(TCorsock& data) {
    const platform::NetAddress server = PeerName();
    accepting_ = true;
    acceptRefused_ = false;
    bool foreignReported = false;
    CheckRead(this); // a refusal may already be buffered
    // With a time-out, a server that cannot connect back does not keep us waiting.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeOut);
    auto late = [&] { return TimeOut > 0 && std::chrono::steady_clock::now() >= deadline; };
    for (;;) {
        // The server's close of the control connection ends the wait as well: no
        // completion reply can come any more, and the peer's address is gone with it.
        WaitUntil([&] { return data.AsyncDone || data.Canceled || !Connected || late(); });
        if (!Connected && !data.AsyncDone && !data.Canceled)
            RaiseAcceptEnd(data);
        if (late() && !data.AsyncDone && !data.Canceled)
            RaiseAcceptTimeOut();
        int handle;
        try {
            handle = data.Accept();
        } catch (const ESockError&) {
            if (!acceptRefused_)
                throw;
            RaiseAcceptEnd(data);
        }
        if (handle != platform::InvalidSocket && data.RemoteAddress.same_host(server)) {
            accepting_ = false;
            return handle;
        }
        if (handle != platform::InvalidSocket) {
            platform::sock_close(handle);
            if (!foreignReported) // once: a stranger may knock many times
                StatusMessage(slProtocol, "Refused a data connection from " + data.GetRemoteIP() +
                                              ", which is not the server");
            foreignReported = true;
        }
        data.AsyncDone = false;
        data.Connected = false;
    }
}

// Ends the wait for the data connection with the server's refusal, or, when the server
// closed the control connection without one, with the close.
void TVaneFTP::RaiseAcceptEnd(TCorsock& data) {
    accepting_ = false;
    bool refusal = acceptRefused_;
    if (refusal) {
        data.Canceled = false;
    } else if (InputHasLine()) {
        std::string line = PeekInput().substr(0, PeekInput().find('\n') + 1);
        refusal = ReplyCodeOf(line) >= 400;
    }
    if (!refusal)
        throw ESockError("Connection closed by peer");
    FtpReply reply = ReadReply();
    if (reply.code == 425)
        AdviseOnActiveFailure(reply);
    throw FTPException(reply.Text());
}

// Nothing connected within the time-out. The server's late reply about it (a 425,
// typically) is collected at the end of the operation, as after Stop.
void TVaneFTP::RaiseAcceptTimeOut() {
    accepting_ = false;
    Canceled = true;
    throw ESockError(WithPassiveAdvice("No data connection came from the server within " +
                                           std::to_string(TimeOut) + " ms",
                                       kNoConnectBack));
}

// Reads the listing line by line until the server has closed the data connection and
// every buffered byte is delivered; a last line without a line feed counts too.
void TVaneFTP::ReadListing(TCorsock& data, bool parse) {
    while (data.Connected || data.InBuffer->Size() > 0) {
        if (data.Canceled)
            throw EAbortError("Socket readln aborted");
        std::string line;
        // A line at the length limit without its end is refused by ReadLn, as on the
        // control connection: waiting for the end would wait as long as the server likes.
        if (data.InputHasLine() || data.InBuffer->Size() >= kMaxLineLength) {
            line = data.ReadLn();
        } else if (!data.Connected) {
            line = data.Read(0);
        } else {
            platform::wait_step();
            continue;
        }
        line = CutListingLineEnd(line);
        if (parse && FTPDirectoryList)
            FTPDirectoryList->ParseLine(line);
        if (OnListItem)
            OnListItem(line);
    }
    if (data.PeerReset)
        throw ESockError(data.SocketErrorStr(platform::err::ConnectionReset));
}

// --- Listings -----------------------------------------------------------------------------

// A listing whose lines reach OnListItem (and, when parse holds, the parser).
TVaneFTP::DataOperation TVaneFTP::ListingOperation(TCmdType kind, const std::string& command,
                                                   bool parse) {
    DataOperation op;
    op.kind = kind;
    op.direction = DataOperation::Listing;
    op.status = command;
    op.command = command;
    op.move = [this, parse](TCorsock& data) { ReadListing(data, parse); };
    return op;
}

void TVaneFTP::List(const std::string& arguments) {
    const std::string command = arguments.empty() ? "LIST" : "LIST " + arguments;
    DataOperation op = ListingOperation(cmdList, command, ParseList);
    op.unsupported = true;
    op.startBeforeAccept = true;
    op.prepare = [this] {
        if (!ParseList)
            return;
        if (!FTPDirectoryList) {
            if (Vendor == vendorAuto) {
                try {
                    DoCommand("SYST");
                } catch (...) {
                }
                Vendor = VendorFromSystReply(LastReply);
            }
            FTPDirectoryList = MakeDirectoryList(Vendor);
        }
        if (FTPDirectoryList)
            FTPDirectoryList->Clear();
    };
    RunDataOperation(op);
}

void TVaneFTP::Nlist() {
    DataOperation op = ListingOperation(cmdNList, "NLST", false);
    op.policy = Policy::Raise;
    op.flushAtEnd = true;
    RunDataOperation(op);
}

void TVaneFTP::MachineList(const std::string& path) {
    DataOperation op = ListingOperation(cmdList, path.empty() ? "MLSD" : "MLSD " + path, false);
    op.policy = Policy::Raise;
    op.flushAtEnd = true;
    RunDataOperation(op);
}

// --- Transfers --------------------------------------------------------------------------------

namespace {

std::int64_t LocalFileSize(const std::string& path) {
    TFileStream file(path, TFileStream::OpenRead); // "Cannot open file x"
    return file.Size();
}

} // namespace

// Sends the local file from position `from` on: it is opened, and its size taken, before
// any command, so a missing file is reported before the server is asked for anything;
// the bytes then come from that open file.
void TVaneFTP::RunUpload(DataOperation& op, const std::string& localPath, std::int64_t from) {
    std::optional<TFileStream> file;
    op.direction = DataOperation::Sending;
    op.prepare = [&] {
        file.emplace(localPath, TFileStream::OpenRead); // "Cannot open file x"
        BytesTotal = file->Size();
        if (from < 0 || from > BytesTotal)
            throw Exception("Restart position " + std::to_string(from) + " lies outside the file " +
                            localPath);
    };
    op.move = [&](TCorsock& data) {
        data.SendFile(*file, from);
        // A file that shrank or grew meanwhile (an editor saving it, in place or under the
        // same name) was not sent whole.
        std::error_code error;
        std::uintmax_t named = std::filesystem::file_size(localPath, error);
        if (data.BytesSent != data.BytesTotal || error || std::int64_t(named) != data.BytesTotal)
            throw Exception("The file " + localPath + " changed while it was sent");
    };
    RunDataOperation(op);
}

// Receives into the local file: anew, or, for a restart, from the end of what it holds.
void TVaneFTP::RunDownload(DataOperation& op, const std::string& target, bool restart) {
    std::int64_t have = -1;
    std::int64_t got = 0;
    op.direction = DataOperation::Receiving;
    op.sizeFromReply = true;
    op.flushAtEnd = true;
    if (restart) {
        op.prepare = [&] {
            have = LocalFileSize(target);
            op.restartAt = have;
        };
    }
    op.move = [&](TCorsock& data) {
        data.CaptureFile(target, have);
        if (data.PeerReset) // the server reset the connection: the file is not whole
            throw ESockError(data.SocketErrorStr(platform::err::ConnectionReset));
        got = data.BytesRcvd;
    };
    // Judged after the server's own completion reply, whose text tells more when it
    // reports a failure. Some servers announce the whole size of a restarted file, some
    // what remains.
    op.verify = [&] {
        if (op.announced > 0 && std::max<std::int64_t>(have, 0) + got < op.announced)
            throw Exception("The download of " + target + " ended after " + std::to_string(got) +
                            " of " + std::to_string(op.announced) + " bytes");
    };
    RunDataOperation(op);
}

void TVaneFTP::Upload(const std::string& localPath, const std::string& remoteName) {
    DataOperation op;
    op.kind = cmdUpload;
    op.status = "STOR " + (remoteName.empty() ? localPath : remoteName);
    op.command = "STOR " + (remoteName.empty() ? FileNamePart(localPath) : remoteName);
    op.unsupported = true;
    RunUpload(op, localPath, 0);
}

void TVaneFTP::Upload(TStream& source, const std::string& remoteName) {
    DataOperation op = StreamUpload(source, remoteName);
    RunDataOperation(op);
}

TVaneFTP::DataOperation TVaneFTP::StreamUpload(TStream& source, const std::string& remoteName) {
    DataOperation op;
    op.kind = cmdUpload;
    op.status = "STOR " + remoteName;
    op.command = "STOR " + remoteName;
    op.unsupported = true;
    op.direction = DataOperation::Sending;
    op.prepare = [&] { BytesTotal = source.Size(); };
    op.move = [&](TCorsock& data) {
        // An empty stream has nothing to send: the close alone ends the file.
        if (source.Size() > 0)
            data.SendStream(source);
        if (data.BytesSent != source.Size())
            throw Exception("The data for " + remoteName + " was not sent whole");
    };
    return op;
}

void TVaneFTP::Download(const std::string& remoteName, TStream& target) {
    DataOperation op;
    op.kind = cmdDownload;
    op.status = "RETR " + remoteName;
    op.command = "RETR " + remoteName;
    op.direction = DataOperation::Receiving;
    op.sizeFromReply = true;
    op.flushAtEnd = true;
    std::int64_t got = 0;
    op.move = [&](TCorsock& data) {
        std::string bytes;
        data.CaptureString(bytes, -1);
        if (data.PeerReset) // the server reset the connection: the data is not whole
            throw ESockError(data.SocketErrorStr(platform::err::ConnectionReset));
        got = std::int64_t(bytes.size());
        target.SetPosition(target.Size());
        target.Write(bytes.data(), got);
    };
    op.verify = [&] {
        if (op.announced > 0 && got < op.announced)
            throw Exception("The download of " + remoteName + " ended after " +
                            std::to_string(got) + " of " + std::to_string(op.announced) + " bytes");
    };
    RunDataOperation(op);
}

void TVaneFTP::UploadUnique(const std::string& localPath) {
    DataOperation op;
    op.kind = cmdUpload;
    op.status = "STOU";
    op.command = "STOU";
    op.unsupported = true;
    RunUpload(op, localPath, 0);
}

void TVaneFTP::UploadAppend(const std::string& localPath, const std::string& remoteName) {
    DataOperation op;
    op.kind = cmdAppend;
    op.status = "APPE " + (remoteName.empty() ? localPath : remoteName);
    op.command = "APPE " + (remoteName.empty() ? FileNamePart(localPath) : remoteName);
    op.policy = Policy::Raise;
    RunUpload(op, localPath, 0);
}

void TVaneFTP::UploadRestore(const std::string& localPath, const std::string& remoteName,
                             std::int64_t position) {
    DataOperation op;
    op.kind = cmdUpRestore;
    op.status = "REST " + std::to_string(position) + " STOR " + remoteName;
    op.command = "STOR " + (remoteName.empty() ? FileNamePart(localPath) : remoteName);
    op.restartAt = position;
    RunUpload(op, localPath, position);
}

void TVaneFTP::Download(const std::string& remoteName, const std::string& localPath) {
    DataOperation op;
    op.kind = cmdDownload;
    op.status = "RETR " + remoteName;
    op.command = "RETR " + remoteName;
    RunDownload(op, localPath.empty() ? remoteName : localPath, false);
}

void TVaneFTP::DownloadRestore(const std::string& remoteName, const std::string& localPath) {
    DataOperation op;
    op.kind = cmdDownRestore;
    op.status = "REST RETR " + remoteName;
    op.command = "RETR " + remoteName;
    RunDownload(op, localPath.empty() ? remoteName : localPath, true);
}

} // namespace kestrel
