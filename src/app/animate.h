// The animation control: plays a video clip by file name, looping, while the window is busy.
//
// The clip is opened the first time the control is made visible or started. The bare file
// name is looked for in the current folder, then next to the program, and when neither holds
// a readable clip the copy built into the program is played. Starting the control never
// raises: a clip that cannot be opened anywhere leaves the area empty (ClipError() says why),
// and the operation that wanted the busy view goes on.
#pragma once

#include "app/avi.h"

#include <QWidget>

#include <string>

class QTimer;

namespace kestrel {

class TAnimate : public QWidget {
public:
    explicit TAnimate(QWidget* parent = nullptr);

    // The clip's file name; setting it closes the clip that was open.
    const std::string& FileName() const { return fileName_; }
    void SetFileName(const std::string& name);

    // Whether the clip is playing. Setting it starts or stops.
    bool Active() const { return active_; }
    void SetActive(bool active);

    // The 1-based frames between which the clip plays; 0 for StopFrame means the last frame.
    int StartFrame = 1;
    int StopFrame = 0;

    // Plays frames from..to (1-based), count times, or repeatedly when count is 0.
    void Play(int fromFrame, int toFrame, int count);
    // Plays StartFrame..StopFrame repeatedly.
    void Start();
    // Stops and keeps showing the current frame.
    void Stop();

    // Opens the clip now if it is not open yet; true when a clip is open.
    bool OpenClip();
    bool ClipOpen() const { return !clip_.Empty(); }
    // Where the open clip came from (a path, or a ":/" path for the built-in copy).
    const std::string& ClipSource() const { return clipSource_; }
    // Why no clip could be opened; empty when one is open.
    const std::string& ClipError() const { return clipError_; }
    const TAviClip& Clip() const { return clip_; }
    // The 1-based number of the frame shown.
    int CurrentFrame() const { return currentFrame_ + 1; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void NextFrame();

    std::string fileName_;
    std::string clipSource_;
    std::string clipError_;
    TAviClip clip_;
    bool openTried_ = false;
    bool active_ = false;
    int currentFrame_ = 0; // 0-based
    int firstFrame_ = 0;   // 0-based range being played
    int lastFrame_ = 0;
    int repeatsLeft_ = 0; // 0: forever
    QTimer* timer_;
};

} // namespace kestrel
