// The main window's states as a person sees them: what the busy view offers while it
// connects and disconnects, what "Upload File" invites, which rows the remote list shows,
// where menus open, how big rows are, where windows open, whether every button's caption
// and every text can be read, where the focus is after an operation, how the remote folder
// and the lock share their line, and how the window grows.
#include "app_test_support.h"
#include "test_window_fixture.h"
#include "window_script.h"

#include "app/animate.h"
#include "support/scripted_server.h"

#include <QCheckBox>
#include <QComboBox>
#include <QMenu>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <map>

using namespace kestrel;
using namespace kestrel_test;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

// What the busy view showed at one moment.
struct BusyLook {
    bool seen = false;
    std::string status;
    bool stopVisible = false;
    bool animationVisible = false;
    bool listsHidden = false;
};

} // namespace

class WindowStatesTest : public WindowTest {
protected:
    void OpenAt(int port, const std::string& mask = "*.htm;*.gif") {
        WriteSettings("webuser", "s3cret", "127.0.0.1", std::to_string(port), mask);
        OpenWindow();
    }

    // After ms, records what the busy view shows and then, if asked, clicks Stop.
    void LookWhileBusy(BusyLook& look, int ms, bool stop) {
        QTimer::singleShot(ms, window.get(), [this, &look, stop] {
            look.seen = true;
            look.status = Status();
            look.stopVisible = window->bStop->isVisible();
            look.animationVisible = window->FTPAnimate->isVisible();
            look.listsHidden = !window->FileList->isVisible() && !window->WebList->isVisible();
            if (stop)
                window->bStop->click();
        });
    }

    bool Idle() const {
        return window->FileList->isVisible() && window->WebList->isVisible() &&
               !window->FTPAnimate->isVisible() && !window->bStop->isVisible() && !window->Busy();
    }
};

// --- The remote list and drops -------------------------------------------------------------

TEST_F(WindowStatesTest, DropSendsBinaryTypeFirstAndDotEntriesAreNoRows) {
    ScriptedFtpServer scripted([](Session& s) {
        LogIn(s, ".\r\n..\r\nindex.htm\r\nimages\r\n");
        BinaryType(s); // before the first file of a drop, as for the button
        Store(s, "a.htm", "226 stored");
        Listing(s, "./\r\n.\r\n..\r\na.htm\r\n");
        Bye(s);
    });
    RandomFile(site / "a.htm", 3000, 1);
    OpenAt(scripted.port());
    window->sbConnect->click();
    ASSERT_TRUE(window->IsConnected);
    // "." and ".." name the folder itself and its parent: Delete or a double-click must
    // not act on them.
    EXPECT_EQ(RemoteRows(), (Lines{"File:index.htm", "Folder:images"}));
    EXPECT_EQ(window->ItemCount, 2);

    SelectFiles({"a.htm"});
    window->WebList->OnDragDrop(window->FileList);
    for (int i = 0; i < 250 && RemoteRows() != Lines{"File:a.htm"}; ++i)
        QTest::qWait(20);
    // "./" names the folder itself too, by a path: no row either.
    EXPECT_EQ(RemoteRows(), (Lines{"File:a.htm"}));
    EXPECT_TRUE(boxes.empty()) << boxes.front().Text;
    CloseWindow();
    ExpectScriptsMet(scripted);
}

TEST_F(WindowStatesTest, LostConnectionNamesEveryFileNotSent) {
    ScriptedFtpServer closing([](Session& s) {
        LogIn(s);
        BinaryType(s);
        StoreOpens(s, "a.htm");
        s.reply("421 Service shutting down");
        s.reset();
    });
    RandomFile(site / "a.htm", 200000, 1);
    RandomFile(site / "b.htm", 300, 2);
    RandomFile(site / "c.htm", 300, 3);
    OpenAt(closing.port());
    window->sbConnect->click();
    ASSERT_TRUE(window->IsConnected);
    SelectFiles({"a.htm", "b.htm", "c.htm"});
    window->bUpload->click();
    ASSERT_EQ(boxes.size(), 1u) << BoxTexts().back();
    const std::string& text = boxes[0].Text;
    EXPECT_EQ(text.rfind("Not uploaded:\na.htm: ", 0), 0u) << text;
    EXPECT_NE(text.find("\nb.htm: not sent\nc.htm: not sent"), std::string::npos) << text;
    EXPECT_TRUE(Idle());
    EXPECT_FALSE(window->VaneFTP1->Connected);
    EXPECT_FALSE(window->bUpload->isEnabled());
}

