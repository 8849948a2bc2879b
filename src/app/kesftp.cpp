// The main window: its controls, their layout and bindings, the busy view, and the
// guards every handler runs in.
#include "app/kesftp.h"

#include "app/animate.h"
#include "app/application.h"
#include "app/helpviewer.h"
#include "app/publishdialog.h"
#include "browser/filectrl.h"

#include <QAction>
#include <QApplication>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFrame>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPointer>
#include <QPushButton>
#include <QResizeEvent>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QShortcut>
#include <QTimer>
#include <QToolButton>
#include <QValidator>
#include <filesystem>
#include <memory>

namespace kestrel {

TMainForm* MainForm = nullptr;

namespace {

constexpr int kClientWidth = 480;
constexpr int kClientHeight = 382;

// The closest fonts of this platform to the window's classic ones, at the same pixel
// heights. The condensed faces come closest to the classic widths, so the texts fit the
// fixed label sizes; without them the regular faces are used.
QFont CondensedFont(const char* family, int pixels, bool bold) {
    QFont font(family);
    font.setStretch(QFont::SemiCondensed);
    font.setPixelSize(pixels);
    font.setBold(bold);
    return font;
}

QFont SansFont(int pixels, bool bold = false) {
    return CondensedFont("DejaVu Sans", pixels, bold);
}

QFont SerifFont(int pixels, bool bold = false) {
    return CondensedFont("DejaVu Serif", pixels, bold);
}

// Lists and edits keep the platform's own colours (dark text on a light ground) instead
// of inheriting the black panel's white text.
void PlainColors(QWidget* widget) {
    const QPalette standard = QApplication::palette();
    QPalette palette = widget->palette();
    for (QPalette::ColorRole role :
         {QPalette::Text, QPalette::WindowText, QPalette::Base, QPalette::AlternateBase,
          QPalette::Window, QPalette::Button, QPalette::ButtonText, QPalette::Highlight,
          QPalette::HighlightedText, QPalette::PlaceholderText}) {
        for (QPalette::ColorGroup group :
             {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
            palette.setColor(group, role, standard.color(group, role));
    }
    widget->setPalette(palette);
}

void SetColor(QWidget* widget, const QColor& text, const QColor& background = QColor()) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, text);
    palette.setColor(QPalette::ButtonText, text);
    palette.setColor(QPalette::Text, text);
    if (background.isValid()) {
        palette.setColor(QPalette::Window, background);
        widget->setAutoFillBackground(true);
    }
    widget->setPalette(palette);
}

QLabel* MakeLabel(QWidget* parent, const QString& text, int x, int y, int w, int h,
                  const QFont& font, const QColor& color) {
    auto* label = new QLabel(text, parent);
    label->setFont(font);
    SetColor(label, color);
    if (w > 0)
        label->setGeometry(x, y, w, h);
    else {
        label->move(x, y);
        label->adjustSize();
    }
    return label;
}

// Settings edits hold at most 99 bytes each, so every value fits its record field.
class FieldValidator : public QValidator {
public:
    using QValidator::QValidator;
    State validate(QString& input, int&) const override {
        return std::size_t(input.toUtf8().size()) <= kConfigFieldMaxText ? Acceptable : Invalid;
    }
};

// The rows of the folder list and the file list are 16 pixels high, as the window lays
// them out; the list's own delegate still draws them.
constexpr int kListItemHeight = 16;

class FixedRowHeight : public QAbstractItemDelegate {
public:
    FixedRowHeight(QAbstractItemDelegate* inner, QObject* parent)
        : QAbstractItemDelegate(parent), inner_(inner) {}
    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        inner_->paint(painter, option, index);
    }
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        return {inner_->sizeHint(option, index).width(), kListItemHeight};
    }

private:
    QAbstractItemDelegate* inner_; // owned by the list
};

void FixRowHeight(QAbstractItemView* list) {
    list->setItemDelegate(new FixedRowHeight(list->itemDelegate(), list));
}

// Button faces. A caption keeps the colour the window gives it; the face behind it is
// light for the dark captions and black for the bright ones, so that every caption stands
// out at least 4.5:1. A disabled button is grey on grey with a dashed edge, whatever its
// enabled colours, so it never looks clickable.
const QColor kLightFace(255, 255, 255);
const QColor kDarkFace(0, 0, 0);
const QColor kStopFace(160, 0, 0);
const QColor kDisabledFace(74, 74, 74);
const QColor kDisabledCaption(214, 214, 214);

