// The main window against a real FTP server (pyftpdlib on 127.0.0.1): connecting,
// uploading, stopping, the remote list, and the folders kept in step.
#include "app_test_support.h"
#include "test_window_fixture.h"
#include "window_script.h"

#include "app/animate.h"
#include "support/scripted_server.h"

#include <QCheckBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstdlib>

using namespace kestrel;
using namespace kestrel_test;

namespace {

bool Contains(const Lines& lines, const std::string& text) {
    return std::find(lines.begin(), lines.end(), text) != lines.end();
}

} // namespace

class WindowFtpTest : public WindowTest {
protected:
    std::unique_ptr<PyFtpd> server;
    Lines statuses; // the status line after each connection event

    void StartServer(PyFtpdOptions options = VerboseServer()) {
        server = std::make_unique<PyFtpd>(options);
    }

    void TearDown() override {
        WindowTest::TearDown(); // the window logs out before the server stops
        server.reset();
    }

    // Starts the window with settings that point at the server, the mask given.
    void OpenConfigured(const std::string& mask = "*.htm;*.html;*.gif",
                        const std::string& host = "127.0.0.1") {
        WriteSettings(server->user(), server->password(), host, std::to_string(server->port()),
                      mask);
        OpenWindow();
        RecordStatuses();
    }

    void RecordStatuses() {
        TVaneFTP& ftp = *window->VaneFTP1;
        for (TNotifyEvent* event :
             {&ftp.OnHostResolved, &ftp.OnConnect, &ftp.OnConnectionFailed, &ftp.OnDisconnect}) {
            TNotifyEvent old = *event;
            *event = [this, old](TComponent* sender) {
                old(sender);
                statuses.push_back(Status());
            };
        }
    }

    void Connect() {
        window->sbConnect->click();
        ASSERT_TRUE(window->IsConnected) << (boxes.empty() ? "" : boxes.back().Text);
    }

    // Runs action after the given number of blocks of the next upload were sent.
    void DuringUpload(int afterPackets, std::function<void()> action) {
        TNotifyEvent old = window->VaneFTP1->OnPacketSent;
        auto count = std::make_shared<int>(0);
        window->VaneFTP1->OnPacketSent = [old, count, afterPackets, action](TComponent* s) {
            old(s);
            if (++*count == afterPackets)
                action();
        };
    }

    Lines Commands() const { return ServerCommands(*server); }

    bool Idle() const {
        return window->FileList->isVisible() && window->WebList->isVisible() &&
               !window->FTPAnimate->isVisible() && !window->Busy();
    }
};

TEST_F(WindowFtpTest, ConnectListsTheHomeDirectory) {
    StartServer();
    WriteFileBytes(server->root() / "index.html", "<html></html>");
    WriteFileBytes(server->root() / "README", "text");
    fs::create_directory(server->root() / "images");
    fs::create_directory(server->root() / "v1.2");
    OpenConfigured();
    Connect();
    EXPECT_EQ(Status(), "Connected to Server");
    EXPECT_FALSE(Contains(statuses, "KestrelLink On")) << "a dotted address is not looked up";
    Lines rows = RemoteRows();
    std::sort(rows.begin(), rows.end());
    EXPECT_EQ(rows, (Lines{"File:index.html", "File:v1.2", "Folder:README", "Folder:images"}));
    EXPECT_EQ(window->ItemCount, 4);
    EXPECT_EQ(window->HomeDir, "/");
    EXPECT_EQ(window->txtRemoteDir->text().toStdString(), "/") << "where uploads land";
    EXPECT_FALSE(window->bClose->isEnabled());
    EXPECT_TRUE(window->sbConnect->isChecked());
    EXPECT_TRUE(boxes.empty());
    EXPECT_TRUE(Idle());

    // A second click while connected sends no new log-in.
    window->sbConnect->click();
    EXPECT_EQ(CommandsLike(Commands(), "USER").size(), 1u);

    window->sbDisconnect->click();
    EXPECT_EQ(Status(), "Disconnected from Internet");
    EXPECT_TRUE(window->bClose->isEnabled());
    EXPECT_FALSE(window->IsConnected);
    EXPECT_TRUE(window->sbDisconnect->isChecked());
    EXPECT_TRUE(Contains(Commands(), "QUIT"));
    EXPECT_TRUE(RemoteRows().empty()) << "nothing remote is shown after Disconnect";
    EXPECT_EQ(window->ItemCount, 0);
    EXPECT_EQ(window->txtRemoteDir->text().toStdString(), "");
}

