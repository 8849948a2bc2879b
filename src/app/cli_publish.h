// The command line, read before any window or toolkit exists, so that it works without a
// display: "kestrelftp --help", "--version", "--from-menu" and
// "kestrelftp publish [options] LOCAL_DIR [REMOTE_DIR]".
#pragma once

#include <optional>
#include <string>

namespace kestrel {

// The one usage text, made from the declaration of the options: the program's and
// publish's synopsis, the options of publish with their help, and the exit status.
std::string UsageText();

// Handles the command line. Returns the exit status when it was handled (help, version,
// publish, a usage error: 2 after the usage text), nothing when the window is to open;
// fromMenu tells whether it starts in the home folder.
std::optional<int> RunCommandLine(int argc, char** argv, bool& fromMenu);

// Runs "publish" with the arguments after the word "publish". Returns the exit status:
// 0 when everything was published (or, with --dry-run, could be), 1 when the publish
// failed, was stopped or refused, 2 for a usage error; each failure ends with a one-line
// reason.
int RunPublishCommand(int argc, char** argv);

} // namespace kestrel
