#include "app/publishdialog.h"

#include "app/application.h"
#include "app/config.h"
#include "app/extrasettings.h"
#include "app/helpviewer.h"
#include "app/httpcheck.h"
#include "base/files.h"
#include "publish/describe.h"
#include "publish/journal.h"

#include <QCheckBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>

namespace kestrel {
namespace {

constexpr int kMostListedActions = 5000; // a longer plan is listed in part
constexpr int kProgressSteps = 1000;
constexpr std::size_t kNamesInSummary = 5;     // the files not sent named in the summary line
constexpr qsizetype kNamesInConfirmation = 10; // the deletions named in their question

QString Text(const std::string& text) {
    return QString::fromStdString(text);
}

QString Bytes(std::int64_t count) {
    return Text(SizeText(count));
}

// What the plan does besides deleting: the folders it creates and the files it sends, then
// what cannot be published, the notes and every path left out with its reason.
QStringList Actions(const TPublishPlan& plan, const std::string& root) {
    QStringList lines;
    if (plan.CreateRoot)
        lines << "create folder " + Text(root);
    for (const std::string& path : plan.FoldersToCreate)
        lines << "create folder " + Text(path);
    for (const TPlannedUpload& upload : plan.Uploads)
        lines << "send " + Text(upload.Path) + (upload.New ? " (new, " : " (changed, ") +
                     Bytes(upload.Size) + ")";
    for (const std::string& line : PlanWarnings(plan))
        lines << Text(line);
    if (std::string history = HistoryText(plan); !history.empty())
        lines << Text(history);
    for (const std::string& line : LeftOutLines(plan))
        lines << Text(line);
    return lines;
}

// What the plan deletes on the server, listed apart: it cannot be undone from here.
QStringList Deletions(const TPublishPlan& plan) {
    QStringList lines;
    for (const std::string& path : plan.FilesToRemoveFirst)
        lines << "delete " + Text(path) + " (makes way)";
    for (const std::string& path : plan.FoldersToRemoveFirst)
        lines << "remove folder " + Text(path) + " (makes way)";
    for (const std::string& path : plan.FilesToDelete)
        lines << "delete " + Text(path);
    for (const std::string& path : plan.FoldersToDelete)
        lines << "remove folder " + Text(path);
    return lines;
}

QStringList Shortened(QStringList lines) {
    if (lines.size() > kMostListedActions) {
        qsizetype more = lines.size() - kMostListedActions;
        lines = lines.mid(0, kMostListedActions);
        lines << QString("... and %1 more").arg(more);
    }
    return lines;
}

// Comparisons and runs whose dialog was closed go on to their end here, off the window's
// thread; the program's end waits for them.
class TBackgroundWork {
public:
    static TBackgroundWork& Instance() {
        static TBackgroundWork work;
        return work;
    }
    ~TBackgroundWork() { WaitAll(); }

    void Run(std::function<void()> job) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            ++running_;
        }
        std::thread([this, job = std::move(job)]() mutable {
            job();
            job = nullptr; // what it holds (the publisher) goes before the count drops
            std::lock_guard<std::mutex> lock(mutex_);
            --running_;
            idle_.notify_all();
        }).detach();
    }

    void WaitAll() {
        std::unique_lock<std::mutex> lock(mutex_);
        idle_.wait(lock, [this] { return running_ == 0; });
    }

private:
    std::mutex mutex_;
    std::condition_variable idle_;
    int running_ = 0;
};

} // namespace

// The way from the publisher's threads to the dialog: cut when the dialog goes, so that a
// late report is dropped instead of reaching a dialog that no longer exists.
struct TPublishDialog::Link {
    std::mutex mutex;
    TPublishDialog* dialog = nullptr;

    void Post(std::function<void(TPublishDialog*)> call) {
        std::lock_guard<std::mutex> lock(mutex);
        if (dialog)
            QMetaObject::invokeMethod(
                dialog, [to = dialog, call = std::move(call)] { call(to); }, Qt::QueuedConnection);
    }
    void Cut() {
        std::lock_guard<std::mutex> lock(mutex);
        dialog = nullptr;
    }
};