// --- Connecting and disconnecting ------------------------------------------------------------

TEST_F(WindowStatesTest, ConnectingShowsTheBusyViewAndStopEndsIt) {
    ScriptedFtpServer silent([](Session& s) {
        s.read_line(); // never greets; the client's log-out or close ends the session
    });
    OpenAt(silent.port());
    BusyLook look;
    LookWhileBusy(look, 300, true);
    auto started = Clock::now();
    window->sbConnect->click();
    EXPECT_LT(Clock::now() - started, 5s);
    ASSERT_TRUE(look.seen);
    EXPECT_EQ(look.status, "Connecting to 127.0.0.1...");
    EXPECT_TRUE(look.stopVisible);
    EXPECT_TRUE(look.animationVisible);
    EXPECT_TRUE(look.listsHidden);
    EXPECT_FALSE(window->IsConnected);
    EXPECT_FALSE(window->VaneFTP1->Connected);
    EXPECT_TRUE(Idle());
    EXPECT_NE(Status(), "Connecting to 127.0.0.1...");
    EXPECT_TRUE(boxes.empty()) << "the user's own Stop needs no error box: " << boxes.front().Text;
    EXPECT_TRUE(window->bClose->isEnabled());
}

TEST_F(WindowStatesTest, DisconnectWaitsForQuitAFewSecondsAtMost) {
    ScriptedServerOptions options;
    options.max_sessions = 2;
    options.timeout = 15s;
    ScriptedFtpServer mute(
        [](Session& s) {
            LogIn(s, "index.htm\r\n");
            s.expect("QUIT");
            s.read_line(); // no reply: waits until the client closes
        },
        options);
    OpenAt(mute.port());
    window->sbConnect->click();
    ASSERT_TRUE(window->IsConnected);
    ASSERT_EQ(RemoteRows().size(), 1u);

    BusyLook look;
    LookWhileBusy(look, 300, false);
    auto started = Clock::now();
    window->sbDisconnect->click();
    EXPECT_LT(Clock::now() - started, 6s) << "a silent server must not hold the window";
    ASSERT_TRUE(look.seen);
    EXPECT_EQ(look.status, "Disconnecting from 127.0.0.1...");
    EXPECT_TRUE(look.stopVisible);
    EXPECT_TRUE(look.animationVisible);
    EXPECT_EQ(Status(), "Disconnected from Internet");
    EXPECT_FALSE(window->IsConnected);
    EXPECT_TRUE(RemoteRows().empty());
    EXPECT_TRUE(Idle());
    EXPECT_TRUE(boxes.empty()) << boxes.front().Text;

    // Stop ends the wait at once.
    window->sbConnect->click();
    ASSERT_TRUE(window->IsConnected);
    BusyLook stopped;
    LookWhileBusy(stopped, 100, true);
    started = Clock::now();
    window->sbDisconnect->click();
    EXPECT_LT(Clock::now() - started, 1500ms);
    EXPECT_TRUE(stopped.seen);
    EXPECT_FALSE(window->IsConnected);
    EXPECT_FALSE(window->VaneFTP1->Connected);
    EXPECT_TRUE(window->bClose->isEnabled());
    EXPECT_TRUE(Idle());
    EXPECT_TRUE(boxes.empty()) << boxes.front().Text;
}