// "Upload File" never invites a click that can only fail: it goes off whenever the
// connection or the selection goes away.
TEST_F(WindowFtpTest, UploadButtonFollowsConnectionAndSelection) {
    StartServer();
    RandomFile(site / "a.htm", 100, 1);
    RandomFile(site / "b.gif", 100, 2);
    OpenConfigured();
    Connect();
    SelectFiles({"a.htm"});
    ASSERT_TRUE(window->bUpload->isEnabled());
    window->sbDisconnect->click();
    EXPECT_FALSE(window->bUpload->isEnabled()) << "after Disconnect";
    SelectFiles({"b.gif"});
    EXPECT_FALSE(window->bUpload->isEnabled()) << "not connected";

    // A Save whose mask drops the selected file clears the selection.
    Connect();
    SelectFiles({"b.gif"});
    ASSERT_TRUE(window->bUpload->isEnabled());
    window->eMask->setText("*.htm");
    window->bSave->setEnabled(true);
    window->bSave->click();
    EXPECT_EQ(window->FileList->ItemIndex(), -1);
    EXPECT_FALSE(window->bUpload->isEnabled()) << "after a Save that cleared the selection";
}

TEST_F(WindowFtpTest, HostNameIsLookedUp) {
    StartServer();
    OpenConfigured("*.htm", "localhost");
    Connect();
    EXPECT_TRUE(Contains(statuses, "KestrelLink On"));
    EXPECT_EQ(Status(), "Connected to Server");
}

TEST_F(WindowFtpTest, WrongPasswordAndBadPort) {
    StartServer();
    OpenConfigured();
    window->ePassword->setText("wrong");
    window->sbConnect->click();
    EXPECT_FALSE(window->IsConnected);
    ASSERT_TRUE(Contains(statuses, "Connection Failed"));
    EXPECT_EQ(statuses.back(), "Disconnected from Internet");
    EXPECT_LT(std::find(statuses.begin(), statuses.end(), "Connection Failed"),
              std::find(statuses.begin(), statuses.end(), "Disconnected from Internet"));
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].Kind, TBoxKind::Exception);
    EXPECT_EQ(boxes[0].Text.rfind("530", 0), 0u) << boxes[0].Text;
    EXPECT_TRUE(window->bClose->isEnabled());
    EXPECT_TRUE(window->sbConnect->isChecked());
    EXPECT_TRUE(Idle());
    window->sbDisconnect->click();
    EXPECT_TRUE(window->sbDisconnect->isChecked());
    EXPECT_FALSE(window->sbConnect->isChecked());

    // A port with a letter: the conversion error, nothing sent, status unchanged.
    boxes.clear();
    statuses.clear();
    std::size_t users = CommandsLike(Commands(), "USER").size();
    window->ePassword->setText(QString::fromStdString(server->password()));
    window->ePort->setText("21x");
    std::string before = Status();
    window->sbConnect->click();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].Text, "'21x' is not a valid integer value.");
    EXPECT_EQ(Status(), before);
    EXPECT_TRUE(statuses.empty());
    EXPECT_FALSE(window->IsConnected);
    EXPECT_EQ(CommandsLike(Commands(), "USER").size(), users);
}

