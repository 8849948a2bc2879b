// The main window without a server: the first start, the settings file, the settings
// panel, the new-directory dialog and the busy view.
#include "app_test_support.h"
#include "test_window_fixture.h"

#include "app/animate.h"

#include <QKeyEvent>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTest>

#include <sys/stat.h>

using namespace kestrel;
using namespace kestrel_test;

namespace {

std::string Field(const std::string& file, std::size_t offset) {
    std::string field = file.substr(offset, kConfigFieldSize);
    return field.substr(0, field.find('\0'));
}

// Gives the window the keyboard focus, so that focus moves and key presses behave as on
// a desktop.
void Activate(QWidget* window) {
    window->activateWindow();
    QApplication::setActiveWindow(window);
    ASSERT_TRUE(QTest::qWaitForWindowActive(window));
}

} // namespace

TEST_F(WindowTest, FirstStartCreatesEmptySettingsAndShowsDefaults) {
    WriteFileBytes(site / "index.htm", "<html></html>");
    OpenWindow();
    EXPECT_TRUE(boxes.empty());
    ASSERT_TRUE(fs::exists(site / "Config.txt"));
    EXPECT_EQ(fs::file_size(site / "Config.txt"), 0u);
    struct stat info {};
    ASSERT_EQ(::stat((site / "Config.txt").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u) << "the password file is owner-only";
    EXPECT_EQ(Text(window->eUserID), "");
    EXPECT_EQ(Text(window->ePassword), "");
    EXPECT_EQ(Text(window->eHost), "ftp.example.com");
    EXPECT_EQ(Text(window->ePort), "21");
    EXPECT_EQ(Text(window->eMask), "");
    EXPECT_EQ(window->FileList->Count(), 0) << "an empty mask lists nothing";
    EXPECT_EQ(Status(), "Not Connected");
    EXPECT_FALSE(window->bSave->isEnabled());
    EXPECT_FALSE(window->bUpload->isEnabled());
    EXPECT_TRUE(window->bClose->isEnabled());
    EXPECT_TRUE(window->sbDisconnect->isChecked());
    EXPECT_FALSE(window->sbConnect->isChecked());
    EXPECT_FALSE(window->FTPAnimate->isVisible());
    EXPECT_EQ(window->WebList->topLevelItemCount(), 0);
    EXPECT_EQ(window->RootDirEntry, site.path().filename().string());
    EXPECT_EQ(window->RootLevel, window->DirList->ItemIndex());
    EXPECT_EQ(window->StartFolder(), fs::canonical(site.path()).string());
}

TEST_F(WindowTest, SaveWritesTheRecordByteForByte) {
    // The record held "abcdef" as user id: a shorter one leaves the old tail after its zero.
    WriteSettings("abcdef", "secret", "ftp.old.example", "2121", "*.htm");
    OpenWindow();
    EXPECT_EQ(Text(window->eUserID), "abcdef");
    EXPECT_EQ(Text(window->ePort), "2121");
    window->eUserID->setText("xyz");
    window->ePassword->setText("pw");
    window->eHost->setText("ftp.new.example");
    window->ePort->setText("21");
    window->eMask->setText("*.html;*.gif");
    window->bSave->setEnabled(true);
    window->bSave->click();
    EXPECT_TRUE(boxes.empty());
    EXPECT_FALSE(window->bSave->isEnabled());
    std::string file = ReadFileBytes(site / "Config.txt");
    ASSERT_EQ(file.size(), 501u);
    EXPECT_EQ(Field(file, 0), "pw");
    EXPECT_EQ(Field(file, 100), "xyz");
    EXPECT_EQ(Field(file, 200), "ftp.new.example");
    EXPECT_EQ(Field(file, 300), "21");
    EXPECT_EQ(Field(file, 400), "*.html;*.gif");
    EXPECT_EQ(file.substr(100, 7), std::string("xyz\0ef\0", 7));
    EXPECT_EQ(file.substr(300, 5), std::string("21\0\x31\0", 5)) << "tail of 2121";
    EXPECT_EQ(window->FileList->Mask(), "*.html;*.gif");
}

TEST_F(WindowTest, ShortFileFillsOnlyTheFieldsItCovers) {
    // 150 bytes: the password and the first half of the user id field.
    std::string bytes(150, '\0');
    bytes.replace(0, 3, "pwd");
    bytes.replace(100, 4, "anna");
    WriteFileBytes(site / "Config.txt", bytes);
    OpenWindow();
    EXPECT_TRUE(boxes.empty());
    EXPECT_EQ(Text(window->ePassword), "pwd");
    EXPECT_EQ(Text(window->eUserID), "anna");
    EXPECT_EQ(Text(window->eHost), "ftp.example.com");
    EXPECT_EQ(Text(window->ePort), "21");
    EXPECT_EQ(Text(window->eMask), "");
}

TEST_F(WindowTest, FieldWithoutZeroByteEndsAtTheFieldsEnd) {
    std::string bytes(501, '\0');
    bytes.replace(0, 100, std::string(100, 'p'));
    bytes.replace(100, 3, "bob");
    WriteFileBytes(site / "Config.txt", bytes);
    OpenWindow();
    EXPECT_EQ(Text(window->ePassword), std::string(100, 'p'));
    EXPECT_EQ(Text(window->eUserID), "bob");
}

TEST_F(WindowTest, LoadDefaultsIsNotSavedAndNextStartShowsSavedValues) {
    WriteSettings("anna", "pw", "ftp.mine.example", "2100", "*.htm");
    OpenWindow();
    window->ScrollBox1->verticalScrollBar()->setValue(50);
    window->bDefault->click();
    EXPECT_EQ(Text(window->eHost), "ftp.example.com");
    EXPECT_EQ(Text(window->ePort), "21");
    EXPECT_EQ(Text(window->eMask), "*.htm;*.html;*.jpg;*.gif;*.bmp");
    EXPECT_EQ(Text(window->eUserID), "anna");
    EXPECT_EQ(Text(window->ePassword), "pw");
    EXPECT_FALSE(window->bSave->isEnabled());
    EXPECT_EQ(window->FileList->Mask(), "*.htm") << "the mask applies only when saved";
    EXPECT_EQ(window->ScrollBox1->verticalScrollBar()->value(), 0);

    CloseWindow();
    OpenWindow();
    EXPECT_EQ(Text(window->eHost), "ftp.mine.example");
    EXPECT_EQ(Text(window->ePort), "2100");
    EXPECT_EQ(Text(window->eMask), "*.htm");
}

TEST_F(WindowTest, SettingsFileInTheStartFolderAfterBrowsing) {
    fs::create_directory(site / "pages");
    OpenWindow();
    window->DirList->SetFolderPath("pages");
    ASSERT_EQ(fs::current_path(), fs::canonical(site / "pages"));
    window->eUserID->setText("anna");
    window->ePassword->setText("topsecret");
    window->bSave->setEnabled(true);
    window->bSave->click();
    EXPECT_FALSE(fs::exists(site / "pages" / "Config.txt")) << "never into the web folder";
    ASSERT_EQ(fs::file_size(site / "Config.txt"), 501u);
    EXPECT_EQ(Field(ReadFileBytes(site / "Config.txt"), 100), "anna");
}

TEST_F(WindowTest, UnopenableSettingsFileShowsFileNotFound) {
    fs::create_directory(site / "Config.txt"); // cannot be opened as a file, even by root
    OpenWindow();
    ASSERT_EQ(BoxTexts(), std::vector<std::string>{"File not found"});
    EXPECT_EQ(boxes[0].Kind, TBoxKind::Message);
    EXPECT_EQ(boxes[0].Caption, "KestrelFTP");
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(Text(window->eHost), "ftp.example.com");
    EXPECT_EQ(Text(window->ePort), "21");

    // A save shows the same message, writes nothing and still applies the mask.
    boxes.clear();
    window->eUserID->setText("anna");
    window->eMask->setText("*.gif");
    window->bSave->setEnabled(true);
    window->bSave->click();
    EXPECT_EQ(BoxTexts(), std::vector<std::string>{"File not found"});
    EXPECT_FALSE(window->bSave->isEnabled());
    EXPECT_EQ(window->FileList->Mask(), "*.gif");
}

TEST_F(WindowTest, SettingsPanelKeysAndSaveEnabling) {
    OpenWindow();
    Activate(window.get());
    // Leaving the host field with the user id empty disables "Save Settings".
    window->bSave->setEnabled(true);
    window->eHost->setFocus();
    QTest::keyClicks(window->eHost, "x");
    window->eUserID->setFocus();
    window->eHost->setFocus(); // leaves the user id field, which is empty
    window->ePassword->setFocus();
    EXPECT_FALSE(window->bSave->isEnabled());
    // Typing a user id and leaving the field enables it.
    window->eUserID->setFocus();
    QTest::keyClicks(window->eUserID, "anna");
    window->eHost->setFocus();
    EXPECT_TRUE(window->bSave->isEnabled());

    // Enter works like Tab: password -> port -> mask.
    window->ePassword->setFocus();
    QTest::keyClick(window->ePassword, Qt::Key_Return);
    QApplication::processEvents();
    EXPECT_EQ(QApplication::focusWidget(), window->ePort);
    QTest::keyClick(window->ePort, Qt::Key_Return);
    QApplication::processEvents();
    EXPECT_EQ(QApplication::focusWidget(), window->eMask);
    EXPECT_EQ(Text(window->ePassword).find('\r'), std::string::npos);

    // Each edit refuses input beyond 99 bytes of UTF-8.
    window->eUserID->clear();
    window->eUserID->setFocus();
    QTest::keyClicks(window->eUserID, QString(120, 'a'));
    EXPECT_EQ(window->eUserID->text().size(), 99);
    window->eMask->clear();
    window->eMask->setFocus();
    for (int i = 0; i < 60; ++i) {
        // Two bytes each in UTF-8; typed as text, the way an input method delivers it.
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(QChar(0xE9)));
        QApplication::sendEvent(window->eMask, &press);
    }
    EXPECT_EQ(window->eMask->text().toUtf8().size(), 98);
}