TEST_F(WindowStatesTest, ServerClosingTheConnectionTurnsUploadOff) {
    ScriptedFtpServer closing([](Session& s) {
        LogIn(s, "index.htm\r\n");
        s.sleep(600);
        s.reply("421 Timeout: closing control connection");
        s.close();
    });
    RandomFile(site / "a.htm", 100, 1);
    OpenAt(closing.port());
    window->sbConnect->click();
    ASSERT_TRUE(window->IsConnected);
    SelectFiles({"a.htm"});
    ASSERT_TRUE(window->bUpload->isEnabled());
    for (int i = 0; i < 250 && Status() != "Disconnected from Internet"; ++i)
        QTest::qWait(20);
    ASSERT_EQ(Status(), "Disconnected from Internet");
    EXPECT_FALSE(window->bUpload->isEnabled()) << "a click could only fail with Not Connected";
    SelectFiles({"a.htm"});
    EXPECT_FALSE(window->bUpload->isEnabled());
    EXPECT_TRUE(RemoteRows().empty());
    EXPECT_EQ(window->txtRemoteDir->text().toStdString(), "");
}

// --- The busy window holds off what would change the run ---------------------------------------

TEST_F(WindowStatesTest, FilesAreTakenOnceAndSaveIsHeldOffWhileSending) {
    PyFtpdOptions options = VerboseServer();
    options.read_limit = 1 << 20; // the large file takes about two seconds
    PyFtpd server(options);
    RandomFile(site / "big.gif", 2 << 20, 1);
    RandomFile(site / "c.htm", 300, 2);
    RandomFile(site / "z.htm", 400, 3);
    WriteSettings(server.user(), server.password(), "127.0.0.1", std::to_string(server.port()),
                  "*.htm;*.gif");
    OpenWindow();
    window->sbConnect->click();
    ASSERT_TRUE(window->IsConnected);
    window->bSave->setEnabled(true); // the user id was edited

    bool checked = false;
    TNotifyEvent old = window->VaneFTP1->OnPacketSent;
    window->VaneFTP1->OnPacketSent = [&, old](TComponent* sender) {
        old(sender);
        if (checked)
            return;
        checked = true;
        EXPECT_FALSE(window->bSave->isEnabled()) << "Save would re-read the file list";
        window->eUserIDExit(); // leaving an edit meanwhile does not bring it back
        EXPECT_FALSE(window->bSave->isEnabled());
        EXPECT_FALSE(window->FileList->isEnabled());
        EXPECT_FALSE(window->DirList->isEnabled());
        // A selection made now belongs to the next run.
        window->FileList->SetSelected(FileIndex("z.htm"), true);
    };
    SelectFiles({"big.gif", "c.htm"});
    window->bUpload->click();
    EXPECT_TRUE(checked);
    EXPECT_TRUE(boxes.empty()) << boxes.front().Text;
    EXPECT_EQ(FileHash(server.root() / "big.gif"), FileHash(site / "big.gif"));
    EXPECT_TRUE(fs::exists(server.root() / "c.htm"));
    EXPECT_FALSE(fs::exists(server.root() / "z.htm")) << "selected after the run started";
    EXPECT_TRUE(window->bSave->isEnabled()) << "given back after the run";
    EXPECT_TRUE(window->FileList->isEnabled());
    EXPECT_TRUE(window->DirList->isEnabled());
    CloseWindow();
}

// --- Menus and the selection -----------------------------------------------------------------

