// Sending many small files on one connection: their bytes are read first, then they go in
// one series, where the server allows it each file's EPSV and STOR before the end of the
// transfer before it, so that a file costs two round trips instead of three. Each file is
// then judged as one sent alone; what the series did not finish goes the ordinary way.
#include "net/ftp/vaneftp.h"
#include "publish/names.h"
#include "publish/sha256.h"
#include "publish/transfers.h"

#include <fstream>
#include <iterator>

namespace kestrel {
namespace {

// The whole of a small file, or nothing when it cannot be read or is not the size it had.
std::optional<std::string> ReadSmallFile(const std::string& path, std::int64_t size) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad() || std::int64_t(bytes.size()) != size)
        return std::nullopt;
    return bytes;
}

} // namespace

bool TTransfers::FitsSeries(const TPublishJob& job) const {
    if (!c_.temporaryNames || job.size > TVaneFTP::kEarlyDataBytes)
        return false;
    return !(c_.journal && (c_.journal->FindStaged(job.path) || c_.journal->FindSending(job.path)));
}

std::vector<bool> TTransfers::UploadBatch(const std::vector<const TPublishJob*>& claimed,
                                          const TMoreJobs& more) {
    std::vector<const TPublishJob*> jobs; // those claimed, then those more adds
    std::vector<bool> done, alone;
    struct Item {
        std::size_t job;
        TFileState before;
        std::string hash;
    };
    std::vector<Item> items;
    std::vector<TVaneFTP::TSeriesFile> files;
    const bool series = !c_.stop && Connected() && site_.Ftp().SendsAhead();
    // A job joins the series when its bytes can be read now; the rest go alone afterwards.
    auto add = [&](const TPublishJob* job) {
        jobs.push_back(job);
        done.push_back(false);
        alone.push_back(true);
        if (!series || !FitsSeries(*job))
            return false;
        const std::string& path = c_.local.Files.at(job->path).FullPath;
        const TFileState before = FileStateOf(path);
        std::optional<std::string> bytes = ReadSmallFile(path, before.size);
        if (before.size < 0 || before.size > TVaneFTP::kEarlyDataBytes || !bytes)
            return false; // Upload reports what is wrong with it
        alone.back() = false;
        items.push_back({jobs.size() - 1, before, BytesSha256(*bytes)});
        files.push_back({Remote(TemporaryPath(job->path)), std::move(*bytes)});
        return true;
    };
    for (const TPublishJob* job : claimed)
        add(job);
    // Further jobs for a series about to end, until one would not join it (a large file goes
    // next, alone, rather than after all the small ones still to claim).
    bool asking = bool(more);
    auto extend = [&] {
        while (asking && !c_.stop) {
            std::vector<const TPublishJob*> added = more();
            asking = !added.empty();
            std::size_t joined = 0;
            for (const TPublishJob* job : added)
                joined += add(job) ? 1 : 0;
            if (joined < added.size())
                asking = false;
            if (joined > 0)
                return;
        }
    };
    std::vector<TVaneFTP::TSeriesOutcome> outcomes;
    if (series && files.size() + (asking ? 1 : 0) > 1) {
        std::size_t begun = 0;            // files begun by the series
        std::optional<std::size_t> under; // the job under way
        auto starting = [&](std::size_t k) {
            if (k + 1 == files.size())
                extend(); // files grows: the series reads its size after this call
            if (under) {
                c_.progress.End(index_, jobs[*under]->size);
                site_.NextTransfer(std::int64_t(files[k].bytes.size()));
            }
            under = items[k].job;
            c_.progress.Begin(index_, jobs[*under]->path);
            begun = k + 1;
        };
        try {
            site_.Transfer([&] { site_.Ftp().UploadSeries(files, outcomes, starting); },
                           std::int64_t(files[0].bytes.size()), true);
        } catch (const std::exception& error) {
            // After a Stop the file under way is cleaned up as after a Stop of one upload,
            // and the rest are not done; otherwise it and the rest go the ordinary way, on
            // a new log-in, whose own limits and attempts then judge them.
            site_.Drop();
            if (c_.stop && outcomes.size() < begun) {
                const std::size_t k = outcomes.size();
                done[items[k].job] = AfterFailedUpload(*jobs[items[k].job], error, Stage::Sending);
                items.resize(k);
            }
        }
        if (under)
            c_.progress.End(index_, jobs[*under]->size);
    }
    for (std::size_t k = 0; k < items.size(); ++k) {
        const TPublishJob& job = *jobs[items[k].job];
        if (k >= outcomes.size()) {
            alone[items[k].job] = !c_.stop;
            continue;
        }
        if (outcomes[k]) {
            done[items[k].job] = AfterFailedUpload(job, FTPException(*outcomes[k]), Stage::Sending);
            continue;
        }
        const std::string& path = c_.local.Files.at(job.path).FullPath;
        done[items[k].job] =
            Staged(job, FileStateOf(path) == items[k].before ? items[k].hash : std::string(),
                   items[k].before.size);
    }
    for (std::size_t i = 0; i < jobs.size(); ++i) {
        if (!alone[i])
            continue;
        // A job whose connection was lost for good is left undone, as between single jobs.
        done[i] = !c_.stop && Connected() && Upload(*jobs[i]);
    }
    return done;
}

} // namespace kestrel
