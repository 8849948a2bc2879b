// One connection of a publish run: its own TVaneFTP on its own thread, taking jobs from
// the shared phases until they are done or the run is stopped.
#include "publish/callthread.h"
#include "publish/publisher.h"
#include "publish/runstate.h"
#include "publish/sha256.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <thread>
#include <unistd.h>

namespace kestrel {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kWatchInterval = 50; // ms between looks at the stop flag
constexpr auto kReportInterval = std::chrono::milliseconds(100);
// How long removing a temporary file after a Stop, or writing the manifest then, may take.
constexpr auto kCleanupLimit = std::chrono::seconds(3);
constexpr auto kManifestAfterStopLimit = std::chrono::seconds(10);
// How long an upload waits for the server's data connection before it gives up on that
// one and asks again. Some servers (pyftpdlib among them) now and then never complete an
// active connection when several sessions open theirs at the same moment, and only time
// out after half a minute.
constexpr auto kDataConnectionLimit = std::chrono::seconds(3);
constexpr int kUploadAttempts = 3;
// How long the connection that prepared may have been idle for Run to carry on with it.
constexpr auto kKeptIdleLimit = std::chrono::seconds(2);
constexpr auto kStuckQuitLimit = std::chrono::milliseconds(300);
// How long the server's completion reply may take once the whole file is handed over: a
// few seconds, and more for a file that the system may still hold in its buffers (at
// least 64 KiB per second). pyftpdlib, with several sessions at once, now and then never
// reads a finished data connection and so never answers.
constexpr auto kCompletionLimit = std::chrono::seconds(10);
constexpr double kSlowestDrain = 64 * 1024;
constexpr const char* kResumeRefusedNote =
    "The server refused the TLS session of a data connection; such files were sent again on "
    "a new log-in";

std::string Parent(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// "a/b.htm" -> "a/.b.htm.kestrel-tmp"; for a name too long to take the dot and the suffix
// within the 255 bytes a server's file system allows, a short hash of it instead
// (".3f0a9c2e41d7b5a8.kestrel-tmp").
std::string TemporaryPath(const std::string& path) {
    constexpr std::size_t kLongestName = 255;
    std::string parent = Parent(path);
    std::string name = ".";
    name += BaseName(path).size() + sizeof(kTemporarySuffix) > kLongestName
                ? BytesSha256(BaseName(path)).substr(0, 16)
                : BaseName(path); // appended, not "." + ...: GCC 12 warns falsely at -O2
    name += kTemporarySuffix;
    return parent.empty() ? name : parent + "/" + name;
}

// A local copy of text in a temporary file, removed at the end of its scope.
class TemporaryFile {
public:
    explicit TemporaryFile(const std::string& text) {
        char pattern[] = "/tmp/kestrelftp-publish-XXXXXX";
        int fd = ::mkstemp(pattern);
        if (fd < 0)
            throw EFCreateError("Cannot create file " + std::string(pattern));
        path_ = pattern;
        std::size_t written = 0;
        while (written < text.size()) {
            ssize_t n = ::write(fd, text.data() + written, text.size() - written);
            if (n <= 0) {
                ::close(fd);
                throw EInOutError("Cannot write file " + path_);
            }
            written += std::size_t(n);
        }
        ::close(fd);
    }
    ~TemporaryFile() { ::unlink(path_.c_str()); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

} // namespace

class TPublisher::Worker {
public:
    // kept: a connection already logged in (the one that prepared), or null.
    Worker(TPublisher& publisher, RunState& state, int index,
           std::unique_ptr<TVaneFTP> kept = nullptr)
        : p_(publisher), s_(state), index_(index) {
        if (kept)
            Attach(std::move(kept));
    }

    void Run() {
        watch_ = std::make_unique<TThreadTimer>(nullptr);
        watch_->SetOnTimer([this](TComponent*) { Watch(); });
        watch_->SetInterval(kWatchInterval);
        EnsureConnected();
        for (auto& phase : s_.phases) {
            if (!p_.stop_ || phase->afterStop)
                TakeJobs(*phase);
            FinishWith(*phase);
        }
        watch_.reset();
        ftp_.reset(); // logs out, waiting briefly for the reply
    }

private:
    // --- The connection ---------------------------------------------------------------
    bool EnsureConnected() {
        if (ftp_ && ftp_->Connected)
            return true;
        if (dead_)
            return false;
        // A connection that dropped gets one new log-in; one that fails to log in is given
        // up, and the other connections take its share.
        bool again = ftp_ != nullptr;
        ftp_.reset();
        try {
            Attach(OpenConnection(p_.connection_));
            return true;
        } catch (const std::exception& error) {
            ftp_.reset();
            std::lock_guard lock(s_.mutex);
            s_.summary.Notes.push_back(
                "Connection " + std::to_string(index_ + 1) +
                (again ? " could not log in again: " : " could not log in: ") + ReasonText(error));
            dead_ = true;
            return false;
        }
    }

    // Takes ftp as this worker's connection, with the hooks that watch its transfers.
    void Attach(std::unique_ptr<TVaneFTP> ftp) {
        ftp_ = std::move(ftp);
        ftp_->OnPacketSent = [this](TComponent* sender) { PacketSent(sender); };
        ftp_->OnTransactionStart = [this](TComponent*) { awaitingData_ = false; };
        ftp_->OnTransactionStop = [this](TComponent*) {
            if (!awaitingFile_)
                return;
            awaitingReply_ = true;
            replyDeadline_ = Clock::now() + kCompletionLimit +
                             std::chrono::duration_cast<Clock::duration>(
                                 std::chrono::duration<double>(double(fileSize_) / kSlowestDrain));
        };
    }

    // Runs on this thread inside every wait of the connection: Stop ends the transfer in
    // flight at once, and cleanup after a Stop may not take long.
    void Watch() {
        if (!ftp_)
            return;
        if (deadline_ && Clock::now() > *deadline_) {
            replyLate_ = true;
            ftp_->Abort();
        }
        if (p_.stop_ && transferring_)
            ftp_->Abort();
        if (awaitingData_ && Clock::now() - uploadStarted_ > kDataConnectionLimit) {
            awaitingData_ = false;
            stalled_ = "did not open the data connection";
            ftp_->Abort();
        }
        if (awaitingReply_ && Clock::now() > replyDeadline_) {
            awaitingReply_ = false;
            stalled_ = "did not confirm the upload";
            ftp_->Abort();
        }
    }

    void PacketSent(TComponent* sender) {
        if (!transferring_)
            return; // the manifest: not part of the site's bytes
        if (p_.stop_) {
            ftp_->Abort();
            return;
        }
        std::int64_t sent = static_cast<TCorsock*>(sender)->BytesSent;
        {
            std::lock_guard lock(s_.mutex);
            s_.inFlight[std::size_t(index_)] = sent;
        }
        Report(false);
    }

    // --- Jobs ---------------------------------------------------------------------------
    bool Halted() {
        std::lock_guard lock(s_.mutex);
        return !s_.halted.empty();
    }

    void TakeJobs(TPublishPhase& phase) {
        if (Halted())
            return;
        if (phase.serial) {
            if (phase.jobs.empty() || !EnsureConnected() || !Claim(phase))
                return;
            for (std::size_t i = 0; i < phase.jobs.size(); ++i) {
                if ((p_.stop_ && !phase.afterStop) || Halted() || !EnsureConnected())
                    break; // what is left is reported as not done
                Do(phase, i);
            }
            Release(phase);
            return;
        }
        for (;;) {
            if (p_.stop_ || !EnsureConnected())
                return;
            std::optional<std::size_t> i = Claim(phase);
            if (!i)
                return;
            Do(phase, *i);
            Release(phase);
        }
    }

    // The next job of a parallel phase, or the first of a serial one with the whole phase.
    std::optional<std::size_t> Claim(TPublishPhase& phase) {
        std::lock_guard lock(s_.mutex);
        if (phase.next >= phase.jobs.size())
            return std::nullopt;
        std::size_t i = phase.next;
        phase.next = phase.serial ? phase.jobs.size() : i + 1;
        ++phase.working;
        return i;
    }

    void Release(TPublishPhase& phase) {
        std::lock_guard lock(s_.mutex);
        if (--phase.working == 0)
            s_.phaseChanged.notify_all();
    }

    // Waits until the phase is over for every connection (see TPublishPhase).
    void FinishWith(TPublishPhase& phase) {
        std::unique_lock lock(s_.mutex);
        ++phase.connectionsDone;
        s_.phaseChanged.notify_all();
        int connections = int(s_.current.size());
        s_.phaseChanged.wait(lock, [&] {
            bool givenUp = (p_.stop_ && !phase.afterStop) || !s_.halted.empty();
            return phase.Finished() || (givenUp && phase.working == 0) ||
                   phase.connectionsDone == connections;
        });
    }

    void Do(TPublishPhase& phase, std::size_t i) {
        const TPublishJob& job = phase.jobs[i];
        bool finished = true;
        try {
            finished = Perform(job);
        } catch (const std::exception& error) {
            Fail(job.path, ReasonText(error));
        }
        std::lock_guard lock(s_.mutex);
        if (finished)
            phase.done[i] = 1;
    }

    std::string Remote(const std::string& relative) const { return JoinRemote(p_.root_, relative); }

    // Returns false when the job was abandoned because of a Stop.
    bool Perform(const TPublishJob& job) {
        switch (job.kind) {
        case TPublishJob::RemoveFile:
        case TPublishJob::DeleteFile:
            WithinReplyLimit([&] { ftp_->Delete(Remote(job.path)); });
            Record([&] {
                s_.removed.insert(job.path);
                ++s_.summary.Deleted;
            });
            return true;
        case TPublishJob::RemoveFolder:
        case TPublishJob::DeleteFolder:
            WithinReplyLimit([&] { ftp_->RemoveDir(Remote(job.path)); });
            Record([&] {
                s_.removed.insert(job.path);
                ++s_.summary.Deleted;
            });
            return true;
        case TPublishJob::MakeRoot:
            WithinReplyLimit([&] { MakeRoot(); });
            return true;
        case TPublishJob::MakeFolder:
            WithinReplyLimit([&] { ftp_->MakeDirectory(Remote(job.path)); });
            Record([&] { ++s_.summary.Created; });
            return true;
        case TPublishJob::Upload:
            return Upload(job);
        case TPublishJob::WriteManifest:
            WriteManifest();
            return true;
        case TPublishJob::TrimManifest:
            TrimManifest();
            return true;
        }
        return true;
    }

    // Runs commands whose replies must come within the reply limit (unless a tighter
    // limit runs already). A server that stops answering leaves the connection out of
    // step with its replies: it is closed, to be logged in again for the next job.
    template <typename Step> void WithinReplyLimit(Step step) {
        const std::int32_t limit = p_.connection_.ReplyTimeOut;
        if (deadline_ || limit <= 0) {
            step();
            return;
        }
        deadline_ = Clock::now() + std::chrono::milliseconds(limit);
        replyLate_ = false;
        try {
            step();
        } catch (const std::exception&) {
            deadline_.reset();
            if (!replyLate_)
                throw;
            replyLate_ = false;
            try {
                ftp_->Disconnect();
            } catch (const std::exception&) {
                // Closed all the same.
            }
            throw Exception("The server did not answer within " +
                            std::to_string((limit + 999) / 1000) + " s");
        }
        deadline_.reset();
    }

    // Creates the remote root and whatever of its parents is missing.
    void MakeRoot() {
        std::string path;
        std::size_t start = 1;
        const std::string& root = p_.root_;
        while (start <= root.size()) {
            std::size_t end = root.find('/', start);
            if (end == std::string::npos)
                end = root.size();
            path = root.substr(0, end);
            start = end + 1;
            try {
                ftp_->MakeDirectory(path);
            } catch (const FTPException&) {
                if (end == root.size())
                    throw; // the root itself could not be made
            }
        }
        Record([&] { ++s_.summary.Created; });
    }

    bool Upload(const TPublishJob& job) {
        const std::string& local = p_.local_.Files.at(job.path).FullPath;
        Begin(job.path);
        bool finished = true;
        bool placing = false;
        std::string temporary = TemporaryPath(job.path);
        try {
            SendFile(local, Remote(p_.options_.TemporaryNames ? temporary : job.path));
            if (p_.options_.TemporaryNames) {
                if (p_.stop_) {
                    RemoveTemporary(temporary);
                    finished = false;
                } else {
                    placing = true;
                    WithinReplyLimit([&] { PlaceOver(temporary, job.path); });
                }
            }
            if (finished)
                Record([&] {
                    s_.uploaded.insert(job.path);
                    ++s_.summary.Uploaded;
                });
        } catch (const std::exception& error) {
            transferring_ = false;
            // A transfer that Stop ended may still have its reply on the way, late enough
            // to answer the next command: the clean-up goes on a new log-in.
            if (p_.stop_ && !placing && ftp_)
                DropStuckConnection();
            if (p_.options_.TemporaryNames)
                RemoveTemporary(temporary);
            // Without temporary names a part may stand under the real name; a rename that
            // failed may still have been carried out (its answer lost with the connection):
            // either way the old content under the name is no longer known to be there.
            if (!p_.options_.TemporaryNames || placing)
                Record([&] { s_.lost.insert(job.path); });
            if (p_.stop_)
                finished = false;
            else
                Fail(job.path, ReasonText(error));
        }
        End(job.size);
        return finished;
    }

    // Upload, asked again when the server's data connection does not come in time.
    // A site's file counts in the progress and ends at Stop; the manifest does not.
    void SendFile(const std::string& local, const std::string& remote, bool content = true) {
        std::error_code error;
        fileSize_ = std::int64_t(std::filesystem::file_size(local, error));
        for (int attempt = 1;; ++attempt) {
            transferring_ = content;
            stalled_ = nullptr;
            uploadStarted_ = Clock::now();
            awaitingData_ = awaitingFile_ = true;
            try {
                ftp_->Upload(local, remote);
                transferring_ = awaitingData_ = awaitingFile_ = awaitingReply_ = false;
                return;
            } catch (const ETlsResumeRefused&) {
                transferring_ = awaitingData_ = awaitingFile_ = awaitingReply_ = false;
                // The server refused the data connection's TLS session (vsftpd: 522) and
                // mostly ends the session too: a new log-in brings fresh sessions to resume.
                if (p_.stop_ || attempt == kUploadAttempts)
                    throw;
                DropStuckConnection();
                if (!EnsureConnected())
                    throw;
                Record([&] {
                    std::vector<std::string>& notes = s_.summary.Notes;
                    if (std::find(notes.begin(), notes.end(), kResumeRefusedNote) == notes.end())
                        notes.push_back(kResumeRefusedNote);
                });
            } catch (const std::exception&) {
                transferring_ = awaitingData_ = awaitingFile_ = awaitingReply_ = false;
                if (!stalled_ || p_.stop_)
                    throw;
                DropStuckConnection();
                // The abort's own text ("Canceled") would not tell what went wrong.
                if (attempt == kUploadAttempts || !EnsureConnected())
                    throw Exception(std::string("The server ") + stalled_ + " in time; tried " +
                                    std::to_string(attempt) + (attempt == 1 ? " time" : " times"));
                Record([&] {
                    if (!s_.stallNoted)
                        s_.summary.Notes.push_back(
                            "The server did not open or did not finish a data connection in "
                            "time; such files were sent again");
                    s_.stallNoted = true;
                });
            }
        }
    }

    // Ends a connection after a transfer given up: the transfer's own reply is still to
    // come, late, and on this connection it would answer a later command; and the server
    // may have stopped reading it altogether (pyftpdlib does, now and then, when several
    // sessions open data connections at once). The next file goes on a new log-in, and
    // the old one's QUIT is waited for only briefly.
    void DropStuckConnection() {
        std::optional<Clock::time_point> saved = deadline_;
        deadline_ = Clock::now() + kStuckQuitLimit;
        try {
            ftp_->Disconnect();
        } catch (const std::exception&) {
            // Closed all the same.
        }
        deadline_ = saved;
        ftp_.reset();
    }

    // RNFR the temporary name, RNTO the real one. A server that refuses to rename over an
    // existing file gets DELE of the real name first, and the rename again.
    void PlaceOver(const std::string& temporary, const std::string& path) {
        ftp_->DoCommand("RNFR " + Remote(temporary));
        try {
            ftp_->DoCommand("RNTO " + Remote(path));
            return;
        } catch (const FTPException& refused) {
            try {
                ftp_->Delete(Remote(path));
            } catch (const FTPException&) {
                throw refused; // nothing stood in the way: the rename itself was refused
            }
        }
        Record([&] {
            s_.lost.insert(path);
            if (!s_.renameFallbackNoted)
                s_.summary.Notes.push_back(
                    "The server refused to rename over existing files: each was deleted first "
                    "and then renamed, so it was missing for a moment");
            s_.renameFallbackNoted = true;
        });
        ftp_->DoCommand("RNFR " + Remote(temporary));
        ftp_->DoCommand("RNTO " + Remote(path));
        Record([&] { s_.lost.erase(path); });
    }

    // Removes a temporary file after a failed or stopped upload, if the connection still
    // allows it, and never for long.
    void RemoveTemporary(const std::string& temporary) {
        deadline_ = Clock::now() + kCleanupLimit;
        try {
            if (EnsureConnected())
                ftp_->Delete(Remote(temporary));
        } catch (const std::exception&) {
            // Hidden, never under a real name; the next publish removes what is left. A
            // server that did not answer in time is not asked anything more on this
            // connection: after a Stop it must not take the manifest.
            if (deadline_ && Clock::now() >= *deadline_) {
                DropStuckConnection();
                dead_ = p_.stop_;
            }
        }
        deadline_.reset();
    }

    void WriteManifest() {
        if (p_.stop_)
            deadline_ = Clock::now() + kManifestAfterStopLimit;
        std::string text;
        {
            std::lock_guard lock(s_.mutex);
            text = FormatManifest(p_.FinalManifest(s_));
        }
        std::string reason = PutManifest(text);
        deadline_.reset();
        if (!reason.empty())
            Fail("", "The manifest could not be written: " + reason);
        else
            Record([&] { s_.summary.ManifestWritten = true; });
    }

    // Before the first change, the manifest without what the run may change: it then stays
    // true whenever the run ends. When it cannot be written, nothing is changed at all.
    void TrimManifest() {
        std::optional<TManifest> during = p_.ManifestDuringRun();
        std::string reason = during ? PutManifest(FormatManifest(*during)) : std::string();
        if (reason.empty())
            return;
        Fail("", "The manifest could not be updated before the changes: " + reason);
        Record([&] { s_.halted = "the manifest could not be updated first"; });
    }

    // Writes the manifest's text under a temporary name and renames it over the manifest.
    // Returns the reason of a failure, or "".
    std::string PutManifest(const std::string& text) {
        std::string temporary = TemporaryPath(kManifestName);
        try {
            TemporaryFile file(text);
            try {
                SendFile(file.path(), Remote(temporary), false);
                WithinReplyLimit([&] { PlaceOver(temporary, kManifestName); });
            } catch (...) {
                RemoveTemporary(temporary);
                throw;
            }
        } catch (const std::exception& error) {
            return ReasonText(error);
        }
        return "";
    }

    // --- Results and progress -----------------------------------------------------------------
    template <typename Change> void Record(Change change) {
        std::lock_guard lock(s_.mutex);
        change();
    }

    void Fail(const std::string& path, const std::string& reason) {
        std::lock_guard lock(s_.mutex);
        s_.summary.Failures.push_back({path, reason});
    }

    void Begin(const std::string& path) {
        {
            std::lock_guard lock(s_.mutex);
            s_.current[std::size_t(index_)] = path;
            s_.inFlight[std::size_t(index_)] = 0;
        }
        Report(false);
    }

    void End(std::int64_t size) {
        {
            std::lock_guard lock(s_.mutex);
            s_.current[std::size_t(index_)].clear();
            s_.inFlight[std::size_t(index_)] = 0;
            ++s_.filesDone;
            s_.bytesDone += size;
        }
        Report(false);
    }

    void Report(bool force) {
        if (!p_.OnProgress)
            return;
        TPublishProgress progress;
        {
            std::lock_guard lock(s_.mutex);
            auto now = Clock::now();
            if (!force && now - s_.lastReport < kReportInterval)
                return;
            s_.lastReport = now;
            progress = Snapshot(s_, now);
        }
        std::lock_guard emit(s_.emitMutex);
        p_.OnProgress(progress);
    }

public:
    static TPublishProgress Snapshot(const RunState& s, Clock::time_point now) {
        TPublishProgress progress;
        progress.FilesDone = s.filesDone;
        progress.FilesTotal = s.filesTotal;
        progress.BytesTotal = s.bytesTotal;
        progress.BytesDone = s.bytesDone;
        for (std::size_t i = 0; i < s.current.size(); ++i) {
            if (!s.current[i].empty())
                progress.Current.push_back(s.current[i]);
            progress.BytesDone += s.inFlight[i];
        }
        double seconds = std::chrono::duration<double>(now - s.started).count();
        if (seconds > 0)
            progress.Rate = double(progress.BytesDone) / seconds;
        if (progress.Rate > 0)
            progress.SecondsLeft = double(progress.BytesTotal - progress.BytesDone) / progress.Rate;
        return progress;
    }

private:
    TPublisher& p_;
    RunState& s_;
    int index_;
    std::unique_ptr<TVaneFTP> ftp_;
    std::unique_ptr<TThreadTimer> watch_;
    std::optional<Clock::time_point> deadline_;
    bool replyLate_ = false; // the deadline ended a wait
    bool transferring_ = false;
    bool awaitingData_ = false;     // an upload waits for the server's data connection
    bool awaitingFile_ = false;     // an upload runs (its end starts the reply's clock)
    bool awaitingReply_ = false;    // ... and waits for the completion reply
    const char* stalled_ = nullptr; // which of these waits was given up
    Clock::time_point uploadStarted_;
    Clock::time_point replyDeadline_;
    std::int64_t fileSize_ = 0;
    bool dead_ = false;
};

} // namespace kestrel

namespace kestrel {

void TPublisher::RunWorkers(RunState& state, int count) {
    std::vector<std::thread> threads;
    for (int i = 1; i < count; ++i) {
        threads.emplace_back([this, &state, i] {
            Worker worker(*this, state, i);
            worker.Run();
        });
    }
    // The first connection is the one that prepared, on its own thread, when Run follows
    // at once. After a pause (a plan shown in a dialog) the server may have closed it for
    // idleness without a word yet, and a fresh log-in is surer.
    home_->Call([this, &state] {
        std::unique_ptr<TVaneFTP> kept = std::move(kept_);
        if (kept && (Clock::now() - keptSince_ > kKeptIdleLimit || !kept->Connected))
            kept.reset();
        Worker worker(*this, state, 0, std::move(kept));
        worker.Run();
    });
    for (std::thread& thread : threads)
        thread.join();
    if (OnProgress) {
        TPublishProgress progress = Worker::Snapshot(state, Clock::now());
        std::lock_guard emit(state.emitMutex);
        OnProgress(progress);
    }
}

} // namespace kestrel