TEST_F(WindowStatesTest, RightClickOpensTheMenuAtThePointerAndKeepsTheSelection) {
    for (const char* name : {"a.htm", "b.htm", "c.htm"})
        WriteFileBytes(site / name, "page");
    fs::create_directory(site / "other");
    fs::create_directory(site / "pages");
    WriteSettings("u", "p", "127.0.0.1", "21", "*.htm");
    OpenWindow();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    QWindow* handle = window->windowHandle();
    ASSERT_NE(handle, nullptr);

    // A right press as the platform delivers it; returns where the menu should open.
    auto rightPress = [&](QAbstractItemView* list, const QPoint& inViewport) {
        QPoint inWindow = list->viewport()->mapTo(window.get(), inViewport);
        QTest::mousePress(handle, Qt::RightButton, {}, inWindow);
        return list->viewport()->mapToGlobal(inViewport);
    };
    auto releaseAfter = [&](QMenu* menu, const QPoint& at) {
        menu->hide(); // closed before the release can choose an entry
        QTest::mouseRelease(handle, Qt::RightButton, {}, at);
    };

    SelectFiles({"a.htm"});
    TFileListBox* files = window->FileList;
    QPoint rowC = files->visualRect(files->model()->index(FileIndex("c.htm"), 0)).center();
    QPoint expected = rightPress(files, rowC);
    EXPECT_TRUE(window->FileListPop->isVisible());
    EXPECT_EQ(window->FileListPop->pos(), expected);
    releaseAfter(window->FileListPop, files->viewport()->mapTo(window.get(), rowC));
    QTest::qWait(20);
    EXPECT_EQ(files->ItemIndex(), FileIndex("a.htm")) << "the menu acts on the selected file";
    EXPECT_TRUE(files->Selected(FileIndex("a.htm")));
    EXPECT_FALSE(files->Selected(FileIndex("c.htm")));

    TDirectoryListBox* dirs = window->DirList;
    dirs->SetItemIndex(DirIndex("pages"));
    QPoint rowOther = dirs->visualRect(dirs->model()->index(DirIndex("other"), 0)).center();
    expected = rightPress(dirs, rowOther);
    EXPECT_TRUE(window->DirPop->isVisible());
    EXPECT_EQ(window->DirPop->pos(), expected);
    releaseAfter(window->DirPop, dirs->viewport()->mapTo(window.get(), rowOther));
    QTest::qWait(20);
    EXPECT_EQ(dirs->ItemIndex(), DirIndex("pages"));

    // The remote list has a header above its rows: the menu still opens at the pointer.
    QPoint inRemote(40, 30);
    expected = rightPress(window->WebList, inRemote);
    EXPECT_TRUE(window->WebPop->isVisible());
    EXPECT_EQ(window->WebPop->pos(), expected);
    releaseAfter(window->WebPop, window->WebList->viewport()->mapTo(window.get(), inRemote));
    EXPECT_TRUE(boxes.empty());
}

// --- Layout ----------------------------------------------------------------------------------

TEST_F(WindowStatesTest, RowsAreSixteenPixelsAndWindowsOpenInTheScreenCentre) {
    for (const char* name : {"a.htm", "b.htm"})
        WriteFileBytes(site / name, "page");
    fs::create_directory(site / "pages");
    WriteSettings("u", "p", "127.0.0.1", "21", "*.htm");
    OpenWindow();
    for (QAbstractItemView* list : {static_cast<QAbstractItemView*>(window->FileList),
                                    static_cast<QAbstractItemView*>(window->DirList)}) {
        ASSERT_GE(list->model()->rowCount(), 2);
        for (int row = 0; row < 2; ++row)
            EXPECT_EQ(list->visualRect(list->model()->index(row, 0)).height(), 16)
                << list->metaObject()->className();
    }

    const QPoint centre = QGuiApplication::primaryScreen()->availableGeometry().center();
    // Placed before the frame is known: the frame's own width may shift it a little.
    auto nearCentre = [&](const QWidget* widget) {
        QPoint offset = widget->frameGeometry().center() - centre;
        return std::abs(offset.x()) <= 4 && std::abs(offset.y()) <= 4;
    };
    EXPECT_TRUE(nearCentre(window.get()))
        << window->frameGeometry().x() << "," << window->frameGeometry().y();
    bool dialogCentred = false;
    dialog->OnShowModal = [&](TNewDirForm& form) {
        dialogCentred = nearCentre(&form);
        form.eNewDir->setText("made");
    };
    window->NewDirectory1->trigger();
    EXPECT_TRUE(dialogCentred);
    EXPECT_TRUE(fs::is_directory(site / "made"));
}

// --- Buttons people can read -----------------------------------------------------------------

