// Demo driver: opens the real window in the current folder (a demo site with its
// Config.txt), connects with the saved settings, uploads every file of the site through
// the window's own handlers, saves a screenshot and closes. Used by scripts/run.sh where
// no display exists, under a virtual display. Given a folder as well, it also saves there
// the window's looks: disabled.png (at start, nothing to click but Connect), busy.png
// (while a file is sent, with Stop), idle.png (connected, a file selected), wide.png (the
// window made larger), certificate.png (the question about a certificate no authority
// vouches for, with the demo's TLS server), and the publish dialog's three stages:
// publish-plan.png (the two folders, the plan, the deletions apart), publish-running.png
// and publish-summary.png (the record of what was done).
//
//   kestrel_demo SCREENSHOT.png [FOLDER]
#include "app/application.h"
#include "app/helpviewer.h"
#include "app/kesftp.h"
#include "app/newdir.h"
#include "app/publishdialog.h"
#include "app/qtloop.h"
#include "app/resources.h"
#include "browser/filectrl.h"
#include "platform/platform.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QToolButton>
#include <QTreeWidget>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <unistd.h>

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
        std::fprintf(stderr, "usage: %s SCREENSHOT.png [FOLDER]\n", argv[0]);
        return 2;
    }
    const std::string looks = argc > 2 ? argv[2] : "";
    QApplication qt(argc, argv);
    InitAppResources();
    AttachPlatformToQt();
    int failures = 0;
    auto save = [&](QWidget& widget, const char* name) {
        if (looks.empty())
            return;
        std::string path = looks + "/" + name;
        bool ok = widget.grab().save(QString::fromStdString(path));
        std::printf("screenshot: %s%s\n", path.c_str(), ok ? "" : " (could not be saved)");
    };
    // A server with a certificate of its own (the demo's TLS server) is trusted always (so
    // that the publish dialog's connections trust it too), and the question is shown as a
    // person would read it and saved as it looks. The publish dialog's question about
    // deletions is answered "Delete and Publish".
    Application().Answer = [&](const TCapturedBox& box) {
        const bool certificate = box.Buttons.size() == 3;
        std::printf("%s:\n%s\n-> %s\n", certificate ? "certificate dialog" : "question",
                    box.Text.c_str(), box.Buttons[certificate ? 1 : 0].c_str());
        if (certificate) {
            QMessageBox shown(QMessageBox::Warning, QString::fromStdString(box.Caption),
                              QString::fromStdString(box.Text));
            for (const std::string& caption : box.Buttons)
                shown.addButton(QString::fromStdString(caption), QMessageBox::ActionRole);
            shown.show();
            Settle(100);
            save(shown, "certificate.png");
        }
        return certificate ? 1 : 0;
    };
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
    auto look = [&](const char* name) { save(window, name); };
    // The lower half of the settings panel, where "Save Settings" is.
    QScrollBar* panel = window.ScrollBox1->verticalScrollBar();
    panel->setValue(panel->maximum());
    Settle(50);
    look("disabled.png");
    panel->setValue(0);
    bool busyShown = false;
    TNotifyEvent packetSent = window.VaneFTP1->OnPacketSent;
    window.VaneFTP1->OnPacketSent = [&](TComponent* sender) {
        packetSent(sender);
        if (busyShown)
            return;
        busyShown = true;
        // A few frames of the animation, without pumping the transfer from inside it.
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(150);
        while (std::chrono::steady_clock::now() < until)
            QApplication::processEvents(QEventLoop::AllEvents, 10);
        look("busy.png");
    };

    std::printf("connecting to %s:%s as %s\n", window.eHost->text().toStdString().c_str(),
                window.ePort->text().toStdString().c_str(),
                window.eUserID->text().toStdString().c_str());
    window.sbConnect->click();
    Settle(200);
    std::printf("status: %s\n", Status(window).c_str());

    // A page that is sent now and then removed locally: the publish below deletes it.
    std::ofstream("old-page.htm") << "<html><body>An old page</body></html>\n";
    window.FileList->Reread();
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

    // Idle and ready: one file selected, the settings edited.
    for (int i = 0; i < window.FileList->Count(); ++i)
        window.FileList->SetSelected(i, false);
    for (int i = 0; i < window.FileList->Count(); ++i) {
        if (window.FileList->Item(i).rfind("[", 0) != 0) {
            window.FileList->SetItemIndex(i);
            window.FileList->SetSelected(i, true);
            break;
        }
    }
    window.FileListClick();
    window.eUserIDExit();
    panel->setValue(panel->maximum());
    Settle(100);
    look("idle.png");
    window.resize(760, 520);
    Settle(100);
    look("wide.png");
    window.resize(480, 382);
    Settle(50);

    // The whole site in the publish dialog: the plan with the deletion, the run (a larger
    // picture keeps it going long enough to be seen), the record.
    ::unlink("old-page.htm");
    std::ofstream("images/panorama.bmp") << std::string(8 << 20, '\x7f');
    window.FileList->Reread();
    for (QAction* action : window.DirPop->actions())
        if (action->text() == "Publish Site...")
            action->trigger();
    TPublishDialog* publish = nullptr;
    for (QDialog* open : window.findChildren<QDialog*>())
        if (auto* found = dynamic_cast<TPublishDialog*>(open))
            publish = found;
    if (publish) {
        auto until = [&](TPublishDialog::TStage stage, bool running = false) {
            for (int i = 0; i < 2000 && publish->Stage() != stage; ++i) {
                Settle(5);
                if (running && publish->Stage() == TPublishDialog::TStage::Running &&
                    publish->txtProgress->text().contains(" files, "))
                    return;
            }
        };
        until(TPublishDialog::TStage::Planned);
        publish->cbDelete->setChecked(true);
        Settle(100);
        std::printf("publish plan: %s\n", publish->txtPlan->text().toStdString().c_str());
        save(*publish, "publish-plan.png");
        publish->bPublish->click();
        until(TPublishDialog::TStage::Done, true);
        publish->layout()->activate();
        save(*publish, "publish-running.png");
        until(TPublishDialog::TStage::Done);
        Settle(100);
        std::printf("publish summary: %s\n", publish->txtSummary->text().toStdString().c_str());
        save(*publish, "publish-summary.png");
        delete publish;
        TPublishDialog::WaitForBackgroundWork();
    } else {
        std::printf("the publish dialog did not open\n");
        ++failures;
    }

    window.sbDisconnect->click();
    Settle(100);
    Application().CloseHelp();
    NewDirForm = nullptr;
    return failures == 0 && saved ? 0 : 1;
}
