// The main window's handlers: start-up, the connection and its events, uploading,
// remote and local file management, settings and help.
#include "app/animate.h"
#include "app/application.h"
#include "app/helpviewer.h"
#include "app/kesftp.h"
#include "app/newdir.h"
#include "browser/filectrl.h"
#include "net/ftp/ftplist.h"

#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QToolButton>
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace kestrel {

namespace {

[[maybe_unused]] std::string Text(const QLineEdit* edit) {
    return edit->text().toStdString();
}

} // namespace

// --- Start-up -----------------------------------------------------------------------------

void TMainForm::FormShow() {
    IsConnected = false;
    ItemCount = 0;
    ShowIdle();
    std::string problem;
    if (!ReadConfigFile(startFolder_, Config, &problem))
        Application().MessageBox(problem);
    ShowFieldBytes(eUserID, GetConfigField(Config.UserID));
    ShowFieldBytes(ePassword, GetConfigField(Config.Password));
    ShowFieldBytes(eHost, GetConfigField(Config.Host));
    ShowFieldBytes(ePort, GetConfigField(Config.Port));
    ShowFieldBytes(eMask, GetConfigField(Config.Mask));
    LoadExtraSettings();
    if (eHost->text().isEmpty())
        eHost->setText(kDefaultHost);
    if (ePort->text().isEmpty())
        ePort->setText(kDefaultPort);
    RootLevel = DirList->ItemIndex();
    RootDirEntry = DirList->Item(RootLevel);
    FileList->SetMask(FieldBytes(eMask));
    FileList->Reread();
    ScrollBox1->verticalScrollBar()->setValue(0);
}

// --- Connection ------------------------------------------------------------------------------

void TMainForm::sbConnectClick() {
    ApplyConnectionSettings();
    if (!VaneFTP1->Connected) {
        // A server may be slow to answer or never greet: the busy view offers Stop.
        const QString before = txtStatus->text();
        const QString connecting =
            QString::fromStdString("Connecting to " + VaneFTP1->Host + "...");
        txtStatus->setText(connecting);
        ShowBusy();
        certificateCancelled_ = false;
        try {
            VaneFTP1->Connect();
        } catch (...) {
            // No event told what happened (a host that is not found, a Stop): the status
            // goes back to what it said before.
            if (txtStatus->text() == connecting)
                txtStatus->setText(before);
            if (!certificateCancelled_)
                throw;
            // The user's own Cancel of the certificate question: nothing more to say.
            certificateCancelled_ = false;
            IsConnected = false;
            ShowIdle();
            return;
        }
    }
    HomeDir = VaneFTP1->GetCurrentDir();
    ShowRemotePath(HomeDir);
    bClose->setEnabled(false);
    ShowIdle();
}

void TMainForm::sbDisconnectClick() {
    if (IsConnected && VaneFTP1->Connected) {
        // The reply to QUIT is awaited a few seconds at most; Stop ends the wait sooner.
        SetStatus("Disconnecting from " + VaneFTP1->Host + "...");
        ShowBusy();
        try {
            VaneFTP1->Disconnect();
        } catch (...) {
            IsConnected = false;
            bClose->setEnabled(true);
            throw;
        }
    }
    bClose->setEnabled(true);
    IsConnected = false;
    ShowSecured(false);
    WebList->clear();
    ItemCount = 0;
    ClearRemoteFolder();
    ShowIdle();
}

void TMainForm::VaneFTP1HostResolved(TComponent*) {
    SetStatus("KestrelLink On");
}

void TMainForm::VaneFTP1Connect(TComponent*) {
    SetStatus("Connected to Server");
    IsConnected = true;
    ShowSecured(VaneFTP1->Secured);
    RefreshRemoteList();
}

void TMainForm::VaneFTP1ConnectionFailed(TComponent*) {
    SetStatus("Connection Failed");
    IsConnected = false;
    ShowSecured(false);
    ShowIdle();
}

void TMainForm::VaneFTP1Disconnect(TComponent*) {
    ShowSecured(false);
    ShowIdle();
    SetStatus("Disconnected from Internet");
    // Whoever closed the connection, nothing remote can be done any more: no rows to
    // act on, no folder to upload into.
    WebList->clear();
    ItemCount = 0;
    ClearRemoteFolder();
    UpdateUploadButton();
}

void TMainForm::VaneFTP1Status(TComponent*, const std::string& Status) {
    SetStatus(Status);
}

void TMainForm::VaneFTP1PacketSent(TComponent*) {
    SetStatus(std::to_string(VaneFTP1->GetBytesSent()) + " bytes of " +
              std::to_string(VaneFTP1->BytesTotal) + " sent");
}

void TMainForm::VaneFTP1Failure(bool& Handled, TCmdType Trans_Type) {
    Handled = true;
    switch (Trans_Type) {
    case cmdChangeDir:
        if (returningHome_) {
            // The way back failed too: say so once and try nothing more.
            Application().MessageBox("Could not return to the home directory " + HomeDir);
            return;
        }
        Application().MessageBox("Directory does not exist! You must upload it");
        returningHome_ = true;
        try {
            VaneFTP1->ChangeDir(HomeDir);
        } catch (...) {
            returningHome_ = false;
            throw;
        }
        returningHome_ = false;
        break;
    case cmdMakeDir:
        Application().MessageBox("Could not create the directory!");
        break;
    case cmdDelete:
        Application().MessageBox("Could not delete this file!");
        break;
    case cmdRemoveDir:
        Application().MessageBox("Could not remove Directory!\nDelete all files, then try again.");
        break;
    case cmdUpload:
        // Reported by the upload loop, which names the file.
        uploadRefused_ = true;
        uploadRefusal_ = TrimLineEnd(VaneFTP1->LastReply);
        break;
    default:
        break;
    }
}

void TMainForm::VaneFTP1ListItem(const std::string& Listing) {
    if (Listing == "total 1")
        return;
    // Some servers name the folder itself and its parent: they are no entries to act on.
    if (Listing == "." || Listing == "..")
        return;
    // A name that is no name in this folder ("../index.htm", "a/b", a line end) would send a
    // delete or a change of folder somewhere else: such a line is not shown.
    if (!RemoteNameProblem(Listing).empty())
        return;
    std::size_t dot = Listing.find('.');
    int position = dot == std::string::npos ? 0 : int(dot) + 1;
    auto* row = new QTreeWidgetItem(WebList);
    bool file = position >= 2;
    row->setIcon(0, ImageList1[file ? 1 : 0]);
    row->setText(0, file ? "File" : "Folder");
    row->setText(1, DisplayText(Listing));
    row->setData(1, Qt::UserRole, QByteArray::fromStdString(Listing)); // the exact name
    ++ItemCount;
}

void TMainForm::RefreshRemoteList() {
    WebList->clear();
    ItemCount = 0;
    VaneFTP1->Nlist();
}

void TMainForm::ShowRemoteFolder() {
    ShowRemotePath(VaneFTP1->GetCurrentDir());
}

void TMainForm::ClearRemoteFolder() {
    ShowRemotePath("");
}

// --- Uploading ---------------------------------------------------------------------------------

void TMainForm::FileListClick() {
    UpdateUploadButton();
}

void TMainForm::UpdateUploadButton() {
    bUpload->setEnabled(!busy_ && FileList->ItemIndex() >= 0 && IsConnected && VaneFTP1->Connected);
}

// Sends every selected file of the file list, in list order, under its own name, always
// as binary data ("TYPE I"), whether started by the button or by a drop: in the server's
// default ASCII type an image would arrive altered. The names are taken once, before the
// first file goes. A file that cannot be read, that the server refuses or reports as not
// stored does not stop the others. After the run the user is told every file that did not
// arrive and why, and after a Stop which file the server holds only in part.
void TMainForm::UploadSelected() {
    std::vector<std::string> names;
    for (int i = 0; i < FileList->Count(); ++i)
        if (FileList->Selected(i))
            names.push_back(FileList->Item(i));
    ShowBusy();
    VaneFTP1->Mode(2);
    std::vector<std::string> failed;
    bool stopped = false;
    bool lost = false;
    for (const std::string& name : names) {
        if (stopped || lost) {
            failed.push_back(name + ": not sent");
            continue;
        }
        uploadRefused_ = false;
        transferStarted_ = false;
        try {
            VaneFTP1->Upload(name, name);
        } catch (const std::exception& error) {
            if (stopRequested_ && dynamic_cast<const EAbortError*>(&error)) {
                stopped = true;
                // The server may have opened (and emptied) its copy as soon as it took
                // the command, before any data.
                failed.push_back(name + (transferStarted_
                                             ? ": stopped while it was sent: the copy on the "
                                               "server is incomplete"
                                             : ": stopped before it was sent: the copy on "
                                               "the server may be incomplete"));
                continue;
            }
            // A local file that cannot be read, or a transfer the server broke off, leaves
            // the connection open: the next file goes. A lost connection ends the run.
            lost = !VaneFTP1->Connected;
            failed.push_back(name + ": " + TrimLineEnd(error.what()));
            continue;
        }
        if (uploadRefused_)
            failed.push_back(name + ": " + uploadRefusal_);
    }
    uploadRefused_ = false;
    if (!lost && VaneFTP1->Connected) {
        // Also after a Stop: the list then shows the incomplete copy the message names.
        WebList->clear();
        ItemCount = 0;
        stopRequested_ = false;
        try {
            VaneFTP1->Nlist();
        } catch (const EAbortError&) {
            if (!stopRequested_)
                throw;
        }
    }
    ShowIdle();
    if (!failed.empty()) {
        std::string text = stopped ? "Stopped. Not uploaded:" : "Not uploaded:";
        for (const std::string& line : failed)
            text += "\n" + line;
        Application().MessageBox(text);
    }
}

void TMainForm::bUploadClick() {
    UploadSelected();
}

void TMainForm::WebListDragOver(QObject* Source, bool& Accept) {
    Accept = QString::fromStdString(DragSourceClassName(Source))
                 .compare("TFileListBox", Qt::CaseInsensitive) == 0;
}

void TMainForm::WebListDragDrop(QObject*) {
    UploadSelected();
}

void TMainForm::UploadDirectory1Click() {
    ShowBusy();
    if (IsConnected) {
        VaneFTP1->MakeDirectory(DirList->Item(DirList->ItemIndex()));
        RefreshRemoteList();
    }
    ShowIdle();
}

// --- Remote and local file management ----------------------------------------------------------

std::string TMainForm::TrimLineEnd(const std::string& Text) {
    std::size_t end = Text.find_last_not_of(" \r\n");
    return end == std::string::npos ? std::string() : Text.substr(0, end + 1);
}

void TMainForm::DeleteFile1Click() {
    ShowBusy();
    QTreeWidgetItem* row = WebList->currentItem();
    if (row && row->isSelected() && IsConnected) {
        VaneFTP1->Delete(RemoteName(row));
        RefreshRemoteList();
    }
    ShowIdle();
}

void TMainForm::DeleteFile2Click() {
    int index = FileList->ItemIndex();
    if (index < 0)
        return;
    ::unlink(FileList->Item(index).c_str()); // a failure is silent
    FileList->Reread();
}

void TMainForm::NewDirectory1Click() {
    NewDirForm->ShowModal();
    std::string name = NewDirForm->GetDirName();
    ::mkdir(name.c_str(), 0755); // a failure is silent
    DirList->Rebuild();
}

void TMainForm::RemoveDirectory1Click() {
    std::string name = DirList->Item(DirList->ItemIndex());
    ShowBusy();
    if (IsConnected) {
        ::rmdir(name.c_str()); // only an empty folder goes; a failure is silent
        VaneFTP1->RemoveDir(name);
        VaneFTP1->ChangeDir(HomeDir);
        ShowRemoteFolder();
        RefreshRemoteList();
    }
    DirList->Rebuild();
    ShowIdle();
}

void TMainForm::DirListDblClick() {
    if (busy_) {
        // Another operation runs: open nothing, so both sides stay in step.
        for (int i = 0; i < DirList->Count(); ++i)
            if (DirList->Kind(i) == TDirEntryKind::Current)
                DirList->SetItemIndex(i);
        return;
    }
    RemoteCommand([this] {
        ShowBusy();
        std::string target = DirList->Item(DirList->ItemIndex());
        if (DirList->ItemIndex() < RootLevel)
            DirList->SetItemIndex(RootLevel);
        if (DirList->Item(DirList->ItemIndex()) == RootDirEntry)
            target = HomeDir;
        if (IsConnected) {
            VaneFTP1->ChangeDir(target);
            ShowRemoteFolder();
            RefreshRemoteList();
        }
        ShowIdle();
    });
}

// --- Settings and help
// ----------------------------------------------------------------------------

void TMainForm::eUserIDExit() {
    bool enable = !eUserID->text().isEmpty();
    if (busy_)
        saveEnabledBeforeBusy_ = enable; // held off until the operation ends
    else
        bSave->setEnabled(enable);
}

void TMainForm::bSaveClick() {
    SetConfigField(Config.UserID, FieldBytes(eUserID));
    SetConfigField(Config.Password, FieldBytes(ePassword));
    SetConfigField(Config.Host, FieldBytes(eHost));
    SetConfigField(Config.Port, FieldBytes(ePort));
    SetConfigField(Config.Mask, FieldBytes(eMask));
    std::string problem;
    if (!WriteConfigFile(startFolder_, Config, &problem))
        Application().MessageBox(problem);
    SaveExtraSettings();
    bSave->setEnabled(false);
    FileList->SetMask(FieldBytes(eMask));
    FileList->Reread();
}

void TMainForm::bDefaultClick() {
    eHost->setText(kDefaultHost);
    ePort->setText(kDefaultPort);
    eMask->setText(kDefaultMask);
    eUserID->setFocus();
    ScrollBox1->verticalScrollBar()->setValue(0);
}

void TMainForm::bHelpClick() {
    Application().HelpCommand(HELP_CONTENTS, 0);
}

} // namespace kestrel
