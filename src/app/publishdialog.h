// "Publish Site...": the two folders first (this PC's site folder and the web space's
// folder it goes to), the plan for them (counts, the list of what will be sent, and the
// deletions as a list of their own that needs its own confirmation), then the run with a
// progress bar and Stop, then the summary with the record of what was done, which the user
// may save.
//
// The publisher works on a thread of its own (and its connections on theirs); what it
// reports reaches this dialog as queued calls on the window's thread, so the window stays
// responsive. The window's thread never waits for that thread: closing the dialog while it
// compares stops the comparison and closes at once (the thread ends on its own, and what
// it reports then is dropped); closing it during a run stops the run, and the dialog closes
// itself once the run has ended.
#pragma once

#include "publish/publisher.h"

#include <QDialog>
#include <QStringList>
#include <functional>
#include <memory>

class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QProgressBar;
class QPushButton;

namespace kestrel {

class TPublishDialog : public QDialog {
public:
    enum class TStage { Preparing, Planned, Running, Done };

    // options.LocalRoot and options.RemoteRoot are the folders the dialog starts with;
    // verifyUrl the address where visitors see the site, if one was given before: after a
    // run each changed page is fetched from there and compared (see httpcheck.h).
    TPublishDialog(QWidget* parent, TConnectionSettings connection, TPublishOptions options,
                   const std::string& verifyUrl = "");
    ~TPublishDialog() override;

    // Starts working out the plan for the folders shown; the dialog shows it when ready.
    void Start();
    TStage Stage() const { return stage_; }

    // Called when a run starts: with the address the pages are checked at over HTTP ("" for
    // none), then with the two folders it publishes between.
    std::function<void(const std::string& verifyUrl)> OnVerifyUrlChosen;
    std::function<void(const std::string& localRoot, const std::string& remoteRoot)> OnRootsChosen;

    // What the dialog lists, as text lines: after a run, what was sent, deleted, not sent
    // and failed; before one, the plan.
    QStringList Record() const;
    // Writes the record to a file (replaced safely); false with the reason on failure.
    bool SaveRecord(const QString& path, QString* problem = nullptr) const;

    // Waits until every comparison and run that a closed dialog left behind has ended (at
    // the program's end, and in tests).
    static void WaitForBackgroundWork();

    QLineEdit* eLocalRoot;
    QPushButton* bBrowse;
    QLineEdit* eRemoteRoot;
    QPushButton* bCompare;
    QLineEdit* eVerifyUrl;
    QLabel* txtPlan;
    QListWidget* lbPlan;
    QCheckBox* cbDelete;
    QLabel* txtDelete;
    QListWidget* lbDelete;
    QProgressBar* pbProgress;
    QLabel* txtProgress;
    QLabel* txtSummary;
    QPushButton* bSaveRecord;
    QPushButton* bPublish;
    QPushButton* bStop;
    QPushButton* bClose;

protected:
    void reject() override; // Esc and the window's close button stop first

private:
    struct Link;

    void ShowPlan();
    void ShowFailure(const std::string& reason);
    void ShowProgress(const TPublishProgress& progress);
    void ShowSummary(const TPublishSummary& summary);
    void bPublishClick();
    void bStopClick();
    void bCompareClick();
    void bBrowseClick();
    void bSaveRecordClick();
    void RootsEdited();
    // Whether the delete step is confirmed (asked only when the plan deletes anything).
    bool ConfirmDeletions() const;
    void EnableRoots(bool enabled);

    TConnectionSettings connection_;
    TPublishOptions options_;
    std::shared_ptr<TPublisher> publisher_;
    std::shared_ptr<Link> link_;
    TStage stage_ = TStage::Preparing;
    bool closeAfterRun_ = false;
};

// Opens the dialog for the two folders with the window's settings, and starts it.
TPublishDialog* OpenPublishDialog(QWidget* window, const TConnectionSettings& connection,
                                  const std::string& localRoot, const std::string& remoteRoot,
                                  int connections = 4, const std::string& verifyUrl = "");

} // namespace kestrel