TEST_F(WindowFtpTest, UploadSelectedFilesInListOrder) {
    StartServer();
    RandomFile(site / "a.htm", 1000, 1);
    RandomFile(site / "b.gif", 70000, 2);
    RandomFile(site / "c.html", 33333, 3);
    RandomFile(site / "d.htm", 10, 4);
    OpenConfigured();
    SelectFiles({"a.htm", "c.html"});
    EXPECT_FALSE(window->bUpload->isEnabled()) << "not connected";
    Connect();
    // The click handler's rule holds at every change of state: the files highlighted before
    // can be sent as soon as the connection is open.
    EXPECT_TRUE(window->bUpload->isEnabled()) << "after Connect, a file highlighted before";
    SelectFiles({"c.html", "a.htm", "b.gif"});
    ASSERT_TRUE(window->bUpload->isEnabled());
    window->bUpload->click();
    EXPECT_TRUE(boxes.empty()) << boxes.front().Text;
    Lines commands = Commands();
    Lines transfer;
    for (const std::string& c : commands)
        if (c == "TYPE I" || c.rfind("STOR", 0) == 0)
            transfer.push_back(c);
    EXPECT_EQ(transfer, (Lines{"TYPE I", "STOR a.htm", "STOR b.gif", "STOR c.html"}));
    EXPECT_EQ(CommandsLike(commands, "NLST").size(), 2u) << "rebuilt once after the last";
    for (const char* name : {"a.htm", "b.gif", "c.html"}) {
        EXPECT_EQ(FileHash(server->root() / name), FileHash(site / name)) << name;
    }
    EXPECT_FALSE(fs::exists(server->root() / "d.htm"));
    EXPECT_EQ(Status(), "33333 bytes of 33333 sent");
    EXPECT_TRUE(window->bUpload->isEnabled()) << "the selection kept can be sent again";
    EXPECT_EQ(window->FileList->Selected(FileIndex("a.htm")), true) << "selection kept";
    Lines rows = RemoteRows();
    std::sort(rows.begin(), rows.end());
    EXPECT_EQ(rows, (Lines{"File:a.htm", "File:b.gif", "File:c.html"}));
    EXPECT_TRUE(Idle());
    SelectFiles({"d.htm"});
    EXPECT_TRUE(window->bUpload->isEnabled());

    // Screenshot of the connected window with files in the remote list, for a person.
    if (const char* shot = std::getenv("KESTREL_SCREENSHOT")) {
        EXPECT_TRUE(window->grab().save(shot, "PNG")) << shot;
    }
}

// Passive mode chosen on the panel, against a server that knows only PASV and names
// another address in its replies (as one behind a router does): the files arrive, every
// data connection went to the server itself, and PORT was never sent.
TEST_F(WindowFtpTest, PassiveModeUploadsAndLists) {
    PyFtpdOptions options = VerboseServer();
    options.extra_args.insert(options.extra_args.end(),
                              {"--no-epsv", "--masquerade-address", "192.0.2.7"});
    StartServer(options);
    RandomFile(site / "a.htm", 1000, 1);
    RandomFile(site / "b.gif", 70000, 2);
    OpenConfigured();
    window->cbPassive->setChecked(true);
    Connect();
    SelectFiles({"a.htm", "b.gif"});
    window->bUpload->click();
    EXPECT_TRUE(boxes.empty()) << boxes.front().Text;
    for (const char* name : {"a.htm", "b.gif"})
        EXPECT_EQ(FileHash(server->root() / name), FileHash(site / name)) << name;
    Lines rows = RemoteRows();
    std::sort(rows.begin(), rows.end());
    EXPECT_EQ(rows, (Lines{"File:a.htm", "File:b.gif"}));
    Lines commands = Commands();
    EXPECT_EQ(CommandsLike(commands, "EPSV").size(), 1u) << "refused once, then PASV";
    EXPECT_GE(CommandsLike(commands, "PASV").size(), 3u);
    EXPECT_TRUE(CommandsLike(commands, "PORT").empty());
    EXPECT_TRUE(Idle());
}

