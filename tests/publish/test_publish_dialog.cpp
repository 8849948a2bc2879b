// "Publish Site...": the dialog shows the two folders and the plan for them (the deletions
// apart, confirmed on their own), runs it while the window's thread stays free, and shows
// the summary with the record of what was done; a real server. Closing it never makes the
// window's thread wait for the publisher.
#include "app/application.h"
#include "app/helpviewer.h"
#include "app/publishdialog.h"
#include "http_server.h"
#include "publish_support.h"
#include "support/fixtures.h"
#include "support/ftp_script.h"
#include "support/pyftpd.h"
#include "support/scripted_server.h"
#include "support/watchdog.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>
#include <gtest/gtest.h>

#include <atomic>
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

// Questions the dialog asks, answered with the given button, and every box it shows.
class Boxes {
public:
    explicit Boxes(int answer) {
        Application().Capture = [this](const TCapturedBox& box) { shown.push_back(box); };
        Application().Answer = [this](const TCapturedBox&) { return this->answer; };
        this->answer = answer;
    }
    ~Boxes() {
        Application().Capture = nullptr;
        Application().Answer = nullptr;
    }
    int answer = 0;
    std::vector<TCapturedBox> shown;
};

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
    Boxes boxes(0); // "Delete and Publish"
    dialog.Start();
    ASSERT_TRUE(WaitFor(dialog, TPublishDialog::TStage::Planned));
    EXPECT_EQ(dialog.txtPlan->text().toStdString(),
              "Plan for /: 1 folders to create, 2 files to send (2 new, 0 changed, 10 B), 0 to "
              "delete, 0 unchanged, 0 left out");
    EXPECT_TRUE(Items(dialog.lbPlan).contains("send css/site.css (new, 6 B)"));
    EXPECT_TRUE(dialog.bPublish->isEnabled());
    EXPECT_TRUE(dialog.bPublish->isDefault()) << "nothing to delete: Enter publishes";
    EXPECT_TRUE(Items(dialog.lbDelete).isEmpty());

    // The deletions form a list of their own, and the delete step is never the default.
    dialog.cbDelete->setChecked(true);
    EXPECT_EQ(Items(dialog.lbDelete), (QStringList{"delete old/gone.htm", "remove folder old"}));
    EXPECT_FALSE(Items(dialog.lbPlan).contains("delete old/gone.htm"));
    EXPECT_FALSE(dialog.bPublish->isDefault());
    EXPECT_TRUE(boxes.shown.empty());

    dialog.bPublish->click();
    ASSERT_EQ(boxes.shown.size(), 1u) << "the deletions are confirmed on their own";
    EXPECT_EQ(boxes.shown[0].Kind, TBoxKind::Question);
    EXPECT_EQ(boxes.shown[0].Buttons, (std::vector<std::string>{"Delete and Publish", "Cancel"}));
    EXPECT_NE(boxes.shown[0].Text.find("old/gone.htm"), std::string::npos) << boxes.shown[0].Text;
    EXPECT_EQ(dialog.Stage(), TPublishDialog::TStage::Running);
    EXPECT_TRUE(dialog.bStop->isEnabled());
    ASSERT_TRUE(WaitFor(dialog, TPublishDialog::TStage::Done));
    EXPECT_EQ(dialog.txtSummary->text().toStdString(),
              "Published. Uploaded 2, created 1, deleted 2, unchanged 0, failed 0.");
    EXPECT_FALSE(dialog.bStop->isEnabled());
    EXPECT_EQ(dialog.pbProgress->value(), dialog.pbProgress->maximum());
    EXPECT_EQ(ReadFileBytes(server.root() / "css/site.css"), "body{}");
    EXPECT_FALSE(fs::exists(server.root() / "old"));

    // The record of what was done stays, and can be saved.
    const QStringList record = Items(dialog.lbPlan);
    for (const char* line : {"sent: index.htm (4 B)", "sent: css/site.css (6 B)",
                             "created folder: css", "deleted: old/gone.htm", "removed folder: old"})
        EXPECT_TRUE(record.contains(line)) << line << "\n" << record.join("\n").toStdString();
    EXPECT_TRUE(dialog.bSaveRecord->isEnabled());
    TempDir saved("kestrel-record");
    QString problem;
    ASSERT_TRUE(
        dialog.SaveRecord(QString::fromStdString((saved / "record.txt").string()), &problem))
        << problem.toStdString();
    const std::string text = ReadFileBytes(saved / "record.txt");
    EXPECT_NE(text.find("Published. Uploaded 2"), std::string::npos) << text;
    EXPECT_NE(text.find("deleted: old/gone.htm\n"), std::string::npos) << text;
    EXPECT_FALSE(dialog.SaveRecord(QString::fromStdString((saved / "no/such/record.txt").string()),
                                   &problem));
    EXPECT_FALSE(problem.isEmpty());
}

