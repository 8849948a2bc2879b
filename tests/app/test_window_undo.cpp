// "Undo Last Publish" from the window: it asks first, naming the publish it would undo; a
// "Cancel" changes nothing; "Undo" puts the web space's folder back as it was before that
// publish, and a box tells the outcome; with nothing in the history it says so.
#include "app_test_support.h"
#include "test_window_fixture.h"

#include "publish/history.h"
#include "publish/publisher.h"
#include "support/pyftpd.h"

#include <QAction>
#include <QMenu>

using namespace kestrel;
using namespace kestrel_test;

namespace {

// Every file under root, the manifest included, the history left out.
std::map<std::string, std::string> TreeOf(const fs::path& root) {
    std::map<std::string, std::string> files;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::end(it); ++it) {
        std::string relative = fs::relative(it->path(), root).string();
        if (relative == kHistoryName)
            it.disable_recursion_pending();
        else if (it->is_regular_file())
            files[relative] = ReadFileBytes(it->path());
    }
    return files;
}

} // namespace

class WindowUndoTest : public WindowTest {
protected:
    void UndoLastPublish() {
        for (QAction* action : window->DirPop->actions())
            if (action->text() == "Undo Last Publish")
                action->trigger();
    }
    void Publish(const PyFtpd& server, const fs::path& local) {
        TConnectionSettings connection;
        connection.Host = server.host();
        connection.Port = server.port();
        connection.UserID = server.user();
        connection.Password = server.password();
        TPublishOptions options;
        options.LocalRoot = local.string();
        options.RemoteRoot = "/";
        ASSERT_TRUE(TPublisher(connection, options).Run().Succeeded());
    }
};

TEST_F(WindowUndoTest, AsksThenPutsTheLastPublishBack) {
    PyFtpd server;
    WriteSettings(server.user(), server.password(), "127.0.0.1", std::to_string(server.port()),
                  "*.htm");
    OpenWindow();
    window->sbConnect->click();
    ASSERT_TRUE(window->IsConnected) << (boxes.empty() ? "" : boxes.back().Text);
    ASSERT_EQ(window->RemoteFolder(), "/");

    UndoLastPublish();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].Text, "There is no publish of / to undo: the server keeps none in its "
                             "history.");
    boxes.clear();

    TempDir local("kestrel-undo-site");
    WriteFileBytes(local / "index.htm", "<html>1</html>");
    Publish(server, local.path());
    const auto before = TreeOf(server.root());
    WriteFileBytes(local / "index.htm", "<html>2</html>");
    WriteFileBytes(local / "new.htm", "<html>new</html>");
    Publish(server, local.path());
    const auto after = TreeOf(server.root());
    ASSERT_NE(after, before);

    kestrel::Application().Answer = [](const TCapturedBox&) { return 1; }; // Cancel
    UndoLastPublish();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].Kind, TBoxKind::Question);
    EXPECT_EQ(boxes[0].Text.rfind("Undo the publish of ", 0), 0u) << boxes[0].Text;
    EXPECT_NE(boxes[0].Text.find("It added 1 files, replaced 1 and deleted 0"), std::string::npos)
        << boxes[0].Text;
    EXPECT_EQ(boxes[0].Buttons, (std::vector<std::string>{"Undo", "Cancel"}));
    EXPECT_EQ(TreeOf(server.root()), after);
    boxes.clear();

    kestrel::Application().Answer = [](const TCapturedBox&) { return 0; }; // Undo
    UndoLastPublish();
    ASSERT_EQ(boxes.size(), 2u);
    EXPECT_EQ(boxes[1].Kind, TBoxKind::Message);
    EXPECT_EQ(boxes[1].Text.rfind("/ is as it was before the publish of ", 0), 0u) << boxes[1].Text;
    EXPECT_NE(boxes[1].Text.find("1 files removed, 1 put back"), std::string::npos)
        << boxes[1].Text;
    EXPECT_EQ(TreeOf(server.root()), before);
}
KESTREL_QT_TEST_MAIN()