void StyleButton(QAbstractButton* button, const QColor& caption, const QColor& face) {
    const QString edge = face.lightness() > 128 ? "#5a5a5a" : "#a8a8a8";
    button->setStyleSheet(
        QString("%1 { color: %2; background-color: %3; border: 1px solid %4; border-radius: 2px;"
                " padding: 0px 4px; }"
                "%1:pressed, %1:checked { border: 2px inset %4; }"
                "%1:disabled { color: %5; background-color: %6; border: 1px dashed #9a9a9a; }")
            .arg(button->metaObject()->className(), caption.name(), face.name(), edge,
                 kDisabledCaption.name(), kDisabledFace.name()));
    SetColor(button, caption);
}

} // namespace

// --- The remote list ---------------------------------------------------------------------

TWebListView::TWebListView(QWidget* parent) : QTreeWidget(parent) {
    setAcceptDrops(true);
    setDragEnabled(true);
    setDropIndicatorShown(false);
}

// Asks OnDragOver whether the drag over the list may be dropped.
void TWebListView::judgeDrag(QDropEvent* event) {
    bool accept = false;
    if (OnDragOver)
        OnDragOver(event->source(), accept);
    if (accept)
        event->acceptProposedAction();
    else
        event->ignore();
}

void TWebListView::dragEnterEvent(QDragEnterEvent* event) {
    judgeDrag(event);
}

void TWebListView::dragMoveEvent(QDragMoveEvent* event) {
    judgeDrag(event);
}

void TWebListView::dropEvent(QDropEvent* event) {
    QObject* source = event->source();
    event->acceptProposedAction();
    // The upload runs from the main loop, not inside the drag's own event loop.
    if (OnDragDrop)
        QTimer::singleShot(0, this, [this, source] { OnDragDrop(source); });
}

// --- Construction ----------------------------------------------------------------------------

TMainForm::TMainForm(QWidget* parent) : QWidget(parent) {
    startFolder_ = std::filesystem::current_path().string();
    setWindowTitle(kProductCaption);
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint |
                   Qt::WindowCloseButtonHint);
    // The described size is the smallest; a larger window gives the lists more rows.
    setMinimumSize(kClientWidth, kClientHeight);
    resize(kClientWidth, kClientHeight);
    setFont(SansFont(11));
    CreateControls();
    CreateSettingsPanel();
    LayOutControls();
    StyleButtons();
    CreateMenus();
    BindEvents();
    PlaceInScreenCentre();
    Application().OnHandlerError = [this] { ShowIdle(); };
}

void TMainForm::PlaceInScreenCentre() {
    QScreen* screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    QRect frame = frameGeometry();
    frame.moveCenter(screen->availableGeometry().center());
    move(frame.topLeft());
}

TMainForm::~TMainForm() {
    Application().OnHandlerError = nullptr;
    // The FTP component logs out (QUIT) as it goes.
    VaneFTP1.reset();
    if (MainForm == this)
        MainForm = nullptr;
}

