// TVaneFTP: small uploads one after another, the next file's commands sent before the
// running transfer's completion reply where the server holds them until then.
#include "net/ftp/dataoperation.h"
#include "net/ftp/vaneftp.h"

namespace kestrel {

bool TVaneFTP::SendsAhead() const {
    return DataMode == TDataMode::Passive && Pipelining && !pasvOnly_ && !connectBeforeCommand_ &&
           !dataProtected_ && holdsCommands_.value_or(true);
}

void TVaneFTP::UploadSeries(std::vector<TSeriesFile>& files, std::vector<TSeriesOutcome>& outcomes,
                            const std::function<void(std::size_t)>& starting) {
    outcomes.clear();
    aheadSent_ = false;
    // A name that cannot be sent as a command fails alone, before any of its commands go.
    auto problem = [](const std::string& name) -> std::optional<std::string> {
        try {
            CheckCommandText("STOR " + name);
            return std::nullopt;
        } catch (const Exception& error) {
            return std::string(error.what());
        }
    };
    for (std::size_t i = 0; i < files.size(); ++i) {
        if (starting)
            starting(i);
        TSeriesFile& file = files[i];
        if (std::optional<std::string> bad = aheadSent_ ? std::nullopt : problem(file.remoteName)) {
            outcomes.emplace_back(*bad);
            std::string().swap(file.bytes);
            continue;
        }
        TMemoryStream source;
        source.Write(file.bytes.data(), std::int64_t(file.bytes.size()));
        source.SetPosition(0);
        std::string().swap(file.bytes); // the stream holds them now
        DataOperation op = StreamUpload(source, file.remoteName);
        op.policy = Policy::Raise;
        const bool ahead = SendsAhead();
        op.probe = ahead && !holdsCommands_ && !aheadSent_;
        if (ahead && holdsCommands_.value_or(false) && i + 1 < files.size() &&
            !problem(files[i + 1].remoteName))
            op.sendNext = [this, &files, i] { SendAhead(files[i + 1].remoteName); };
        refusedInStep_ = false;
        try {
            RunDataOperation(op);
            outcomes.emplace_back(std::nullopt);
        } catch (const FTPException& refused) {
            // The server's whole reply refusing this file: the next file's replies, if its
            // commands went, come next as they should.
            if (!refusedInStep_ || !Connected || op.noopPending) {
                if (aheadSent_ || op.noopPending)
                    CloseOutOfStep();
                aheadSent_ = false;
                throw;
            }
            outcomes.emplace_back(refused.what());
        } catch (...) {
            if (aheadSent_ || op.noopPending)
                CloseOutOfStep();
            aheadSent_ = false;
            throw;
        }
    }
}

void TVaneFTP::SendAhead(const std::string& remoteName) {
    const std::string command = "STOR " + remoteName;
    StatusMessage(slProtocol, "EPSV");
    StatusMessage(slProtocol, command);
    Write("EPSV\r\n" + CommandBytes(command, IacRule) + "\r\n");
    aheadSent_ = true;
}

FtpReply TVaneFTP::TransferReply(DataOperation& op, FtpReply reply) {
    if (reply.code != 200)
        return reply;
    op.noopPending = false;
    holdsCommands_ = false;
    StatusMessage(slProtocol, "The server answers commands while a transfer runs: each file's "
                              "commands wait for the end of the transfer before");
    return ReadReply();
}

void TVaneFTP::TakeNoopReply(DataOperation& op, bool afterTransfer) {
    op.noopPending = false;
    FinalReply(ReadReply());
    if (afterTransfer)
        holdsCommands_ = true;
}

} // namespace kestrel