TEST_F(WindowFtpTest, DroppedFilesArriveByteForByte) {
    // pyftpdlib starts in ASCII type and turns CR LF into LF: only a binary transfer keeps
    // these files whole.
    StartServer();
    std::string lines;
    for (int i = 0; i < 200; ++i)
        lines += "GIF89a\r\n\x00\xff line " + std::to_string(i) + "\r\n";
    WriteFileBytes(site / "a.htm", lines);
    RandomFile(site / "b.gif", 2008, 2);
    OpenConfigured();
    Connect();
    SelectFiles({"a.htm", "b.gif"});
    bool accept = false;
    window->WebList->OnDragOver(window->FileList, accept);
    EXPECT_TRUE(accept);
    window->WebList->OnDragOver(window->WebList, accept);
    EXPECT_FALSE(accept) << "only the file list is accepted";
    window->WebList->OnDragDrop(window->FileList);
    for (int i = 0; i < 250 && !(window->Busy() == false && fs::exists(server->root() / "b.gif") &&
                                 Idle() && RemoteRows().size() == 2);
         ++i)
        QTest::qWait(20);
    EXPECT_TRUE(boxes.empty()) << boxes.front().Text;
    EXPECT_EQ(fs::file_size(server->root() / "a.htm"), lines.size());
    EXPECT_EQ(FileHash(server->root() / "a.htm"), FileHash(site / "a.htm"));
    EXPECT_EQ(FileHash(server->root() / "b.gif"), FileHash(site / "b.gif"));
    Lines commands = Commands();
    auto type = std::find(commands.begin(), commands.end(), "TYPE I");
    auto store = std::find(commands.begin(), commands.end(), "STOR a.htm");
    ASSERT_NE(type, commands.end());
    EXPECT_LT(type, store);
    EXPECT_EQ(CommandsLike(commands, "STOR"), (Lines{"STOR a.htm", "STOR b.gif"}));
}

TEST_F(WindowFtpTest, RefusedFileDoesNotStopTheOthers) {
    StartServer();
    RandomFile(site / "a.htm", 100, 1);
    RandomFile(site / "b.htm", 200, 2);
    RandomFile(site / "c.htm", 300, 3);
    fs::create_directory(server->root() / "b.htm"); // the server cannot store over it
    OpenConfigured();
    Connect();
    SelectFiles({"a.htm", "b.htm", "c.htm"});
    window->bUpload->click();
    EXPECT_EQ(FileHash(server->root() / "a.htm"), FileHash(site / "a.htm"));
    EXPECT_EQ(FileHash(server->root() / "c.htm"), FileHash(site / "c.htm"));
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].Text.find("b.htm: 550"), std::string::npos) << boxes[0].Text;
    EXPECT_EQ(boxes[0].Text.find("a.htm"), std::string::npos) << boxes[0].Text;
    EXPECT_TRUE(Idle());
    EXPECT_TRUE(window->IsConnected);
}

TEST_F(WindowFtpTest, FailedCompletionIsReportedAndTheNextFileStillGoes) {
    ScriptedFtpServer scripted([&](Session& s) {
        LogIn(s);
        BinaryType(s);
        Store(s, "a.htm", "451 Disk quota exceeded");
        Store(s, "b.htm", "226 stored");
        Listing(s, "b.htm\r\n");
        Bye(s);
    });
    RandomFile(site / "a.htm", 3000, 1);
    RandomFile(site / "b.htm", 4000, 2);
    WriteSettings("webuser", "s3cret", "127.0.0.1", std::to_string(scripted.port()), "*.htm");
    OpenWindow();
    Connect();
    SelectFiles({"a.htm", "b.htm"});
    window->bUpload->click();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].Kind, TBoxKind::Message);
    EXPECT_NE(boxes[0].Text.find("a.htm: 451 Disk quota exceeded"), std::string::npos)
        << boxes[0].Text;
    EXPECT_EQ(boxes[0].Text.find("b.htm"), std::string::npos) << boxes[0].Text;
    EXPECT_EQ(RemoteRows(), Lines{"File:b.htm"});
    EXPECT_TRUE(Idle());
    CloseWindow();
    ExpectScriptsMet(scripted);
}

