// TVaneFTP: the active-mode data connection that every listing and transfer runs,
// the listings, and the file transfers.
//
// One skeleton serves all eight operations:
//   PORT h1,h2,h3,h4,p1,p2   -> 200
//   [REST n                  -> 350]
//   STOR/RETR/LIST/...       -> 150
//   accept the server's connection, move the data, close it
//   completion reply         -> 226
// The operations differ only in the switches of DataOperation.
#include "net/ftp/ftppassive.h"
#include "net/ftp/ftpreply.h"
#include "net/ftp/vaneftp.h"

#include <chrono>
#include <functional>

namespace kestrel {
namespace {

// What went wrong when an active-mode data connection does not come.
constexpr const char* kNoConnectBack = "the server could not connect back";

// How long a transfer that failed on the data connection waits for the server's reply.
constexpr auto kLateReplyLimit = std::chrono::seconds(2);

int ReplyCodeOf(const std::string& line) {
    int code = 0;
    for (std::size_t i = 0; i < line.size() && i < 3 && line[i] >= '0' && line[i] <= '9'; ++i)
        code = code * 10 + (line[i] - '0');
    return code;
}

// The file-name part of a local path, sent when no remote name is given.
std::string FileNamePart(const std::string& path) {
    std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Reads the server's reply about a transfer that failed on the data connection, waiting a
// little for it; a silent server, the user's Stop or a closed connection end the wait.
void TakeLateReply(TVaneFTP& ftp) {
    auto deadline = std::chrono::steady_clock::now() + kLateReplyLimit;
    platform::wait_until([&] {
        return ftp.InputHasLine() || !ftp.Connected || ftp.Canceled ||
               std::chrono::steady_clock::now() >= deadline;
    });
    if (ftp.Canceled || !ftp.InputHasLine())
        return;
    std::string line = ftp.ReadLn();
    ftp.StatusMessage(1, line);
    ftp.ReadExtraLines(line);
    ftp.LastReply = line;
    ftp.ReplyCode = std::int16_t(ReplyCodeOf(line));
}

} // namespace

// An active-mode data connection that will not come: the server refused PORT, or
// answered 425 (low = 425) because it could not connect back. Behind address
// translation or a firewall that is the rule, so the reply says what to do about it.
void TVaneFTP::AdviseOnActiveFailure(int low) {
    if (ReplyCode >= low && (low == 425 ? ReplyCode == 425 : ReplyCode <= 599))
        LastReply = WithPassiveAdvice(LastReply, kNoConnectBack);
}

struct TVaneFTP::DataOperation {
    enum Direction { Listing, Sending, Receiving };
    TCmdType kind = cmdList;
    Direction direction = Listing;
    std::string status;  // status text shown before the command
    std::string command; // the transfer command
    Policy policy = Policy::Events;
    bool unsupported = false;       // OnUnSupportedFunction on the command's refusal
    bool plainTransaction = false;  // first line only; continuation lines read here
    bool startBeforeAccept = false; // OnTransactionStart before the accept (LIST)
    bool flushAtEnd = false;
    std::int64_t restartAt = -1;         // REST n before the command when >= 0
    std::function<void()> prepare;       // before PORT
    std::function<void(TCorsock&)> move; // the data step
};

void TVaneFTP::RunDataOperation(DataOperation& op) {
    Canceled = false;
    CertifyConnect();
    CheckCommandText(op.command);
    auto stopped = [this] { return Canceled || TimedOut; };

    bool completed = false;
    bool sentWhole = false; // an upload handed over all its bytes: a graceful close may end it
    FDataSocket = new TCorsock(this);
    TCorsock& data = *FDataSocket;
    // A stopped or failed upload ends with a reset instead of the graceful close, so that
    // the server never takes the shortened file for the whole one.
    auto resetUnfinishedUpload = [&] {
        if (op.direction == DataOperation::Sending && !sentWhole && FDataSocket &&
            FDataSocket->SocketHandle != platform::InvalidSocket)
            platform::sock_set_linger(FDataSocket->SocketHandle, true, 0);
    };
    // The end step runs however the operation ends.
    auto finish = [&] {
        accepting_ = false;
        acceptRefused_ = false;
        resetUnfinishedUpload();
        delete FDataSocket;
        FDataSocket = nullptr;
    };
    try {
        DiscardInput();
        bool passive = DataMode == TDataMode::Passive;
        if (passive) {
            if (op.prepare)
                op.prepare();
            int pport = RequestPassivePort(op.kind, op.policy);
            if (pport == 0) {
                finish();
                return;
            }
            ConnectPassive(data, pport);
        } else {
            data.TimeOut = TimeOut;
            data.Port = 0;
            data.Listen(true);
            if (op.prepare)
                op.prepare();

            // PORT with the address by which the server already reaches us, e.g.
            // PORT 127,0,0,1,4,7 for data port 1031.
            std::string port = "PORT " + GetLocalAddress() + data.GetPortString();
            StatusMessage(1, port);
            Transaction(port);
            AdviseOnActiveFailure(301);
            // A refused PORT means no data connection will come: end quietly when handled.
            if (!CheckOutcome(301, 599, op.kind, false, op.policy, LastReply)) {
                finish();
                return;
            }
        }

        if (op.direction == DataOperation::Sending && OnPacketSent)
            data.OnPacketSent = OnPacketSent;
        if (op.direction == DataOperation::Receiving && OnPacketRecvd)
            data.OnPacketRecvd = OnPacketRecvd;

        if (op.restartAt >= 0) {
            std::string rest = "REST " + std::to_string(op.restartAt);
            StatusMessage(1, rest);
            Transaction(rest);
            if (!CheckOutcome(400, 599, op.kind, false, op.policy, LastReply)) {
                finish();
                return;
            }
        }

        StatusMessage(1, op.status);
        if (op.plainTransaction) {
            BytesTotal = 0;
            std::string line = TCorsock::Transaction(op.command);
            if (!passive)
                AdviseOnActiveFailure(425);
            if (!CheckOutcome(301, 599, op.kind, false, op.policy, LastReply)) {
                finish();
                return;
            }
            BytesTotal = GetBytesTotal(line);
            // Continuation lines may announce the size; each is judged again by the
            // first line's code.
            while ((!line.empty() && line[0] == ' ') || (line.size() >= 4 && line[3] == '-')) {
                line = ReadLn();
                StatusMessage(1, line);
                if (BytesTotal == 0)
                    BytesTotal = GetBytesTotal(line);
                if (!CheckOutcome(301, 599, op.kind, op.kind == cmdDownload, op.policy, line)) {
                    finish();
                    return;
                }
            }
        } else {
            Transaction(op.command);
            if (!passive)
                AdviseOnActiveFailure(425);
            if (!CheckOutcome(301, 599, op.kind, op.unsupported, op.policy, LastReply)) {
                finish();
                return;
            }
        }

        if (op.startBeforeAccept && OnTransactionStart)
            OnTransactionStart(this);
        if (!passive) {
            int handle = AcceptFromServer(data);
            data.AdoptSocket(handle);
            // Close every data connection gracefully, so that the server receives the whole
            // file before it sees the end of it.
            platform::sock_set_linger(handle, false, 0);
        }
        if (!op.startBeforeAccept && OnTransactionStart)
            OnTransactionStart(this);

        if (!stopped()) {
            try {
                op.move(data);
            } catch (const EAbortError&) {
                throw;
            } catch (const ESockError&) {
                // The server closed or reset the data connection early. Its reply about the
                // transfer is still to come: take it now, so that it does not answer the
                // next command, and report the data connection's error.
                resetUnfinishedUpload();
                data.ShuttingDown = true;
                data.RequestCloseSocket();
                TakeLateReply(*this);
                throw;
            }
            sentWhole = !stopped();
        }
        if (OnTransactionStop)
            OnTransactionStop(this);
        data.ShuttingDown = true; // no fresh socket after this close
        resetUnfinishedUpload();
        data.RequestCloseSocket();

        if (op.direction != DataOperation::Sending) {
            BytesTotal = data.BytesRcvd;
            StatusMessage(1, "Received " + std::to_string(BytesTotal) + " Bytes");
        }

        // The completion reply decides: a 4xx or 5xx says the server did not store or
        // send the data whole.
        std::string reply;
        if (stopped()) {
            if (!(ServerClosingLineBuffered() && InputHasLine()))
                throw EAbortError("Socket readln aborted");
            Canceled = false;
        }
        reply = ReadReplyLine();
        StatusMessage(1, reply);
        ReadExtraLines(reply);
        LastReply = reply;
        ReplyCode = std::int16_t(ReplyCodeOf(reply));
        completed = CheckOutcome(400, 599, op.kind, false, op.policy, reply);
    } catch (...) {
        finish();
        // After any interrupted operation the server's late reply about it (426, or the
        // 226 of a partial upload) must not be taken for the answer to the next command.
        if (Canceled) {
            try {
                Flush();
            } catch (...) {
            }
        }
        throw;
    }
    finish();
    if (completed && OnSuccess)
        OnSuccess(op.kind);
    if (op.flushAtEnd && Canceled)
        Flush();
}

// Waits for the server's data connection. Only the server at the other end of the
// control connection may connect: anyone else who reaches the port first is turned
// away, and the wait goes on.
int TVaneFTP::AcceptFromServer(TCorsock& data) {
    std::uint32_t server = 0;
    platform::sock_peer_name(SocketHandle, &server, nullptr);
    accepting_ = true;
    acceptRefused_ = false;
    CheckRead(this); // a refusal may already be buffered
    for (;;) {
        // The server's close of the control connection ends the wait as well: no
        // completion reply can come any more, and the peer's address is gone with it.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TimeOut);
        auto late = [&] { return TimeOut > 0 && std::chrono::steady_clock::now() >= deadline; };
        WaitUntil([&] { return data.AsyncDone || data.Canceled || !Connected || late(); });
        if (late() && !data.AsyncDone && !data.Canceled && Connected) {
            accepting_ = false;
            Canceled = true; // the server's late reply about it is flushed at the end
            throw ESockError(WithPassiveAdvice("No data connection came from the server within " +
                                                   std::to_string(TimeOut) + " ms",
                                               kNoConnectBack));
        }
        if (!Connected && !data.AsyncDone && !data.Canceled) {
            accepting_ = false;
            std::string line = InputHasLine() ? ReadLn() : std::string();
            if (ReplyCodeOf(line) >= 400) {
                StatusMessage(1, line);
                LastReply =
                    ReplyCodeOf(line) == 425 ? WithPassiveAdvice(line, kNoConnectBack) : line;
                line = LastReply;
                ReplyCode = std::int16_t(ReplyCodeOf(line));
                throw FTPException(line);
            }
            throw ESockError("Connection closed by peer");
        }
        int handle;
        try {
            handle = data.Accept();
        } catch (const ESockError&) {
            accepting_ = false;
            if (!acceptRefused_)
                throw;
            // The server refused the transfer instead of connecting: report its line.
            data.Canceled = false;
            std::string line = ReadReplyLine();
            StatusMessage(1, line);
            ReadExtraLines(line);
            LastReply = line;
            ReplyCode = std::int16_t(ReplyCodeOf(line));
            AdviseOnActiveFailure(425);
            throw FTPException(LastReply);
        }
        if (handle != platform::InvalidSocket && data.RemoteAddress.addr == server) {
            accepting_ = false;
            return handle;
        }
        if (handle != platform::InvalidSocket)
            platform::sock_close(handle);
        data.AsyncDone = false;
        data.Connected = false;
    }
}

// Reads the listing line by line until the server has closed the data connection and
// every buffered byte is delivered; a last line without a line feed counts too.
void TVaneFTP::ReadListing(TCorsock& data, bool parse) {
    while (data.Connected || data.InBuffer->Size() > 0) {
        if (data.Canceled)
            throw EAbortError("Socket readln aborted");
        std::string line;
        if (data.InputHasLine()) {
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
        throw ESockError(data.SocketErrorStr(10054));
}

// --- Listings -----------------------------------------------------------------------------

void TVaneFTP::List() {
    DataOperation op;
    op.kind = cmdList;
    op.direction = DataOperation::Listing;
    op.status = "LIST";
    op.command = "LIST";
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
    op.move = [this](TCorsock& data) { ReadListing(data, ParseList); };
    RunDataOperation(op);
}

void TVaneFTP::Nlist() {
    DataOperation op;
    op.kind = cmdNList;
    op.direction = DataOperation::Listing;
    op.status = "NLST";
    op.command = "NLST";
    op.policy = Policy::Raise;
    op.flushAtEnd = true;
    op.move = [this](TCorsock& data) { ReadListing(data, false); };
    RunDataOperation(op);
}

void TVaneFTP::MachineList(const std::string& path) {
    DataOperation op;
    op.kind = cmdList;
    op.direction = DataOperation::Listing;
    op.status = path.empty() ? "MLSD" : "MLSD " + path;
    op.command = op.status;
    op.policy = Policy::Raise;
    op.flushAtEnd = true;
    op.move = [this](TCorsock& data) { ReadListing(data, false); };
    RunDataOperation(op);
}

// --- Transfers --------------------------------------------------------------------------------

namespace {

std::int64_t LocalFileSize(const std::string& path) {
    TFileStream file(path, TFileStream::OpenRead); // "Cannot open file x"
    return file.Size();
}

} // namespace

// Sends the local file from position `from` on: its size is taken before any command,
// so a missing file is reported before the server is asked for anything.
void TVaneFTP::RunUpload(DataOperation& op, const std::string& localPath, std::int64_t from) {
    op.direction = DataOperation::Sending;
    op.prepare = [&] {
        BytesTotal = LocalFileSize(localPath);
        if (from < 0 || from > BytesTotal)
            throw Exception("Restart position " + std::to_string(from) + " lies outside the file " +
                            localPath);
    };
    op.move = [&](TCorsock& data) { data.SendFile(localPath, from); };
    RunDataOperation(op);
}

// Receives into the local file: anew, or, for a restart, from the end of what it holds.
void TVaneFTP::RunDownload(DataOperation& op, const std::string& target, bool restart) {
    std::int64_t have = -1;
    op.direction = DataOperation::Receiving;
    op.plainTransaction = true;
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
            throw ESockError(data.SocketErrorStr(10054));
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
