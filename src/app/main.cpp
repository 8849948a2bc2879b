// The program's start: the application, the main window, the hidden new-directory
// dialog, and the message loop. The exit code is 0 in every case.
#include "app/application.h"
#include "app/helpviewer.h"
#include "app/kesftp.h"
#include "app/newdir.h"
#include "app/qtloop.h"
#include "app/resources.h"

#include <QApplication>
#include <exception>

int main(int argc, char** argv) {
    using namespace kestrel;
    QApplication qt(argc, argv);
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
