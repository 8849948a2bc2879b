#include "app/qtloop.h"

#include "platform/platform.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <chrono>

namespace kestrel {
namespace {

bool g_inHook = false;
// Qt's own events are processed at most this often while a wait loop runs, so that a
// fast transfer spends its time moving data, not repainting.
constexpr auto kUiInterval = std::chrono::milliseconds(5);

void UiHook() {
    using Clock = std::chrono::steady_clock;
    static Clock::time_point last;
    if (g_inHook)
        return;
    auto now = Clock::now();
    if (now - last < kUiInterval)
        return;
    last = now;
    g_inHook = true;
    QCoreApplication::processEvents(QEventLoop::AllEvents);
    g_inHook = false;
}

} // namespace

void AttachPlatformToQt() {
    static QSocketNotifier* notifier = nullptr;
    if (notifier)
        return;
    notifier = new QSocketNotifier(platform::wake_fd(), QSocketNotifier::Read,
                                   QCoreApplication::instance());
    QObject::connect(notifier, &QSocketNotifier::activated, [] {
        // Inside a wait loop the loop itself dispatches; only an idle GUI pumps here.
        if (!g_inHook)
            platform::process_messages();
    });
    platform::set_ui_hook(UiHook);
}

} // namespace kestrel
