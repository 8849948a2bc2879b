// Unit Kesftp: the main window. Local folders and files on the left, the web site's
// remote listing on the right, the status line on top, the connection buttons, the
// upload button and the settings panel. It owns the one FTP client component and talks
// to the server only through its operations and events.
#pragma once

#include "app/config.h"
#include "app/extrasettings.h"
#include "net/ftp/vaneftp.h"

#include <QTreeWidget>
#include <QWidget>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>

class QAction;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QMenu;
class QPushButton;
class QScrollArea;
class QToolButton;

namespace kestrel {

class TAnimate;
struct TConnectionSettings;
class TDirectoryListBox;
class TFileListBox;

// The remote list: a report-style list view that accepts files dragged from the file
// list.
class TWebListView : public QTreeWidget {
public:
    explicit TWebListView(QWidget* parent);
    std::function<void(QObject* source, bool& accept)> OnDragOver;
    std::function<void(QObject* source)> OnDragDrop;

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    void judgeDrag(QDropEvent* event);
};

class TMainForm : public QWidget {
public:
    explicit TMainForm(QWidget* parent = nullptr);
    ~TMainForm() override;

    // --- Controls, in declaration order ------------------------------------------------
    QFrame* pMain;
    TFileListBox* FileList;
    QToolButton* sbConnect;
    QToolButton* sbDisconnect;
    std::unique_ptr<TVaneFTP> VaneFTP1;
    QPushButton* bUpload;
    QLabel* txtStatus;
    QLabel* Label3;
    QLabel* Label4;
    QPushButton* bClose;
    QLabel* Label5;
    QLabel* Label6;
    QPushButton* bHelp;
    TDirectoryListBox* DirList;
    QMenu* DirPop;
    QAction* NewDirectory1;
    QAction* RemoveDirectory1;
    QAction* N1;
    QMenu* WebPop;
    QAction* DeleteFile1;
    QAction* UploadDirectory1;
    QAction* N2;
    QMenu* FileListPop;
    QAction* DeleteFile2;
    TWebListView* WebList;
    QIcon ImageList1[2]; // 0: folder rows, 1: file rows
    QScrollArea* ScrollBox1;
    QLabel* Label1;
    QLineEdit* eUserID;
    QLabel* Label7;
    QLineEdit* eHost;
    QLabel* Label8;
    QLineEdit* ePort;
    QLabel* Label2;
    QLineEdit* ePassword;
    QPushButton* bSave;
    QLabel* Label9;
    QLineEdit* eMask;
    QPushButton* bDefault;
    TAnimate* FTPAnimate;
    QPushButton* bStop;   // over the busy animation: stops the operation in progress
    QLabel* txtRemoteDir; // beside "Your Website": the remote folder uploads land in, its end
    // Below the described fields of the settings panel, saved in "KestrelFTP.ini".
    QCheckBox* cbPassive;        // data connections opened by this side (EPSV, PASV)
    QLabel* Label10;             // "Encryption"
    QComboBox* cbEncryption;     // None / Use TLS if offered / Require TLS, as TEncryption
    QLabel* imgLock = nullptr;   // beside "Your Website" while the connection is encrypted
    QLabel* txtSecure = nullptr; // "Encrypted", beside the lock where the window has room

    // --- State shared by the handlers ---------------------------------------------------
    ConfigRecord Config{};
    TExtraSettings Extra; // as last read from or saved to "KestrelFTP.ini"
    bool IsConnected = false;
    std::string HomeDir;
    std::string RootDirEntry;
    std::int32_t RootLevel = 0;
    std::int32_t ItemCount = 0;

    // The folder the program started in: "Config.txt" lives there.
    const std::string& StartFolder() const { return startFolder_; }
    // The remote folder shown beside "Your Website" (empty while not connected).
    const std::string& RemoteFolder() const { return remoteFolder_; }
    // True while an FTP operation started from the window runs.
    bool Busy() const { return busy_; }