void TMainForm::CreateControls() {
    pMain = new QFrame(this);
    SetColor(pMain, Qt::white, Qt::black);

    txtStatus = MakeLabel(pMain, "Not Connected", 4, 4, 457, 22, SerifFont(21, true), Qt::yellow);
    txtStatus->setAlignment(Qt::AlignCenter);
    Label3 = MakeLabel(pMain, "This PC", 58, 30, 0, 0, SansFont(11, true), Qt::cyan);
    Label6 = MakeLabel(pMain, ">>>>>> Drag and Drop Files >>>>>>", 106, 30, 213, 13,
                       SansFont(11, true), Qt::white);
    Label6->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    QFont narrow = SansFont(11, true);
    narrow.setStretch(QFont::Condensed); // the arrows must fit between the two titles
    Label6->setFont(narrow);
    Label4 = MakeLabel(pMain, "Your Website", 320, 28, 0, 0, SerifFont(13, true), Qt::cyan);
    // Where uploads land: the remote folder, shortened from the left to fit (placed by
    // PlaceRemoteFolder).
    txtRemoteDir = MakeLabel(pMain, "", 0, 30, 1, 13, SansFont(11), Qt::white);

    FileList = new TFileListBox(pMain);
    FileList->setGeometry(10, 44, 217, 169);
    FileList->setToolTip("Use Shift or Ctrl keys to Multi Select Files");
    FileList->SetMultiSelect(true);
    FileList->SetFileType({ftVolumeID, ftDirectory, ftNormal});
    FileList->SetShowGlyphs(true);
    FileList->SetMask("*.htm;*.html;*.bmp;*.jpg;*.gif");
    FileList->setFocusPolicy(Qt::ClickFocus);
    PlainColors(FileList);
    FixRowHeight(FileList);

    ImageList1[0] = QIcon(GlyphPixmap(TGlyph::ClosedFolder));
    ImageList1[1] = QIcon(GlyphPixmap(TGlyph::UnknownFile));
    WebList = new TWebListView(pMain);
    WebList->setGeometry(230, 44, 239, 169);
    WebList->setToolTip("Right click to delete a file");
    WebList->setColumnCount(2);
    WebList->setHeaderLabels({"File or Folder", "Description"});
    WebList->setColumnWidth(0, 100);
    WebList->setColumnWidth(1, 120);
    WebList->setRootIsDecorated(false);
    WebList->setIconSize(QSize(16, 16));
    WebList->setWordWrap(false);
    WebList->setUniformRowHeights(true);
    PlainColors(WebList);

    bUpload = new QPushButton("Upload File", pMain);
    bUpload->setGeometry(12, 214, 215, 21);
    bUpload->setToolTip("Copy your web files to your site");
    bUpload->setEnabled(false);
    bUpload->setFont(SansFont(11, true));
    SetColor(bUpload, Qt::darkGreen);
    bUpload->setIcon(QIcon(GlyphPixmap(TGlyph::UnknownFile)));
    bUpload->setLayoutDirection(Qt::RightToLeft); // the glyph right of the caption

    DirList = new TDirectoryListBox(pMain);
    DirList->setGeometry(12, 236, 215, 85);
    DirList->setToolTip("Right click to Create, Delete or Upload a directory");
    DirList->FileList = FileList;
    DirList->setFocusPolicy(Qt::ClickFocus);
    PlainColors(DirList);
    FixRowHeight(DirList);

    sbConnect = new QToolButton(pMain);
    sbConnect->setText("Connect");
    sbConnect->setGeometry(14, 326, 110, 25);
    sbConnect->setToolTip("Connect to your Website");
    sbConnect->setCheckable(true);
    sbConnect->setFont(SansFont(11, true));
    SetColor(sbConnect, Qt::darkGreen);
    sbDisconnect = new QToolButton(pMain);
    sbDisconnect->setText("Disconnect");
    sbDisconnect->setGeometry(124, 324, 103, 25);
    sbDisconnect->setToolTip("Disconnect from your Website");
    sbDisconnect->setCheckable(true);
    sbDisconnect->setChecked(true);
    sbDisconnect->setFont(SansFont(11, true));
    SetColor(sbDisconnect, Qt::red);
    auto* group = new QButtonGroup(this);
    group->setExclusive(true);
    group->addButton(sbConnect, 1);
    group->addButton(sbDisconnect, 2);

    ScrollBox1 = new QScrollArea(pMain);
    ScrollBox1->setGeometry(230, 218, 247, 125);

    Label5 = MakeLabel(pMain, kBannerText, 10, 356, 291, 15, SerifFont(13, true), Qt::white);
    Label5->setAlignment(Qt::AlignCenter);

    bHelp = new QPushButton("Help", pMain);
    bHelp->setGeometry(306, 348, 81, 25);
    bHelp->setToolTip("Help window");
    bHelp->setFont(SansFont(11, true));
    SetColor(bHelp, Qt::magenta);
    bHelp->setFocusPolicy(Qt::ClickFocus);

    bClose = new QPushButton("Close", pMain);
    bClose->setGeometry(396, 348, 80, 25);
    bClose->setToolTip("Exit the program");
    SetColor(bClose, QColor(0, 0, 128));
    bClose->setIcon(style()->standardIcon(QStyle::SP_DialogCloseButton));
    bClose->setFocusPolicy(Qt::ClickFocus);

    FTPAnimate = new TAnimate(pMain);
    FTPAnimate->setGeometry(134, 88, 200, 53);
    FTPAnimate->SetFileName("Kestrel.avi");
    FTPAnimate->StopFrame = 20;
    FTPAnimate->hide();

    bStop = new QPushButton("Stop", pMain);
    bStop->setGeometry(194, 146, 80, 23);
    bStop->setToolTip("Stop the transfer in progress (Esc)");
    bStop->setFont(SansFont(11, true));
    bStop->hide();

    setTabOrder(bUpload, WebList);
    setTabOrder(WebList, ScrollBox1);
}

