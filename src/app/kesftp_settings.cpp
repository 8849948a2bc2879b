// The main window's newer settings and their safety: the controls below the described
// fields (passive mode, encryption), "KestrelFTP.ini", the settings copied into the FTP
// component before it connects, settings bytes kept exactly as read, the certificate
// question and the sign of an encrypted connection.
#include "app/application.h"
#include "app/helpviewer.h"
#include "app/kesftp.h"
#include "app/publishdialog.h"
#include "browser/filectrl.h"
#include "publish/describe.h"
#include "publish/publisher.h"
#include "publish/undo.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>

namespace kestrel {

namespace {

// The choices of the encryption box, in the order of TEncryption.
const char* const kEncryptionChoices[] = {"None", "Use TLS if offered", "Require TLS",
                                          "Implicit TLS"};

enum CertificateChoice { TrustOnce, AlwaysTrust, CancelConnect };

QFont PanelFont() {
    QFont font("DejaVu Sans");
    font.setStretch(QFont::SemiCondensed);
    font.setPixelSize(11);
    font.setBold(true);
    return font;
}

void SetTextColor(QWidget* widget, const QColor& color) {
    QPalette palette = widget->palette();
    palette.setColor(QPalette::WindowText, color);
    palette.setColor(QPalette::ButtonText, color);
    widget->setPalette(palette);
}

// A small padlock, drawn so that it needs no image file and no emoji font.
QPixmap LockGlyph() {
    QPixmap glyph(12, 14);
    glyph.fill(Qt::transparent);
    QPainter painter(&glyph);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(255, 215, 0), 2));
    painter.drawArc(QRectF(3, 1, 6, 9), 0, 180 * 16);
    painter.drawLine(QPointF(3, 5.5), QPointF(3, 7));
    painter.drawLine(QPointF(9, 5.5), QPointF(9, 7));
    painter.fillRect(QRectF(1, 7, 10, 7), QColor(255, 215, 0));
    return glyph;
}

std::string CertificateText(const TCertificateInfo& info, int port, TCertificateTrust trust) {
    const std::string where = info.Host + " port " + std::to_string(port);
    std::string text;
    if (trust == TCertificateTrust::Changed)
        text = "The certificate of " + where +
               " has CHANGED since you chose to trust it. Make sure the provider really "
               "changed it before you trust the new one.\n\n";
    text += "The server's certificate could not be verified: " + info.Reason + "\n\n";
    text += "Host: " + where + "\n";
    text += "Subject: " + info.Subject + "\n";
    text += "Issuer: " + info.Issuer + "\n";
    text += "Valid from " + info.NotBefore + " to " + info.NotAfter + "\n";
    text += "SHA-256 fingerprint: " + info.Fingerprint + "\n\n";
    text += "Trust Once connects this time only; Always Trust remembers this certificate for " +
            where + "; Cancel does not connect.";
    return text;
}

} // namespace

// --- Construction ----------------------------------------------------------------------------

