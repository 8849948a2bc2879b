// Demo driver: opens the real window in the current folder (a demo site with its
// Config.txt), connects with the saved settings, uploads every file of the site through
// the window's own handlers, saves a screenshot and closes. Used by scripts/run.sh where
// no display exists, under a virtual display.
//
//   kestrel_demo SCREENSHOT.png
#include "app/application.h"
#include "app/helpviewer.h"
#include "app/kesftp.h"
#include "app/newdir.h"
#include "app/qtloop.h"
#include "app/resources.h"
#include "browser/filectrl.h"
#include "platform/platform.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPixmap>
#include <QPushButton>
#include <QToolButton>
#include <QTreeWidget>
#include <chrono>
#include <cstdio>

namespace {

// Lets the window settle: repaints and any queued work.
void Settle(int milliseconds) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (std::chrono::steady_clock::now() < until) {
        QApplication::processEvents();
        kestrel::platform::wait_step();
    }
}

std::string Status(const kestrel::TMainForm& window) {
    return window.txtStatus->text().toStdString();
}

} // namespace

int main(int argc, char** argv) {
    using namespace kestrel;
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s SCREENSHOT.png\n", argv[0]);
        return 2;
    }
    QApplication qt(argc, argv);
    InitAppResources();
    AttachPlatformToQt();
    int failures = 0;
    Application().Capture = [&](const TCapturedBox& box) {
        std::printf("message box: %s\n", box.Text.c_str());
        if (box.Kind == TBoxKind::Exception)
            ++failures;
    };
    TMainForm window;
    MainForm = &window;
    TNewDirForm dialog(&window);
    NewDirForm = &dialog;
    window.show();
    Settle(300);
    std::printf("status: %s\n", Status(window).c_str());

    std::printf("connecting to %s:%s as %s\n", window.eHost->text().toStdString().c_str(),
                window.ePort->text().toStdString().c_str(),
                window.eUserID->text().toStdString().c_str());
    window.sbConnect->click();
    Settle(200);
    std::printf("status: %s\n", Status(window).c_str());

    int selected = 0;
    for (int i = 0; i < window.FileList->Count(); ++i) {
        if (window.FileList->Item(i).rfind("[", 0) == 0)
            continue; // folders are not files to send
        window.FileList->SetSelected(i, true);
        window.FileList->SetItemIndex(i);
        ++selected;
    }
    window.FileListClick();
    std::printf("uploading %d files\n", selected);
    window.bUpload->click();
    Settle(300);
    std::printf("status: %s\n", Status(window).c_str());
    std::printf("remote list:\n");
    for (int i = 0; i < window.WebList->topLevelItemCount(); ++i) {
        QTreeWidgetItem* row = window.WebList->topLevelItem(i);
        std::printf("  %-6s %s\n", row->text(0).toStdString().c_str(),
                    row->text(1).toStdString().c_str());
    }
    bool saved = window.grab().save(argv[1]);
    std::printf("screenshot: %s%s\n", argv[1], saved ? "" : " (could not be saved)");

    window.sbDisconnect->click();
    Settle(100);
    Application().CloseHelp();
    NewDirForm = nullptr;
    return failures == 0 && saved ? 0 : 1;
}