void TMainForm::CreateSettingsPanel() {
    auto* panel = new QWidget;
    panel->setFixedSize(227, 200); // the scroll ranges of the box
    SetColor(panel, Qt::yellow, Qt::black);
    QFont bold = SansFont(11, true);
    Label1 = MakeLabel(panel, QString("Your ID. eg: ") + kExampleUserID, 2, 2, 217, 15, bold,
                       Qt::yellow);
    eUserID = new QLineEdit(panel);
    eUserID->setGeometry(2, 16, 221, 21);
    Label7 = MakeLabel(panel, QString("Host: ") + kDefaultHost, 3, 42, 0, 0, bold, Qt::yellow);
    eHost = new QLineEdit(panel);
    eHost->setGeometry(4, 58, 219, 21);
    Label2 = MakeLabel(panel, "Your Password", 4, 86, 0, 0, bold, Qt::yellow);
    ePassword = new QLineEdit("ePassword", panel);
    ePassword->setGeometry(6, 100, 147, 21);
    ePassword->setEchoMode(QLineEdit::Password);
    Label8 = MakeLabel(panel, "Port 21", 167, 86, 0, 0, bold, Qt::yellow);
    ePort = new QLineEdit("21", panel);
    ePort->setGeometry(166, 98, 57, 21);
    Label9 =
        MakeLabel(panel, "Files *.htm;*.html;*.jpg;*.gif;*.bmp", 8, 129, 0, 0, bold, Qt::yellow);
    eMask = new QLineEdit("*.htm;*.html;*.bmp;*.jpg;*.gif;*.exe", panel);
    eMask->setGeometry(6, 145, 217, 21);
    bSave = new QPushButton("Save Settings", panel);
    bSave->setGeometry(144, 174, 77, 23);
    bSave->setToolTip("Save your ID and Password");
    bSave->setEnabled(false);
    bDefault = new QPushButton("Load Defaults", panel);
    bDefault->setGeometry(8, 173, 121, 25);
    bDefault->setFont(bold);
    SetColor(bDefault, Qt::red);
    bDefault->setFocusPolicy(Qt::ClickFocus);

    for (QLineEdit* edit : {eUserID, eHost, ePassword, ePort, eMask}) {
        edit->setValidator(new FieldValidator(edit));
        SetColor(edit, Qt::black);
        edit->installEventFilter(this);
    }
    setTabOrder(eUserID, eHost);
    setTabOrder(eHost, ePassword);
    setTabOrder(ePassword, ePort);
    setTabOrder(ePort, eMask);
    setTabOrder(eMask, bSave);

    panel->setFixedSize(227, CreateExtraSettingsControls(panel, 200));
    ScrollBox1->setWidget(panel);
    ScrollBox1->setWidgetResizable(false);
}

void TMainForm::CreateMenus() {
    DirPop = new QMenu(this);
    NewDirectory1 = DirPop->addAction("New Directory");
    N1 = DirPop->addSeparator();
    RemoveDirectory1 = DirPop->addAction("Remove Directory");
    N2 = DirPop->addSeparator();
    UploadDirectory1 = DirPop->addAction("Upload Directory");
    // Publishing the whole site folder shown, in its own dialog; the key works anywhere.
    QAction* publishSite = DirPop->addAction("Publish Site...");
    publishSite->setShortcut(QKeySequence("Ctrl+Shift+P"));
    addAction(publishSite);
    connect(publishSite, &QAction::triggered, this,
            [this] { Handle([this] { PublishSiteClick(); }); });
    // The last publish of that folder put back from the history it kept on the server.
    QAction* undoPublish = DirPop->addAction("Undo Last Publish");
    connect(undoPublish, &QAction::triggered, this,
            [this] { Handle([this] { UndoLastPublishClick(); }); });
    WebPop = new QMenu(this);
    DeleteFile1 = WebPop->addAction("Delete File");
    FileListPop = new QMenu(this);
    DeleteFile2 = FileListPop->addAction("Delete File");

    // A list reports the place of a right-click in its viewport's coordinates: the menu
    // opens right there, at the pointer.
    auto popupOn = [](QAbstractScrollArea* list, QMenu* menu) {
        list->setContextMenuPolicy(Qt::CustomContextMenu);
        QObject::connect(
            list, &QWidget::customContextMenuRequested, menu,
            [list, menu](const QPoint& at) { menu->popup(list->viewport()->mapToGlobal(at)); });
    };
    popupOn(DirList, DirPop);
    popupOn(WebList, WebPop);
    popupOn(FileList, FileListPop);
}

