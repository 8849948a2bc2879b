#include "app/helpviewer.h"

#include "app/resources.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextBrowser>
#include <QVBoxLayout>

namespace kestrel {

namespace {

constexpr int kViewerWidth = 560;
constexpr int kViewerHeight = 480;
// The help document is small; a larger file is not ours and is not loaded.
constexpr qint64 kMaxHelpFileSize = 4 * 1024 * 1024;

} // namespace

std::string ResolveHelpFile(const std::string& name) {
    const QString fileName = QString::fromStdString(name);
    if (QDir::isAbsolutePath(fileName))
        return QFileInfo::exists(fileName) ? name : std::string();
    for (const QString& place : ProgramFilePlaces(fileName)) {
        if (QFileInfo(place).isFile())
            return place.toStdString();
    }
    InitAppResources();
    const QString builtIn = QStringLiteral(":/kestrel/") + QFileInfo(fileName).fileName();
    if (QFileInfo::exists(builtIn))
        return builtIn.toStdString();
    return {};
}

THelpViewer::THelpViewer(QWidget* parent) : QWidget(parent, Qt::Window) {
    browser_ = new QTextBrowser(this);
    browser_->setOpenExternalLinks(false);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(browser_);
    resize(kViewerWidth, kViewerHeight);
}

bool THelpViewer::ShowHelpFile(const std::string& source) {
    QFile file(QString::fromStdString(source));
    if (!file.open(QIODevice::ReadOnly) || file.size() > kMaxHelpFileSize)
        return false;
    const QByteArray content = file.readAll();
    // The help file keeps its historical name, so its type is not known from the ending:
    // it is always HTML.
    browser_->setHtml(QString::fromUtf8(content));
    browser_->scrollToAnchor(QStringLiteral("contents"));
    return true;
}

} // namespace kestrel