TEST_F(WindowTest, NewDirectoryDialogEnablingReuseAndDefault) {
    OpenWindow();
    TNewDirForm& form = *dialog;
    EXPECT_EQ(form.windowTitle(), "New Directory");
    EXPECT_TRUE(form.eNewDir->text().isEmpty());
    EXPECT_FALSE(form.bOkay->isEnabled());
    QTest::keyClicks(form.eNewDir, "a");
    EXPECT_TRUE(form.bOkay->isEnabled());
    QTest::keyClick(form.eNewDir, Qt::Key_Backspace);
    EXPECT_FALSE(form.bOkay->isEnabled());
    EXPECT_EQ(form.GetDirName(), "Default");

    // Used through the folder list's menu: the name typed creates the folder.
    int shown = 0;
    form.OnShowModal = [&](TNewDirForm& d) {
        ++shown;
        if (shown == 1)
            QTest::keyClicks(d.eNewDir, "images");
    };
    window->NewDirectory1->trigger();
    EXPECT_TRUE(fs::is_directory(site / "images"));
    EXPECT_GE(DirIndex("images"), 0) << "the folder list was rebuilt";
    // Reused: the previous name is still there, with OK enabled.
    window->NewDirectory1->trigger();
    EXPECT_EQ(shown, 2);
    EXPECT_EQ(form.eNewDir->text(), "images");
    EXPECT_TRUE(form.bOkay->isEnabled());
    EXPECT_TRUE(boxes.empty()) << "an existing folder fails silently";

    // An empty name creates "Default".
    form.OnShowModal = [](TNewDirForm& d) { d.eNewDir->clear(); };
    window->NewDirectory1->trigger();
    EXPECT_TRUE(fs::is_directory(site / "Default"));
}