void TMainForm::StyleButtons() {
    StyleButton(bUpload, Qt::darkGreen, kLightFace);
    StyleButton(sbConnect, Qt::darkGreen, kLightFace);
    StyleButton(sbDisconnect, Qt::red, kDarkFace);
    StyleButton(bHelp, Qt::magenta, kDarkFace);
    StyleButton(bClose, QColor(0, 0, 128), kLightFace);
    StyleButton(bSave, Qt::yellow, kDarkFace);
    StyleButton(bDefault, Qt::red, kDarkFace);
    StyleButton(bStop, Qt::white, kStopFace);
}

void TMainForm::BindEvents() {
    VaneFTP1 = std::make_unique<TVaneFTP>(nullptr);
    VaneFTP1->Port = 21;
    VaneFTP1->ReportLevel = 0;
    VaneFTP1->Vendor = vendorAuto;
    VaneFTP1->ParseList = false;
    VaneFTP1->ProxyPort = 0;
    VaneFTP1->OnConnect = [this](TComponent* s) { VaneFTP1Connect(s); };
    VaneFTP1->OnConnectionFailed = [this](TComponent* s) { VaneFTP1ConnectionFailed(s); };
    VaneFTP1->OnDisconnect = [this](TComponent* s) { VaneFTP1Disconnect(s); };
    VaneFTP1->OnHostResolved = [this](TComponent* s) { VaneFTP1HostResolved(s); };
    VaneFTP1->OnStatus = [this](TComponent* s, const std::string& t) { VaneFTP1Status(s, t); };
    VaneFTP1->OnPacketSent = [this](TComponent* s) { VaneFTP1PacketSent(s); };
    VaneFTP1->OnFailure = [this](bool& handled, TCmdType kind) { VaneFTP1Failure(handled, kind); };
    VaneFTP1->OnListItem = [this](const std::string& line) { VaneFTP1ListItem(line); };
    VaneFTP1->OnCertificateCheck = [this](const TCertificateInfo& info, bool& accept) {
        VaneFTP1CertificateCheck(info, accept);
    };
    VaneFTP1->OnTransactionStart = [this](TComponent*) { transferStarted_ = true; };

    pairDown_ = sbDisconnect;
    connect(sbConnect, &QToolButton::clicked, this,
            [this] { SpeedButtonClick(sbConnect, [this] { sbConnectClick(); }); });
    connect(sbDisconnect, &QToolButton::clicked, this,
            [this] { SpeedButtonClick(sbDisconnect, [this] { sbDisconnectClick(); }); });
    connect(bUpload, &QPushButton::clicked, this,
            [this] { RemoteCommand([this] { bUploadClick(); }); });
    connect(bClose, &QPushButton::clicked, this, [this] { close(); });
    connect(bHelp, &QPushButton::clicked, this, [this] { Handle([this] { bHelpClick(); }); });
    connect(bSave, &QPushButton::clicked, this, [this] { Handle([this] { bSaveClick(); }); });
    connect(bDefault, &QPushButton::clicked, this, [this] { Handle([this] { bDefaultClick(); }); });
    connect(bStop, &QPushButton::clicked, this, [this] { StopClick(); });
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, [this] { StopClick(); });

    connect(UploadDirectory1, &QAction::triggered, this,
            [this] { RemoteCommand([this] { UploadDirectory1Click(); }); });
    connect(DeleteFile1, &QAction::triggered, this,
            [this] { RemoteCommand([this] { DeleteFile1Click(); }); });
    connect(DeleteFile2, &QAction::triggered, this,
            [this] { Handle([this] { DeleteFile2Click(); }); });
    connect(NewDirectory1, &QAction::triggered, this,
            [this] { Handle([this] { NewDirectory1Click(); }); });
    connect(RemoveDirectory1, &QAction::triggered, this,
            [this] { RemoteCommand([this] { RemoveDirectory1Click(); }); });

    FileList->OnClick = [this](QObject*) { Handle([this] { FileListClick(); }); };
    FileList->OnChange = [this](QObject*) { UpdateUploadButton(); };
    FileList->viewport()->installEventFilter(this);
    DirList->viewport()->installEventFilter(this);
    DirList->OnDblClick = [this](QObject*) { DirListDblClick(); };
    DirList->OnError = [](const std::exception& e) { Application().ShowException(e); };

    WebList->OnDragOver = [this](QObject* source, bool& accept) {
        WebListDragOver(source, accept);
    };
    WebList->OnDragDrop = [this](QObject* source) {
        RemoteCommand([this, source] { WebListDragDrop(source); });
    };
}

