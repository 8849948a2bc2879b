// The application object: the full-stop rule of the exception display, the capture hook, the
// handler guard and the help command with its window.
#include "app/application.h"
#include "app/helpviewer.h"
#include "base/exception.h"

#include "app_test_support.h"

#include <QFile>
#include <QTemporaryDir>
#include <QTextBrowser>

#include <vector>

using namespace kestrel;

namespace {

class ApplicationTest : public testing::Test {
protected:
    void SetUp() override {
        Application().Title = "KestrelFTP";
        Application().HelpFile = "KestrelFTP.Hlp";
        Application().Capture = [this](const TCapturedBox& box) { boxes.push_back(box); };
    }
    void TearDown() override {
        Application().Capture = nullptr;
        Application().OnHandlerError = nullptr;
        Application().CloseHelp();
    }
    std::vector<TCapturedBox> boxes;
};

} // namespace

TEST(ExceptionTextTest, FullStopIsAddedOnlyAfterCharactersThatSortAfterThePoint) {
    struct Row {
        std::string message;
        std::string shown;
    };
    const Row rows[] = {
        {"Connection Failed", "Connection Failed."},
        {"I/O error 2", "I/O error 2."},
        {"Ends with a point.", "Ends with a point."},
        {"Could not delete this file!", "Could not delete this file!"},
        {"550 Permission denied\r\n", "550 Permission denied\r\n"},
        {"folder/", "folder/."}, // '/' follows '.' in character-code order
        {"minus-", "minus-"},    // '-' and ',' come before it
        {"comma,", "comma,"},
        {"trailing blank ", "trailing blank "},
        {"caf\xC3\xA9", "caf\xC3\xA9."}, // a non-ASCII last byte counts as greater
        {"", ""},
    };
    for (const Row& row : rows)
        EXPECT_EQ(TApplication::ExceptionText(row.message), row.shown) << row.message;
}

TEST_F(ApplicationTest, BoxesAreCapturedWithTheTitleAsCaption) {
    Application().ShowException(Exception("Null Remote Address"));
    Application().MessageBox("File not found");
    Application().Title = "Other";
    Application().MessageBox("Could not create the directory!");

    ASSERT_EQ(boxes.size(), 3u);
    EXPECT_EQ(boxes[0].Kind, TBoxKind::Exception);
    EXPECT_EQ(boxes[0].Caption, "KestrelFTP");
    EXPECT_EQ(boxes[0].Text, "Null Remote Address.");
    EXPECT_EQ(boxes[1].Kind, TBoxKind::Message);
    EXPECT_EQ(boxes[1].Text, "File not found"); // plain boxes take the text as it stands
    EXPECT_EQ(boxes[2].Caption, "Other");
}

TEST_F(ApplicationTest, GuardShowsAnEscapedErrorAfterRestoringTheIdleView) {
    std::vector<std::string> order;
    Application().OnHandlerError = [&] { order.push_back("idle view"); };
    Application().Capture = [&](const TCapturedBox& box) {
        order.push_back("box");
        boxes.push_back(box);
    };

    bool after = false;
    Application().Guard([&] {
        throw Exception("550 Requested action not taken");
        after = true;
    });
    EXPECT_FALSE(after);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].Kind, TBoxKind::Exception);
    EXPECT_EQ(boxes[0].Text, "550 Requested action not taken.");
    EXPECT_EQ(order, (std::vector<std::string>{"idle view", "box"}));

    // A handler that ends normally shows nothing and restores nothing.
    Application().Guard([] {});
    EXPECT_EQ(boxes.size(), 1u);
    EXPECT_EQ(order.size(), 2u);

    // Something that is not an exception object, and a failing restore, still end in a box.
    Application().OnHandlerError = [] { throw Exception("restore failed"); };
    Application().Guard([] { throw 42; });
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1].Text, "Unknown error.");
}

TEST_F(ApplicationTest, HelpContentsFallsBackToTheBuiltInDocument) {
    EXPECT_TRUE(Application().HelpCommand(HELP_CONTENTS, 0));
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].Kind, TBoxKind::Help);
    EXPECT_EQ(boxes[0].Command, HELP_CONTENTS);
    // No help file beside the test program: the copy built into the program is used.
    EXPECT_EQ(boxes[0].Text, ":/kestrel/KestrelFTP.Hlp");

    EXPECT_FALSE(Application().HelpCommand(1, 0)); // other commands are not offered
    EXPECT_EQ(boxes.size(), 1u);
}

TEST_F(ApplicationTest, HelpWindowShowsTheDocumentWithTheWindowsMessages) {
    Application().Capture = nullptr;
    ASSERT_TRUE(Application().HelpCommand(HELP_CONTENTS, 0));
    THelpViewer* viewer = Application().HelpViewer();
    ASSERT_NE(viewer, nullptr);
    EXPECT_TRUE(viewer->isVisible());
    const std::string text = viewer->Browser()->toPlainText().toStdString();
    for (const char* message :
         {"File not found", "Not Connected", "KestrelLink On", "Connected to Server",
          "Connection Failed", "Disconnected from Internet", "bytes of",
          "Directory does not exist! You must upload it", "Could not create the directory!",
          "Could not delete this file!", "Could not remove Directory!",
          "Delete all files, then try again.", "Upload File", "Save Settings", "Load Defaults",
          "drag", "Default"})
        EXPECT_NE(text.find(message), std::string::npos) << message;

    // A second request reuses the one window.
    ASSERT_TRUE(Application().HelpCommand(HELP_CONTENTS, 0));
    EXPECT_EQ(Application().HelpViewer(), viewer);
}

TEST_F(ApplicationTest, HelpFileGivenByPathIsShownAndAMissingOneIsReported) {
    Application().Capture = nullptr;
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString path = dir.filePath("Own.Hlp");
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("<html><body><p>Own help page</p></body></html>");
    file.close();

    Application().HelpFile = path.toStdString();
    ASSERT_TRUE(Application().HelpCommand(HELP_CONTENTS, 0));
    EXPECT_EQ(Application().HelpViewer()->Browser()->toPlainText(), "Own help page");

    Application().HelpFile = dir.filePath("Missing.Hlp").toStdString();
    EXPECT_FALSE(Application().HelpCommand(HELP_CONTENTS, 0));
}

KESTREL_QT_TEST_MAIN()