// Refusing the deletions publishes nothing; Enter never starts a plan that deletes.
TEST(PublishDialog, DeletionsAreNotCarriedOutWithoutTheirConfirmation) {
    Watchdog dog(60s);
    App();
    PyFtpd server;
    WriteFileBytes(server.root() / "keep.htm", "kept");
    TempDir site("kestrel-site");
    WriteFileBytes(site / "index.htm", "home");
    TPublishOptions options;
    options.LocalRoot = site.str();
    options.Plan.Delete = true;
    TPublishDialog dialog(nullptr, ConnectionTo(server, false), options);
    Boxes boxes(1); // Cancel
    dialog.show();
    dialog.Start();
    ASSERT_TRUE(WaitFor(dialog, TPublishDialog::TStage::Planned));
    EXPECT_TRUE(dialog.cbDelete->isChecked());
    EXPECT_EQ(Items(dialog.lbDelete), QStringList{"delete keep.htm"});
    // Enter clicks the default button, or one that becomes default with the focus: none.
    for (QPushButton* button : dialog.findChildren<QPushButton*>())
        EXPECT_FALSE(button->isDefault() || button->autoDefault()) << button->text().toStdString();
    dialog.bPublish->click();
    EXPECT_EQ(boxes.shown.size(), 1u);
    EXPECT_EQ(dialog.Stage(), TPublishDialog::TStage::Planned);
    EXPECT_EQ(ReadFileBytes(server.root() / "keep.htm"), "kept");
    EXPECT_FALSE(fs::exists(server.root() / "index.htm"));

    // Without the option the same plan sends and deletes nothing, and asks nothing.
    dialog.cbDelete->setChecked(false);
    dialog.bPublish->click();
    EXPECT_EQ(boxes.shown.size(), 1u);
    ASSERT_TRUE(WaitFor(dialog, TPublishDialog::TStage::Done));
    EXPECT_EQ(ReadFileBytes(server.root() / "keep.htm"), "kept");
    EXPECT_EQ(ReadFileBytes(server.root() / "index.htm"), "home");
}

// Both folders are shown and can be chosen: a plan made for other folders cannot be
// carried out, Compare makes the plan for the folders shown, and a run reports them.
TEST(PublishDialog, BothFoldersAreShownAndChosen) {
    Watchdog dog(60s);
    App();
    PyFtpd server;
    fs::create_directories(server.root() / "www");
    TempDir site("kestrel-site");
    fs::create_directories(site / "public");
    WriteFileBytes(site / "notes.txt", "private");
    WriteFileBytes(site / "public/index.htm", "home");
    TPublishOptions options;
    options.LocalRoot = (site / "public").string();
    options.RemoteRoot = "/www";
    TPublishDialog dialog(nullptr, ConnectionTo(server, false), options);
    std::vector<std::pair<std::string, std::string>> chosen;
    dialog.OnRootsChosen = [&](const std::string& local, const std::string& remote) {
        chosen.emplace_back(local, remote);
    };
    EXPECT_EQ(dialog.eLocalRoot->text().toStdString(), (site / "public").string());
    EXPECT_EQ(dialog.eRemoteRoot->text().toStdString(), "/www");
    dialog.Start();
    ASSERT_TRUE(WaitFor(dialog, TPublishDialog::TStage::Planned));
    EXPECT_EQ(dialog.txtPlan->text().left(14).toStdString(), "Plan for /www:");
    EXPECT_TRUE(Items(dialog.lbPlan).contains("send index.htm (new, 4 B)"));
    EXPECT_FALSE(Items(dialog.lbPlan).join(" ").contains("notes.txt"));

    dialog.eRemoteRoot->end(false);
    dialog.eRemoteRoot->insert("/site"); // as typed: the edit reports it as edited
    EXPECT_FALSE(dialog.bPublish->isEnabled()) << "the plan is for another folder";
    dialog.bPublish->click();
    EXPECT_TRUE(chosen.empty());
    dialog.bCompare->click();
    ASSERT_TRUE(WaitFor(dialog, TPublishDialog::TStage::Planned));
    EXPECT_EQ(dialog.txtPlan->text().left(19).toStdString(), "Plan for /www/site:");
    dialog.bPublish->click();
    ASSERT_TRUE(WaitFor(dialog, TPublishDialog::TStage::Done));
    EXPECT_EQ(chosen, (std::vector<std::pair<std::string, std::string>>{
                          {(site / "public").string(), "/www/site"}}));
    EXPECT_EQ(ReadFileBytes(server.root() / "www/site/index.htm"), "home");
    EXPECT_FALSE(fs::exists(server.root() / "www/site/notes.txt"));
    EXPECT_FALSE(fs::exists(server.root() / "index.htm"));
}

