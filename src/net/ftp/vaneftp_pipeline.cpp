// TVaneFTP: several commands sent together, their replies read in order.
//
//   -> MKD /site/a\r\nMKD /site/b\r\nMKD /site/c\r\n        (one packet)
//   <- 257 "/site/a" created
//   <- 550 /site/b: exists
//   <- 257 "/site/c" created
#include "net/ftp/ftpreply.h"
#include "net/ftp/vaneftp.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace kestrel {
namespace {

// A batch goes out in writes of at most this many bytes (the socket's line buffer is 16 KiB).
constexpr std::size_t kBatchWrite = 8192;

// What the status line shows of a command: never a password.
std::string Shown(const std::string& command) {
    return command.rfind("PASS ", 0) == 0 ? "PASS " : command;
}

} // namespace

std::vector<FtpReply> TVaneFTP::Pipeline(const std::vector<std::string>& commands) {
    std::vector<FtpReply> replies;
    Pipeline(commands, replies);
    return replies;
}

void TVaneFTP::SendTogether(const std::vector<std::string>& commands) {
    Canceled = false;
    CertifyConnect();
    for (const std::string& command : commands)
        CheckCommandText(command);
    DiscardInput();
    ReplyCode = 0;
    std::string batch;
    for (const std::string& command : commands) {
        StatusMessage(slProtocol, Shown(command));
        if (!batch.empty() && batch.size() + command.size() + 2 > kBatchWrite)
            Write(std::exchange(batch, {}));
        batch += CommandBytes(command, IacRule) + "\r\n";
    }
    if (!batch.empty())
        Write(batch);
}

void TVaneFTP::Pipeline(const std::vector<std::string>& commands, std::vector<FtpReply>& replies) {
    replies.clear();
    SendTogether(commands);
    replies.reserve(commands.size());
    for (std::size_t i = 0; i < commands.size(); ++i)
        replies.push_back(FinalReply(ReadReply()));
}

bool TVaneFTP::ProbePipelining(const std::string& first, FtpReply* firstReply) {
    using Clock = std::chrono::steady_clock;
    Canceled = false;
    CertifyConnect();
    CheckCommandText(first);
    DiscardInput();
    StatusMessage(slProtocol, first);
    StatusMessage(slProtocol, "NOOP");
    ReplyCode = 0;
    Clock::time_point sent = Clock::now();
    Write(CommandBytes(first, IacRule) + "\r\nNOOP\r\n");
    // Whatever the first reply says (a server may not know NOOP), the server copes when a
    // second one comes: it read the second line as a command of its own.
    FtpReply reply = FinalReply(ReadReply());
    if (firstReply)
        *firstReply = reply;
    auto roundTrip = Clock::now() - sent;
    auto deadline =
        Clock::now() +
        std::max<Clock::duration>(std::chrono::milliseconds(kPipelineProbeWaitMs), 2 * roundTrip);
    WaitUntil([&] { return InputHasLine() || !Connected || Canceled || Clock::now() >= deadline; });
    if (Canceled)
        throw EAbortError("Pipelining probe aborted");
    if (!InputHasLine())
        return false; // the second NOOP went unread, or both lines were read as one
    FinalReply(ReadReply());
    return true;
}

} // namespace kestrel
