// bench_window: the many-small-files case through the real window, offscreen.
//
// Started by bench_publish with QT_QPA_PLATFORM=offscreen. It builds the main window in
// the folder of the files to publish, connects by clicking the connect button, selects
// every file in the file list and clicks "Upload File", as a user would; the window's
// progress texts and its final listing are part of the time. It prints
// "RESULT <seconds> <KiB> <names listed>" for the parent.
//
// With --idle S it then leaves the connected window alone for S seconds under Qt's own
// event loop and reports the CPU seconds the process used meanwhile instead of the time.
//
// Usage: bench_window --port P --dir FOLDER [--idle S] [--user U --password W]
#include "app/application.h"
#include "app/helpviewer.h"
#include "app/kesftp.h"
#include "app/qtloop.h"
#include "app/resources.h"
#include "bench/publish/benchutil.h"
#include "browser/filectrl.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <QTreeWidget>

#include <cstdio>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

using namespace kestrel;
using kestrel::bench::Seconds;

namespace {

double CpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    std::string port, dir, user = "webuser", password = "s3cret";
    int idleSeconds = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string name = argv[i];
        if (name == "--port")
            port = argv[i + 1];
        else if (name == "--dir")
            dir = argv[i + 1];
        else if (name == "--idle")
            idleSeconds = std::stoi(argv[i + 1]);
        else if (name == "--user")
            user = argv[i + 1];
        else if (name == "--password")
            password = argv[i + 1];
    }
    if (port.empty() || dir.empty() || ::chdir(dir.c_str()) != 0) {
        std::fprintf(stderr, "usage: bench_window --port P --dir FOLDER [--idle S] [--user U "
                             "--password W]\n");
        return 2;
    }

    QApplication app(argc, argv);
    AttachPlatformToQt();
    InitAppResources();
    std::string boxes;
    Application().Capture = [&boxes](const TCapturedBox& box) { boxes += box.Text + "\n"; };

    TMainForm form;
    form.show();
    app.processEvents();
    form.eHost->setText("127.0.0.1");
    form.ePort->setText(QString::fromStdString(port));
    form.eUserID->setText(QString::fromStdString(user));
    form.ePassword->setText(QString::fromStdString(password));
    // Saving the settings applies the mask to the file list, as it does for a user; it
    // writes Config.txt into the folder, which the mask does not show.
    form.eMask->setText("*.htm");
    form.bSaveClick();

    double start = Seconds();
    form.sbConnect->click();
    // Focus the first file (as the user's click does), then select every file.
    if (form.FileList->Count() > 0)
        form.FileList->selectionModel()->setCurrentIndex(form.FileList->model()->index(0, 0),
                                                         QItemSelectionModel::NoUpdate);
    for (int i = 0; i < form.FileList->Count(); ++i)
        form.FileList->SetSelected(i, true);
    form.FileListClick();
    if (!form.bUpload->isEnabled()) {
        std::fprintf(stderr,
                     "bench_window: the upload button stayed disabled (%d files, %s, status "
                     "\"%s\"); boxes:\n%s",
                     form.FileList->Count(), form.IsConnected ? "connected" : "not connected",
                     form.txtStatus->text().toStdString().c_str(), boxes.c_str());
        return 1;
    }
    form.bUpload->click();
    double elapsed = Seconds() - start;
    long listed = form.WebList->topLevelItemCount();
    if (!boxes.empty())
        std::fprintf(stderr, "bench_window: the window said:\n%s", boxes.c_str());

    if (idleSeconds > 0) {
        double cpuBefore = CpuSeconds();
        QTimer::singleShot(idleSeconds * 1000, &app, &QApplication::quit);
        app.exec();
        elapsed = CpuSeconds() - cpuBefore;
    }
    form.sbDisconnect->click();
    bench::PrintResult(elapsed, listed);
    return 0;
}