int TMainForm::CreateExtraSettingsControls(QWidget* panel, int top) {
    const QFont bold = PanelFont();
    cbPassive = new QCheckBox("Passive mode", panel);
    cbPassive->setGeometry(8, top + 4, 215, 19);
    cbPassive->setFont(bold);
    SetTextColor(cbPassive, Qt::yellow);
    cbPassive->setToolTip("Use it behind a router or firewall: this PC then opens every data "
                          "connection itself instead of waiting for the server");

    Label10 = new QLabel("Encryption", panel);
    Label10->setFont(bold);
    SetTextColor(Label10, Qt::yellow);
    Label10->move(8, top + 28);
    Label10->adjustSize();
    cbEncryption = new QComboBox(panel);
    for (const char* choice : kEncryptionChoices)
        cbEncryption->addItem(choice);
    cbEncryption->setGeometry(6, top + 44, 217, 22);
    // The box and its drop-down list keep the platform's dark text on a light ground, not
    // the panel's yellow.
    for (QWidget* part :
         {static_cast<QWidget*>(cbEncryption), static_cast<QWidget*>(cbEncryption->view())}) {
        QPalette palette = part->palette();
        const QPalette standard = QApplication::palette();
        for (QPalette::ColorRole role : {QPalette::Text, QPalette::WindowText, QPalette::ButtonText,
                                         QPalette::Base, QPalette::Window, QPalette::Button})
            for (QPalette::ColorGroup group :
                 {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
                palette.setColor(group, role, standard.color(group, role));
        part->setPalette(palette);
    }
    cbEncryption->setToolTip("Encrypt the log-in and every file with TLS: only if the server "
                             "offers it, or always (a server without TLS is then refused); "
                             "implicit TLS for servers that speak TLS from the start (port 990)");
    Label10->setBuddy(cbEncryption);

    setTabOrder(bSave, cbPassive);
    setTabOrder(cbPassive, cbEncryption);
    // A changed choice can be saved, by the same rule as a changed edit.
    connect(cbPassive, &QCheckBox::toggled, this, [this] { Handle([this] { eUserIDExit(); }); });
    connect(cbEncryption, &QComboBox::currentIndexChanged, this,
            [this] { Handle([this] { eUserIDExit(); }); });
    // Implicit TLS has a port of its own (990): the port field follows the choice while it
    // shows the other default, and keeps any other port the user typed.
    connect(cbEncryption, &QComboBox::currentIndexChanged, this, [this](int index) {
        const int port = TVaneFTP::DefaultPort(TEncryption(index));
        if (ePort->text() ==
            QString::number(port == 21 ? TVaneFTP::DefaultPort(TEncryption::Implicit) : 21))
            ePort->setText(QString::number(port));
    });

    // The sign of an encrypted connection, right of the "Your Website" heading, placed with
    // the remote folder by PlaceRemoteFolder.
    imgLock = new QLabel(pMain);
    imgLock->setPixmap(LockGlyph());
    imgLock->setToolTip("Encrypted: the connection to your website is encrypted");
    txtSecure = new QLabel("Encrypted", pMain);
    QFont small = bold;
    small.setPixelSize(10);
    txtSecure->setFont(small);
    SetTextColor(txtSecure, QColor(255, 215, 0));
    ShowSecured(false);
    return top + 72;
}

// --- Bytes of the settings edits -----------------------------------------------------------

void TMainForm::ShowFieldBytes(QLineEdit* edit, const std::string& bytes) {
    const QString shown = DisplayText(bytes);
    edit->setText(shown);
    fieldBytes_[edit] = {shown, bytes};
}

std::string TMainForm::FieldBytes(const QLineEdit* edit) const {
    auto kept = fieldBytes_.find(edit);
    if (kept != fieldBytes_.end() && kept->second.first == edit->text())
        return kept->second.second;
    return edit->text().toStdString();
}

QString TMainForm::DisplayText(const std::string& bytes) {
    const QByteArray raw = QByteArray::fromStdString(bytes);
    const QString text = QString::fromUtf8(raw);
    return text.toUtf8() == raw ? text : QString::fromLatin1(raw);
}

std::string TMainForm::RemoteName(const QTreeWidgetItem* row) {
    const QVariant raw = row->data(1, Qt::UserRole);
    std::string name = raw.isValid() ? raw.toByteArray().toStdString() : row->text(1).toStdString();
    // Only a line end is cut: blanks belong to the name.
    while (!name.empty() && (name.back() == '\r' || name.back() == '\n'))
        name.pop_back();
    return name;
}

// --- KestrelFTP.ini ----------------------------------------------------------------------------

void TMainForm::LoadExtraSettings() {
    std::string problem;
    if (!Extra.Load(startFolder_, &problem))
        Application().MessageBox(problem);
    const QSignalBlocker quietPassive(cbPassive);
    const QSignalBlocker quietEncryption(cbEncryption);
    cbPassive->setChecked(Extra.DataMode == TDataMode::Passive);
    cbEncryption->setCurrentIndex(int(Extra.Encryption));
}

void TMainForm::SaveExtraSettings() {
    Extra.DataMode = cbPassive->isChecked() ? TDataMode::Passive : TDataMode::Active;
    Extra.Encryption = TEncryption(cbEncryption->currentIndex());
    std::string problem;
    if (!Extra.Save(startFolder_, &problem))
        Application().MessageBox(problem);
}

// --- Connecting --------------------------------------------------------------------------------

// The window's connection gets the same fields as the publisher's (a port outside 1-65535
// fails the connect), and keeps its own time limits and certificate check.
void TMainForm::ApplyConnectionSettings() {
    kestrel::ApplyConnectionSettings(*VaneFTP1, PublishConnection());
}

// The connection for publishing, made as the window's own: its fields byte for byte, its
// data mode and encryption. The publisher's connections run on their own threads, where no
// question can be asked: a certificate is accepted when the settings trust it ("Always
// Trust" when the window connected), else refused.
TConnectionSettings TMainForm::PublishConnection() const {
    TConnectionSettings settings;
    settings.Host = FieldBytes(eHost);
    settings.Port = StrToInt(FieldBytes(ePort));
    settings.UserID = FieldBytes(eUserID);
    settings.Password = FieldBytes(ePassword);
    settings.DataMode = cbPassive->isChecked() ? TDataMode::Passive : TDataMode::Active;
    settings.Encryption = TEncryption(cbEncryption->currentIndex());
    settings.OnCertificateCheck =
        [trust = Extra, port = settings.Port](const TCertificateInfo& info, bool& accept) {
            accept = trust.TrustOf(info.Host, port, info.Fingerprint) == TCertificateTrust::Trusted;
        };
    return settings;
}

// "Undo Last Publish": the web space's folder that "Publish Site..." would publish to is put
// back as it was before its last publish, once the user has confirmed which publish that
// was; the outcome in a box.
void TMainForm::UndoLastPublishClick() {
    const TConnectionSettings settings = PublishConnection();
    const std::string site = TExtraSettings::SiteKey(settings.UserID, settings.Host, settings.Port);
    const std::string remote =
        Extra.PublishedTo(site, DirList->FolderPath()).value_or(remoteFolder_);
    TUndo undo(settings, remote);
    const std::vector<TUndoRun> runs = undo.List();
    if (runs.empty()) {
        Application().MessageBox("There is no publish of " + undo.RemoteRoot() +
                                 " to undo: the server keeps none in its history.");
        return;
    }
    const TUndoRun& last = runs.back();
    if (Application().Ask(UndoQuestion(last, undo.RemoteRoot()), {"Undo", "Cancel"}, 1) != 0)
        return;
    Application().MessageBox(UndoSummaryText(undo.Undo(last.Id), undo.RemoteRoot()));
}

// The site folder and the web space's folder default to the two shown; a local folder
// published before goes where it went then (per site, in "KestrelFTP.ini").
void TMainForm::PublishSiteClick() {
    const TConnectionSettings settings = PublishConnection();
    const std::string site = TExtraSettings::SiteKey(settings.UserID, settings.Host, settings.Port);
    const std::string local = DirList->FolderPath();
    const std::string remote = Extra.PublishedTo(site, local).value_or(remoteFolder_);
    TPublishDialog* dialog = OpenPublishDialog(this, settings, local, remote,
                                               Extra.PublishConnections, Extra.VerifyUrl(site));
    // Saved with the folders, by OnRootsChosen.
    dialog->OnVerifyUrlChosen = [this, site](const std::string& url) {
        Extra.RememberVerifyUrl(site, url);
    };
    dialog->OnRootsChosen = [this, site](const std::string& localRoot,
                                         const std::string& remoteRoot) {
        Extra.RememberPublish(site, localRoot, remoteRoot);
        std::string problem;
        try {
            if (!Extra.Save(startFolder_, &problem))
                Application().MessageBox(problem);
        } catch (const std::exception& error) {
            Application().MessageBox(error.what());
        }
    };
}

void TMainForm::ShowSecured(bool secured) {
    imgLock->setVisible(secured);
    txtSecure->setVisible(secured);
    PlaceRemoteFolder(); // the word only where it leaves the path room
}

void TMainForm::VaneFTP1CertificateCheck(const TCertificateInfo& Info, bool& Accept) {
    const int port = VaneFTP1->Port;
    const TCertificateTrust trust = Extra.TrustOf(Info.Host, port, Info.Fingerprint);
    if (trust == TCertificateTrust::Trusted) {
        Accept = true;
        return;
    }
    const int choice = Application().Ask(CertificateText(Info, port, trust),
                                         {"Trust Once", "Always Trust", "Cancel"}, CancelConnect);
    Accept = choice == TrustOnce || choice == AlwaysTrust;
    // The refusal that follows is the user's own answer: no second box repeats it.
    certificateCancelled_ = !Accept;
    if (choice != AlwaysTrust)
        return;
    Extra.Trust(Info.Host, port, Info.Fingerprint);
    // Runs inside the component's handshake: a failed save is told, never thrown into it.
    try {
        std::string problem;
        if (!Extra.Save(startFolder_, &problem))
            Application().MessageBox(problem);
    } catch (const std::exception& error) {
        Application().MessageBox(error.what());
    }
}

} // namespace kestrel
