// Tests of the folder list and the file list on temporary folder trees.
#include "base/exception.h"
#include "browser/filectrl.h"
#include "support/qt_test_main.h"

#include <QApplication>
#include <QDropEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QMouseEvent>
#include <QTemporaryDir>
#include <fcntl.h>
#include <filesystem>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace kestrel;

namespace {

std::string Cwd() {
    return fs::current_path().string();
}

std::vector<std::string> Items(const TFileListBox& list) {
    std::vector<std::string> items;
    for (int i = 0; i < list.Count(); ++i)
        items.push_back(list.Item(i));
    return items;
}

std::vector<std::string> Items(const TDirectoryListBox& list) {
    std::vector<std::string> items;
    for (int i = 0; i < list.Count(); ++i)
        items.push_back(list.Item(i));
    return items;
}

// A temporary tree; every test leaves the current directory as it found it.
class BrowserTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = Cwd();
        ASSERT_TRUE(temp_.isValid());
        root_ = fs::canonical(temp_.path().toStdString()).string();
    }
    void TearDown() override {
        fs::current_path(saved_);
        EXPECT_EQ(Cwd(), saved_);
    }
    std::string Path(const std::string& rel) const { return root_ + "/" + rel; }
    void Folder(const std::string& rel) const { fs::create_directories(Path(rel)); }
    void File(const std::string& rel, mode_t mode = 0644) const {
        const std::string path = Path(rel);
        const int fd = ::open(path.c_str(), O_CREAT | O_WRONLY | O_TRUNC, mode);
        ASSERT_GE(fd, 0) << path;
        ::close(fd);
        ::chmod(path.c_str(), mode);
    }

    std::string saved_;
    QTemporaryDir temp_;
    std::string root_;
};

TEST(PathFunctions, JoinAndDepth) {
    EXPECT_EQ(JoinPath("/web/site", "index.htm"), "/web/site/index.htm");
    EXPECT_EQ(JoinPath("/", "web"), "/web");
    EXPECT_EQ(JoinPath("/web/", "site"), "/web/site");
    EXPECT_EQ(PathDepth("/"), 1);
    EXPECT_EQ(PathDepth("/web/site"), 2);
    EXPECT_EQ(PathDepth("name"), 0);
}

TEST_F(BrowserTest, RootFolderAlone) {
    TDirectoryListBox dir;
    dir.SetFolderPath("/");
    EXPECT_EQ(dir.FolderPath(), "/");
    EXPECT_EQ(Cwd(), "/");
    ASSERT_GE(dir.Count(), 1);
    EXPECT_EQ(dir.Item(0), "/");
    EXPECT_EQ(dir.Kind(0), TDirEntryKind::Current);
    EXPECT_EQ(dir.ItemIndex(), 0);
    EXPECT_EQ(dir.ItemFolderPath(0), "/");
    EXPECT_EQ(dir.Indent(0), 2);
    for (int i = 1; i < dir.Count(); ++i) {
        EXPECT_EQ(dir.Kind(i), TDirEntryKind::Subfolder);
        EXPECT_NE(dir.Item(i)[0], '.');
        EXPECT_EQ(dir.Indent(i), 4 * 1 + 6);
        EXPECT_EQ(dir.ItemFolderPath(i), "/" + dir.Item(i));
    }
    EXPECT_EQ(dir.ItemFolderPath(dir.Count()), "");
    EXPECT_EQ(dir.ItemFolderPath(-1), "");
}

