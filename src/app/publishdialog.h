// "Publish Site...": the plan first (counts, the list of what will happen, the delete
// option), then the run with a progress bar and Stop, then the summary.
//
// The publisher works on a thread of its own (and its connections on theirs); what it
// reports reaches this dialog as queued calls on the window's thread, so the window
// stays responsive. Closing the dialog stops a run and waits for its threads.
#pragma once

#include "publish/publisher.h"

#include <QDialog>
#include <memory>
#include <thread>

class QCheckBox;
class QLabel;
class QListWidget;
class QProgressBar;
class QPushButton;

namespace kestrel {

class TPublishDialog : public QDialog {
public:
    enum class TStage { Preparing, Planned, Running, Done };

    TPublishDialog(QWidget* parent, TConnectionSettings connection, TPublishOptions options);
    ~TPublishDialog() override;

    // Starts working out the plan; the dialog shows it when it is ready.
    void Start();
    TStage Stage() const { return stage_; }

    QLabel* txtPlan;
    QListWidget* lbPlan;
    QCheckBox* cbDelete;
    QProgressBar* pbProgress;
    QLabel* txtProgress;
    QLabel* txtSummary;
    QPushButton* bPublish;
    QPushButton* bStop;
    QPushButton* bClose;

protected:
    void reject() override; // Esc and the window's close button stop a run first

private:
    void ShowPlan();
    void ShowFailure(const std::string& reason);
    void ShowProgress(const TPublishProgress& progress);
    void ShowSummary(const TPublishSummary& summary);
    void bPublishClick();
    void bStopClick();
    void Join();

    std::unique_ptr<TPublisher> publisher_;
    std::thread worker_;
    TStage stage_ = TStage::Preparing;
};

// Opens the dialog for the site folder with the window's settings, and starts it.
void OpenPublishDialog(QWidget* window, const TConnectionSettings& connection,
                       const std::string& localRoot, int connections = 4);

} // namespace kestrel