TEST_F(WindowTest, NewDirectoryDialogEnterKey) {
    OpenWindow();
    TNewDirForm& form = *dialog;
    form.show();
    form.activateWindow();
    QApplication::setActiveWindow(&form);
    ASSERT_TRUE(QTest::qWaitForWindowActive(&form));
    form.eNewDir->setFocus();
    QTest::keyClick(form.eNewDir, Qt::Key_Return);
    QApplication::processEvents();
    EXPECT_TRUE(form.isVisible()) << "Enter with an empty name does not close the dialog";
    QTest::keyClicks(form.eNewDir, "docs");
    form.eNewDir->setFocus();
    QTest::keyClick(form.eNewDir, Qt::Key_Return);
    QApplication::processEvents();
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(form.result(), QDialog::Accepted);
}

TEST_F(WindowTest, BusyViewHidesListsAndPlaysTheClip) {
    // No clip in the start folder: the control finds one next to the program or built in,
    // and starting it never raises.
    OpenWindow();
    ASSERT_FALSE(fs::exists(site / "Kestrel.avi"));
    window->ShowBusy();
    EXPECT_TRUE(window->FTPAnimate->isVisible());
    EXPECT_TRUE(window->FTPAnimate->Active());
    EXPECT_TRUE(window->FTPAnimate->ClipOpen()) << window->FTPAnimate->ClipError();
    EXPECT_FALSE(window->FileList->isVisible());
    EXPECT_FALSE(window->WebList->isVisible());
    EXPECT_TRUE(window->bStop->isVisible());
    EXPECT_TRUE(window->bUpload->isVisible()) << "no other control changes";
    window->ShowIdle();
    EXPECT_FALSE(window->FTPAnimate->isVisible());
    EXPECT_FALSE(window->FTPAnimate->Active());
    EXPECT_TRUE(window->FileList->isVisible());
    EXPECT_TRUE(window->WebList->isVisible());
    EXPECT_FALSE(window->bStop->isVisible());
    EXPECT_TRUE(boxes.empty());
}