// After a Stop the bar shows what was sent, and the summary and the record name every file
// that was not.
TEST(PublishDialog, AStopShowsWhatWasDoneAndNamesWhatWasNot) {
    Watchdog dog(90s);
    App();
    PyFtpdOptions slow;
    // A data connection bursts this much, then the server pauses: each file takes seconds.
    slow.read_limit = 64 * 1024;
    PyFtpd server(slow);
    TempDir site("kestrel-site");
    constexpr int kFiles = 4;
    for (int i = 0; i < kFiles; ++i)
        RandomFile(site / ("page" + std::to_string(i) + ".htm"), 160 * 1024, unsigned(i + 1));
    TPublishOptions options;
    options.LocalRoot = site.str();
    options.Connections = 1;
    TPublishDialog dialog(nullptr, ConnectionTo(server, false), options);
    dialog.Start();
    ASSERT_TRUE(WaitFor(dialog, TPublishDialog::TStage::Planned));
    dialog.bPublish->click();
    auto until = std::chrono::steady_clock::now() + 60s;
    while (!dialog.txtProgress->text().startsWith("1/4 files") &&
           dialog.Stage() == TPublishDialog::TStage::Running &&
           std::chrono::steady_clock::now() < until) {
        QApplication::processEvents();
        std::this_thread::sleep_for(2ms);
    }
    ASSERT_EQ(dialog.Stage(), TPublishDialog::TStage::Running)
        << dialog.txtSummary->text().toStdString() << Items(dialog.lbPlan).join("\n").toStdString();
    dialog.bStop->click();
    ASSERT_TRUE(WaitFor(dialog, TPublishDialog::TStage::Done));

    int sent = 0;
    QStringList notSent;
    for (const QString& line : Items(dialog.lbPlan)) {
        sent += line.startsWith("sent: ");
        if (line.startsWith("not sent: "))
            notSent << line.mid(10);
    }
    // A Stop while files are still staged puts none of them in place (the site stays as it
    // was): whatever the list calls sent is on the server, the rest is named as not sent.
    ASSERT_LT(sent, kFiles);
    EXPECT_EQ(sent + notSent.size(), kFiles);
    for (const QString& name : notSent)
        EXPECT_FALSE(fs::exists(server.root() / name.toStdString())) << name.toStdString();
    // The bar: the part of the bytes that arrived (all files are of one size).
    EXPECT_EQ(dialog.pbProgress->value(), dialog.pbProgress->maximum() * sent / kFiles);
    const std::string summary = dialog.txtSummary->text().toStdString();
    EXPECT_EQ(summary.rfind("Stopped. Uploaded " + std::to_string(sent), 0), 0u) << summary;
    EXPECT_NE(summary.find("Not sent (" + std::to_string(notSent.size()) + "): "),
              std::string::npos)
        << summary;
    for (const QString& name : notSent)
        EXPECT_NE(summary.find(name.toStdString()), std::string::npos) << summary;
    EXPECT_TRUE(dialog.bClose->isEnabled());
}

