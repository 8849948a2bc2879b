// TVaneFTP: an active-mode FTP client component. Its inherited socket is the control
// connection; each listing or transfer makes one more TCorsock as its data connection
// and frees it before returning.
//
// Every operation blocks its caller while the thread's message dispatch keeps
// turning, so events fire during the call. Outcomes are reported by events
// (OnSuccess, OnFailure, OnUnSupportedFunction) and by FTPException, whose message is
// the server's refusing reply line as received.
#pragma once

#include "net/ftp/ftplist.h"
#include "net/ftp/ftpreply.h"
#include "net/sock/csock.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kestrel {

class FTPException : public Exception {
public:
    using Exception::Exception;
};

// A reply that did not come within ReplyTimeOut: "The server did not answer within 5 s".
// The control connection is closed by then, since the late reply would answer a later
// command.
class EReplyTimeOut : public ESockError {
public:
    using ESockError::ESockError;
};

// A listing or transfer that failed after its data connection began a TLS session of its
// own instead of resuming one of the control connection's. Servers that insist on the
// resumption refuse such a connection (vsftpd: "522 SSL connection failed: session reuse
// required") and often end the whole session; the same operation on a new log-in, whose
// control connection brings fresh sessions, is the remedy. The message is the failure's.
class ETlsResumeRefused : public FTPException {
public:
    using FTPException::FTPException;
};

// Kind of operation that an outcome event reports.
enum TCmdType : std::uint8_t {
    cmdChangeDir,
    cmdMakeDir,
    cmdDelete,
    cmdRemoveDir,
    cmdList,
    cmdRename,
    cmdUpRestore,
    cmdDownRestore,
    cmdDownload,
    cmdUpload,
    cmdAppend,
    cmdReInit,
    cmdAllocate,
    cmdNList,
    cmdDoCommand,
    cmdCurrentDir,
};

// How a data connection is opened: the server connects back to a port this side
// listens on (PORT, the default), or this side connects to a port the server listens
// on (EPSV, else PASV).
enum class TDataMode : std::uint8_t { Active, Passive };
// FTP over TLS: none (the default); explicit TLS (AUTH TLS after the greeting) when the
// server offers it, or required (a server that refuses AUTH TLS fails the log-in); or
// implicit TLS (RFC 4217 calls it the older form: TLS from the first byte, usually on
// port 990, see DefaultPort).
enum class TEncryption : std::uint8_t { None, IfOffered, Required, Implicit };
// How a byte 255 in a command (in a name, mostly a Latin-1 "\xff") goes on the wire. RFC 959
// carries commands as Telnet text, where 255 (IAC) begins a Telnet command and a 255 of the
// text is sent doubled; a server that follows it (proftpd) takes a single one for a command
// and loses it. Other servers (vsftpd) take every byte as it comes and would keep both
// bytes of a doubled one. Double (the default) follows RFC 959; AsIs is for the others.
enum class TIacRule : std::uint8_t { Double, AsIs };

// The bytes of command as the rule sends them: "STOR x\xffy" is "STOR x\xff\xffy" doubled.
std::string CommandBytes(const std::string& command, TIacRule rule);

using TFailureEvent = std::function<void(bool& Handled, TCmdType Trans_Type)>;
using TSuccessEvent = std::function<void(TCmdType Trans_Type)>;
using TUnsupportedEvent = std::function<void(TCmdType Trans_Type)>;
using TVaneListItem = std::function<void(const std::string& Listing)>;

class TVaneFTP : public TCorsock {
public:
    explicit TVaneFTP(TComponent* owner);
    ~TVaneFTP() override;

