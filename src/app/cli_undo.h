// "kestrelftp undo [--list] [--run ID] [connection options] REMOTE_DIR|URL": puts a site back
// as it was before its last publish (or the run named), from the history that publish keeps
// on the server; the same Config.txt, password and TLS rules as publish.
#pragma once

#include <string>

namespace kestrel {

// "kestrelftp undo [--list] ... REMOTE_DIR|URL" under the prefix, and the options with
// their help.
std::string UndoSynopsis(const char* prefix);
std::string UndoOptionsText();

// Runs "undo" with the arguments after the word "undo". Returns the exit status: 0 when the
// site is as before the run (or, with --list, the runs were listed), 1 when the undo failed
// or there was nothing to undo, 2 for a usage error.
int RunUndoCommand(int argc, char** argv);

} // namespace kestrel
