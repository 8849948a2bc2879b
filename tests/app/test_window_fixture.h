// Shared fixture of the main window's tests: a demo site folder to start in, the real
// window with its dialog, message boxes captured by the application object, and helpers
// that read the controls and the server's command log.
#pragma once

#include "app/application.h"
#include "app/config.h"
#include "app/helpviewer.h"
#include "app/kesftp.h"
#include "app/newdir.h"
#include "app/qtloop.h"
#include "app/resources.h"
#include "browser/filectrl.h"
#include "support/fixtures.h"
#include "support/pyftpd.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QTest>
#include <QToolButton>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace kestrel_test {

namespace fs = std::filesystem;
using kestrel::TCapturedBox;
using kestrel::test::FileHash;
using kestrel::test::PyFtpd;
using kestrel::test::PyFtpdOptions;
using kestrel::test::RandomFile;
using kestrel::test::ReadFileBytes;
using kestrel::test::WriteFileBytes;
using Lines = std::vector<std::string>;

class WindowTest : public ::testing::Test {
protected:
    // Declared first, so that it is removed after the current folder is restored.
    kestrel::test::TempDir site{"kestrel-window"};
    kestrel::test::CurrentDirGuard cwd;
    std::vector<TCapturedBox> boxes;
    std::unique_ptr<kestrel::TMainForm> window;
    std::unique_ptr<kestrel::TNewDirForm> dialog;

    void SetUp() override {
        kestrel::InitAppResources();
        kestrel::AttachPlatformToQt();
        kestrel::Application().Capture = [this](const TCapturedBox& box) { boxes.push_back(box); };
    }

    void TearDown() override {
        CloseWindow();
        kestrel::Application().Capture = nullptr;
    }

    // Starts the window in the site folder, the way the program starts.
    void OpenWindow() {
        ASSERT_EQ(::chdir(site.str().c_str()), 0);
        window = std::make_unique<kestrel::TMainForm>();
        kestrel::MainForm = window.get();
        dialog = std::make_unique<kestrel::TNewDirForm>(window.get());
        kestrel::NewDirForm = dialog.get();
        window->show();
        QApplication::processEvents();
    }

    void CloseWindow() {
        kestrel::NewDirForm = nullptr;
        dialog.reset();
        window.reset();
        QApplication::processEvents();
    }

    // Gives the window the keyboard focus, so that focus moves and keys behave as on a
    // desktop.
    void ActivateWindow() {
        window->activateWindow();
        QApplication::setActiveWindow(window.get());
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    }

    // The texts of the captured boxes, in order.
    std::vector<std::string> BoxTexts() const {
        std::vector<std::string> texts;
        for (const TCapturedBox& box : boxes)
            texts.push_back(box.Text);
        return texts;
    }

    static std::string Text(const QLineEdit* edit) { return edit->text().toStdString(); }
    std::string Status() const { return window->txtStatus->text().toStdString(); }

    // The rows of the remote list as "File:name" or "Folder:name".
    std::vector<std::string> RemoteRows() const {
        std::vector<std::string> rows;
        for (int i = 0; i < window->WebList->topLevelItemCount(); ++i) {
            QTreeWidgetItem* row = window->WebList->topLevelItem(i);
            rows.push_back(row->text(0).toStdString() + ":" + row->text(1).toStdString());
        }
        return rows;
    }

    // Writes a settings file into the site folder.
    void WriteSettings(const std::string& user, const std::string& password,
                       const std::string& host, const std::string& port, const std::string& mask) {
        kestrel::ConfigRecord config{};
        kestrel::SetConfigField(config.UserID, user);
        kestrel::SetConfigField(config.Password, password);
        kestrel::SetConfigField(config.Host, host);
        kestrel::SetConfigField(config.Port, port);
        kestrel::SetConfigField(config.Mask, mask);
        ASSERT_TRUE(kestrel::WriteConfigFile(site.str(), config));
    }

    // Index of the file list entry with this text, -1 when absent.
    int FileIndex(const std::string& name) const {
        for (int i = 0; i < window->FileList->Count(); ++i)
            if (window->FileList->Item(i) == name)
                return i;
        return -1;
    }
    int DirIndex(const std::string& name) const {
        for (int i = 0; i < window->DirList->Count(); ++i)
            if (window->DirList->Item(i) == name)
                return i;
        return -1;
    }

    // Selects exactly these file list entries, the last one focused, and runs the file
    // list's click handler the way a user's click does.
    void SelectFiles(const std::vector<std::string>& names) {
        kestrel::TFileListBox* list = window->FileList;
        for (int i = 0; i < list->Count(); ++i)
            list->SetSelected(i, false);
        for (const std::string& name : names) {
            int index = FileIndex(name);
            ASSERT_GE(index, 0) << name;
            list->SetSelected(index, true);
        }
        list->SetItemIndex(FileIndex(names.back()));
        for (const std::string& name : names)
            list->SetSelected(FileIndex(name), true);
        ASSERT_TRUE(list->OnClick);
        list->OnClick(list);
    }
};

// The commands the server received, in order, from a pyftpdlib log written with
// --verbose ("... <- TYPE I").
inline std::vector<std::string> ServerCommands(const kestrel::test::PyFtpd& server) {
    std::vector<std::string> commands;
    std::istringstream log(server.log());
    std::string line;
    while (std::getline(log, line)) {
        std::size_t at = line.find("] <- ");
        if (at != std::string::npos)
            commands.push_back(line.substr(at + 5));
    }
    return commands;
}

// Commands that start with the given word.
inline std::vector<std::string> CommandsLike(const std::vector<std::string>& commands,
                                             const std::string& word) {
    std::vector<std::string> found;
    for (const std::string& command : commands)
        if (command.rfind(word, 0) == 0)
            found.push_back(command);
    return found;
}

inline kestrel::test::PyFtpdOptions VerboseServer() {
    kestrel::test::PyFtpdOptions options;
    options.extra_args.push_back("--verbose");
    return options;
}

} // namespace kestrel_test
