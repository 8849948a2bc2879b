#include "app/publishdialog.h"

#include "publish/describe.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

namespace kestrel {
namespace {

constexpr int kMostListedActions = 5000; // a longer plan is listed in part
constexpr int kProgressSteps = 1000;

QString Text(const std::string& text) {
    return QString::fromStdString(text);
}

// The plan's lines as the command line prints them (publish/describe.h), then what cannot
// be published, the notes and every path left out with its reason.
QStringList Actions(const TPublishPlan& plan, const std::string& root) {
    QStringList lines;
    for (const std::string& line : PlanActions(plan, root))
        lines << Text(line);
    for (const std::string& line : PlanWarnings(plan))
        lines << Text(line);
    for (const std::string& line : LeftOutLines(plan))
        lines << Text(line);
    return lines;
}

} // namespace

TPublishDialog::TPublishDialog(QWidget* parent, TConnectionSettings connection,
                               TPublishOptions options)
    : QDialog(parent),
      publisher_(std::make_unique<TPublisher>(std::move(connection), std::move(options))) {
    setWindowTitle("Publish Site");
    resize(560, 420);
    txtPlan = new QLabel("Comparing the site folder with the web space...", this);
    txtPlan->setWordWrap(true);
    lbPlan = new QListWidget(this);
    cbDelete = new QCheckBox("Delete remote files and folders that are gone locally", this);
    cbDelete->setEnabled(false);
    pbProgress = new QProgressBar(this);
    pbProgress->setRange(0, kProgressSteps);
    pbProgress->setValue(0);
    txtProgress = new QLabel(this);
    txtSummary = new QLabel(this);
    txtSummary->setWordWrap(true);
    bPublish = new QPushButton("Publish", this);
    bPublish->setEnabled(false);
    bStop = new QPushButton("Stop", this);
    bStop->setEnabled(false);
    bClose = new QPushButton("Close", this);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(bPublish);
    buttons->addWidget(bStop);
    buttons->addWidget(bClose);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(txtPlan);
    layout->addWidget(lbPlan, 1);
    layout->addWidget(cbDelete);
    layout->addWidget(pbProgress);
    layout->addWidget(txtProgress);
    layout->addWidget(txtSummary);
    layout->addLayout(buttons);

    connect(bPublish, &QPushButton::clicked, this, [this] { bPublishClick(); });
    connect(bStop, &QPushButton::clicked, this, [this] { bStopClick(); });
    connect(bClose, &QPushButton::clicked, this, [this] { reject(); });
    connect(cbDelete, &QCheckBox::toggled, this, [this](bool on) {
        if (stage_ != TStage::Planned)
            return;
        TPlanOptions options;
        options.Delete = on;
        options.ForceDelete = on; // ticked after the deletions were listed: the user's choice
        publisher_->Replan(options);
        ShowPlan();
    });
}

TPublishDialog::~TPublishDialog() {
    publisher_->Stop();
    Join();
}

void TPublishDialog::Join() {
    if (worker_.joinable())
        worker_.join();
}

void TPublishDialog::Start() {
    stage_ = TStage::Preparing;
    worker_ = std::thread([this] {
        try {
            publisher_->Prepare();
            QMetaObject::invokeMethod(
                this, [this] { ShowPlan(); }, Qt::QueuedConnection);
        } catch (const std::exception& error) {
            std::string reason = ReasonText(error);
            QMetaObject::invokeMethod(
                this, [this, reason] { ShowFailure(reason); }, Qt::QueuedConnection);
        }
    });
}

void TPublishDialog::ShowPlan() {
    Join();
    stage_ = TStage::Planned;
    const TPublishPlan& plan = publisher_->Plan();
    std::string leftOut = LeftOutSummary(plan);
    txtPlan->setText(Text(PlanSummary(plan, publisher_->RemoteRoot()) +
                          (leftOut.empty() ? "" : "\n" + leftOut)));
    QStringList lines = Actions(plan, publisher_->RemoteRoot());
    if (lines.size() > kMostListedActions) {
        qsizetype more = lines.size() - kMostListedActions;
        lines = lines.mid(0, kMostListedActions);
        lines << QString("... and %1 more").arg(more);
    }
    lbPlan->clear();
    lbPlan->addItems(lines);
    cbDelete->setEnabled(true);
    bPublish->setEnabled(true);
    bPublish->setDefault(true);
}

void TPublishDialog::ShowFailure(const std::string& reason) {
    Join();
    stage_ = TStage::Done;
    txtPlan->setText("The site could not be compared with the web space.");
    txtSummary->setText("Failed: " + Text(reason));
}

void TPublishDialog::bPublishClick() {
    if (stage_ != TStage::Planned)
        return;
    stage_ = TStage::Running;
    bPublish->setEnabled(false);
    cbDelete->setEnabled(false);
    bStop->setEnabled(true);
    txtProgress->setText("Publishing...");
    publisher_->OnProgress = [this](const TPublishProgress& progress) {
        QMetaObject::invokeMethod(
            this, [this, progress] { ShowProgress(progress); }, Qt::QueuedConnection);
    };
    worker_ = std::thread([this] {
        TPublishSummary summary = publisher_->Run();
        QMetaObject::invokeMethod(
            this, [this, summary] { ShowSummary(summary); }, Qt::QueuedConnection);
    });
}

void TPublishDialog::bStopClick() {
    publisher_->Stop();
    bStop->setEnabled(false);
    txtProgress->setText("Stopping...");
}

void TPublishDialog::reject() {
    if (stage_ == TStage::Running) {
        bStopClick(); // the dialog closes itself... once the run has ended
        return;
    }
    QDialog::reject();
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
    Join();
    stage_ = TStage::Done;
    bStop->setEnabled(false);
    if (summary.Succeeded())
        pbProgress->setValue(kProgressSteps);
    QString text = QString("%1. %2.")
                       .arg(summary.Succeeded() ? "Published"
                            : summary.Stopped   ? "Stopped"
                                                : "The publish failed")
                       .arg(Text(SummaryCounts(summary)));
    txtSummary->setText(text);
    txtProgress->clear();
    lbPlan->clear();
    for (const TPublishFailure& failure : summary.Failures)
        lbPlan->addItem("failed: " + Text(FailureText(failure)));
    for (const std::string& note : summary.Notes)
        lbPlan->addItem("note: " + Text(note));
}

void OpenPublishDialog(QWidget* window, const TConnectionSettings& connection,
                       const std::string& localRoot, int connections) {
    TPublishOptions options;
    options.LocalRoot = localRoot;
    options.Connections = connections;
    auto* dialog = new TPublishDialog(window, connection, options);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setModal(true);
    dialog->show();
    dialog->Start();
}

} // namespace kestrel