    // --- Published properties -----------------------------------------------------
    TNotifyEvent OnConnect; // log-in completed (hides the socket's connect notification)
    std::string UserID;
    std::string Password;
    TNotifyEvent OnTransactionStart;
    TNotifyEvent OnTransactionStop;
    THandlerEvent OnAuthenticationNeeded;
    THandlerEvent OnAuthenticationFailed;
    TFailureEvent OnFailure;
    TSuccessEvent OnSuccess;
    TVaneListItem OnListItem;
    TUnsupportedEvent OnUnSupportedFunction;
    int Vendor = vendorAuto;
    bool ParseList = false;
    // Active (the default): the server connects back to a port this side listens on,
    // which fails behind address translation or a firewall. Passive: EPSV, else PASV,
    // and this side connects to the port given, on the control connection's server. The
    // data connection takes the control connection's family: over IPv6 active mode sends
    // EPRT instead of PORT, and passive mode EPSV only (PASV cannot name an IPv6 address).
    TDataMode DataMode = TDataMode::Active;
    // For a server that reads several commands from one packet (ProbePipelining): commands
    // that need not wait for each other's replies go together, a round trip less each time.
    // In passive mode the transfer command goes with the EPSV that asks for its data
    // connection, instead of after the connection is open (never with REST, PASV or
    // protected data connections; a server that wants the connection open first, 425 or
    // 503 to the command, gets the operation again the ordinary way, and so for the rest
    // of the session). RNTO goes with its RNFR. An upload of at most kEarlyDataBytes
    // whose command went with its EPSV is sent without waiting for the 150.
    bool Pipelining = false;
    TEncryption Encryption = TEncryption::None;
    TCertificateEvent OnCertificateCheck; // a server certificate failed verification
    // The TLS sessions of the last log-in to this host and port (null: none yet). A new
    // log-in's control connection resumes the newest of them, a handshake and its
    // certificate check less, and keeps its own there for the next; one that another
    // connection of the same client to the same server handed over serves as well. Kept
    // across Disconnect.
    std::shared_ptr<TTlsSessionSlot> TlsSessions;
    // ms a whole reply may take from the moment it is awaited (the greeting, a command's
    // reply, the completion reply after a transfer); a server that is later raises
    // EReplyTimeOut. 0, the default: replies are waited for as long as they take.
    std::int32_t ReplyTimeOut = 0;
    // Names are sent and received as the bytes they are; a server that treats them as
    // UTF-8 only when asked (RFC 2640) is asked once per log-in, with OPTS UTF8 ON, as soon
    // as it lists UTF8 in its FEAT reply (Features()). With Utf8Names set the log-in ends
    // with OPTS UTF8 ON without asking FEAT: for a further connection to a server whose
    // FEAT is known to list it. A refusal is ignored: the server is used as it is.
    bool Utf8Names = false;
    TIacRule IacRule = TIacRule::Double; // how a byte 255 of a command is sent

    // --- Run-time state ---------------------------------------------------------------
    TCorsock* FDataSocket = nullptr;
    std::unique_ptr<TFTPDirectoryList> FTPDirectoryList;
    bool Secured = false; // the control connection runs over TLS
    bool Utf8On = false;  // the server accepted OPTS UTF8 ON in this session

    // --- Session --------------------------------------------------------------------------
    void Connect() override;
    void Disconnect() override;
    std::string Transaction(const std::string& command) override;
    void ReadExtraLines(std::string line);
    void DoCommand(const std::string& command);
    void CheckRead(TComponent* Sender);
    void Flush();
    void Abort() override;
    std::int64_t GetBytesSent() const;
    std::int64_t GetBytesRcvd() const;

    // --- Single commands -------------------------------------------------------------------
    void ChangeDir(const std::string& name);
    void MakeDirectory(const std::string& name);
    void RemoveDir(const std::string& name);
    void Delete(const std::string& name);
    void Reinitialize();
    void Allocate(std::int64_t count);
    void Mode(int code);
    std::string GetCurrentDir();
    void Rename(const std::string& oldName, const std::string& newName);
    // FEAT (RFC 2389): the server's feature lines without their leading blank, e.g.
    // "MLST type*;size*;modify*;" or "UTF8"; empty when the server refuses FEAT. A first
    // list with UTF8 in a session is followed by OPTS UTF8 ON (see Utf8Names).
    std::vector<std::string> Features();