TEST_F(BrowserTest, DeepFolderLevelsAndPaths) {
    Folder("Web/Site/pages");
    Folder("Web/Site/Images");
    Folder("Web/Site/.git");
    Folder("Other");
    File("Web/Site/index.htm");
    fs::create_directory_symlink(Path("Other"), Path("Web/Site/linked"));
    fs::create_symlink(Path("Web/Site/index.htm"), Path("Web/Site/filelink"));

    TDirectoryListBox dir;
    dir.SetFolderPath(Path("Web/Site"));
    const std::string site = Path("Web/Site");
    EXPECT_EQ(dir.FolderPath(), site);
    EXPECT_EQ(Cwd(), site);

    // "/", every folder of the temporary root, Web, Site, then the sorted subfolders.
    const int depth = PathDepth(site);
    std::vector<std::string> expected{"/"};
    for (const auto& part : fs::path(site).relative_path())
        expected.push_back(part.string());
    expected.insert(expected.end(), {"Images", "linked", "pages"});
    EXPECT_EQ(Items(dir), expected);
    ASSERT_EQ(dir.Count(), depth + 4);
    EXPECT_EQ(dir.ItemIndex(), depth);
    EXPECT_EQ(dir.Kind(0), TDirEntryKind::Root);
    EXPECT_EQ(dir.Kind(1), TDirEntryKind::Ancestor);
    EXPECT_EQ(dir.Kind(depth), TDirEntryKind::Current);
    EXPECT_EQ(dir.Kind(depth + 1), TDirEntryKind::Subfolder);

    EXPECT_EQ(dir.ItemFolderPath(0), "/");
    EXPECT_EQ(dir.ItemFolderPath(1), "/" + dir.Item(1));
    EXPECT_EQ(dir.ItemFolderPath(depth - 1), Path("Web"));
    EXPECT_EQ(dir.ItemFolderPath(depth), site);
    EXPECT_EQ(dir.ItemFolderPath(depth + 1), site + "/Images");

    EXPECT_EQ(dir.Indent(0), 2);
    EXPECT_EQ(dir.Indent(depth - 1), 4 * (depth - 1) + 2);
    EXPECT_EQ(dir.Indent(depth), 4 * depth + 2);
    EXPECT_EQ(dir.Indent(depth + 1), 4 * depth + 6);

    // Opening an ancestor makes it current; its levels shrink accordingly.
    dir.SetItemIndex(depth - 1);
    dir.OpenSelected();
    EXPECT_EQ(dir.FolderPath(), Path("Web"));
    EXPECT_EQ(Cwd(), Path("Web"));
    EXPECT_EQ(dir.ItemIndex(), depth - 1);
    EXPECT_EQ(dir.Item(depth), "Site");
}

TEST_F(BrowserTest, OpeningFormsAndLinkedFileList) {
    Folder("Web/Site");
    File("Web/Site/index.htm");
    File("Web/top.htm");
    fs::current_path(root_);

    TDirectoryListBox dir;
    TFileListBox files;
    files.SetMask("*.htm");
    dir.FileList = &files;
    EXPECT_EQ(files.DirList(), &dir);
    int changes = 0;
    dir.OnChange = [&](QObject* sender) {
        EXPECT_EQ(sender, &dir);
        ++changes;
    };

    dir.SetFolderPath("Web"); // relative to the current directory
    EXPECT_EQ(dir.FolderPath(), Path("Web"));
    EXPECT_EQ(files.FolderPath(), Path("Web"));
    EXPECT_EQ(Items(files), std::vector<std::string>{"top.htm"});
    dir.SetFolderPath("[Site]"); // a folder entry of the file list
    EXPECT_EQ(dir.FolderPath(), Path("Web/Site"));
    EXPECT_EQ(Items(files), std::vector<std::string>{"index.htm"});
    dir.SetFolderPath(Path("Web/*.htm")); // a wildcard part is set aside
    EXPECT_EQ(dir.FolderPath(), Path("Web"));
    dir.SetFolderPath(Path("Web/Site/index.htm")); // so is a file name
    EXPECT_EQ(dir.FolderPath(), Path("Web/Site"));
    EXPECT_EQ(changes, 4);
    dir.SetFolderPath(Path("Web/Site")); // unchanged: nothing happens
    dir.SetFolderPath("");
    EXPECT_EQ(changes, 4);
    EXPECT_EQ(Cwd(), Path("Web/Site"));

    // Linking is cleared when either side goes away.
    {
        TFileListBox other;
        dir.FileList = &other;
        EXPECT_EQ(files.DirList(), nullptr);
    }
    EXPECT_EQ(static_cast<TFileListBox*>(dir.FileList), nullptr);
    auto owner = std::make_unique<TDirectoryListBox>();
    owner->FileList = &files;
    owner.reset();
    EXPECT_EQ(files.DirList(), nullptr);
}

