// The command line's publish: "kestrelftp publish [options] LOCAL_DIR [REMOTE_DIR]".
// Runs without a display: main() calls it before any window or toolkit exists.
#pragma once

namespace kestrel {

// The usage text of publish, as --help shows it.
extern const char* const kPublishUsage;

// Runs "publish" with the arguments after the word "publish". Returns the exit status:
// 0 when everything was published (or, with --dry-run, planned), 1 when the publish
// failed or was stopped, 2 for a usage error; each failure ends with a one-line reason.
int RunPublishCommand(int argc, char** argv);

} // namespace kestrel