    // --- Several commands at once (vaneftp_pipeline.cpp) ---------------------------------------
    // On a link where a round trip costs tens of milliseconds, commands that do not depend on
    // each other's replies are sent together and their replies read afterwards, in order.
    //
    // Sends the commands together (in as few packets as their length allows) and reads one
    // final reply per command, in order, past any preliminary (1xx) reply. Only for commands
    // without a data connection, and only on a server that reads more than one command from
    // a packet (ProbePipelining): one that does not leaves the rest unanswered. A refusal
    // does not raise: each reply is the caller's to judge. A failure of the connection raises
    // as for one command; the replies still to come are then out of step, so the session
    // must log in again before its next command.
    std::vector<FtpReply> Pipeline(const std::vector<std::string>& commands);
    // The same, the replies read into replies as they come: after a failure of the
    // connection they are those of the commands answered before it.
    void Pipeline(const std::vector<std::string>& commands, std::vector<FtpReply>& replies);
    // Writes the commands in as few packets as their length allows; their replies are the
    // caller's to read.
    void SendTogether(const std::vector<std::string>& commands);
    // Whether the server answers commands sent together: "NOOP" twice in one packet, and a
    // second reply waited for a little beyond the first (at least kPipelineProbeWaitMs, and
    // twice the first reply's round trip), whatever the replies say. A server that reads
    // one command per packet never answers the second; the session stays in step all the
    // same. Ask once per log-in. first, when given, goes in the first NOOP's place (a command
    // the session needs anyway, "TYPE I"); its reply goes to firstReply, for the caller to
    // judge.
    bool ProbePipelining(const std::string& first = "NOOP", FtpReply* firstReply = nullptr);
    static constexpr int kPipelineProbeWaitMs = 250;
    // The largest upload sent before the server's 150 (see Pipelining): well within what
    // the connection's buffers take before the server reads any of it.
    static constexpr std::int64_t kEarlyDataBytes = 32 * 1024;
    // As Pipeline, for a batch that holds listings on the control connection (vaneftp_status.cpp):
    // "STAT <path>" (RFC 959) answers with a folder's listing as a multi-line reply, no data
    // connection needed:
    //   -> CWD /site/a\r\nSTAT /site/a\r\nCWD /site/b\r\nSTAT /site/b\r\n   (one packet)
    //   <- 250 Directory successfully changed.
    //   <- 213-Status follows:
    //   <- -rw-r--r--    1 1006  0   4096 Dec 09 08:05 index.htm
    //   <- 213 End of status
    //   <- ...
    // The lines between the first and the last line of a multi-line reply go to onLine (the
    // command's index, the line without its line end) and not into the reply, which keeps its
    // first and final line. Once a reply's first line ends in CR LF, its lines end only at CR
    // LF: a bare LF is a byte of a name, so a file named "x\n213 End" cannot end the reply
    // early. A reply of more than mostBytes raises FTPException; as with Pipeline's failures
    // the replies still to come are then out of step, and the session must log in again.
    std::vector<FtpReply>
    PipelineListing(const std::vector<std::string>& commands,
                    const std::function<void(std::size_t, const std::string&)>& onLine,
                    std::size_t mostBytes);

    // --- Small uploads one after another (vaneftp_series.cpp) --------------------------------
    // A file of UploadSeries: its name on the server and its bytes.
    struct TSeriesFile {
        std::string remoteName;
        std::string bytes;
    };
    // What became of one file of UploadSeries: nothing when the server stored it, else the
    // server's refusing reply.
    using TSeriesOutcome = std::optional<std::string>;
    // Uploads the files in their order, each by STOR from memory, one outcome per file into
    // outcomes; a refusal does not raise. Where SendsAhead holds, the next file's EPSV and
    // STOR go out as soon as the data of the one before is sent, before its 226:
    //   -> EPSV\r\nSTOR a.htm\r\n            <- 229 (|||6446|)    connect, data of a.htm, close
    //   -> EPSV\r\nSTOR b.htm\r\n            <- 150, 226 (a.htm), 229 (|||6447|)   connect, ...
    // so the next 229 comes with the 226, a round trip less per file. That is done only on a
    // server that reads no command while a transfer runs (one that did could take the EPSV
    // for the end of the running transfer): found out with the first file of each log-in, whose
    // STOR goes with a NOOP; a server that answers the NOOP only after the 226 holds the
    // commands, one that answers it sooner gets each file's commands after the 226 before.
    // A failure of the connection raises as for one upload, outcomes holding the files
    // finished before it; when the next file's commands were already sent by then, the
    // control connection is closed, since its replies are out of step. starting(i) is called
    // before file i is begun, and may add files at the end of files (the series looks at
    // their number after it): a caller that has more to send keeps the series going. Each
    // file's bytes are released once it is done with, so that a long series holds only the
    // files still to go.
    void UploadSeries(std::vector<TSeriesFile>& files, std::vector<TSeriesOutcome>& outcomes,
                      const std::function<void(std::size_t)>& starting);
    // Whether UploadSeries sends files' commands ahead on this log-in, as far as known before
    // its first file: passive mode, commands together (Pipelining) and their transfer
    // command with the EPSV, unprotected data connections.
    bool SendsAhead() const;