TEST_F(BrowserTest, MaskPatternsAndFileType) {
    File("index.htm");
    File("INDEX2.HTM");
    File("logo.gif");
    File("readme.txt");
    File(".a.htm");
    File(" x.gif");
    Folder("old.htm");
    fs::current_path(root_);

    TFileListBox files;
    files.SetFileType({ftVolumeID, ftDirectory, ftNormal});
    files.SetMask("*.htm;*.gif");
    EXPECT_EQ(Items(files), (std::vector<std::string>{" x.gif", "[old.htm]", "index.htm",
                                                      "INDEX2.HTM", "logo.gif"}));

    // Each pattern exactly as written: the leading space is part of the second one.
    files.SetMask("*.htm; *.gif");
    EXPECT_EQ(Items(files),
              (std::vector<std::string>{" x.gif", "[old.htm]", "index.htm", "INDEX2.HTM"}));
    // A name matched by two patterns is listed twice.
    files.SetMask("*.htm;index.*");
    EXPECT_EQ(Items(files),
              (std::vector<std::string>{"[old.htm]", "index.htm", "index.htm", "INDEX2.HTM"}));
    // "?" stands for one character, also a non-ASCII one; "*" may need to retry.
    File("\xc3\xa9t\xc3\xa9.HTM");
    files.SetMask("?ndex.htm;?t?.htm;i*x*.htm");
    EXPECT_EQ(Items(files), (std::vector<std::string>{"index.htm", "index.htm", "INDEX2.HTM",
                                                      "\xc3\xa9t\xc3\xa9.HTM"}));
    fs::remove(Path("\xc3\xa9t\xc3\xa9.HTM"));
    files.SetMask("");
    EXPECT_EQ(files.Count(), 0);
    files.SetMask(";");
    EXPECT_EQ(files.Count(), 0);

    // Folders only with ftDirectory; hidden names only with ftHidden.
    files.SetMask("*.htm");
    files.SetFileType({ftNormal});
    EXPECT_EQ(Items(files), (std::vector<std::string>{"index.htm", "INDEX2.HTM"}));
    files.SetFileType({ftHidden, ftNormal});
    EXPECT_EQ(Items(files), (std::vector<std::string>{".a.htm", "index.htm", "INDEX2.HTM"}));
    files.SetFileType({ftDirectory});
    EXPECT_EQ(Items(files), (std::vector<std::string>{"[old.htm]"}));
}

TEST_F(BrowserTest, GlyphsOfEntries) {
    File("SETUP.EXE");
    File("start.Bat");
    File("readme.txt");
    File("run.sh", 0755);
    Folder("docs");
    fs::current_path(root_);

    TFileListBox files;
    files.SetFileType({ftDirectory, ftNormal});
    files.SetShowGlyphs(true);
    files.SetMask("*");
    ASSERT_EQ(Items(files), (std::vector<std::string>{"[docs]", "readme.txt", "run.sh", "SETUP.EXE",
                                                      "start.Bat"}));
    EXPECT_EQ(files.Glyph(0), TGlyph::ClosedFolder);
    EXPECT_EQ(files.Glyph(1), TGlyph::UnknownFile);
    EXPECT_EQ(files.Glyph(2), TGlyph::Executable);
    EXPECT_EQ(files.Glyph(3), TGlyph::Executable);
    EXPECT_EQ(files.Glyph(4), TGlyph::Executable);
    for (TGlyph glyph : {TGlyph::OpenFolder, TGlyph::CurrentFolder, TGlyph::ClosedFolder,
                         TGlyph::Executable, TGlyph::UnknownFile}) {
        EXPECT_EQ(GlyphPixmap(glyph).size(), QSize(16, 16));
    }
    // The glyph is taken when the entries are read.
    files.SetShowGlyphs(false);
    EXPECT_EQ(files.Glyph(1), TGlyph::UnknownFile);
    files.Reread();
    EXPECT_EQ(files.Glyph(1), TGlyph::None);
}

TEST_F(BrowserTest, RebuildDoesNotRereadTheFileList) {
    File("a.htm");
    fs::current_path(root_);
    TDirectoryListBox dir;
    TFileListBox files;
    files.SetMask("*.htm");
    dir.FileList = &files;
    int fileChanges = 0, dirChanges = 0;
    files.OnChange = [&](QObject*) { ++fileChanges; };
    dir.OnChange = [&](QObject*) { ++dirChanges; };

    File("b.htm");
    Folder("sub");
    dir.Rebuild();
    EXPECT_EQ(dirChanges, 1);
    EXPECT_EQ(fileChanges, 0);
    EXPECT_EQ(Items(files), std::vector<std::string>{"a.htm"});
    EXPECT_EQ(dir.Item(dir.Count() - 1), "sub");
    EXPECT_EQ(dir.ItemIndex(), PathDepth(root_));
    files.Reread();
    EXPECT_EQ(fileChanges, 1);
    EXPECT_EQ(Items(files), (std::vector<std::string>{"a.htm", "b.htm"}));
}