TEST_F(WindowFtpTest, UnreadableFilesDoNotStopTheOthers) {
    StartServer();
    RandomFile(site / "a.htm", 100, 1);
    RandomFile(site / "c.htm", 300, 3);
    RandomFile(site / "gone.htm", 200, 2);
    fs::create_directory(site / "old.htm"); // listed as [old.htm], not a file to send
    OpenConfigured();
    Connect();
    SelectFiles({"[old.htm]", "a.htm", "c.htm", "gone.htm"});
    fs::remove(site / "gone.htm"); // vanishes after it was selected
    window->bUpload->click();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].Kind, TBoxKind::Message);
    EXPECT_EQ(boxes[0].Text, "Not uploaded:\n[old.htm]: Cannot open file [old.htm]\n"
                             "gone.htm: Cannot open file gone.htm");
    EXPECT_EQ(FileHash(server->root() / "a.htm"), FileHash(site / "a.htm"));
    EXPECT_EQ(FileHash(server->root() / "c.htm"), FileHash(site / "c.htm"));
    Lines rows = RemoteRows();
    std::sort(rows.begin(), rows.end());
    EXPECT_EQ(rows, (Lines{"File:a.htm", "File:c.htm"}));
    EXPECT_TRUE(Idle());
    EXPECT_TRUE(window->IsConnected);
}

TEST_F(WindowFtpTest, StopEndsTheUploadAndTheWindowStaysConnected) {
    PyFtpdOptions options = VerboseServer();
    options.read_limit = 1 << 20; // 1 MiB/s: the large file takes seconds
    StartServer(options);
    RandomFile(site / "big.gif", 16 << 20, 7);
    RandomFile(site / "small.htm", 5000, 8);
    fs::create_directory(site / "pages");
    OpenConfigured();
    Connect();
    int homeIndex = window->DirList->ItemIndex();

    // During the transfer: a second command does not start, a double-click opens nothing,
    // then Stop.
    DuringUpload(20, [&] {
        EXPECT_TRUE(window->Busy());
        window->sbDisconnect->click();
        EXPECT_TRUE(window->IsConnected);
        EXPECT_TRUE(window->sbConnect->isChecked()) << "the ignored click leaves the pair";
        window->DirList->SetItemIndex(DirIndex("pages"));
        window->DirList->DblClick();
        EXPECT_EQ(fs::current_path(), fs::canonical(site.path()));
        window->bStop->click();
    });
    SelectFiles({"big.gif", "small.htm"});
    window->bUpload->click();
    // The user learns which file the server holds only in part, and which were not sent.
    EXPECT_EQ(BoxTexts(), Lines{"Stopped. Not uploaded:\nbig.gif: stopped while it was sent: the "
                                "copy on the server is incomplete\nsmall.htm: not sent"});
    EXPECT_FALSE(fs::exists(server->root() / "small.htm"));
    EXPECT_TRUE(Idle());
    EXPECT_TRUE(window->IsConnected);
    EXPECT_TRUE(window->bUpload->isEnabled()) << "the selection kept, the connection open";
    // The list is read again: it shows the incomplete copy the message names.
    EXPECT_TRUE(Contains(RemoteRows(), "File:big.gif"));
    EXPECT_FALSE(Contains(Commands(), "QUIT"));
    EXPECT_EQ(window->DirList->ItemIndex(), homeIndex);
    EXPECT_LT(fs::file_size(server->root() / "big.gif"), fs::file_size(site / "big.gif"));
    boxes.clear();

    // Esc stops too.
    ActivateWindow();
    DuringUpload(20, [&] { QTest::keyClick(window.get(), Qt::Key_Escape); });
    SelectFiles({"big.gif"});
    window->bUpload->click();
    EXPECT_EQ(boxes.size(), 1u);
    EXPECT_TRUE(Idle());
    EXPECT_TRUE(window->IsConnected);
    boxes.clear();

    // The next upload works.
    window->VaneFTP1->OnPacketSent = [this](TComponent* s) { window->VaneFTP1PacketSent(s); };
    SelectFiles({"small.htm"});
    window->bUpload->click();
    EXPECT_TRUE(boxes.empty()) << boxes.front().Text;
    EXPECT_EQ(FileHash(server->root() / "small.htm"), FileHash(site / "small.htm"));
    EXPECT_EQ(Status(), "5000 bytes of 5000 sent");
    EXPECT_TRUE(Contains(RemoteRows(), "File:small.htm"));
}