TPublishDialog::TPublishDialog(QWidget* parent, TConnectionSettings connection,
                               TPublishOptions options, const std::string& verifyUrl)
    : QDialog(parent), connection_(std::move(connection)), options_(std::move(options)),
      link_(std::make_shared<Link>()) {
    link_->dialog = this;
    setWindowTitle("Publish Site");
    setWindowFlag(Qt::WindowMaximizeButtonHint);
    resize(560, 460);
    eLocalRoot = new QLineEdit(Text(options_.LocalRoot), this);
    eLocalRoot->setToolTip("The site folder on this PC: everything in it is published");
    bBrowse = new QPushButton("Browse...", this);
    eRemoteRoot = new QLineEdit(Text(options_.RemoteRoot), this);
    eRemoteRoot->setPlaceholderText("the log-in folder");
    eRemoteRoot->setToolTip("The folder of your web space the site goes to: absolute, or "
                            "relative to the log-in folder");
    bCompare = new QPushButton("Compare", this);
    bCompare->setToolTip("Work the plan out again for the folders shown");
    eVerifyUrl = new QLineEdit(Text(verifyUrl), this);
    eVerifyUrl->setPlaceholderText(
        "optional: the site's address, such as https://www.example.com/");
    eVerifyUrl->setToolTip("After the run each changed page (.htm, .html, .xhtml) is fetched from "
                           "this address and compared with the file on this PC: a wrong remote "
                           "folder, a cache or a server that rewrites pages shows as a failure");
    txtPlan = new QLabel("Comparing the site folder with the web space...", this);
    txtPlan->setWordWrap(true);
    lbPlan = new QListWidget(this);
    cbDelete = new QCheckBox("Delete remote files and folders that are gone locally", this);
    cbDelete->setChecked(options_.Plan.Delete);
    txtDelete = new QLabel(this);
    txtDelete->setWordWrap(true);
    lbDelete = new QListWidget(this);
    lbDelete->hide();
    pbProgress = new QProgressBar(this);
    pbProgress->setRange(0, kProgressSteps);
    pbProgress->setValue(0);
    txtProgress = new QLabel(this);
    txtProgress->setMinimumHeight(2 * txtProgress->fontMetrics().lineSpacing()); // two lines
    txtSummary = new QLabel(this);
    txtSummary->setWordWrap(true);
    bSaveRecord = new QPushButton("Save Record...", this);
    bSaveRecord->setToolTip("Save the list of what was sent, deleted, not sent and failed");
    bPublish = new QPushButton("Publish", this);
    bStop = new QPushButton("Stop", this);
    bClose = new QPushButton("Close", this);
    // Enter clicks only a button made the default on purpose, never the one in focus.
    for (QPushButton* button : {bBrowse, bCompare, bSaveRecord, bPublish, bStop, bClose})
        button->setAutoDefault(false);

    auto* roots = new QGridLayout;
    roots->addWidget(new QLabel("This PC:", this), 0, 0);
    roots->addWidget(eLocalRoot, 0, 1);
    roots->addWidget(bBrowse, 0, 2);
    roots->addWidget(new QLabel("Website:", this), 1, 0);
    roots->addWidget(eRemoteRoot, 1, 1);
    roots->addWidget(bCompare, 1, 2);
    roots->addWidget(new QLabel("Check at:", this), 2, 0);
    roots->addWidget(eVerifyUrl, 2, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(bSaveRecord);
    buttons->addStretch();
    buttons->addWidget(bPublish);
    buttons->addWidget(bStop);
    buttons->addWidget(bClose);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(roots);
    layout->addWidget(txtPlan);
    layout->addWidget(lbPlan, 3);
    layout->addWidget(cbDelete);
    layout->addWidget(txtDelete);
    layout->addWidget(lbDelete, 1);
    layout->addWidget(pbProgress);
    layout->addWidget(txtProgress);
    layout->addWidget(txtSummary);
    layout->addLayout(buttons);

    connect(bPublish, &QPushButton::clicked, this, [this] { bPublishClick(); });
    connect(bStop, &QPushButton::clicked, this, [this] { bStopClick(); });
    connect(bClose, &QPushButton::clicked, this, [this] { reject(); });
    connect(bCompare, &QPushButton::clicked, this, [this] { bCompareClick(); });
    connect(bBrowse, &QPushButton::clicked, this, [this] { bBrowseClick(); });
    connect(bSaveRecord, &QPushButton::clicked, this, [this] { bSaveRecordClick(); });
    connect(eLocalRoot, &QLineEdit::textEdited, this, [this] { RootsEdited(); });
    connect(eRemoteRoot, &QLineEdit::textEdited, this, [this] { RootsEdited(); });
    connect(cbDelete, &QCheckBox::toggled, this, [this](bool on) {
        options_.Plan.Delete = on;
        if (stage_ != TStage::Planned)
            return;
        // Deletions are asked about once more before the run: the guard's question is the
        // user's to answer here.
        options_.Plan.ForceDelete = on;
        publisher_->Replan(options_.Plan);
        ShowPlan();
    });
}

TPublishDialog::~TPublishDialog() {
    link_->Cut();
    if (publisher_)
        publisher_->Stop(); // its thread ends on its own; nothing here waits for it
}

void TPublishDialog::WaitForBackgroundWork() {
    TBackgroundWork::Instance().WaitAll();
}

void TPublishDialog::EnableRoots(bool enabled) {
    for (QWidget* control : {static_cast<QWidget*>(eLocalRoot), static_cast<QWidget*>(bBrowse),
                             static_cast<QWidget*>(eRemoteRoot), static_cast<QWidget*>(bCompare)})
        control->setEnabled(enabled);
}

void TPublishDialog::Start() {
    stage_ = TStage::Preparing;
    options_.LocalRoot = eLocalRoot->text().toStdString();
    options_.RemoteRoot = eRemoteRoot->text().toStdString();
    publisher_ = std::make_shared<TPublisher>(connection_, options_);
    EnableRoots(false);
    cbDelete->setEnabled(false);
    bPublish->setEnabled(false);
    bPublish->setDefault(false);
    bStop->setEnabled(true);
    bSaveRecord->setEnabled(false);
    lbPlan->clear();
    lbDelete->clear();
    lbDelete->hide();
    txtDelete->clear();
    txtSummary->clear();
    txtProgress->clear();
    pbProgress->setValue(0);
    txtPlan->setText("Comparing the site folder with the web space...");
    TBackgroundWork::Instance().Run([publisher = publisher_, link = link_] {
        try {
            publisher->Prepare();
            link->Post([](TPublishDialog* dialog) { dialog->ShowPlan(); });
        } catch (const std::exception& error) {
            std::string reason = ReasonText(error);
            link->Post([reason](TPublishDialog* dialog) { dialog->ShowFailure(reason); });
        }
    });
}

void TPublishDialog::ShowPlan() {
    stage_ = TStage::Planned;
    const TPublishPlan& plan = publisher_->Plan();
    const std::string leftOut = LeftOutSummary(plan);
    const std::string resumed = ResumePlanText(plan);
    txtPlan->setText(Text(PlanSummary(plan, publisher_->RemoteRoot()) +
                          (resumed.empty() ? "" : "\n" + resumed) +
                          (leftOut.empty() ? "" : "\n" + leftOut)));
    lbPlan->clear();
    lbPlan->addItems(Shortened(Actions(plan, publisher_->RemoteRoot())));
    const QStringList deletions = Deletions(plan);
    lbDelete->clear();
    lbDelete->addItems(Shortened(deletions));
    lbDelete->setVisible(!deletions.isEmpty());
    txtDelete->setText(deletions.isEmpty()
                           ? QString()
                           : QString("To delete on the server (%1), asked again before anything "
                                     "is deleted:")
                                 .arg(deletions.size()));
    EnableRoots(true);
    cbDelete->setEnabled(true);
    bStop->setEnabled(false);
    bPublish->setEnabled(true);
    // Enter publishes only a plan that deletes nothing.
    bPublish->setDefault(deletions.isEmpty());
    bSaveRecord->setEnabled(true);
}

void TPublishDialog::ShowFailure(const std::string& reason) {
    stage_ = TStage::Done;
    EnableRoots(true);
    bStop->setEnabled(false);
    txtPlan->setText("The site could not be compared with the web space.");
    txtSummary->setText("Failed: " + Text(reason));
}

void TPublishDialog::RootsEdited() {
    if (stage_ != TStage::Planned && stage_ != TStage::Done)
        return;
    // A plan made for other folders must not be carried out for these.
    stage_ = TStage::Done;
    bPublish->setEnabled(false);
    bPublish->setDefault(false);
    cbDelete->setEnabled(false);
    bCompare->setDefault(true);
    txtPlan->setText("Compare to see the plan for the folders shown.");
}

void TPublishDialog::bCompareClick() {
    if (stage_ == TStage::Preparing || stage_ == TStage::Running)
        return;
    bCompare->setDefault(false);
    Start();
}

void TPublishDialog::bBrowseClick() {
    const QString folder =
        QFileDialog::getExistingDirectory(this, "Site folder on this PC", eLocalRoot->text());
    if (folder.isEmpty())
        return;
    eLocalRoot->setText(folder);
    RootsEdited();
}

bool TPublishDialog::ConfirmDeletions() const {
    const QStringList deletions = Deletions(publisher_->Plan());
    if (deletions.isEmpty())
        return true;
    std::string text = "Publishing deletes these from " + publisher_->RemoteRoot() +
                       " on the server (" + std::to_string(deletions.size()) +
                       "), because they are gone from " + options_.LocalRoot + ":";
    for (qsizetype i = 0; i < deletions.size() && i < kNamesInConfirmation; ++i)
        text += "\n  " + deletions[i].toStdString();
    if (deletions.size() > kNamesInConfirmation)
        text += "\n  ... and " + std::to_string(deletions.size() - kNamesInConfirmation) +
                " more (listed in the dialog)";
    text += "\n\nDeleted files cannot be brought back from here.";
    return Application().Ask(text, {"Delete and Publish", "Cancel"}, 1) == 0;
}

void TPublishDialog::bPublishClick() {
    if (stage_ != TStage::Planned)
        return;
    const std::string verifyUrl = eVerifyUrl->text().trimmed().toStdString();
    if (std::string problem = verifyUrl.empty() ? "" : CheckUrlProblem(verifyUrl);
        !problem.empty()) {
        Application().MessageBox("The pages cannot be checked over HTTP: " + problem);
        return;
    }
    if (!ConfirmDeletions())
        return;
    stage_ = TStage::Running;
    EnableRoots(false);
    bPublish->setEnabled(false);
    bPublish->setDefault(false);
    cbDelete->setEnabled(false);
    bSaveRecord->setEnabled(false);
    bStop->setEnabled(true);
    txtProgress->setText("Publishing...");
    if (OnVerifyUrlChosen)
        OnVerifyUrlChosen(verifyUrl);
    if (OnRootsChosen)
        OnRootsChosen(options_.LocalRoot, options_.RemoteRoot);
    publisher_->OnProgress = [link = std::weak_ptr<Link>(link_)](const TPublishProgress& p) {
        if (auto alive = link.lock())
            alive->Post([p](TPublishDialog* dialog) { dialog->ShowProgress(p); });
    };
    TBackgroundWork::Instance().Run(
        [publisher = publisher_, link = link_, verifyUrl, localRoot = options_.LocalRoot] {
            TPublishSummary summary = publisher->Run();
            // The pages the run changed, as visitors get them; not after a Stop, which asked
            // for the end.
            if (!verifyUrl.empty() && !summary.Stopped) {
                link->Post([](TPublishDialog* dialog) {
                    dialog->txtProgress->setText("Checking the changed pages over HTTP...");
                });
                const THttpCheck check = CheckOverHttp(verifyUrl, localRoot, summary.Sent);
                summary.Notes.push_back(HttpCheckText(check));
                summary.Failures.insert(summary.Failures.end(), check.Failures.begin(),
                                        check.Failures.end());
            }
            link->Post([summary](TPublishDialog* dialog) { dialog->ShowSummary(summary); });
        });
}

void TPublishDialog::bStopClick() {
    if (stage_ == TStage::Preparing) {
        publisher_->Stop();
        bStop->setEnabled(false);
        txtPlan->setText("Stopping the comparison...");
        return;
    }
    if (stage_ != TStage::Running)
        return;
    publisher_->Stop();
    bStop->setEnabled(false);
    txtProgress->setText("Stopping...");
}

void TPublishDialog::reject() {
    if (stage_ == TStage::Running) {
        // Files in flight are abandoned and cleaned up first; the dialog then closes
        // itself (ShowSummary).
        closeAfterRun_ = true;
        bStopClick();
        txtProgress->setText("Stopping... the dialog closes when the run has ended.");
        return;
    }
    QDialog::reject(); // a comparison still going is stopped by the destructor
}

void TPublishDialog::ShowProgress(const TPublishProgress& p) {
    if (stage_ != TStage::Running)
        return;
    pbProgress->setValue(int(ProgressFraction(p) * kProgressSteps));
    QString text = Text(ProgressText(p));
    if (!p.Current.empty())
        text += "\n" + Text(p.Current.front());
    txtProgress->setText(text);
}

void TPublishDialog::ShowSummary(const TPublishSummary& summary) {
    stage_ = TStage::Done;
    bStop->setEnabled(false);
    const TPublishPlan& plan = publisher_->Plan();
    std::set<std::string> failed;
    for (const TPublishFailure& failure : summary.Failures)
        failed.insert(failure.Path);
    const std::set<std::string> notSent(summary.NotSent.begin(), summary.NotSent.end());

    // The record: each planned step with what became of it.
    QStringList record;
    auto step = [&](const std::vector<std::string>& paths, const QString& done,
                    const QString& planned) {
        for (const std::string& path : paths)
            if (!failed.count(path))
                record << (summary.Stopped ? "not confirmed (stopped): " + planned + " "
                                           : done + ": ") +
                              Text(path);
    };
    // Which folders and deletions a stopped run reached is not known one by one: they are
    // named as not confirmed rather than as done.
    step(plan.FoldersToCreate, "created folder", "create folder");
    std::int64_t bytesSent = 0;
    int filesSent = 0;
    for (const TPlannedUpload& upload : plan.Uploads) {
        if (notSent.count(upload.Path))
            record << "not sent: " + Text(upload.Path);
        else if (!failed.count(upload.Path)) {
            record << "sent: " + Text(upload.Path) + " (" + Bytes(upload.Size) + ")";
            bytesSent += upload.Size;
            ++filesSent;
        }
    }
    step(plan.FilesToRemoveFirst, "deleted", "delete");
    step(plan.FoldersToRemoveFirst, "removed folder", "remove folder");
    step(plan.FilesToDelete, "deleted", "delete");
    step(plan.FoldersToDelete, "removed folder", "remove folder");
    for (const TPublishFailure& failure : summary.Failures)
        record << "failed: " + Text(FailureText(failure));
    if (!plan.Unchanged.empty())
        record << QString("unchanged: %1 files").arg(plan.Unchanged.size());
    // What was left out and why, and what the run noticed.
    for (const auto* notes : {&plan.Notes, &summary.Notes})
        for (const std::string& note : *notes)
            if (!record.contains("note: " + Text(note)))
                record << "note: " + Text(note);

    // The bar shows what was done: the bytes of the files that arrived.
    double part = plan.BytesToSend > 0   ? double(bytesSent) / double(plan.BytesToSend)
                  : plan.Uploads.empty() ? (summary.Succeeded() ? 1.0 : 0.0)
                                         : double(filesSent) / double(plan.Uploads.size());
    pbProgress->setValue(int(std::clamp(part, 0.0, 1.0) * kProgressSteps));

    QString text = QString("%1. %2.")
                       .arg(summary.Succeeded() ? "Published"
                            : summary.Stopped   ? "Stopped"
                                                : "The publish failed")
                       .arg(Text(SummaryCounts(summary)));
    if (std::string resumed = ResumedText(summary); !resumed.empty())
        text += "\n" + Text(resumed);
    if (!summary.NotSent.empty()) {
        QStringList names;
        for (std::size_t i = 0; i < summary.NotSent.size() && i < kNamesInSummary; ++i)
            names << Text(summary.NotSent[i]);
        text += QString("\nNot sent (%1): %2").arg(summary.NotSent.size()).arg(names.join(", "));
        if (summary.NotSent.size() > kNamesInSummary)
            text +=
                QString(" and %1 more, listed above").arg(summary.NotSent.size() - kNamesInSummary);
    }
    txtSummary->setText(text);
    txtProgress->clear();
    lbPlan->clear();
    lbPlan->addItems(Shortened(record));
    lbDelete->clear();
    lbDelete->hide();
    txtDelete->clear();
    EnableRoots(true);
    bSaveRecord->setEnabled(true);
    if (closeAfterRun_)
        QDialog::reject();
}

QStringList TPublishDialog::Record() const {
    QStringList lines;
    lines << "Publish of " + Text(options_.LocalRoot) + " to " +
                 Text(publisher_ ? publisher_->RemoteRoot() : options_.RemoteRoot) + " on " +
                 Text(connection_.Host);
    for (QLabel* label : {txtPlan, txtSummary})
        if (!label->text().isEmpty())
            lines << label->text();
    for (int i = 0; i < lbPlan->count(); ++i)
        lines << lbPlan->item(i)->text();
    for (int i = 0; i < lbDelete->count(); ++i)
        lines << lbDelete->item(i)->text();
    return lines;
}

bool TPublishDialog::SaveRecord(const QString& path, QString* problem) const {
    const QByteArray text = (Record().join("\n") + "\n").toUtf8();
    std::string reason;
    bool saved = false;
    try {
        saved = ReplaceFileSafely(path.toStdString(),
                                  std::string_view(text.constData(), std::size_t(text.size())),
                                  &reason);
    } catch (const std::exception& error) {
        reason = error.what();
    }
    if (!saved && problem)
        *problem = Text(reason);
    return saved;
}

void TPublishDialog::bSaveRecordClick() {
    // Offered beside the site folder, not in it: the record is no page of the site.
    const QString beside = QFileInfo(eLocalRoot->text()).absolutePath() + "/publish-record.txt";
    const QString path =
        QFileDialog::getSaveFileName(this, "Save the record", beside, "Text files (*.txt)");
    if (path.isEmpty())
        return;
    QString problem;
    if (!SaveRecord(path, &problem))
        Application().MessageBox("The record was not saved: " + problem.toStdString());
}

TPublishDialog* OpenPublishDialog(QWidget* window, const TConnectionSettings& connection,
                                  const std::string& localRoot, const std::string& remoteRoot,
                                  int connections, const std::string& verifyUrl) {
    TPublishOptions options;
    options.JournalFolder = DefaultJournalFolder(); // a cut run is finished by the next one
    options.LocalRoot = localRoot;
    options.RemoteRoot = remoteRoot;
    options.Connections = connections;
    options.GrowTo = kMaxConnections; // more while the server takes them and they repay
    options.Plan.Walk.SettingsFiles = SettingsFileNames();
    auto* dialog = new TPublishDialog(window, connection, options, verifyUrl);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setModal(true);
    if (window)
        dialog->resize(dialog->size().expandedTo(window->size()));
    dialog->show();
    dialog->Start();
    return dialog;
}

} // namespace kestrel