    // --- Listings and transfers -------------------------------------------------------------
    // LIST, or "LIST <arguments>" ("LIST -a": hidden names too, on servers that take it).
    void List(const std::string& arguments = "");
    void Nlist();
    // MLSD (RFC 3659) of a folder (the current one when empty): each fact line, e.g.
    // "type=file;size=2048;modify=20261208101500; index.htm", reaches OnListItem.
    // Failures raise FTPException.
    void MachineList(const std::string& path = "");
    void Upload(const std::string& localPath, const std::string& remoteName);
    void Download(const std::string& remoteName, const std::string& localPath);
    // The same from and into memory: STOR of the stream's bytes from its start, and RETR
    // appended to the stream; no local file is involved.
    void Upload(TStream& source, const std::string& remoteName);
    void Download(const std::string& remoteName, TStream& target);
    void UploadUnique(const std::string& localPath);
    void UploadAppend(const std::string& localPath, const std::string& remoteName);
    void UploadRestore(const std::string& localPath, const std::string& remoteName,
                       std::int64_t position);
    void DownloadRestore(const std::string& remoteName, const std::string& localPath);
    // The size a server announces in a reply line ("... (2048 bytes)"); 0 when none is
    // found or it does not fit 64 bits.
    static std::int64_t GetBytesTotal(const std::string& text);
    // The port a server listens on for this kind of encryption unless it says otherwise:
    // 990 for implicit TLS, else 21. A port the user gives always wins.
    static int DefaultPort(TEncryption encryption);

protected:
    std::string ReadReplyLine() override;

private:
    struct DataOperation;
    enum class Policy { Events, Raise };

    // --- Replies (vaneftp.cpp) -----------------------------------------------------------
    // Reads one whole reply: the first line (a 421 or 426 that cancelled the wait is the
    // reply itself), then its continuation lines. Every line is reported at slProtocol;
    // LastReply is the first line and ReplyCode its code. A first line without a code
    // raises FTPException "Invalid reply from server: <line>".
    FtpReply ReadReply();
    void ReadRestOf(FtpReply& reply);
    // Waits for the next line of the reply under way, until ReplyTimeOut from the reply's
    // start; past it the control connection is closed and EReplyTimeOut raised.
    void AwaitReplyLine();
    void StartReplyClock(); // a reply is awaited from now on
    [[noreturn]] void RefuseLongReply();
    // Reads replies until one is not preliminary (1xx) and returns that final one.
    FtpReply FinalReply(FtpReply reply);
    // One final reply of PipelineListing (vaneftp_status.cpp).
    FtpReply ListingReply(std::size_t index,
                          const std::function<void(std::size_t, const std::string&)>& onLine,
                          std::size_t mostBytes);
    // Sends a command, showing `shown` on the status line, and reads its first reply.
    FtpReply StartCommand(const std::string& command, const std::string& shown);
    // As StartCommand, up to the command's final reply.
    FtpReply Command(const std::string& command, const std::string& shown);
    // The outcome rule: true when the reply passed, false when it was refused and an
    // OnFailure handler marked it handled; raises FTPException with the reply's text
    // otherwise. 500-502 ask OnUnSupportedFunction first when unsupported is set.
    bool CheckOutcome(const FtpReply& reply, bool passed, TCmdType kind, bool unsupported,
                      Policy policy);
    void DiscardInput();
    static void CheckCommandText(const std::string& text);
    bool ServerClosingLineBuffered() const;
    void QuitBeforeDestroy();
    FtpReply QuitWithinLimit();
    void LogIn();
    // OPTS UTF8 ON, once per session; the reply only sets Utf8On.
    void AskForUtf8();
    bool utf8Asked_ = false; // OPTS UTF8 ON was sent in this session

    // --- The data operation (vaneftp_data.cpp) ----------------------------------------
    // Every listing and transfer runs these steps in this order; the first two that
    // depend on the data mode are OpenDataPort and ConnectData.
    void RunDataOperation(DataOperation& op);
    bool RunDataSteps(DataOperation& op);
    // Makes op's data socket (FDataSocket observes it) and tells the server where the
    // data connection goes. Returns false when the server refused and OnFailure handled
    // it (the operation then ends quietly); raises otherwise.
    bool OpenDataPort(DataOperation& op);
    // REST when the operation restarts, then the transfer command up to its preliminary
    // reply; false as OpenDataPort.
    bool SendTransferCommand(DataOperation& op);
    // Returns once op's data socket is connected to the server's end, watching the
    // control connection meanwhile: the server's refusal (425, 426, 421) or its close of
    // the control connection ends the wait with that line or error; Stop ends it too.
    void ConnectData(DataOperation& op);
    // Moves the data and closes the data connection (gracefully when all went well).
    void MoveData(DataOperation& op);
    // Raises when the received data of an encrypted connection ended without close_notify.
    void RequireEndOfData(DataOperation& op);
    // Reads the server's reply about the transfer; true when it reports success.
    bool ReadCompletion(DataOperation& op);
    // The one clean-up of every data operation: frees the data socket, resetting an
    // upload that did not hand over all its bytes.
    void EndDataOperation(DataOperation& op);
    void EndUnfinishedUpload(DataOperation& op);
    // After a failure on the data connection: the server's reply about the transfer,
    // waited for a little, so that it never answers the next command.
    void TakeLateReply();
    void RaiseServiceEnd();
    bool Stopped() const { return Canceled || TimedOut; }
    void NotifyTransactionStart();
    int AcceptFromServer(TCorsock& data);
    [[noreturn]] void RaiseAcceptEnd(TCorsock& data);
    void ReadListing(TCorsock& data, bool parse);
    DataOperation ListingOperation(TCmdType kind, const std::string& command, bool parse);
    void RunUpload(DataOperation& op, const std::string& localPath, std::int64_t from);
    // An upload of source's bytes from its start (Upload(TStream&) and UploadSeries).
    DataOperation StreamUpload(TStream& source, const std::string& remoteName);
    void RunDownload(DataOperation& op, const std::string& target, bool restart);

