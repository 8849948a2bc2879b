// Putting many staged files in place at once: the renames of a whole batch go to the server
// in one packet, so that the site switches from old to new in a few round trips, not in one
// a file. Each file's replies are then judged as for a file placed alone.
#include "publish/names.h"
#include "publish/transfers.h"

#include <cstdlib>

namespace kestrel {
namespace {

// The size of a file on the server by SIZE (RFC 3659), or nothing when it says none.
std::optional<std::int64_t> RemoteSize(TVaneFTP& ftp, const std::string& path) {
    try {
        ftp.DoCommand("SIZE " + path);
    } catch (const FTPException&) {
        return std::nullopt;
    }
    const std::string& reply = ftp.LastReply;
    std::size_t digits = reply.find_first_of("0123456789", 3);
    if (ftp.ReplyCode != 213 || digits == std::string::npos)
        return std::nullopt;
    return std::strtoll(reply.c_str() + digits, nullptr, 10);
}

} // namespace

std::vector<bool> TTransfers::PlaceBatch(const std::vector<const TPublishJob*>& jobs) {
    std::vector<bool> done(jobs.size(), true);
    struct Item {
        std::size_t job;
        TManifestEntry sent;
        bool keeping;
        std::size_t firstReply;
    };
    std::vector<Item> items;
    std::vector<std::string> commands;
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        const std::string& path = jobs[i]->path;
        std::optional<TManifestEntry> sent = StagedEntry(path);
        if (!sent)
            continue; // its staging failed, and that is recorded
        const bool keeping = Keeps(path);
        items.push_back({i, *sent, keeping, commands.size()});
        const std::string temporary = TemporaryPath(path);
        if (keeping) {
            for (std::string& command : KeepingCommands(temporary, path))
                commands.push_back(std::move(command));
        } else {
            commands.push_back("RNFR " + Remote(temporary));
            commands.push_back("RNTO " + Remote(path));
        }
    }
    if (items.size() < 2 || !Connected() || !site_.Ftp().Pipelining) {
        for (const Item& item : items)
            done[item.job] = !c_.stop && Connected() && Place(*jobs[item.job]);
        return done;
    }
    const Clock::time_point start = Clock::now();
    std::vector<FtpReply> replies;
    std::optional<Exception> lost;
    try {
        site_.Ftp().Pipeline(commands, replies);
    } catch (const std::exception& error) {
        // The replies read are those of the commands answered before the failure; the
        // next command goes on a new log-in.
        lost.emplace(ReasonText(error));
        site_.Drop();
    }
    const Clock::time_point end = Clock::now();
    for (const Item& item : items) {
        const TPublishJob& job = *jobs[item.job];
        const std::string temporary = TemporaryPath(job.path);
        const std::size_t count = item.keeping ? 4 : 2;
        try {
            if (item.firstReply + count > replies.size()) {
                // Unanswered: which of its renames the server carried out is not known.
                if (c_.stop)
                    throw *lost;
                if (item.keeping)
                    MendLostPlacing(temporary, job.path, *lost, false);
                else
                    LookAfterLostRename(temporary, job.path, item.sent, *lost);
                Placed(job, item.sent, start, Clock::now(), false);
                continue;
            }
            const FtpReply* reply = &replies[item.firstReply];
            if (item.keeping)
                SettleKeeping(temporary, job.path, reply);
            else if (reply[0].code != 350)
                throw FTPException(reply[0].Text()); // the staged file is not there
            else if (!IsCompletion(reply[1].code))
                PlaceOverRefused(temporary, job.path, FTPException(reply[1].Text()));
            else
                PlacedNew(job.path);
        } catch (const std::exception& error) {
            done[item.job] = PlacingFailed(job, error);
            continue;
        }
        Placed(job, item.sent, start, end, false);
    }
    return done;
}

// The renames of a file whose answers the connection lost, on a new log-in: a staged file
// still there is put in place now; one gone was renamed, when its page has the size sent
// (the proof of arrival checks it further); else what happened is not known, and the file
// fails with the loss's reason.
void TTransfers::LookAfterLostRename(const std::string& temporary, const std::string& path,
                                     const TManifestEntry& sent, const Exception& lost) {
    if (!Connected())
        throw lost;
    TVaneFTP& ftp = site_.Ftp();
    if (RemoteSize(ftp, Remote(temporary))) {
        PlaceOver(temporary, path);
        return;
    }
    if (RemoteSize(ftp, Remote(path)) != sent.Size)
        throw lost;
    PlacedNew(path);
}

} // namespace kestrel
