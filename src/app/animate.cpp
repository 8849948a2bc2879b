#include "app/animate.h"

#include "app/resources.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QPainter>
#include <QTimer>

#include <algorithm>
#include <vector>

namespace kestrel {

TAnimate::TAnimate(QWidget* parent) : QWidget(parent), timer_(new QTimer(this)) {
    QObject::connect(timer_, &QTimer::timeout, this, [this] { NextFrame(); });
}

void TAnimate::SetFileName(const std::string& name) {
    if (name == fileName_)
        return;
    Stop();
    fileName_ = name;
    clip_ = TAviClip();
    clipSource_.clear();
    clipError_.clear();
    openTried_ = false;
    currentFrame_ = 0;
    update();
}

bool TAnimate::OpenClip() {
    if (openTried_)
        return ClipOpen();
    openTried_ = true;
    if (fileName_.empty()) {
        clipError_ = "No clip file name";
        return false;
    }

    const QString name = QString::fromStdString(fileName_);
    std::vector<QString> candidates;
    candidates.push_back(name); // the current folder, or the path as given
    if (!QDir::isAbsolutePath(name)) {
        for (const QString& place : ProgramFilePlaces(name))
            candidates.push_back(place);
    }
    InitAppResources();
    candidates.push_back(QStringLiteral(":/kestrel/") + QFileInfo(name).fileName());

    std::string firstError;
    for (const QString& candidate : candidates) {
        if (!QFileInfo(candidate).isFile())
            continue;
        try {
            clip_ = TAviClip::FromFile(candidate.toStdString());
            clipSource_ = candidate.toStdString();
            clipError_.clear();
            return true;
        } catch (const std::exception& error) {
            // A damaged copy is passed over for the next place that may hold a good one.
            if (firstError.empty())
                firstError = error.what();
        }
    }
    clipError_ = firstError.empty() ? "Cannot open AVI " + fileName_ : firstError;
    return false;
}

void TAnimate::Play(int fromFrame, int toFrame, int count) {
    if (!OpenClip()) {
        active_ = false;
        return;
    }
    const int frames = clip_.FrameCount();
    firstFrame_ = std::clamp(fromFrame, 1, frames) - 1;
    lastFrame_ = std::clamp(toFrame <= 0 ? frames : toFrame, firstFrame_ + 1, frames) - 1;
    repeatsLeft_ = std::max(count, 0);
    currentFrame_ = firstFrame_;
    active_ = true;
    timer_->start(clip_.FrameInterval());
    update();
}

void TAnimate::Start() {
    Play(StartFrame, StopFrame, 0);
}

void TAnimate::Stop() {
    timer_->stop();
    active_ = false;
}

void TAnimate::SetActive(bool active) {
    if (active)
        Start();
    else
        Stop();
}

void TAnimate::NextFrame() {
    if (currentFrame_ < lastFrame_) {
        ++currentFrame_;
    } else if (repeatsLeft_ == 1) {
        Stop();
        return;
    } else {
        if (repeatsLeft_ > 1)
            --repeatsLeft_;
        currentFrame_ = firstFrame_;
    }
    update();
}

void TAnimate::showEvent(QShowEvent* event) {
    OpenClip();
    QWidget::showEvent(event);
}

void TAnimate::paintEvent(QPaintEvent* /*event*/) {
    if (!ClipOpen())
        return;
    QPainter painter(this);
    const QImage& frame = clip_.Frame(std::clamp(currentFrame_, 0, clip_.FrameCount() - 1));
    // Centred, unscaled, as such controls show their clips.
    const QPoint origin((width() - frame.width()) / 2, (height() - frame.height()) / 2);
    painter.drawImage(origin, frame);
}

} // namespace kestrel
