// "Publish Site..." from the window: the dialog opens on the folders the window shows (the
// local folder of the lists and the remote folder beside "Your Website"), and a local folder
// published elsewhere is published there again, remembered per site in "KestrelFTP.ini".
#include "app_test_support.h"
#include "test_window_fixture.h"

#include "app/extrasettings.h"
#include "app/publishdialog.h"
#include "support/pyftpd.h"

#include <QAction>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <thread>

using namespace kestrel;
using namespace kestrel_test;
using namespace std::chrono_literals;

class WindowPublishTest : public WindowTest {
protected:
    // A publish keeps its journal in the state folder: one of the test's own, never the
    // user's.
    void SetUp() override {
        savedState_ = qgetenv("XDG_STATE_HOME");
        hadState_ = qEnvironmentVariableIsSet("XDG_STATE_HOME");
        qputenv("XDG_STATE_HOME", state_.path().toLocal8Bit());
        WindowTest::SetUp();
    }

    void TearDown() override {
        if (window)
            delete PublishDialog();
        TPublishDialog::WaitForBackgroundWork();
        WindowTest::TearDown();
        hadState_ ? qputenv("XDG_STATE_HOME", savedState_) : qunsetenv("XDG_STATE_HOME");
    }

    // The publish dialog open over the window, if any (the class has no meta-object of its
    // own, so it is told from the new-directory dialog by its C++ type).
    TPublishDialog* PublishDialog() const {
        for (QDialog* open : window->findChildren<QDialog*>())
            if (auto* dialog = dynamic_cast<TPublishDialog*>(open))
                return dialog;
        return nullptr;
    }

    // "Publish Site..." as the user chooses it; the dialog it opened.
    TPublishDialog* OpenPublishDialog() {
        delete PublishDialog();
        for (QAction* action : window->DirPop->actions())
            if (action->text() == "Publish Site...")
                action->trigger();
        return PublishDialog();
    }

    QTemporaryDir state_;
    QByteArray savedState_;
    bool hadState_ = false;

    static bool WaitFor(const TPublishDialog* dialog, TPublishDialog::TStage stage) {
        auto until = std::chrono::steady_clock::now() + 20s;
        while (dialog->Stage() != stage && std::chrono::steady_clock::now() < until) {
            QApplication::processEvents();
            std::this_thread::sleep_for(2ms);
        }
        QApplication::processEvents();
        return dialog->Stage() == stage;
    }

    static QStringList Items(const QListWidget* list) {
        QStringList items;
        for (int i = 0; i < list->count(); ++i)
            items << list->item(i)->text();
        return items;
    }

    void Open(const PyFtpd& server) {
        WriteSettings(server.user(), server.password(), "127.0.0.1", std::to_string(server.port()),
                      "*.htm");
        OpenWindow();
    }
};

TEST_F(WindowPublishTest, PublishesBetweenTheFoldersShownAndRemembersWhereAFolderWent) {
    PyFtpd server;
    fs::create_directories(server.root() / "site");
    fs::create_directories(site / "site");
    WriteFileBytes(site / "site/index.htm", "home");
    WriteFileBytes(site / "notes.htm", "not part of the site");
    Open(server);
    window->sbConnect->click();
    ASSERT_TRUE(window->IsConnected) << (boxes.empty() ? "" : boxes.back().Text);
    // The local "site" opened: the remote side follows into the log-in folder's "site".
    window->DirList->SetItemIndex(DirIndex("site"));
    window->DirList->DblClick();
    ASSERT_EQ(window->RemoteFolder(), "/site");
    const std::string local = window->DirList->FolderPath();
    ASSERT_EQ(fs::path(local).filename(), "site");

    TPublishDialog* dialog = OpenPublishDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->eLocalRoot->text().toStdString(), local);
    EXPECT_EQ(dialog->eRemoteRoot->text().toStdString(), "/site");
    ASSERT_TRUE(WaitFor(dialog, TPublishDialog::TStage::Planned)) << BoxTexts().size();
    EXPECT_EQ(dialog->txtPlan->text().left(15).toStdString(), "Plan for /site:");
    EXPECT_TRUE(Items(dialog->lbPlan).contains("send index.htm (new, 4 B)"))
        << Items(dialog->lbPlan).join("\n").toStdString();
    EXPECT_FALSE(Items(dialog->lbPlan).join("\n").contains("notes.htm"));

    // The user chooses another remote folder for it.
    dialog->eRemoteRoot->selectAll();
    QTest::keyClicks(dialog->eRemoteRoot, "/www");
    dialog->bCompare->click();
    ASSERT_TRUE(WaitFor(dialog, TPublishDialog::TStage::Planned));
    EXPECT_EQ(dialog->txtPlan->text().left(14).toStdString(), "Plan for /www:");
    dialog->bPublish->click();
    ASSERT_TRUE(WaitFor(dialog, TPublishDialog::TStage::Done));
    EXPECT_EQ(ReadFileBytes(server.root() / "www/index.htm"), "home");
    EXPECT_FALSE(fs::exists(server.root() / "index.htm"));
    EXPECT_FALSE(fs::exists(server.root() / "site/index.htm"));
    EXPECT_TRUE(boxes.empty()) << boxes.front().Text;

    // Next time that folder goes where it went, also after a restart; another local folder
    // goes to the remote folder shown.
    dialog = OpenPublishDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->eRemoteRoot->text().toStdString(), "/www");
    TExtraSettings saved;
    ASSERT_TRUE(saved.Load(window->StartFolder()));
    EXPECT_EQ(saved.PublishedTo(TExtraSettings::SiteKey(server.user(), "127.0.0.1", server.port()),
                                local),
              "/www");
    ASSERT_TRUE(WaitFor(dialog, TPublishDialog::TStage::Planned));
    delete dialog;

    window->DirList->SetItemIndex(DirIndex(window->RootDirEntry));
    window->DirList->DblClick();
    ASSERT_EQ(window->RemoteFolder(), "/");
    dialog = OpenPublishDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->eLocalRoot->text().toStdString(), window->DirList->FolderPath());
    EXPECT_EQ(dialog->eRemoteRoot->text().toStdString(), "/");
    ASSERT_TRUE(WaitFor(dialog, TPublishDialog::TStage::Planned));
    delete dialog;

    // A larger window opens a larger dialog.
    window->resize(800, 600);
    dialog = OpenPublishDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_GE(dialog->width(), 800);
    EXPECT_GE(dialog->height(), 600);
    ASSERT_TRUE(WaitFor(dialog, TPublishDialog::TStage::Planned));
    window->sbDisconnect->click();
}

KESTREL_QT_TEST_MAIN()