// Closing the dialog while it compares returns at once, even while the server keeps the
// comparison waiting; what the comparison reports afterwards is dropped. Closing it during
// a run stops the run, and the dialog closes itself when the run has ended.
TEST(PublishDialog, ClosingNeverMakesTheWindowWaitForThePublisher) {
    Watchdog dog(60s);
    App();
    std::atomic<bool> release{false};
    std::atomic<bool> held{false};
    ScriptedFtpServer stalling([&](Session& s) {
        s.reply("220 ready");
        UserAndPassword(s);
        s.expect(""); // the first command after the log-in is never answered...
        held = true;
        while (!release)
            s.sleep(5);
        s.close(); // ...until the dialog is gone
    });
    TempDir site("kestrel-site");
    WriteFileBytes(site / "index.htm", "home");
    TConnectionSettings connection;
    connection.Host = "127.0.0.1";
    connection.Port = stalling.port();
    connection.UserID = "webuser";
    connection.Password = "s3cret";
    connection.ReplyTimeOut = 0; // no limit: only the close can end the wait
    TPublishOptions options;
    options.LocalRoot = site.str();
    auto* dialog = new TPublishDialog(nullptr, connection, options);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->show();
    dialog->Start();
    auto until = std::chrono::steady_clock::now() + 20s;
    while (!held && std::chrono::steady_clock::now() < until) {
        QApplication::processEvents();
        std::this_thread::sleep_for(2ms);
    }
    ASSERT_TRUE(held);
    EXPECT_TRUE(dialog->bStop->isEnabled()) << "a comparison can be stopped";
    dialog->bClose->click(); // would wait here for ever if closing waited for the thread
    QApplication::processEvents();
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    release = true;
    TPublishDialog::WaitForBackgroundWork();
    QApplication::processEvents();

    PyFtpdOptions slow;
    slow.read_limit = 64 * 1024;
    PyFtpd server(slow);
    for (int i = 0; i < 3; ++i)
        RandomFile(site / ("page" + std::to_string(i) + ".htm"), 160 * 1024, unsigned(i + 1));
    options.Connections = 1;
    TPublishDialog running(nullptr, ConnectionTo(server, false), options);
    running.show();
    running.Start();
    ASSERT_TRUE(WaitFor(running, TPublishDialog::TStage::Planned));
    running.bPublish->click();
    until = std::chrono::steady_clock::now() + 20s;
    while (!running.txtProgress->text().contains(" files, ") &&
           std::chrono::steady_clock::now() < until) {
        QApplication::processEvents();
        std::this_thread::sleep_for(2ms);
    }
    ASSERT_EQ(running.Stage(), TPublishDialog::TStage::Running)
        << running.txtSummary->text().toStdString();
    running.bClose->click();
    EXPECT_TRUE(running.isVisible()) << "open until the run has ended";
    ASSERT_TRUE(WaitFor(running, TPublishDialog::TStage::Done));
    EXPECT_FALSE(running.isVisible()) << "closed itself after the run";
    EXPECT_EQ(running.txtSummary->text().left(8).toStdString(), "Stopped.");
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

// The address given in the dialog: after the run each changed page is fetched from there and
// compared; a page the web server does not have is a failure with its reason, and the
// address is handed on to be saved with the folders.
TEST(PublishDialog, ChecksTheChangedPagesOverHttp) {
    Watchdog dog(60s);
    App();
    PyFtpd server;
    HttpServer web(server.root());
    TempDir site("kestrel-site");
    WriteFileBytes(site / "index.htm", "home");
    WriteFileBytes(site / "logo.gif", "GIF89a");
    TPublishOptions options;
    options.LocalRoot = site.str();
    options.RemoteRoot = "www";
    auto publish = [&](const std::string& url, const std::string& expectedNote) {
        TPublishDialog dialog(nullptr, ConnectionTo(server, false), options, url);
        std::string chosen = "none";
        dialog.OnVerifyUrlChosen = [&](const std::string& given) { chosen = given; };
        dialog.Start();
        EXPECT_TRUE(WaitFor(dialog, TPublishDialog::TStage::Planned));
        EXPECT_EQ(dialog.eVerifyUrl->text().toStdString(), url);
        dialog.bPublish->click();
        EXPECT_TRUE(WaitFor(dialog, TPublishDialog::TStage::Done));
        EXPECT_EQ(chosen, url);
        EXPECT_TRUE(Items(dialog.lbPlan).contains(QString::fromStdString("note: " + expectedNote)))
            << Items(dialog.lbPlan).join("\n").toStdString();
        return std::pair(dialog.txtSummary->text().toStdString(), Items(dialog.lbPlan));
    };

    // Published to www, looked for where nothing is served.
    auto [failed, record] =
        publish(web.Url("public_html/"), "Checked over HTTP: 1 page, 1 differs");
    EXPECT_EQ(failed.rfind("The publish failed.", 0), 0u) << failed;
    EXPECT_TRUE(record.contains(QString::fromStdString(
        "failed: index.htm: the web server has no page at " + web.Url("public_html/index.htm") +
        " (HTTP 404): is the remote folder the one the site is served from?")))
        << record.join("\n").toStdString();

    WriteFileBytes(site / "index.htm", "home, new");
    auto [published, unused] =
        publish(web.Url("www"), "Checked over HTTP: 1 page, all as published");
    EXPECT_EQ(published.rfind("Published.", 0), 0u) << published;

    // Not a web address: said before anything is done.
    Boxes boxes(0);
    TPublishDialog dialog(nullptr, ConnectionTo(server, false), options, "ftp://x/");
    dialog.Start();
    ASSERT_TRUE(WaitFor(dialog, TPublishDialog::TStage::Planned));
    dialog.bPublish->click();
    EXPECT_EQ(dialog.Stage(), TPublishDialog::TStage::Planned);
    ASSERT_EQ(boxes.shown.size(), 1u);
    EXPECT_NE(boxes.shown[0].Text.find("not an http:// or https:// address"), std::string::npos)
        << boxes.shown[0].Text;
}
