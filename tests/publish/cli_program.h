// Runs the command-line program as a user would, without a display, for the tests of
// the command line (KESTRELFTP_PROGRAM names the program built with them).
#pragma once

#include "support/fixtures.h"

#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace kestrel::test {

struct Result {
    int status = -1;
    std::string out;
    std::string err;
};

// Starts the program in folder with the arguments; password, when given, in the
// environment; its output goes to "out" and "err" in capture. Standard input is /dev/null,
// so no prompt can wait. Its state folder (XDG_STATE_HOME, where publish keeps its journal)
// is state, else one in capture, never the user's.
inline pid_t StartProgram(const std::filesystem::path& folder, std::vector<std::string> args,
                          const char* password, const TempDir& capture,
                          const std::filesystem::path& state = {}) {
    const std::string stateHome = (state.empty() ? capture / "state" : state).string();
    pid_t pid = ::fork();
    if (pid == 0) {
        if (::chdir(folder.c_str()) != 0)
            ::_exit(127);
        int in = ::open("/dev/null", O_RDONLY);
        int out = ::open((capture / "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = ::open((capture / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(in, 0);
        ::dup2(out, 1);
        ::dup2(err, 2);
        if (password)
            ::setenv("KESTRELFTP_PASSWORD", password, 1);
        else
            ::unsetenv("KESTRELFTP_PASSWORD");
        ::setenv("XDG_STATE_HOME", stateHome.c_str(), 1);
        ::unsetenv("DISPLAY");
        ::unsetenv("WAYLAND_DISPLAY");
        ::unsetenv("QT_QPA_PLATFORM"); // CI sets offscreen for the window tests
        std::vector<char*> argv{const_cast<char*>(KESTRELFTP_PROGRAM)};
        for (std::string& arg : args)
            argv.push_back(arg.data());
        argv.push_back(nullptr);
        ::execv(KESTRELFTP_PROGRAM, argv.data());
        ::_exit(127);
    }
    return pid;
}

// Runs the program to its end (see StartProgram).
inline Result RunProgram(const std::filesystem::path& folder, std::vector<std::string> args,
                         const char* password, const std::filesystem::path& state = {}) {
    TempDir capture("kestrel-cli-out");
    const pid_t pid = StartProgram(folder, std::move(args), password, capture, state);
    Result result;
    int status = 0;
    ::waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    result.out = ReadFileBytes(capture / "out");
    result.err = ReadFileBytes(capture / "err");
    return result;
}

} // namespace kestrel::test
