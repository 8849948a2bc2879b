// The program's start: the application, the main window, the hidden new-directory
// dialog, and the message loop; the window's exit code is 0 in every case. The command line
// (--version, --help, publish) is handled first, without a display.
#include "app/application.h"
#include "app/cli_publish.h"
#include "app/helpviewer.h"
#include "app/kesftp.h"
#include "app/newdir.h"
#include "app/qtloop.h"
#include "app/resources.h"

#include <QApplication>
#include <QDir>
#include <cstdio>
#include <cstring>
#include <exception>

namespace {

constexpr const char* kUsage =
    "Usage: kestrelftp [--help] [--version] [--from-menu]\n"
    "       kestrelftp publish [--dry-run] [--delete] [--connections N] [--passive] [--tls]\n"
    "                          [--trust-fingerprint SHA256] [--host H] [--port P] [--user U]\n"
    "                          LOCAL_DIR [REMOTE_DIR]\n"
    "Without arguments the window opens; its settings are read from\n"
    "Config.txt and KestrelFTP.ini in the folder it starts in.\n"
    "--from-menu starts in your home folder instead (the desktop menu uses it).\n"
    "publish sends a whole site folder: see 'kestrelftp publish --help'.\n";

} // namespace

int main(int argc, char** argv) {
    using namespace kestrel;
    // The command line is read before any window exists, so it works without a display.
    if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("KestrelFTP %s\n", KESTREL_VERSION);
        return 0;
    }
    if (argc > 1 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (argc > 1 && std::strcmp(argv[1], "publish") == 0)
        return RunPublishCommand(argc - 1, argv + 1);
    QApplication qt(argc, argv);
    // A desktop menu starts programs in a folder of its own choosing; the settings files
    // belong in the user's home folder then.
    if (argc > 1 && std::strcmp(argv[1], "--from-menu") == 0)
        QDir::setCurrent(QDir::homePath());
    try {
        InitAppResources();
        Application().HelpFile = "KestrelFTP.Hlp";
        Application().Title = "KestrelFTP";
        AttachPlatformToQt();
        TMainForm window;
        MainForm = &window;
        TNewDirForm dialog(&window);
        NewDirForm = &dialog;
        window.show();
        QApplication::exec();
        NewDirForm = nullptr;
    } catch (const std::exception& error) {
        Application().ShowException(error);
    }
    return 0;
}
