// Times the file list on a large folder: re-reading it with the upload window's mask and
// with "*", and scrolling through the whole list. Builds the folder in a temporary place
// and removes it afterwards.
//   filectrl_bench [number of files, default 100000]
#include "browser/filectrl.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPixmap>
#include <QScrollBar>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr int Rounds = 5;
const char* const Extensions[] = {".htm", ".html", ".jpg", ".gif", ".bmp", ".txt", ".css", ".png"};

// Best and median of several timed runs of action, in milliseconds.
template <typename Action> double Report(const char* what, Action action) {
    std::vector<double> times;
    for (int i = 0; i < Rounds; ++i) {
        QElapsedTimer timer;
        timer.start();
        action();
        times.push_back(static_cast<double>(timer.nsecsElapsed()) / 1e6);
    }
    std::sort(times.begin(), times.end());
    std::printf("%-48s best %8.1f ms   median %8.1f ms\n", what, times.front(),
                times[times.size() / 2]);
    return times.front();
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int count = argc > 1 ? std::atoi(argv[1]) : 100000;
    if (count <= 0) {
        std::fprintf(stderr, "usage: filectrl_bench [number of files]\n");
        return 2;
    }

    char* saved = ::getcwd(nullptr, 0);
    QTemporaryDir temp;
    if (!temp.isValid() || saved == nullptr) {
        std::fprintf(stderr, "cannot make a temporary folder\n");
        return 1;
    }
    const std::string folder = temp.path().toStdString();
    QElapsedTimer making;
    making.start();
    for (int i = 0; i < count; ++i) {
        const std::string name = folder + "/page" + std::to_string(i) +
                                 Extensions[i % (sizeof Extensions / sizeof *Extensions)];
        const int fd = ::open(name.c_str(), O_CREAT | O_WRONLY, 0644);
        if (fd < 0) {
            std::perror(name.c_str());
            return 1;
        }
        ::close(fd);
    }
    std::printf("made %d files in %s (%.1f s)\n", count, folder.c_str(),
                static_cast<double>(making.elapsed()) / 1000.0);

    int status = 0;
    try {
        kestrel::TFileListBox files;
        files.SetShowGlyphs(true);
        files.SetMultiSelect(true);
        files.SetFileType({kestrel::ftVolumeID, kestrel::ftDirectory, kestrel::ftNormal});
        files.resize(217, 400);
        files.show();
        files.SetFolderPath(folder);

        files.SetMask("*.htm;*.html;*.jpg;*.gif;*.bmp");
        Report("Reread, mask *.htm;*.html;*.jpg;*.gif;*.bmp", [&] { files.Reread(); });
        std::printf("  %d entries listed\n", files.Count());

        files.SetMask("*");
        Report("Reread, mask *", [&] { files.Reread(); });
        std::printf("  %d entries listed\n", files.Count());

        // Scrolling: draw the list at 200 positions spread over the whole range.
        QPixmap canvas(files.size());
        QScrollBar* bar = files.verticalScrollBar();
        constexpr int Steps = 200;
        const double scroll = Report("Scroll and draw 201 positions", [&] {
            for (int step = 0; step <= Steps; ++step) {
                bar->setValue(bar->maximum() * step / Steps);
                files.render(&canvas);
            }
        });
        std::printf("  %.2f ms per position\n", scroll / (Steps + 1));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "failed: %s\n", error.what());
        status = 1;
    }
    (void)::chdir(saved);
    std::free(saved);
    return status;
}
