// Joins the event platform to Qt's event loop on the one thread.
//
// While no wait loop runs, Qt's loop watches the platform's wake descriptor and runs
// process_messages() when it becomes readable, so socket notifications and timers are
// delivered promptly without polling. While a wait loop runs, the platform's UI hook
// lets Qt process its own events (repaints, the user's Stop) between wait steps.
#pragma once

namespace kestrel {

// Installs the descriptor watch and the UI hook; call once after the QApplication
// exists. Safe to call again.
void AttachPlatformToQt();

} // namespace kestrel