// --- Guards -----------------------------------------------------------------------------------

void TMainForm::Handle(const std::function<void()>& handler) {
    Application().Guard(handler);
}

void TMainForm::RemoteCommand(const std::function<void()>& handler) {
    if (busy_)
        return; // one operation at a time: a second command does not start
    busy_ = true;
    stopRequested_ = false;
    // The controls held off and the lists hidden would pass the focus on to the first edit
    // of the panel, its text selected for the next key to replace: the window holds it
    // meanwhile and gives it back afterwards.
    QPointer<QWidget> focus = QApplication::focusWidget();
    if (focus && focus->window() != this)
        focus = nullptr;
    if (focus)
        setFocus(Qt::OtherFocusReason);
    HoldOffControls(true);
    Application().Guard([&] {
        try {
            handler();
        } catch (const EAbortError&) {
            if (!stopRequested_)
                throw;
            // The user's own Stop needs no error box.
            ShowIdle();
        }
    });
    busy_ = false;
    stopRequested_ = false;
    HoldOffControls(false);
    UpdateUploadButton();
    if (focus && focus->isVisible() && focus->isEnabled())
        focus->setFocus(Qt::OtherFocusReason);
    if (closeRequested_)
        QTimer::singleShot(0, this, [this] { close(); });
}

void TMainForm::HoldOffControls(bool busy) {
    DirList->setEnabled(!busy);
    FileList->setEnabled(!busy);
    // Clicks on these would be ignored meanwhile: they look it.
    sbConnect->setEnabled(!busy);
    sbDisconnect->setEnabled(!busy);
    if (busy) {
        saveEnabledBeforeBusy_ = bSave->isEnabled();
        bSave->setEnabled(false);
        bUpload->setEnabled(false);
    } else {
        bSave->setEnabled(saveEnabledBeforeBusy_);
    }
}

void TMainForm::SpeedButtonClick(QToolButton* button, const std::function<void()>& handler) {
    if (busy_) {
        // Ignored while another operation runs: the pair must keep showing the real state.
        pairDown_->setChecked(true);
        return;
    }
    pairDown_ = button;
    RemoteCommand(handler);
}

void TMainForm::StopClick() {
    if (!busy_)
        return;
    stopRequested_ = true;
    VaneFTP1->Abort();
}

// --- Layout -------------------------------------------------------------------------------------

void TMainForm::LayOutControls() {
    // Extra room beyond the described client size: half of the width to each list, all of
    // the height to the two lists; what sits below or right of them moves along.
    const int dw = std::max(0, width() - kClientWidth);
    const int dh = std::max(0, height() - kClientHeight);
    const int left = dw / 2;
    const int right = dw - left;
    pMain->setGeometry(0, 0, kClientWidth + dw, kClientHeight + dh);
    txtStatus->setGeometry(4, 4, 457 + dw, 22);
    Label6->move(106 + left, 30);
    Label4->move(320 + left, 28);
    FileList->setGeometry(10, 44, 217 + left, 169 + dh);
    WebList->setGeometry(230 + left, 44, 239 + right, 169 + dh);
    bUpload->setGeometry(12, 214 + dh, 215 + left, 21);
    DirList->setGeometry(12, 236 + dh, 215 + left, 85);
    sbConnect->setGeometry(14, 326 + dh, 110, 25);
    sbDisconnect->setGeometry(124, 324 + dh, 103, 25);
    ScrollBox1->setGeometry(230 + left, 218 + dh, 247, 125);
    Label5->setGeometry(10, 356 + dh, 291 + dw, 15);
    bHelp->setGeometry(306 + dw, 348 + dh, 81, 25);
    bClose->setGeometry(396 + dw, 348 + dh, 80, 25);
    FTPAnimate->setGeometry(134 + left, 88 + dh / 2, 200, 53);
    bStop->setGeometry(194 + left, 146 + dh / 2, 80, 23);
    PlaceRemoteFolder();
}

