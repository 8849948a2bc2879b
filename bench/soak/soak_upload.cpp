// Upload soak: uploads through TVaneFTP to pyftpdlib through a loopback proxy of our own
// that drops the control or the data connection at random points. Every upload must
// either report success with the server's file byte-identical, or raise an error; an
// upload that reports success while the server's file differs is the one outcome that
// must never happen. Prints the counts; exits 1 when that count is not 0 or an upload
// hangs.
//
// The proxy (tests/support/dropping_proxy.h) forwards the control connection and
// rewrites each PORT line so that the server connects back through it. A dropped data
// connection also takes the session's control connection down: pyftpdlib takes any end
// of an upload's data connection, a reset included, for the end of the file, so the
// shortened file would otherwise be confirmed by the server itself.
//
// Usage: soak_upload [--uploads N] [--seed S] [--max-size BYTES]
#include "net/ftp/vaneftp.h"
#include "support/dropping_proxy.h"
#include "support/fixtures.h"
#include "support/pyftpd.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <random>
#include <string>
#include <thread>

using namespace kestrel;
using namespace kestrel::test;
namespace fs = std::filesystem;

namespace {

using Fault = DroppingProxy::Fault;

const char* FaultName(Fault f) {
    return f == Fault::None ? "none" : f == Fault::Control ? "control" : "data";
}

// Ends the program when one upload takes far too long: a hang is a fault.
class HangGuard {
public:
    HangGuard() : thread_([this] { Watch(); }) {}
    ~HangGuard() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            done_ = true;
        }
        cv_.notify_all();
        thread_.join();
    }
    void Tick(const std::string& what) {
        std::lock_guard<std::mutex> lock(mutex_);
        what_ = what;
        last_ = std::chrono::steady_clock::now();
    }

private:
    void Watch() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!done_) {
            cv_.wait_for(lock, std::chrono::seconds(1));
            if (!done_ && std::chrono::steady_clock::now() - last_ > std::chrono::seconds(60)) {
                std::fprintf(stderr, "soak: hung in %s\n", what_.c_str());
                std::_Exit(1);
            }
        }
    }
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false;
    std::string what_ = "start";
    std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
    std::thread thread_;
};

} // namespace

int main(int argc, char** argv) {
    int uploads = 500;
    unsigned seed = 1;
    std::uint64_t maxSize = 512 * 1024;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string name = argv[i];
        if (name == "--uploads")
            uploads = std::atoi(argv[i + 1]);
        else if (name == "--seed")
            seed = unsigned(std::strtoul(argv[i + 1], nullptr, 10));
        else if (name == "--max-size")
            maxSize = std::strtoull(argv[i + 1], nullptr, 10);
        else {
            std::fprintf(stderr, "usage: soak_upload [--uploads N] [--seed S] [--max-size B]\n");
            return 2;
        }
    }

    PyFtpd server;
    DroppingProxy proxy(server.port());
    TempDir dir("kestrel-soak");
    std::mt19937_64 random(seed);
    HangGuard guard;

    TVaneFTP ftp(nullptr);
    ftp.Host = "127.0.0.1";
    ftp.Port = proxy.port();
    ftp.UserID = server.user();
    ftp.Password = server.password();
    ftp.TimeOut = 10000;

    int successIdentical = 0, successDiffers = 0, errors = 0, connectFailures = 0;
    int faultCounts[3] = {0, 0, 0};
    int errorsWithoutDrop = 0;
    auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < uploads; ++i) {
        const std::uint64_t size = random() % (maxSize + 1);
        const std::string name = "up" + std::to_string(i) + ".bin";
        const fs::path local = dir / name;
        RandomFile(local, size, random());

        const int roll = int(random() % 10);
        Fault fault = roll < 4 ? Fault::None : roll < 7 ? Fault::Control : Fault::Data;
        std::uint64_t at = fault == Fault::Control ? random() % 200
                           : size == 0             ? 0
                                                   : random() % size;
        ++faultCounts[int(fault)];
        guard.Tick("upload " + std::to_string(i) + " (" + FaultName(fault) + ")");

        if (!ftp.Connected) {
            proxy.Arm(Fault::None, 0);
            try {
                ftp.Connect();
                ftp.Mode(2); // image type, as the window sets before it uploads
            } catch (const Exception& e) {
                ++connectFailures;
                std::fprintf(stderr, "upload %d: connect failed: %s\n", i, e.what());
                continue;
            }
        }
        proxy.Arm(fault, at);
        bool reported = false;
        std::string error;
        try {
            ftp.Upload(local.string(), name);
            reported = true;
        } catch (const Exception& e) {
            error = e.what();
        }
        if (reported) {
            std::error_code ec;
            const fs::path remote = server.root() / name;
            if (fs::exists(remote, ec) && FileHash(remote) == FileHash(local) &&
                fs::file_size(remote, ec) == size) {
                ++successIdentical;
            } else {
                ++successDiffers;
                std::fprintf(stderr,
                             "upload %d (%s at %llu of %llu): success but the server's "
                             "file differs\n",
                             i, FaultName(fault), (unsigned long long)at, (unsigned long long)size);
            }
        } else {
            ++errors;
            if (!proxy.Dropped()) {
                ++errorsWithoutDrop;
                std::fprintf(stderr, "upload %d: error without a drop: %s\n", i, error.c_str());
            }
        }
        fs::remove(local);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    if (ftp.Connected) {
        try {
            ftp.Disconnect();
        } catch (const Exception&) {
        }
    }

    std::printf("uploads: %d in %.1f s (faults armed: none %d, control %d, data %d)\n", uploads,
                seconds, faultCounts[0], faultCounts[1], faultCounts[2]);
    std::printf("success, identical:            %d\n", successIdentical);
    std::printf("error raised:                  %d (%d without a drop)\n", errors,
                errorsWithoutDrop);
    std::printf("log-in failed (upload skipped): %d\n", connectFailures);
    std::printf("success but the file differs: %d\n", successDiffers);
    return successDiffers == 0 ? 0 : 1;
}