TEST_F(WindowTest, DamagedClipInTheStartFolderDoesNotStopTheBusyView) {
    WriteFileBytes(site / "Kestrel.avi", "RIFF\x10\0\0\0AVI junk");
    OpenWindow();
    window->ShowBusy();
    EXPECT_TRUE(window->FTPAnimate->Active());
    EXPECT_TRUE(window->FTPAnimate->ClipOpen());
    EXPECT_NE(window->FTPAnimate->ClipSource(), (site / "Kestrel.avi").string());
    window->ShowIdle();
    EXPECT_TRUE(boxes.empty());
}

TEST_F(WindowTest, LocalDeleteRemovesOnlyTheFocusedFile) {
    for (const char* name : {"a.htm", "b.htm", "c.htm"})
        WriteFileBytes(site / name, name);
    WriteSettings("", "", "", "", "*.htm");
    OpenWindow();
    ASSERT_EQ(window->FileList->Count(), 3);
    SelectFiles({"a.htm", "c.htm", "b.htm"}); // b.htm has the focus
    window->DeleteFile2->trigger();
    EXPECT_TRUE(fs::exists(site / "a.htm"));
    EXPECT_FALSE(fs::exists(site / "b.htm"));
    EXPECT_TRUE(fs::exists(site / "c.htm"));
    EXPECT_EQ(window->FileList->Count(), 2);
    // Not connected: the upload button stays disabled whatever is selected.
    SelectFiles({"a.htm"});
    EXPECT_FALSE(window->bUpload->isEnabled());
}

TEST_F(WindowTest, DoubleClickAboveTheStartFolderOpensTheStartFolder) {
    fs::create_directory(site / "pages");
    OpenWindow();
    int root = window->RootLevel;
    ASSERT_GT(root, 0);
    window->DirList->SetItemIndex(0); // the drive root
    window->DirList->DblClick();
    EXPECT_EQ(fs::current_path(), fs::canonical(site.path()));
    // Going down works while not connected, and only the local side moves.
    window->DirList->SetItemIndex(DirIndex("pages"));
    window->DirList->DblClick();
    EXPECT_EQ(fs::current_path(), fs::canonical(site / "pages"));
    EXPECT_TRUE(boxes.empty());
    EXPECT_TRUE(window->FileList->isVisible());
}

TEST_F(WindowTest, HelpButtonAsksForTheContents) {
    OpenWindow();
    window->bHelp->click();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].Kind, TBoxKind::Help);
    EXPECT_EQ(boxes[0].Command, HELP_CONTENTS);
}

KESTREL_QT_TEST_MAIN()