TEST_F(BrowserTest, DoubleClickAndEnter) {
    Folder("Web/Site/pages");
    TDirectoryListBox dir;
    dir.resize(300, 400);
    dir.show();
    dir.SetFolderPath(Path("Web/Site"));
    const int depth = PathDepth(dir.FolderPath());
    const int pages = depth + 1;
    const std::string target = dir.ItemFolderPath(2);

    // The handler runs first, while the folder is still unchanged, and may move the index.
    std::string seenInHandler;
    int dblClicks = 0;
    dir.OnDblClick = [&](QObject* sender) {
        EXPECT_EQ(sender, &dir);
        ++dblClicks;
        seenInHandler = dir.FolderPath();
        dir.SetItemIndex(2);
    };
    const QPoint at = dir.visualRect(dir.model()->index(pages, 0)).center();
    QMouseEvent press(QEvent::MouseButtonPress, at, dir.viewport()->mapToGlobal(at), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(dir.viewport(), &press);
    EXPECT_EQ(dir.ItemIndex(), pages);
    QMouseEvent dbl(QEvent::MouseButtonDblClick, at, dir.viewport()->mapToGlobal(at),
                    Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(dir.viewport(), &dbl);
    EXPECT_EQ(dblClicks, 1);
    EXPECT_EQ(seenInHandler, Path("Web/Site"));
    EXPECT_EQ(dir.FolderPath(), target);
    EXPECT_EQ(Cwd(), target);

    // Enter opens the entry at the item index without the double-click event.
    dir.SetFolderPath(Path("Web/Site"));
    dir.SetItemIndex(pages);
    QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
    QApplication::sendEvent(&dir, &enter);
    EXPECT_EQ(dblClicks, 1);
    EXPECT_EQ(dir.FolderPath(), Path("Web/Site/pages"));

    // A folder that vanished before the click: the error goes to OnError.
    dir.SetFolderPath(Path("Web"));
    dir.SetItemIndex(dir.Count() - 1); // Site
    fs::remove_all(Path("Web/Site"));
    std::string error;
    dir.OnDblClick = nullptr;
    dir.OnError = [&](const std::exception& e) { error = e.what(); };
    QApplication::sendEvent(&dir, &enter);
    EXPECT_EQ(error, InOutErrorText(ENOENT));
    EXPECT_EQ(dir.FolderPath(), Path("Web"));
}

TEST_F(BrowserTest, FolderThatCannotBeEnteredChangesNothing) {
    Folder("Web/gone");
    Folder("Web/kept");
    File("Web/a.htm");
    TDirectoryListBox dir;
    TFileListBox files;
    files.SetMask("*.htm");
    dir.FileList = &files;
    dir.SetFolderPath(Path("Web"));
    const std::vector<std::string> dirItems = Items(dir);
    const int dirIndex = dir.ItemIndex();
    fs::remove_all(Path("Web/gone"));

    EXPECT_THROW(dir.SetFolderPath(Path("Web/gone")), EInOutError);
    EXPECT_THROW(dir.SetFolderPath("[gone]"), EInOutError);
    EXPECT_THROW(files.SetFolderPath(Path("Web/gone")), EInOutError);
    EXPECT_EQ(dir.FolderPath(), Path("Web"));
    EXPECT_EQ(Items(dir), dirItems);
    EXPECT_EQ(dir.ItemIndex(), dirIndex);
    EXPECT_EQ(files.FolderPath(), Path("Web"));
    EXPECT_EQ(Items(files), std::vector<std::string>{"a.htm"});
    EXPECT_EQ(Cwd(), Path("Web"));

    // The folder shown is removed: re-reading fails and keeps the entries; the current
    // directory stays where it was.
    dir.SetFolderPath(Path("Web/kept"));
    File("Web/kept/b.htm");
    files.Reread();
    fs::current_path(root_);
    fs::remove_all(Path("Web/kept"));
    EXPECT_THROW(files.Reread(), EInOutError);
    EXPECT_THROW(dir.Rebuild(), EInOutError);
    EXPECT_EQ(Items(files), std::vector<std::string>{"b.htm"});
    EXPECT_EQ(dir.Item(dir.ItemIndex()), "kept");
    EXPECT_EQ(Cwd(), root_);
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

TEST_F(BrowserTest, FolderWithoutPermission) {
    if (::geteuid() == 0)
        GTEST_SKIP() << "permissions do not bind the superuser";
    Folder("locked");
    Folder("listless");
    ::chmod(Path("locked").c_str(), 0);
    ::chmod(Path("listless").c_str(), 0100); // may be entered, not listed
    fs::current_path(root_);
    TDirectoryListBox dir;
    TFileListBox files;
    dir.FileList = &files;
    EXPECT_THROW(dir.SetFolderPath(Path("locked")), EInOutError);
    EXPECT_THROW(dir.SetFolderPath(Path("listless")), EInOutError);
    EXPECT_THROW(files.SetFolderPath(Path("listless")), EInOutError);
    EXPECT_EQ(dir.FolderPath(), root_);
    EXPECT_EQ(files.FolderPath(), root_);
    EXPECT_EQ(Cwd(), root_);
    ::chmod(Path("locked").c_str(), 0755);
    ::chmod(Path("listless").c_str(), 0755);
}

// Folders whose names differ only in case are different folders here.
TEST_F(BrowserTest, FileListFollowsFoldersDifferingInCase) {
    Folder("site");
    Folder("Site");
    File("site/lower.htm");
    File("Site/upper.htm");
    TFileListBox files;
    files.SetMask("*.htm");
    files.SetFolderPath(Path("site"));
    EXPECT_EQ(Items(files), std::vector<std::string>{"lower.htm"});
    files.SetFolderPath(Path("Site"));
    EXPECT_EQ(Items(files), std::vector<std::string>{"upper.htm"});
    files.SetFolderPath("../site"); // relative to the folder shown
    EXPECT_EQ(files.FolderPath(), Path("site"));
}

TEST_F(BrowserTest, SelectionClicksAndDrag) {
    for (const char* name : {"a.htm", "b.htm", "c.htm"})
        File(name);
    fs::current_path(root_);
    TFileListBox files;
    QLineEdit edit;
    files.FileEdit = &edit;
    files.resize(200, 300);
    files.show();
    files.SetMask("*.htm");
    EXPECT_EQ(edit.text(), "*.htm"); // the mask while nothing is selected
    files.SetMultiSelect(true);
    EXPECT_EQ(files.ItemIndex(), -1);
    EXPECT_EQ(files.SelectedFileName(), "");
    EXPECT_EQ(files.SelectedFilePath(), "");

    files.SetSelected(0, true);
    files.SetSelected(2, true);
    files.SetItemIndex(1); // focus on an entry that is not selected
    EXPECT_EQ(files.SelectedFileName(), "");
    files.SetItemIndex(2);
    EXPECT_EQ(files.SelectedFileName(), "c.htm");
    EXPECT_EQ(files.SelectedFilePath(), Path("c.htm"));
    EXPECT_TRUE(files.Selected(0));
    EXPECT_FALSE(files.Selected(1));

    // The selected names travel with a drag, and the source names itself.
    const std::unique_ptr<QMimeData> data = files.SelectionMimeData();
    QDropEvent drop(QPointF(1, 1), Qt::CopyAction, data.get(), Qt::LeftButton, Qt::NoModifier);
    EXPECT_EQ(DraggedFileNames(&drop), (std::vector<std::string>{"a.htm", "c.htm"}));
    EXPECT_EQ(DragSourceClassName(&files), "TFileListBox");
    EXPECT_EQ(DragSourceClassName(nullptr), "");

    // A user's click: OnClick first, then the change step when the index moved.
    std::vector<std::string> events;
    files.OnClick = [&](QObject*) {
        events.push_back("click " + std::to_string(files.ItemIndex()));
    };
    files.OnChange = [&](QObject*) { events.push_back("change"); };
    const QPoint at = files.visualRect(files.model()->index(1, 0)).center();
    QMouseEvent press(QEvent::MouseButtonPress, at, files.viewport()->mapToGlobal(at),
                      Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, at, files.viewport()->mapToGlobal(at),
                        Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(files.viewport(), &press);
    QApplication::sendEvent(files.viewport(), &release);
    QApplication::processEvents();
    EXPECT_EQ(events, (std::vector<std::string>{"click 1", "change"}));
    EXPECT_EQ(files.SelectedFileName(), "b.htm");
    EXPECT_EQ(edit.text(), "b.htm");

    // Re-reading empties the selection.
    files.Reread();
    EXPECT_EQ(files.ItemIndex(), -1);
    EXPECT_FALSE(files.Selected(1));
}

TEST_F(BrowserTest, LargeFolderIsListedInFull) {
    constexpr int entries = 3000;
    Folder("big");
    for (int i = 0; i < entries; ++i)
        File("big/f" + std::to_string(i) + ".htm");
    TFileListBox files;
    files.SetMask("*.htm;*.gif");
    files.SetFolderPath(Path("big"));
    EXPECT_EQ(files.Count(), entries);
    EXPECT_EQ(files.Item(0), "f0.htm");
    EXPECT_EQ(files.Item(1), "f1.htm");
    EXPECT_EQ(files.Item(2), "f10.htm");
    // The busy cursor shown while reading is gone again.
    EXPECT_EQ(QGuiApplication::overrideCursor(), nullptr);
}

} // namespace

KESTREL_QT_TEST_MAIN()
