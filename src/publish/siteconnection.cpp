#include "publish/siteconnection.h"

#include <cctype>

namespace kestrel {
namespace {

constexpr std::uint32_t kWatchInterval = 50; // ms between looks at the deadline and Stop
// How long an upload waits for the server's data connection before it gives up on that
// one and asks again. Some servers (pyftpdlib among them) now and then never complete an
// active connection when several sessions open theirs at the same moment, and only time
// out after half a minute.
constexpr auto kDataConnectionLimit = std::chrono::seconds(3);
// How long the server's completion reply may take once the whole file is handed over: a
// few seconds, and more for a file that the system may still hold in its buffers (at
// least 64 KiB per second). pyftpdlib, with several sessions at once, now and then never
// reads a finished data connection and so never answers.
constexpr auto kCompletionLimit = std::chrono::seconds(10);
constexpr double kSlowestDrain = 64 * 1024;
// How long removing a temporary file after a failure may take.
constexpr auto kCleanUpLimit = std::chrono::seconds(3);
// How long the QUIT of a connection given up is waited for.
constexpr auto kQuitLimit = std::chrono::milliseconds(300);
// How long the work after a Stop (the clean-up, the manifest) may go on.
constexpr auto kAfterStopLimit = std::chrono::seconds(3);

const char* StalledText(TSiteConnection::TWait wait) {
    return wait == TSiteConnection::TWait::DataConnection ? "did not open the data connection"
                                                          : "did not confirm the upload";
}

} // namespace

bool MeansTooManyConnections(const std::string& reply) {
    if (reply.rfind("421", 0) == 0)
        return true;
    if (reply.rfind("530", 0) != 0)
        return false;
    std::string text;
    for (char c : reply)
        text += char(std::tolower(static_cast<unsigned char>(c)));
    for (const char* words : {"too many", "maximum number", "max number", "limit"})
        if (text.find(words) != std::string::npos)
            return true;
    return false;
}

void ApplyConnectionSettings(TVaneFTP& ftp, const TConnectionSettings& settings) {
    ftp.Host = settings.Host;
    ftp.Port = settings.Port;
    ftp.UserID = settings.UserID;
    ftp.Password = settings.Password;
    ftp.DataMode = settings.DataMode;
    ftp.Encryption = settings.Encryption;
}

// The publisher's connections: the settings, their certificate check and their limits.
static void ApplyPublishSettings(TVaneFTP& ftp, const TConnectionSettings& settings) {
    ApplyConnectionSettings(ftp, settings);
    ftp.OnCertificateCheck = settings.OnCertificateCheck;
    ftp.TimeOut = settings.TimeOut;
    ftp.ReplyTimeOut = settings.ReplyTimeOut;
    ftp.IacRule = settings.IacRule;
    ftp.Utf8Names = settings.Utf8Names;
}

// After the log-in: TYPE I (every file is sent byte for byte), and whether the server takes
// commands together, found out with the TYPE I itself. Where it does, in passive mode each
// listing's or upload's command goes with its EPSV, and each RNTO with its RNFR: on a slow
// link a round trip less per folder, and one or two per file.
static void StartSession(TVaneFTP& ftp) {
    FtpReply type;
    ftp.Pipelining = ftp.ProbePipelining("TYPE I", &type);
    if (!IsCompletion(type.code))
        throw FTPException(type.Text());
}

std::unique_ptr<TVaneFTP> OpenConnection(const TConnectionSettings& settings) {
    auto ftp = std::make_unique<TVaneFTP>(nullptr);
    ApplyPublishSettings(*ftp, settings);
    ftp->Connect();
    StartSession(*ftp);
    return ftp;
}

TSiteConnection::TSiteConnection(const TConnectionSettings& settings, const std::atomic<bool>& stop,
                                 int index)
    : settings_(settings), stop_(stop), index_(index) {
    watch_ = std::make_unique<TThreadTimer>(nullptr);
    watch_->SetOnTimer([this](TComponent*) { Watch(); });
    watch_->SetInterval(kWatchInterval);
}

TSiteConnection::~TSiteConnection() {
    if (stop_)
        Drop(); // watched: its QUIT is not waited for
    watch_.reset();
    ftp_.reset(); // logs out, waiting briefly for the reply
}

void TSiteConnection::Adopt(std::unique_ptr<TVaneFTP> ftp) {
    if (ftp)
        Attach(std::move(ftp));
}

std::unique_ptr<TVaneFTP> TSiteConnection::Release() {
    if (ftp_) {
        ftp_->OnPacketSent = nullptr;
        ftp_->OnTransactionStart = nullptr;
        ftp_->OnTransactionStop = nullptr;
    }
    return std::move(ftp_);
}

void TSiteConnection::Attach(std::unique_ptr<TVaneFTP> ftp) {
    ftp_ = std::move(ftp);
    outOfStep_ = false;
    ftp_->OnPacketSent = [this](TComponent* sender) {
        if (content_ && OnSent)
            OnSent(static_cast<TCorsock*>(sender)->BytesSent);
    };
    ftp_->OnTransactionStart = [this](TComponent*) {
        if (wait_ == TWait::DataConnection)
            Enter(TWait::Sending, Clock::duration::max());
    };
    ftp_->OnTransactionStop = [this](TComponent*) {
        if (wait_ != TWait::Sending && wait_ != TWait::DataConnection)
            return;
        Enter(TWait::Completion,
              kCompletionLimit + std::chrono::duration_cast<Clock::duration>(
                                     std::chrono::duration<double>(double(size_) / kSlowestDrain)));
    };
}

bool TSiteConnection::Ensure() {
    if (ftp_ && ftp_->Connected && !outOfStep_)
        return true;
    if (dead_)
        return false;
    const bool again = ftp_ != nullptr && !outOfStep_; // it dropped by itself
    try {
        Open();
        return true;
    } catch (const std::exception& error) {
        if (stop_ && !finishing_)
            return false; // Stop ended the log-in: not a failure of the server
        dead_ = true;
        if (MeansTooManyConnections(ReasonText(error))) {
            tooMany_ = ReasonText(error); // the others go on: the run says how many it got
            return false;
        }
        // The other connections take this one's share.
        failure_ = "Connection " + std::to_string(index_ + 1) +
                   (again ? " could not log in again: " : " could not log in: ") +
                   ReasonText(error);
        return false;
    }
}

void TSiteConnection::Open() {
    Drop();
    auto ftp = std::make_unique<TVaneFTP>(nullptr);
    ApplyPublishSettings(*ftp, settings_);
    ftp->TlsSessions = tlsSessions_;
    Attach(std::move(ftp));
    try {
        ftp_->Connect();
        StartSession(*ftp_);
    } catch (...) {
        Drop();
        throw;
    }
}

std::optional<std::string> TSiteConnection::TakeFailure() {
    return std::exchange(failure_, std::nullopt);
}

void TSiteConnection::Drop() {
    if (!ftp_)
        return;
    Enter(TWait::Quitting, kQuitLimit);
    try {
        ftp_->Disconnect();
    } catch (const std::exception&) {
        // Closed all the same.
    }
    Enter(TWait::Idle, Clock::duration::max());
    tlsSessions_ = ftp_->TlsSessions; // for the next log-in to resume
    ftp_.reset();
    outOfStep_ = false;
}

void TSiteConnection::Transfer(const std::function<void()>& transfer, std::int64_t size,
                               bool content) {
    struct Restore {
        TSiteConnection& c;
        std::int32_t replyLimit;
        ~Restore() {
            c.Enter(TWait::Idle, Clock::duration::max());
            c.content_ = false;
            if (c.ftp_)
                c.ftp_->ReplyTimeOut = replyLimit;
        }
    } restore{*this, ftp_->ReplyTimeOut};
    size_ = size;
    content_ = content;
    stalled_.reset();
    ftp_->ReplyTimeOut = 0; // the waits of the transfer have their own limits
    Enter(TWait::DataConnection, kDataConnectionLimit);
    try {
        transfer();
    } catch (const std::exception&) {
        std::optional<TWait> stalled = std::exchange(stalled_, std::nullopt);
        if (stalled && !stop_ &&
            (*stalled == TWait::DataConnection || *stalled == TWait::Completion))
            throw EStalled(StalledText(*stalled));
        throw;
    }
}

void TSiteConnection::NextTransfer(std::int64_t size) {
    size_ = size;
    Enter(TWait::DataConnection, kDataConnectionLimit);
}

void TSiteConnection::WithinCleanUpLimit(const std::function<void()>& step) {
    struct Restore {
        TSiteConnection& c;
        ~Restore() { c.Enter(TWait::Idle, Clock::duration::max()); }
    } restore{*this};
    Enter(TWait::CleanUp, kCleanUpLimit);
    step();
}

void TSiteConnection::Enter(TWait wait, Clock::duration limit) {
    wait_ = wait;
    deadline_ = limit == Clock::duration::max() ? Clock::time_point::max() : Clock::now() + limit;
}

// Runs on this connection's thread inside each of its waits.
void TSiteConnection::Watch() {
    if (!ftp_)
        return;
    const Clock::time_point now = Clock::now();
    if (stop_ && !stopHeard_)
        stopHeard_ = now;
    if (stop_ && (!finishing_ || now > *stopHeard_ + kAfterStopLimit)) {
        AbortWait();
    } else if (now > deadline_) {
        stalled_ = wait_;
        deadline_ = Clock::time_point::max();
        AbortWait();
    }
}

void TSiteConnection::AbortWait() {
    outOfStep_ = true;
    ftp_->Abort();
}

} // namespace kestrel