TEST_F(WindowFtpTest, ClosingWhileBusyAbortsAndClosesAfterwards) {
    PyFtpdOptions options = VerboseServer();
    options.read_limit = 1 << 20;
    StartServer(options);
    RandomFile(site / "big.gif", 16 << 20, 7);
    OpenConfigured();
    Connect();
    bool visibleAfterClose = false;
    DuringUpload(10, [&] {
        window->close();
        visibleAfterClose = window->isVisible();
    });
    SelectFiles({"big.gif"});
    window->bUpload->click();
    EXPECT_TRUE(visibleAfterClose) << "not closed under the running handler";
    EXPECT_EQ(BoxTexts(), Lines{"Stopped. Not uploaded:\nbig.gif: stopped while it was sent: the "
                                "copy on the server is incomplete"});
    for (int i = 0; i < 50 && window->isVisible(); ++i)
        QTest::qWait(10);
    EXPECT_FALSE(window->isVisible()) << "closed once the operation returned";
}

TEST_F(WindowFtpTest, FoldersKeptInStep) {
    StartServer();
    fs::create_directory(site / "pages");
    RandomFile(site / "pages" / "p.htm", 4000, 5);
    fs::create_directory(site / "orphan");
    OpenConfigured();
    Connect();
    const std::string start = fs::canonical(site.path()).string();

    // "Upload Directory" makes the remote twin of the selected folder.
    window->DirList->SetItemIndex(DirIndex("pages"));
    window->UploadDirectory1->trigger();
    EXPECT_TRUE(fs::is_directory(server->root() / "pages"));
    EXPECT_TRUE(Contains(RemoteRows(), "Folder:pages"));

    // Down into it on both sides; an upload lands there.
    window->DirList->SetItemIndex(DirIndex("pages"));
    window->DirList->DblClick();
    EXPECT_EQ(fs::current_path(), fs::canonical(site / "pages"));
    EXPECT_EQ(CommandsLike(Commands(), "CWD").back(), "CWD pages");
    EXPECT_EQ(window->txtRemoteDir->text().toStdString(), "/pages");
    SelectFiles({"p.htm"});
    window->bUpload->click();
    EXPECT_EQ(FileHash(server->root() / "pages" / "p.htm"), FileHash(site / "pages" / "p.htm"));

    // The start-up folder's entry goes home on both sides.
    window->DirList->SetItemIndex(DirIndex(window->RootDirEntry));
    window->DirList->DblClick();
    EXPECT_EQ(fs::current_path().string(), start);
    EXPECT_EQ(CommandsLike(Commands(), "CWD").back(), "CWD /");

    // Above the start-up folder: the start-up folder opens, the remote side goes home.
    window->DirList->SetItemIndex(0);
    window->DirList->DblClick();
    EXPECT_EQ(fs::current_path().string(), start);
    EXPECT_EQ(CommandsLike(Commands(), "CWD").back(), "CWD /");
    EXPECT_TRUE(boxes.empty());

    // A local folder without a remote twin: the message, and the remote side goes home.
    window->DirList->SetItemIndex(DirIndex("orphan"));
    window->DirList->DblClick();
    EXPECT_EQ(BoxTexts(), Lines{"Directory does not exist! You must upload it"});
    EXPECT_EQ(fs::current_path(), fs::canonical(site / "orphan"));
    Lines cwds = CommandsLike(Commands(), "CWD");
    ASSERT_GE(cwds.size(), 2u);
    EXPECT_EQ(cwds[cwds.size() - 2], "CWD orphan");
    EXPECT_EQ(cwds.back(), "CWD /");
    EXPECT_EQ(window->txtRemoteDir->text().toStdString(), "/") << "the remote side went home";
    EXPECT_TRUE(Idle());
}

