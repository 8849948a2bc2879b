// The program's start: the application, the main window, the hidden new-directory
// dialog, and the message loop; the window's exit code is 0 in every case. The command line
// (--version, --help, publish, usage errors) is handled first, without a display; without
// a display the window is not tried (the toolkit would abort) and the program says so.
#include "app/application.h"
#include "app/cli_publish.h"
#include "app/helpviewer.h"
#include "app/kesftp.h"
#include "app/newdir.h"
#include "app/qtloop.h"
#include "app/resources.h"

#include <QApplication>
#include <QDir>
#include <cctype>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// The X display a local socket serves (":0", ":1.0", "unix:2"), or -1 for any other.
int LocalDisplayNumber(const std::string& display) {
    std::size_t colon = display.rfind(':');
    if (colon == std::string::npos)
        return -1;
    std::string host = display.substr(0, colon);
    if (!host.empty() && host != "unix")
        return -1;
    int number = 0;
    std::size_t i = colon + 1;
    if (i >= display.size() || !std::isdigit(static_cast<unsigned char>(display[i])))
        return -1;
    for (; i < display.size() && std::isdigit(static_cast<unsigned char>(display[i])); ++i)
        number = number * 10 + (display[i] - '0');
    return number;
}

// Whether an X server listens at the local display's socket (the path, or the same name in
// the abstract namespace, where Xorg and Xvfb both listen).
bool LocalDisplayAnswers(int number) {
    const std::string path = "/tmp/.X11-unix/X" + std::to_string(number);
    for (bool abstract : {false, true}) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return true; // cannot tell: let the toolkit try
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::memcpy(address.sun_path + (abstract ? 1 : 0), path.c_str(), path.size());
        socklen_t length =
            socklen_t(offsetof(sockaddr_un, sun_path) + path.size() + (abstract ? 1 : 0));
        bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), length) == 0;
        ::close(fd);
        if (connected)
            return true;
    }
    return false;
}

// Why the window cannot be shown here, or "" when a display (or a platform the user chose
// for the toolkit) is there. Without one the toolkit would abort the program.
std::string MissingDisplay() {
    auto variable = [](const char* name) {
        const char* value = std::getenv(name);
        return std::string(value ? value : "");
    };
    std::string platform = variable("QT_QPA_PLATFORM");
    if (!platform.empty() && platform.rfind("xcb", 0) != 0)
        return ""; // offscreen, wayland, vnc...: the user's choice
    if (platform.empty() && !variable("WAYLAND_DISPLAY").empty())
        return "";
    std::string display = variable("DISPLAY");
    if (display.empty())
        return "no display to show the window on (DISPLAY is not set)";
    int number = LocalDisplayNumber(display);
    if (number >= 0 && !LocalDisplayAnswers(number))
        return "no display to show the window on (no X server answers at DISPLAY=" + display + ")";
    return "";
}

} // namespace

int main(int argc, char** argv) {
    using namespace kestrel;
    // The command line is read before any window exists, so it works without a display.
    bool fromMenu = false;
    if (std::optional<int> status = RunCommandLine(argc, argv, fromMenu))
        return *status;
    if (std::string missing = MissingDisplay(); !missing.empty()) {
        std::fprintf(stderr, "kestrelftp: %s; 'kestrelftp publish' works without one\n",
                     missing.c_str());
        return 1;
    }
    QApplication qt(argc, argv);
    // A desktop menu starts programs in a folder of its own choosing; the settings files
    // belong in the user's home folder then.
    if (fromMenu)
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
