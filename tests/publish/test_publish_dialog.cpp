// "Publish Site...": the dialog shows the plan (and again with the delete option), runs it
// while the window's thread stays free, and shows the summary; a real server.
#include "app/publishdialog.h"
#include "publish_support.h"
#include "support/fixtures.h"
#include "support/pyftpd.h"
#include "support/watchdog.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

using namespace kestrel;
using namespace kestrel::test;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

QApplication& App() {
    static int argc = 1;
    static char name[] = "test_publish_dialog";
    static char* argv[] = {name, nullptr};
    static QApplication app(argc, argv);
    return app;
}

// Lets the window's thread run until the dialog reaches the stage.
bool WaitFor(const TPublishDialog& dialog, TPublishDialog::TStage stage) {
    auto until = std::chrono::steady_clock::now() + 20s;
    while (dialog.Stage() != stage && std::chrono::steady_clock::now() < until) {
        QApplication::processEvents();
        std::this_thread::sleep_for(2ms);
    }
    QApplication::processEvents();
    return dialog.Stage() == stage;
}

QStringList Items(const QListWidget* list) {
    QStringList items;
    for (int i = 0; i < list->count(); ++i)
        items << list->item(i)->text();
    return items;
}

} // namespace

TEST(PublishDialog, PlanDeleteOptionRunAndSummary) {
    Watchdog dog(60s);
    App();
    PyFtpd server;
    fs::create_directories(server.root() / "old");
    WriteFileBytes(server.root() / "old/gone.htm", "gone");
    TempDir site("kestrel-site");
    fs::create_directories(site / "css");
    WriteFileBytes(site / "index.htm", "home");
    WriteFileBytes(site / "css/site.css", "body{}");

    TConnectionSettings connection = ConnectionTo(server, false);
    TPublishOptions options;
    options.LocalRoot = site.str();
    TPublishDialog dialog(nullptr, connection, options);
    dialog.Start();
    ASSERT_TRUE(WaitFor(dialog, TPublishDialog::TStage::Planned));
    EXPECT_EQ(dialog.txtPlan->text().toStdString(),
              "Plan for /: 1 folders to create, 2 files to send (2 new, 0 changed, 10 B), 0 to "
              "delete, 0 unchanged, 0 left out");
    EXPECT_TRUE(Items(dialog.lbPlan).contains("send css/site.css (new, 6 B)"));
    EXPECT_TRUE(dialog.bPublish->isEnabled());

    dialog.cbDelete->setChecked(true);
    EXPECT_TRUE(Items(dialog.lbPlan).contains("delete old/gone.htm"));
    EXPECT_TRUE(Items(dialog.lbPlan).contains("remove folder old"));

    dialog.bPublish->click();
    EXPECT_EQ(dialog.Stage(), TPublishDialog::TStage::Running);
    EXPECT_TRUE(dialog.bStop->isEnabled());
    ASSERT_TRUE(WaitFor(dialog, TPublishDialog::TStage::Done));
    EXPECT_EQ(dialog.txtSummary->text().toStdString(),
              "Published. Uploaded 2, created 1, deleted 2, unchanged 0, failed 0.");
    EXPECT_FALSE(dialog.bStop->isEnabled());
    EXPECT_EQ(ReadFileBytes(server.root() / "css/site.css"), "body{}");
    EXPECT_FALSE(fs::exists(server.root() / "old"));
}

TEST(PublishDialog, LogInRefusedIsShown) {
    Watchdog dog(60s);
    App();
    PyFtpd server;
    TempDir site("kestrel-site");
    TConnectionSettings connection = ConnectionTo(server, false);
    connection.Password = "wrong";
    TPublishOptions options;
    options.LocalRoot = site.str();
    TPublishDialog dialog(nullptr, connection, options);
    dialog.Start();
    ASSERT_TRUE(WaitFor(dialog, TPublishDialog::TStage::Done));
    EXPECT_EQ(dialog.txtSummary->text().left(12).toStdString(), "Failed: 530 ");
    EXPECT_FALSE(dialog.bPublish->isEnabled());
}