namespace {

double Luminance(QRgb rgb) {
    auto channel = [](int value) {
        double c = value / 255.0;
        return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(qRed(rgb)) + 0.7152 * channel(qGreen(rgb)) +
           0.0722 * channel(qBlue(rgb));
}

double Contrast(QRgb a, QRgb b) {
    double la = Luminance(a), lb = Luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

int Distance(QRgb a, QRgb b) {
    int r = qRed(a) - qRed(b), g = qGreen(a) - qGreen(b), bl = qBlue(a) - qBlue(b);
    return int(std::sqrt(double(r * r + g * g + bl * bl)));
}

// The face is the commonest colour inside the edge; the caption is the colour that stands
// out most against it (the cores of the bold strokes are drawn in the caption's colour).
struct Look {
    QRgb face = 0;
    QRgb caption = 0;
};

Look LookOf(QAbstractButton* button) {
    QIcon icon = button->icon();
    button->setIcon(QIcon()); // the glyph is no caption
    QImage image = button->grab().toImage().convertToFormat(QImage::Format_RGB32);
    button->setIcon(icon);
    std::map<QRgb, int> counts;
    const int edge = 3;
    for (int y = edge; y < image.height() - edge; ++y)
        for (int x = edge; x < image.width() - edge; ++x)
            ++counts[image.pixel(x, y) | 0xff000000];
    Look look;
    int most = 0;
    for (auto [rgb, count] : counts)
        if (count > most) {
            most = count;
            look.face = rgb;
        }
    double best = 0;
    for (auto [rgb, count] : counts)
        if (Contrast(rgb, look.face) > best) {
            best = Contrast(rgb, look.face);
            look.caption = rgb;
        }
    return look;
}

} // namespace

TEST_F(WindowStatesTest, EveryCaptionIsReadableAndDisabledButtonsLookDisabled) {
    OpenWindow();
    const std::vector<QAbstractButton*> buttons = {
        window->bUpload, window->sbConnect, window->sbDisconnect, window->bHelp,
        window->bClose,  window->bSave,     window->bDefault,     window->bStop};
    for (QAbstractButton* button : buttons) {
        const std::string name = button->text().toStdString();
        button->setEnabled(true);
        Look enabled = LookOf(button);
        button->setEnabled(false);
        Look disabled = LookOf(button);
        EXPECT_GE(Contrast(enabled.caption, enabled.face), 4.5)
            << name << " enabled: " << QColor(enabled.caption).name().toStdString() << " on "
            << QColor(enabled.face).name().toStdString();
        EXPECT_GE(Contrast(disabled.caption, disabled.face), 4.5)
            << name << " disabled: " << QColor(disabled.caption).name().toStdString() << " on "
            << QColor(disabled.face).name().toStdString();
        EXPECT_GT(std::max(Distance(enabled.face, disabled.face),
                           Distance(enabled.caption, disabled.caption)),
                  80)
            << name << ": disabled looks like enabled";
    }
    // The described caption colours stay for the enabled state.
    for (auto [button, colour] :
         std::vector<std::pair<QAbstractButton*, QColor>>{{window->bUpload, QColor(0, 128, 0)},
                                                          {window->sbDisconnect, QColor(255, 0, 0)},
                                                          {window->bHelp, QColor(255, 0, 255)},
                                                          {window->bSave, QColor(255, 255, 0)}}) {
        button->setEnabled(true);
        EXPECT_LE(Distance(LookOf(button).caption, colour.rgb()), 8)
            << button->text().toStdString();
    }
}

// Every text of the window stands out at least 4.5:1 from the ground it is drawn on: the
// labels, the check box, the edits and the drop-down box with its list.
TEST_F(WindowStatesTest, EveryTextIsReadableDropDownBoxesIncluded) {
    OpenWindow();
    window->eUserID->setText("jsmith");
    window->txtSecure->show(); // "Encrypted", shown where the window has room
    auto check = [](QWidget* widget, const QRect& textArea) {
        QImage image = widget->grab().toImage().convertToFormat(QImage::Format_RGB32);
        std::map<QRgb, int> counts;
        const QRect area = textArea.intersected(image.rect());
        for (int y = area.top(); y <= area.bottom(); ++y)
            for (int x = area.left(); x <= area.right(); ++x)
                ++counts[image.pixel(x, y) | 0xff000000];
        QRgb ground = 0;
        int most = 0;
        for (auto [rgb, count] : counts)
            if (count > most)
                most = count, ground = rgb;
        double best = 0;
        for (auto [rgb, count] : counts)
            best = std::max(best, Contrast(rgb, ground));
        EXPECT_GE(best, 4.5) << widget->metaObject()->className() << " \""
                             << widget->property("text").toString().toStdString() << "\" on "
                             << QColor(ground).name().toStdString();
    };
    int checked = 0;
    for (QLabel* label : window->findChildren<QLabel*>()) {
        if (label->text().isEmpty() || label->isHidden())
            continue;
        check(label, label->rect());
        ++checked;
    }
    EXPECT_GE(checked, 12);
    for (QLineEdit* edit : window->findChildren<QLineEdit*>())
        if (!edit->text().isEmpty())
            check(edit, edit->rect().adjusted(3, 3, -3, -3));
    // The text of a check box and of a drop-down box, without the box and the arrow.
    check(window->cbPassive, window->cbPassive->rect().adjusted(20, 0, 0, 0));
    for (int choice = 0; choice < window->cbEncryption->count(); ++choice) {
        window->cbEncryption->setCurrentIndex(choice);
        check(window->cbEncryption, window->cbEncryption->rect().adjusted(3, 3, -24, -3));
    }
    const QPalette list = window->cbEncryption->view()->palette();
    EXPECT_GE(Contrast(list.color(QPalette::Text).rgb(), list.color(QPalette::Base).rgb()), 4.5);
}

// --- The remote folder, the lock and the focus
// ----------------------------------------------------

// The label beside "Your Website" shows the end of the remote folder, elided on the left,
// whole within its place; with TLS the lock comes first and nothing is drawn over anything.
TEST_F(WindowStatesTest, TheRemoteFolderShowsItsEndAndTheLockOverlapsNothing) {
    const std::string folder = "/home/webuser/public_html/site/pages";
    ScriptedFtpServer server(
        ScriptedFtpServer::Replies({{"USER ", "331 password please"},
                                    {"PASS ", "230 in"},
                                    {"PWD", "257 \"" + folder + "\" is current"}},
                                   nullptr),
        {.max_sessions = 0});
    OpenAt(server.port());
    TNotifyEvent connected = window->VaneFTP1->OnConnect;
    window->VaneFTP1->OnConnect = [&](TComponent* sender) {
        window->VaneFTP1->Secured = true;
        connected(sender);
    };
    window->sbConnect->click();
    ASSERT_TRUE(window->IsConnected) << (boxes.empty() ? "" : boxes.back().Text);
    QLabel* path = window->txtRemoteDir;
    const QString shown = path->text();
    EXPECT_EQ(path->toolTip().toStdString(), folder);
    // The end of the path: the folder's own name, after as much of the path as fits.
    EXPECT_TRUE(shown.startsWith(QChar(0x2026))) << shown.toStdString();
    EXPECT_TRUE(shown.endsWith("/pages")) << shown.toStdString();
    EXPECT_TRUE(QString::fromStdString(folder).endsWith(shown.mid(1))) << shown.toStdString();
    EXPECT_LE(path->fontMetrics().horizontalAdvance(shown), path->contentsRect().width())
        << "the text is cut";
    const QRect place = path->geometry();
    EXPECT_GT(place.left(), window->Label4->geometry().right());
    EXPECT_LE(place.right(), window->WebList->geometry().right());
    ASSERT_TRUE(window->imgLock->isVisible());
    std::vector<QWidget*> line = {window->Label4, window->imgLock, path};
    if (window->txtSecure->isVisible())
        line.push_back(window->txtSecure);
    for (std::size_t i = 0; i < line.size(); ++i)
        for (std::size_t j = i + 1; j < line.size(); ++j)
            EXPECT_FALSE(line[i]->geometry().intersects(line[j]->geometry()))
                << line[i]->metaObject()->className() << " " << i << " over " << j;
    EXPECT_LE(window->imgLock->geometry().right(), window->WebList->geometry().right());
    window->sbDisconnect->click();
}

// After every operation the focus is where it was, and the user id keeps its text unselected.
TEST_F(WindowStatesTest, TheFocusComesBackAfterTheBusyView) {
    ScriptedFtpServer server(
        [](Session& s) {
            LogIn(s);
            BinaryType(s);
            Store(s, "a.htm", "226 stored");
            Listing(s, "a.htm");
            Bye(s);
        },
        {.max_sessions = 1});
    WriteFileBytes(site / "a.htm", "page");
    OpenAt(server.port());
    ActivateWindow();
    window->FileList->setFocus();
    ASSERT_EQ(QApplication::focusWidget(), window->FileList);
    window->sbConnect->click();
    ASSERT_TRUE(window->IsConnected) << (boxes.empty() ? "" : boxes.back().Text);
    EXPECT_EQ(QApplication::focusWidget(), window->FileList)
        << QApplication::focusWidget()->metaObject()->className();
    EXPECT_FALSE(window->eUserID->hasSelectedText());
    SelectFiles({"a.htm"});
    window->bUpload->click();
    EXPECT_TRUE(boxes.empty()) << boxes.front().Text;
    EXPECT_EQ(QApplication::focusWidget(), window->FileList);
    EXPECT_FALSE(window->eUserID->hasSelectedText());
    window->sbDisconnect->click();
    ExpectScriptsMet(server);
}

// --- The window's size ---------------------------------------------------------------------------

// At the described size every control sits where it is described and the window looks
// exactly as before; larger (resized or maximised), the two lists take the room, the controls
// below and right of them move along, and nothing overlaps or leaves the window.
TEST_F(WindowStatesTest, TheWindowGrowsAndLooksAsDescribedAtItsSize) {
    for (int i = 0; i < 30; ++i)
        WriteFileBytes(site / ("page" + std::to_string(i) + ".htm"), "page");
    OpenAt(21);
    EXPECT_EQ(window->size(), QSize(480, 382));
    EXPECT_EQ(window->minimumSize(), QSize(480, 382));
    EXPECT_TRUE(window->windowFlags() & Qt::WindowMaximizeButtonHint);
    std::map<QWidget*, QRect> described;
    for (QWidget* child : window->pMain->findChildren<QWidget*>(Qt::FindDirectChildrenOnly))
        described[child] = child->geometry();
    EXPECT_EQ(described[window->FileList], QRect(10, 44, 217, 169));
    EXPECT_EQ(described[window->WebList], QRect(230, 44, 239, 169));
    EXPECT_EQ(described[window->bClose], QRect(396, 348, 80, 25));
    EXPECT_EQ(described[window->ScrollBox1], QRect(230, 218, 247, 125));
    const QImage before = window->grab().toImage();
    const int rowsBefore = window->FileList->viewport()->height() / 16;

    window->resize(800, 600);
    QApplication::processEvents();
    EXPECT_EQ(window->size(), QSize(800, 600));
    EXPECT_EQ(window->pMain->size(), QSize(800, 600));
    EXPECT_EQ(window->FileList->geometry(), QRect(10, 44, 217 + 160, 169 + 218));
    EXPECT_EQ(window->WebList->geometry(), QRect(230 + 160, 44, 239 + 160, 169 + 218));
    EXPECT_GT(window->FileList->viewport()->height() / 16, rowsBefore + 10);
    const std::vector<QWidget*> controls = {
        window->txtStatus,    window->FileList,  window->WebList,      window->bUpload,
        window->DirList,      window->sbConnect, window->sbDisconnect, window->ScrollBox1,
        window->Label5,       window->bHelp,     window->bClose,       window->Label4,
        window->txtRemoteDir, window->Label3,    window->Label6};
    const QRect inside(0, 0, 800, 600);
    for (std::size_t i = 0; i < controls.size(); ++i) {
        EXPECT_TRUE(inside.contains(controls[i]->geometry())) << i;
        for (std::size_t j = i + 1; j < controls.size(); ++j)
            EXPECT_FALSE(controls[i]->geometry().intersects(controls[j]->geometry()))
                << i << " over " << j;
    }

    window->resize(480, 382);
    QApplication::processEvents();
    for (auto [child, rect] : described)
        EXPECT_EQ(child->geometry(), rect) << child->metaObject()->className();
    EXPECT_EQ(window->grab().toImage(), before) << "the described size looks as before";
}

KESTREL_QT_TEST_MAIN()
