// TVaneFTP: log-in and log-out, reply reading, the outcome rule and single commands.
#include "net/ftp/vaneftp.h"
#include "net/ftp/ftpreply.h"

#include <cctype>
#include <chrono>

namespace kestrel {
namespace {

constexpr const char* kInvalidCharacter = "Invalid character in command";
// Flush waits at most 1.1e-5 of a day for a late reply.
constexpr auto kFlushLimit = std::chrono::microseconds(950400);
// A server that does not answer QUIT must not keep a closing program waiting.
constexpr auto kQuitLimit = std::chrono::seconds(2);

TCmdType Classify(const std::string& command) {
    std::string verb = command.substr(0, command.find(' ')) + " ";
    if (verb == "CWD ")
        return cmdChangeDir;
    if (verb == "DELE ")
        return cmdDelete;
    if (verb == "MKD ")
        return cmdMakeDir;
    if (verb == "RMD ")
        return cmdRemoveDir;
    if (command == "PWD")
        return cmdCurrentDir;
    return cmdDoCommand;
}

} // namespace

std::string CommandBytes(const std::string& command, TIacRule rule) {
    if (rule == TIacRule::AsIs || command.find('\xff') == std::string::npos)
        return command;
    std::string bytes;
    bytes.reserve(command.size() + 8);
    for (char c : command) {
        bytes += c;
        if (c == '\xff')
            bytes += c;
    }
    return bytes;
}

TVaneFTP::TVaneFTP(TComponent* owner) : TCorsock(owner) {
    Port = 21;
    FDataSocket = nullptr;
    Vendor = vendorAuto;
    OnDataArrived = [this](TComponent* sender) { CheckRead(sender); };
}

TVaneFTP::~TVaneFTP() {
    BeginDestroy();
    Cancel();
    if (Connected) {
        try {
            QuitBeforeDestroy();
        } catch (...) {
        }
    }
    FTPDirectoryList.reset();
}

// Log-out that never waits long for the reply: for a component going away or a
// log-in that failed.
void TVaneFTP::QuitBeforeDestroy() {
    Canceled = false;
    DiscardInput();
    QuitWithinLimit();
    TCorsock::Disconnect();
}

// Sends QUIT and waits for the first line of its reply a few seconds at most (Abort ends
// the wait sooner): a server that never answers must hold neither a closing program nor
// the user's Disconnect. The reply has code 0 when none came in time.
FtpReply TVaneFTP::QuitWithinLimit() {
    StatusMessage(slProtocol, "QUIT");
    ReplyCode = 0;
    Writeln("QUIT");
    auto deadline = std::chrono::steady_clock::now() + kQuitLimit;
    WaitUntil([&] {
        return InputHasLine() || !Connected || Canceled ||
               std::chrono::steady_clock::now() >= deadline;
    });
    FtpReply reply;
    if (InputHasLine() && !Canceled) {
        reply.lines.push_back(ReadLn());
        reply.code = ReplyCodeOf(reply.lines.front());
        LastReply = reply.lines.front();
        ReplyCode = std::int16_t(reply.code);
        StatusMessage(slProtocol, LastReply);
    }
    return reply;
}

// --- Replies ------------------------------------------------------------------------------

std::string TVaneFTP::ReadReplyLine() {
    AwaitReplyLine();
    try {
        return ReadLn();
    } catch (const EAbortError&) {
        // A 421 or 426 that cancelled the wait is the reply itself: hand it on so that the
        // caller reports the server's line instead of a bare cancel.
        if (Canceled && ServerClosingLineBuffered() && InputHasLine()) {
            Canceled = false;
            return ReadLn();
        }
        throw;
    }
}

bool TVaneFTP::ServerClosingLineBuffered() const {
    return EndsService(ReplyCodeOf(PeekInput().substr(0, 4)));
}

void TVaneFTP::AwaitReplyLine() {
    // ReadLn's own wait ends the same way, apart from the deadline.
    TWaitEnd end = WaitFor(
        [this] { return InputHasLine() || inMemory_.Size() >= kMaxLineLength || !Connected; },
        {.deadline = replyDeadline_});
    if (end != TWaitEnd::Deadline)
        return;
    const std::string text =
        "The server did not answer within " + std::to_string((ReplyTimeOut + 999) / 1000) + " s";
    StatusMessage(slProtocol, text);
    CloseOutOfStep();
    throw EReplyTimeOut(text);
}

void TVaneFTP::CloseOutOfStep() {
    inMemory_.Clear();
    TCorsock::Disconnect();
    ResetTls();
}

void TVaneFTP::StartReplyClock() {
    replyDeadline_ = ReplyTimeOut > 0 ? std::chrono::steady_clock::now() +
                                            std::chrono::milliseconds(ReplyTimeOut)
                                      : std::chrono::steady_clock::time_point::max();
}

FtpReply TVaneFTP::ReadReply() {
    StartReplyClock();
    FtpReply reply;
    reply.lines.push_back(ReadReplyLine());
    if (staleTail_) {
        staleTail_ = false;
        reply.lines.front() = ReadReplyLine();
    }
    StatusMessage(slProtocol, reply.First());
    reply.code = ReplyCodeOf(reply.First());
    LastReply = reply.First();
    ReplyCode = std::int16_t(reply.code);
    if (reply.code == 0)
        throw FTPException(InvalidReplyText(reply.First()));
    ReadRestOf(reply);
    return reply;
}

FtpReply TVaneFTP::FinalReply(FtpReply reply) {
    while (IsPreliminary(reply.code))
        reply = ReadReply();
    return reply;
}

void TVaneFTP::ReadRestOf(FtpReply& reply) {
    while (ReplyContinues(reply)) {
        AwaitReplyLine();
        if (!reply.Add(ReadLn()))
            RefuseLongReply();
        StatusMessage(slProtocol, reply.Final());
    }
}

// A reply that goes on past kMaxReplyLength: the rest of it would be read as the replies
// to later commands, so the connection ends here.
void TVaneFTP::RefuseLongReply() {
    const std::string text =
        "Reply too long: more than " + std::to_string(kMaxReplyLength) + " bytes";
    StatusMessage(slProtocol, text);
    inMemory_.Clear();
    RequestCloseSocket();
    throw ESockError(text);
}

FtpReply TVaneFTP::StartCommand(const std::string& command, const std::string& shown) {
    CheckCommandText(command);
    StatusMessage(slProtocol, shown);
    ReplyCode = 0;
    Writeln(CommandBytes(command, IacRule));
    return ReadReply();
}

FtpReply TVaneFTP::Command(const std::string& command, const std::string& shown) {
    return FinalReply(StartCommand(command, shown));
}

std::string TVaneFTP::Transaction(const std::string& command) {
    CheckCommandText(command);
    ReplyCode = 0;
    Writeln(CommandBytes(command, IacRule));
    return ReadReply().First();
}

void TVaneFTP::ReadExtraLines(std::string line) {
    FtpReply reply;
    reply.code = ReplyCodeOf(line);
    reply.lines.push_back(std::move(line));
    StartReplyClock();
    ReadRestOf(reply);
}

void TVaneFTP::CheckCommandText(const std::string& text) {
    // A line end or zero byte inside a name would let it smuggle a second command.
    if (text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
        throw FTPException(kInvalidCharacter);
}

// Whatever is buffered before a command is sent cannot answer it. A line cut off at the
// end of the buffer is stale too: its rest, when it comes, is dropped by ReadReply.
void TVaneFTP::DiscardInput() {
    if (InBuffer->Size() == 0)
        return;
    staleTail_ = PeekInput().back() != '\n';
    Read(0);
}

bool TVaneFTP::CheckOutcome(const FtpReply& reply, bool passed, TCmdType kind, bool unsupported,
                            Policy policy) {
    if (passed)
        return true;
    if (unsupported && OnUnSupportedFunction && reply.code >= 500 && reply.code <= 502)
        OnUnSupportedFunction(kind);
    refusedInStep_ = true;
    if (policy == Policy::Raise || !OnFailure)
        throw FTPException(reply.Text());
    bool handled = false;
    OnFailure(handled, kind);
    if (!handled)
        throw FTPException(reply.Text());
    return false;
}

// --- Log-in and log-out ----------------------------------------------------------------------

void TVaneFTP::Connect() {
    Canceled = false;
    if (Connected)
        return;
    CheckCommandText(UserID);
    CheckCommandText(Password);
    inMemory_.Clear();
    staleTail_ = false;
    utf8Asked_ = false;
    Utf8On = false;
    ResetPassiveChoice();
    TCorsock::Connect();
    try {
        LogIn();
    } catch (...) {
        // Log out without waiting long: the server may be the reason for the failure.
        try {
            if (Connected)
                QuitBeforeDestroy();
        } catch (...) {
        }
        FTPDirectoryList.reset();
        Vendor = vendorAuto;
        if (Connected)
            TCorsock::Disconnect();
        ResetTls();
        StatusMessage(slProtocol, "Disconnected");
        throw;
    }
    if (OnConnect)
        OnConnect(this);
}

// The greeting, then USER and, when asked for, PASS. A server that refuses service in
// its greeting (or is no FTP server) is reported with its line.
void TVaneFTP::LogIn() {
    const bool implicitTls = Encryption == TEncryption::Implicit;
    if (implicitTls) // TLS from the first byte: even the greeting is encrypted
        StartControlTls();
    // "120 ready in n minutes" is preliminary: the real greeting follows.
    FtpReply greeting = FinalReply(ReadReply());
    if (!IsCompletion(greeting.code))
        throw FTPException(greeting.Text());
    if (!implicitTls)
        StartControlTls();
    if ((UserID.empty() || Password.empty()) && OnAuthenticationNeeded) {
        bool handled = false;
        OnAuthenticationNeeded(handled);
        CheckCommandText(UserID);
        CheckCommandText(Password);
    }
    // Only 230 (or 202, no log-in needed) completes the log-in; 331 asks for PASS.
    auto loggedIn = [](const FtpReply& reply) { return reply.code == 230 || reply.code == 202; };
    auto refused = [this](const FtpReply& reply) {
        if (OnConnectionFailed)
            OnConnectionFailed(this);
        throw FTPException(reply.Text());
    };
    FtpReply user =
        Command(Proxy.empty() ? "USER " + UserID : "USER " + UserID + "@" + Host, "USER " + UserID);
    if (!loggedIn(user)) {
        if (user.code != 331)
            refused(user);
        FtpReply pass = Command("PASS " + Password, "PASS ");
        if (!loggedIn(pass))
            refused(pass);
    }
    ProtectData();
    if (Utf8Names)
        AskForUtf8();
}

void TVaneFTP::AskForUtf8() {
    if (utf8Asked_)
        return;
    utf8Asked_ = true;
    // 200 (or 202, already on) switches the server's names to UTF-8; a server that does
    // not know the option answers 501 or 502 and is used as it is.
    FtpReply reply = Command("OPTS UTF8 ON", "OPTS UTF8 ON");
    Utf8On = IsCompletion(reply.code);
}

void TVaneFTP::Disconnect() {
    Canceled = false;
    if (!Connected)
        return;
    FtpReply reply;
    try {
        FTPDirectoryList.reset();
        Vendor = vendorAuto;
        DiscardInput();
        reply = QuitWithinLimit();
    } catch (...) {
        TCorsock::Disconnect();
        ResetTls();
        throw;
    }
    TCorsock::Disconnect();
    ResetTls();
    if (reply.code != 0 && !IsCompletion(reply.code)) // no reply in time: closed all the same
        throw FTPException(reply.Text());
}

// --- Commands --------------------------------------------------------------------------------

void TVaneFTP::DoCommand(const std::string& command) {
    TCmdType kind = Classify(command);
    Canceled = false;
    CertifyConnect();
    CheckCommandText(command);
    DiscardInput();
    FtpReply reply = Command(command, command);
    const bool passed = IsCompletion(reply.code) ||
                        (reply.code != 0 && reply.code == ExpectedIntermediate(command));
    if (CheckOutcome(reply, passed, kind, true, Policy::Events) && OnSuccess)
        OnSuccess(kind);
}

void TVaneFTP::ChangeDir(const std::string& name) {
    DoCommand("CWD " + name);
}
void TVaneFTP::MakeDirectory(const std::string& name) {
    DoCommand("MKD " + name);
}
void TVaneFTP::RemoveDir(const std::string& name) {
    DoCommand("RMD " + name);
}
void TVaneFTP::Delete(const std::string& name) {
    DoCommand("DELE " + name);
}
void TVaneFTP::Reinitialize() {
    DoCommand("REIN");
}
void TVaneFTP::Allocate(std::int64_t count) {
    DoCommand("ALLO " + std::to_string(count));
}

void TVaneFTP::Mode(int code) {
    switch (code) {
    case 1:
        DoCommand("TYPE A");
        break;
    case 2:
        DoCommand("TYPE I");
        break;
    case 3:
        DoCommand("TYPE L 8");
        break;
    default:
        break; // nothing is sent for an unknown type
    }
}

std::string TVaneFTP::GetCurrentDir() {
    DoCommand("PWD");
    return ExtractQuotedDir(LastReply);
}

void TVaneFTP::Rename(const std::string& oldName, const std::string& newName) {
    Canceled = false;
    CertifyConnect();
    CheckCommandText(oldName);
    CheckCommandText(newName);
    DiscardInput();
    if (Pipelining) {
        // Both in one packet: a refused RNFR leaves the RNTO refused too (503), and both
        // replies are read before the first is judged.
        std::vector<FtpReply> replies = Pipeline({"RNFR " + oldName, "RNTO " + newName});
        if (!CheckOutcome(replies[0], replies[0].code == 350, cmdRename, false, Policy::Events))
            return;
        if (CheckOutcome(replies[1], IsCompletion(replies[1].code), cmdRename, true,
                         Policy::Events) &&
            OnSuccess)
            OnSuccess(cmdRename);
        return;
    }
    FtpReply from = Command("RNFR " + oldName, "RNFR " + oldName);
    CheckOutcome(from, from.code == 350, cmdRename, false, Policy::Events);
    FtpReply to = Command("RNTO " + newName, "RNTO " + newName);
    if (CheckOutcome(to, IsCompletion(to.code), cmdRename, true, Policy::Events) && OnSuccess)
        OnSuccess(cmdRename);
}

std::vector<std::string> TVaneFTP::Features() {
    Canceled = false;
    CertifyConnect();
    DiscardInput();
    FtpReply reply = Command("FEAT", "FEAT");
    std::vector<std::string> features;
    if (reply.code != 211)
        return features; // FEAT is not supported: no features are known
    // 211-Features:\r\n MLST type*;size*;\r\n UTF8\r\n211 End
    for (const std::string& line : reply.lines) {
        if (line.empty() || line[0] != ' ')
            continue;
        std::string feature = line.substr(1);
        while (!feature.empty() && (feature.back() == '\n' || feature.back() == '\r'))
            feature.pop_back();
        features.push_back(feature);
    }
    for (const std::string& feature : features) {
        std::string name = feature.substr(0, feature.find(' '));
        for (char& c : name)
            c = char(std::toupper(static_cast<unsigned char>(c)));
        if (name == "UTF8") {
            AskForUtf8();
            break;
        }
    }
    return features;
}

// --- Watching the control connection -------------------------------------------------------------

void TVaneFTP::CheckRead(TComponent*) {
    std::string head = PeekInput();
    if (ServerClosingLineBuffered()) {
        Cancel();
        // The server closes the session: a data connection it may leave open would be
        // waited for in vain. (A 426 follows the data connection's own end.)
        if (FDataSocket && ReplyCodeOf(head.substr(0, 4)) == 421) {
            serviceEnded_ = true;
            FDataSocket->Cancel();
        }
    }
    // While a data operation waits for the server's connection, a refusal on the control
    // connection (150 then 425, say) means the connection will never come.
    if (accepting_ && FDataSocket && InputHasLine()) {
        int code = ReplyCodeOf(head.substr(0, 4));
        if (code >= 400 && code <= 599) {
            acceptRefused_ = true;
            FDataSocket->Cancel();
        }
    }
}

void TVaneFTP::Flush() {
    Canceled = false;
    auto started = std::chrono::steady_clock::now();
    std::string text;
    for (;;) {
        text = Read(0);
        if (!text.empty() || std::chrono::steady_clock::now() - started > kFlushLimit)
            break;
        platform::wait_step();
    }
    StatusMessage(slProtocol, text);
}

void TVaneFTP::Abort() {
    if (FDataSocket)
        FDataSocket->Cancel();
    Cancel();
}

std::int64_t TVaneFTP::GetBytesSent() const {
    return FDataSocket ? FDataSocket->BytesSent : 0;
}
std::int64_t TVaneFTP::GetBytesRcvd() const {
    return FDataSocket ? FDataSocket->BytesRcvd : 0;
}

std::int64_t TVaneFTP::GetBytesTotal(const std::string& text) {
    return ParseBytesTotal(text);
}

} // namespace kestrel