TEST_F(WindowFtpTest, FailedReturnHomeIsTriedOnce) {
    StartServer();
    fs::create_directory(site / "orphan");
    OpenConfigured();
    Connect();
    window->HomeDir = "/gone"; // the home directory has disappeared on the server
    std::size_t cwdBefore = CommandsLike(Commands(), "CWD").size();
    window->DirList->SetItemIndex(DirIndex("orphan"));
    window->DirList->DblClick();
    EXPECT_EQ(BoxTexts(), (Lines{"Directory does not exist! You must upload it",
                                 "Could not return to the home directory /gone"}));
    Lines cwds = CommandsLike(Commands(), "CWD");
    EXPECT_EQ(Lines(cwds.begin() + long(cwdBefore), cwds.end()),
              (Lines{"CWD orphan", "CWD /gone"}));
    EXPECT_TRUE(Idle());
    EXPECT_TRUE(window->IsConnected);
}

TEST_F(WindowFtpTest, RemoteAndLocalManagement) {
    StartServer();
    WriteFileBytes(server->root() / "index.htm", "page");
    fs::create_directory(server->root() / "images");
    fs::create_directory(server->root() / "old");
    fs::create_directory(site / "old");
    fs::create_directory(server->root() / "keep");
    fs::create_directory(site / "keep");
    OpenConfigured();
    Connect();

    auto selectRow = [&](const std::string& text) {
        for (int i = 0; i < window->WebList->topLevelItemCount(); ++i) {
            QTreeWidgetItem* row = window->WebList->topLevelItem(i);
            if (row->text(1).toStdString() == text) {
                window->WebList->setCurrentItem(row);
                return true;
            }
        }
        return false;
    };

    // Remote "Delete File" removes the file.
    ASSERT_TRUE(selectRow("index.htm"));
    window->DeleteFile1->trigger();
    EXPECT_FALSE(fs::exists(server->root() / "index.htm"));
    EXPECT_FALSE(Contains(RemoteRows(), "File:index.htm"));
    EXPECT_TRUE(boxes.empty());

    // On a "Folder" row: DELE is refused, the message, and the list is rebuilt.
    std::size_t nlst = CommandsLike(Commands(), "NLST").size();
    ASSERT_TRUE(selectRow("images"));
    window->DeleteFile1->trigger();
    EXPECT_EQ(BoxTexts(), Lines{"Could not delete this file!"});
    EXPECT_TRUE(Contains(Commands(), "DELE images"));
    EXPECT_EQ(CommandsLike(Commands(), "NLST").size(), nlst + 1);
    EXPECT_TRUE(Idle());

    // "Remove Directory" while connected removes the folder on both sides.
    boxes.clear();
    window->DirList->SetItemIndex(DirIndex("old"));
    window->RemoveDirectory1->trigger();
    EXPECT_FALSE(fs::exists(site / "old"));
    EXPECT_FALSE(fs::exists(server->root() / "old"));
    EXPECT_EQ(DirIndex("old"), -1);
    EXPECT_TRUE(boxes.empty());

    // While not connected it changes nothing, not even locally.
    window->sbDisconnect->click();
    window->DirList->SetItemIndex(DirIndex("keep"));
    window->RemoveDirectory1->trigger();
    EXPECT_TRUE(fs::exists(site / "keep"));
    EXPECT_TRUE(fs::exists(server->root() / "keep"));
    EXPECT_TRUE(Idle());
}

KESTREL_QT_TEST_MAIN()
