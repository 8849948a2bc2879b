#include "app/cli_connection.h"

#include "app/config.h"
#include "app/extrasettings.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <mutex>
#include <termios.h>
#include <unistd.h>

namespace kestrel {

using UsageError = TUsageError;

std::vector<TOptionSpec> ConnectionOptionSpecs() {
    return {
        {"--passive", nullptr, "passive data connections (the server listens)"},
        {"--tls", nullptr, "require TLS on the connection"},
        {"--trust-fingerprint", "SHA256",
         "accept the server certificate with this fingerprint\n"
         "(those trusted in the window, in KestrelFTP.ini here,\n"
         "are accepted too)"},
        {"--host", "H", "the server (overrides the URL and Config.txt)"},
        {"--port", "P", "its port (overrides the URL and Config.txt)"},
        {"--user", "U", "the user (overrides the URL and Config.txt)"},
    };
}

int ParseInteger(const std::string& text, const char* what, int low, int high) {
    int value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || value < low ||
        value > high)
        throw UsageError{std::string(what) + " must be a number from " + std::to_string(low) +
                         " to " + std::to_string(high) + ", not '" + text + "'"};
    return value;
}

void PreScan(int argc, char** argv, bool& help) {
    for (int i = 1; i < argc && std::string(argv[i]) != "--"; ++i) {
        std::string word = argv[i];
        if (word == "--help" || word == "-h")
            help = true;
        if (word == "-p" || word == "--password" || word.rfind("--password=", 0) == 0)
            throw UsageError{"a password is never taken from the command line; set " +
                             std::string(kPasswordVariable) + " or save it in Config.txt"};
    }
}

TConnectionArguments ParseConnectionArguments(const TParsedCommand& parsed,
                                              const std::string& remote) {
    TConnectionArguments args;
    args.passive = parsed.Has("--passive");
    args.tls = parsed.Has("--tls");
    args.trustFingerprint = parsed.Value("--trust-fingerprint");
    auto given = [&](const char* name) -> std::optional<std::string> {
        if (!parsed.Has(name))
            return std::nullopt;
        return parsed.Value(name);
    };
    args.host = given("--host");
    args.port = given("--port");
    args.user = given("--user");
    if (LooksLikeUrl(remote)) {
        try {
            args.url = ParseFtpUrl(remote);
        } catch (const EUrlError& error) {
            throw UsageError{std::string("the address is refused: ") + error.what()};
        }
        args.remote = args.url->Path;
    } else {
        args.remote = remote;
    }
    return args;
}

namespace {

// Reads a line from the terminal without showing it.
std::string PromptPassword(const std::string& prompt) {
    std::fputs(prompt.c_str(), stderr);
    std::fflush(stderr);
    termios saved{};
    bool terminal = ::tcgetattr(STDIN_FILENO, &saved) == 0;
    if (terminal) {
        termios quiet = saved;
        quiet.c_lflag &= ~tcflag_t(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    }
    std::string line;
    std::getline(std::cin, line);
    if (terminal)
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::fputs("\n", stderr);
    return line;
}

std::string Upper(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), ':'), text.end());
    for (char& c : text)
        c = char(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// Accepts a certificate that failed verification when it is the one given by
// --trust-fingerprint, or the one the window trusts for the host (the settings file of
// the current folder, only read here); otherwise prints its fingerprint once.
TCertificateEvent CertificateCheck(const std::string& given, int port) {
    auto saved = std::make_shared<TExtraSettings>();
    std::string problem;
    if (!saved->Load("", &problem))
        std::fprintf(stderr, "kestrelftp: %s; no certificate trusted there is used\n",
                     problem.c_str());
    auto printed = std::make_shared<std::once_flag>();
    return [given, saved, printed, port](const TCertificateInfo& info, bool& accept) {
        const TCertificateTrust trust = saved->TrustOf(info.Host, port, info.Fingerprint);
        accept = (!given.empty() && Upper(info.Fingerprint) == given) ||
                 trust == TCertificateTrust::Trusted;
        if (accept)
            return;
        std::call_once(*printed, [&] {
            std::fprintf(stderr,
                         "kestrelftp: the server's certificate was refused (%s)\n"
                         "  SHA-256 fingerprint %s\n",
                         info.Reason.c_str(), info.Fingerprint.c_str());
            if (trust == TCertificateTrust::Changed)
                std::fprintf(stderr, "  %s trusts another certificate for %s\n",
                             kExtraSettingsFileName, info.Host.c_str());
            std::fprintf(stderr, "  give --trust-fingerprint %s to accept it\n",
                         info.Fingerprint.c_str());
        });
    };
}

// ftps:// is TLS from the first byte, which --tls (TLS required) cannot make weaker;
// ftpes:// and --tls are TLS after AUTH TLS.
TEncryption EncryptionOf(const TConnectionArguments& args) {
    if (args.url && args.url->Security == TUrlSecurity::ImplicitTls)
        return TEncryption::Implicit;
    if (args.tls || (args.url && args.url->Security == TUrlSecurity::ExplicitTls))
        return TEncryption::Required;
    return TEncryption::None;
}

} // namespace

// A URL may name another server than Config.txt: its port is the URL's or the default,
// never the one saved for Config.txt's host, and Config.txt's user and password go to no
// other host than its own.
TConnectionSettings ConnectionSettings(const TConnectionArguments& args) {
    ConfigRecord config{};
    if (::access(kConfigFileName, F_OK) == 0 && !ReadConfigFile("", config))
        std::fprintf(stderr, "kestrelftp: %s cannot be read; using the options only\n",
                     kConfigFileName);
    TConnectionSettings settings;
    std::string savedHost = GetConfigField(config.Host);
    std::string savedPort = GetConfigField(config.Port);
    std::string savedUser = GetConfigField(config.UserID);
    std::string savedPassword = GetConfigField(config.Password);
    if (args.url) {
        std::string configHost = savedHost;
        if (configHost.size() > 2 && configHost.front() == '[' && configHost.back() == ']')
            configHost = configHost.substr(1, configHost.size() - 2);
        if (args.url->Host != configHost) {
            savedUser.clear();
            savedPassword.clear();
        }
        savedHost = args.url->Host;
        savedPort =
            std::to_string(args.url->Port != 0 ? args.url->Port : DefaultPort(args.url->Security));
        if (!args.url->UserID.empty())
            savedUser = args.url->UserID;
    }
    settings.Host = args.host.value_or(savedHost);
    if (settings.Host.empty())
        throw UsageError{"no host: give --host or save one in Config.txt"};
    std::string port = args.port.value_or(savedPort);
    settings.Port = port.empty() ? 21 : ParseInteger(port, "the port", 1, 65535);
    settings.UserID = args.user.value_or(savedUser);
    if (settings.UserID.empty())
        throw UsageError{"no user: give --user or save one in Config.txt"};
    if (const char* password = std::getenv(kPasswordVariable))
        settings.Password = password;
    else
        settings.Password = savedPassword;
    if (settings.Password.empty()) {
        if (!::isatty(STDIN_FILENO))
            throw UsageError{std::string("no password: set ") + kPasswordVariable +
                             " or save it in Config.txt"};
        settings.Password =
            PromptPassword("Password for " + settings.UserID + "@" + settings.Host + ": ");
    }
    settings.DataMode = args.passive ? TDataMode::Passive : TDataMode::Active;
    settings.Encryption = EncryptionOf(args);
    settings.OnCertificateCheck = CertificateCheck(Upper(args.trustFingerprint), settings.Port);
    return settings;
}

} // namespace kestrel