    // --- Handlers -------------------------------------------------------------------------
    void FormShow();
    void sbConnectClick();
    void sbDisconnectClick();
    void VaneFTP1Connect(TComponent* Sender);
    void VaneFTP1ConnectionFailed(TComponent* Sender);
    void VaneFTP1Disconnect(TComponent* Sender);
    void VaneFTP1Failure(bool& Handled, TCmdType Trans_Type);
    void VaneFTP1HostResolved(TComponent* Sender);
    void VaneFTP1Status(TComponent* Sender, const std::string& Status);
    void VaneFTP1PacketSent(TComponent* Sender);
    void VaneFTP1ListItem(const std::string& Listing);
    // A server certificate failed verification: accepted silently when the user trusts it
    // for this host, otherwise the user decides (trust once, always, or cancel).
    void VaneFTP1CertificateCheck(const TCertificateInfo& Info, bool& Accept);
    void bUploadClick();
    void WebListDragOver(QObject* Source, bool& Accept);
    void WebListDragDrop(QObject* Source);
    void FileListClick();
    void UploadDirectory1Click();
    void DeleteFile1Click();
    void DeleteFile2Click();
    void NewDirectory1Click();
    void RemoveDirectory1Click();
    void DirListDblClick();
    void eUserIDExit();
    void bSaveClick();
    void bDefaultClick();
    void bHelpClick();
    void StopClick();

    void ShowBusy();
    void ShowIdle();
    void RefreshRemoteList();
    static std::string TrimLineEnd(const std::string& Text);
    // The name of a remote list row exactly as the server sent it (the shown text may have
    // lost bytes that are not UTF-8).
    static std::string RemoteName(const QTreeWidgetItem* Row);
    // The text shown for bytes: UTF-8 when they are, else one character per byte (Latin-1,
    // what older systems wrote), so that nothing shows as a replacement mark.
    static QString DisplayText(const std::string& Bytes);
    // The bytes of a settings edit: as read from "Config.txt" while the user has not changed
    // the shown text, else the text typed.
    std::string FieldBytes(const QLineEdit* Edit) const;
    TConnectionSettings PublishConnection() const;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CreateControls();
    void CreateSettingsPanel();
    // The controls below the described ones; returns the panel's new height.
    int CreateExtraSettingsControls(QWidget* panel, int top);
    // Shows bytes in a settings edit and keeps them for FieldBytes.
    void ShowFieldBytes(QLineEdit* edit, const std::string& bytes);
    void LoadExtraSettings();
    void SaveExtraSettings();
    // Copies host, port, user id, password, data mode and encryption into the FTP component.
    void ApplyConnectionSettings();
    void ShowSecured(bool secured);
    void CreateMenus();
    void StyleButtons();
    void BindEvents();
    // Runs a window handler: errors are shown, the idle view comes back after one.
    void Handle(const std::function<void()>& handler);
    // Runs a handler that talks to the server: ignored while another one runs.
    void RemoteCommand(const std::function<void()>& handler);
    // Runs the handler of one of the two exclusive speed buttons. The group has already put
    // the clicked one down; a click that does not start puts the pair back.
    void SpeedButtonClick(QToolButton* button, const std::function<void()>& handler);
    void UploadSelected();
    void SetStatus(const std::string& text);
    // The rule of the file list's click handler, applied at every change of state (a click,
    // connect, disconnect, the end of an operation): "Upload File" is enabled exactly when a
    // file is selected, the connection is open and no operation runs.
    void UpdateUploadButton();
    // Asks the server for its current folder and shows it beside "Your Website".
    void ShowRemoteFolder();
    void ClearRemoteFolder();
    // Holds off, while an operation runs, the controls that would change the files being
    // sent ("Save Settings" re-reads the file list) or the folder they go to.
    void HoldOffControls(bool busy);
    void PlaceInScreenCentre();
    // Places the controls: at the described client size exactly where the window describes
    // them; a larger window gives the extra room to the two lists and moves the controls
    // below and right of them along.
    void LayOutControls();
    // The remote folder's label between "Your Website" and the list's right edge: the lock
    // first while the connection is encrypted, then the path's end (elided on the left).
    void PlaceRemoteFolder();
    void ShowRemotePath(const std::string& folder);
    // Opens the publish dialog for the folders shown.
    void PublishSiteClick();
    void UndoLastPublishClick();

    std::string startFolder_;
    std::string remoteFolder_;
    QToolButton* pairDown_ = nullptr; // the speed button down after the last accepted click
    bool shown_ = false;
    bool busy_ = false;
    bool stopRequested_ = false;
    bool closeRequested_ = false;
    bool returningHome_ = false;
    bool uploadRefused_ = false;
    std::string uploadRefusal_;
    // Per settings edit: the text shown and the bytes it stands for.
    std::map<const QLineEdit*, std::pair<QString, std::string>> fieldBytes_;
    bool transferStarted_ = false; // the server has opened the file being sent
    bool saveEnabledBeforeBusy_ = false;
    bool certificateCancelled_ = false; // the user chose Cancel in the certificate question
};

extern TMainForm* MainForm;

} // namespace kestrel