void TMainForm::PlaceRemoteFolder() {
    if (!imgLock)
        return; // still being built
    constexpr int kGap = 5;
    constexpr int kLockWidth = 12;
    constexpr int kLeastPathWidth = 120; // "Encrypted" is shown only beside this much path
    const int start = Label4->geometry().right() + kGap;
    const int end = WebList->x() + WebList->width();
    int pathLeft = start;
    const bool secured = !imgLock->isHidden();
    if (secured) {
        imgLock->setGeometry(start, 29, kLockWidth, 14);
        pathLeft = start + kLockWidth + 3;
        const int wordWidth = txtSecure->sizeHint().width();
        const bool room = end - pathLeft - wordWidth - kGap >= kLeastPathWidth;
        txtSecure->setVisible(room);
        if (room) {
            txtSecure->setGeometry(pathLeft, 30, wordWidth, 13);
            pathLeft += wordWidth + kGap;
        }
    }
    txtRemoteDir->setGeometry(pathLeft, 30, std::max(1, end - pathLeft), 13);
    const QString full = QString::fromStdString(remoteFolder_);
    txtRemoteDir->setText(
        txtRemoteDir->fontMetrics().elidedText(full, Qt::ElideLeft, txtRemoteDir->width()));
    txtRemoteDir->setToolTip(full);
}

void TMainForm::ShowRemotePath(const std::string& folder) {
    remoteFolder_ = folder;
    PlaceRemoteFolder();
}

void TMainForm::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    LayOutControls();
}

// --- Window events ------------------------------------------------------------------------------

void TMainForm::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!shown_) {
        shown_ = true;
        Handle([this] { FormShow(); });
    }
}

void TMainForm::closeEvent(QCloseEvent* event) {
    if (busy_) {
        // Never destroy the window under a running handler: stop the operation and close
        // once it has returned.
        closeRequested_ = true;
        stopRequested_ = true;
        VaneFTP1->Abort();
        event->ignore();
        return;
    }
    Application().CloseHelp();
    event->accept();
}

bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
    if (watched == FileList->viewport() || watched == DirList->viewport()) {
        // A right-click opens the list's menu and leaves the selection alone: the menu acts
        // on the entry selected before.
        switch (event->type()) {
        case QEvent::MouseButtonPress:
        case QEvent::MouseButtonRelease:
        case QEvent::MouseButtonDblClick:
            return static_cast<QMouseEvent*>(event)->button() == Qt::RightButton;
        case QEvent::MouseMove:
            return static_cast<QMouseEvent*>(event)->buttons() == Qt::RightButton;
        default:
            return false;
        }
    }
    auto* edit = qobject_cast<QLineEdit*>(watched);
    if (edit && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            // Enter works like Tab on the settings panel.
            QTimer::singleShot(0, this, [this] { focusNextChild(); });
            return true;
        }
    }
    if (edit && edit != ePort && event->type() == QEvent::FocusOut)
        Handle([this] { eUserIDExit(); });
    return QWidget::eventFilter(watched, event);
}

// --- Busy view ----------------------------------------------------------------------------------

void TMainForm::ShowBusy() {
    FTPAnimate->show();
    FTPAnimate->Start();
    FileList->hide();
    WebList->hide();
    bStop->show();
    bStop->raise();
}

void TMainForm::ShowIdle() {
    FTPAnimate->hide();
    FTPAnimate->Stop();
    bStop->hide();
    FileList->show();
    WebList->show();
}

void TMainForm::SetStatus(const std::string& text) {
    txtStatus->setText(QString::fromStdString(text));
}

} // namespace kestrel
