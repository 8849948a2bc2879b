// What the commands that reach a site's server share (publish and undo): the connection's
// options, declared once, the server named by REMOTE_DIR or a URL, and the settings built
// from them, Config.txt of the current folder and the password (from the environment, the
// settings file or a prompt without echo; never from the command line).
#pragma once

#include "app/cli_options.h"
#include "app/ftpurl.h"
#include "publish/publisher.h"

#include <optional>
#include <string>
#include <vector>

namespace kestrel {

// The variable the password may come from.
inline constexpr const char* kPasswordVariable = "KESTRELFTP_PASSWORD";

// --passive, --tls, --trust-fingerprint, --host, --port, --user.
std::vector<TOptionSpec> ConnectionOptionSpecs();

// The connection as the command line gives it.
struct TConnectionArguments {
    bool passive = false;
    bool tls = false;
    std::string trustFingerprint;
    std::optional<std::string> host, port, user;
    std::string remote;         // REMOTE_DIR, or the URL's folder
    std::optional<TFtpUrl> url; // the server as a URL instead of REMOTE_DIR
};

// The connection options of parsed, and the remote folder (a URL or a folder; empty: the
// log-in folder). Raises TUsageError.
TConnectionArguments ParseConnectionArguments(const TParsedCommand& parsed,
                                              const std::string& remote);

// The connection settings: options first, then the URL, then Config.txt of the current
// folder; the password from the environment, Config.txt or a prompt. Raises TUsageError when
// the host, the user or the password is missing.
TConnectionSettings ConnectionSettings(const TConnectionArguments& args);

// text as a whole number from low to high; raises TUsageError naming what.
int ParseInteger(const std::string& text, const char* what, int low, int high);

// The words before "--": whether one asks for help; raises TUsageError for one that gives a
// password.
void PreScan(int argc, char** argv, bool& help);

} // namespace kestrel