    // --- Encryption (vaneftp_tls.cpp) -----------------------------------------------------
    void ResetTls();
    // The TLS handshake on the control connection as Encryption asks (implicit: at once,
    // before the greeting; explicit: AUTH TLS after it); the certificate must be trusted.
    void StartControlTls();
    void TrustCertificate();
    // PBSZ 0 and PROT P after the log-in of an encrypted session.
    void ProtectData();
    // The TLS handshake on op's data connection, when data connections are protected.
    void SecureData(DataOperation& op);

    std::shared_ptr<TTlsSessionSlot> tlsSlot_; // the session data connections resume
    std::string tlsSessionsFor_;               // host and port of TlsSessions
    std::string serverFingerprint_;            // of the control connection's certificate
    bool dataProtected_ = false;               // PROT P was accepted

    // --- Passive mode (vaneftp_passive.cpp) ----------------------------------------------
    // EPSV, or PASV once a server refused EPSV with 5xx (over IPv4 only): the port on which the
    // server waits for the data connection; 0 when it refused and OnFailure handled that.
    int RequestPassivePort(TCmdType kind, Policy policy);
    // Connects data to that port of the control connection's server (never to an address
    // a reply names), bounded by TimeOut and ended by Abort.
    void ConnectPassive(TCorsock& data, int port);
    std::string ControlPeerAddress() const;
    // A new log-in tries EPSV again.
    void ResetPassiveChoice();
    // The passive-mode OpenDataPort: asks for the port and connects to it.
    bool OpenPassivePort(DataOperation& op);
    // EPSV and op's transfer command in one packet (Pipelining): the port, or 0 as
    // RequestPassivePort.
    int RequestPassivePortWithCommand(DataOperation& op);
    // Puts the advice to try passive mode into a reply that means an active-mode data
    // connection will not come (in active mode only).
    void AdviseOnActiveFailure(FtpReply& reply);
    [[noreturn]] void RaiseAcceptTimeOut();

    // --- Small uploads one after another (vaneftp_series.cpp) ----------------------------
    // The EPSV and STOR of the next upload, sent before the running one's completion reply.
    void SendAhead(const std::string& remoteName);
    // After a NOOP went with a transfer command: reply is the first reply after the EPSV's;
    // when it is the NOOP's (200, which no transfer command answers), the server read it while
    // the transfer ran, and the transfer's own reply is read instead.
    FtpReply TransferReply(DataOperation& op, FtpReply reply);
    // The NOOP's reply, after the transfer's final one (afterTransfer: the transfer ran).
    void TakeNoopReply(DataOperation& op, bool afterTransfer);
    // Closes a control connection whose replies are out of step.
    void CloseOutOfStep();
    // Whether the server holds commands while a transfer runs; nothing until found out.
    std::optional<bool> holdsCommands_;
    bool aheadSent_ = false;     // the next upload's EPSV and STOR are on their way
    bool refusedInStep_ = false; // the last raise was the server's whole refusing reply

    bool pasvOnly_ = false;             // this server refused EPSV: PASV for the session
    bool connectBeforeCommand_ = false; // it refused a transfer command sent with its EPSV
    bool foreignPasvReported_ = false;  // a PASV reply named another address (said once)

    bool accepting_ = false;     // a data operation waits for the server's connection
    bool acceptRefused_ = false; // the server refused the transfer while we waited
    bool serviceEnded_ = false;  // a 421 or 426 ended the data operation's wait
    bool staleTail_ = false;     // the rest of a line that DiscardInput cut is still to come
    std::chrono::steady_clock::time_point replyDeadline_ =
        std::chrono::steady_clock::time_point::max();
};

} // namespace kestrel
