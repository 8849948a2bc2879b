// A small web server for the tests of the check over HTTP: Python's http.server in a child
// process, serving a folder (the FTP server's web space) on 127.0.0.1 and a port the system
// picks. The destructor stops and reaps it; it also dies with the thread that started it.
#pragma once

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kestrel::test {

class HttpServer {
public:
    explicit HttpServer(const std::filesystem::path& folder) {
        int out[2];
        if (::pipe(out) != 0)
            throw std::runtime_error("no pipe for the web server");
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            ::dup2(out[1], 1);
            ::close(out[0]);
            ::close(out[1]);
            std::freopen("/dev/null", "w", stderr); // one line per request
            ::execl("/usr/bin/python3", "python3", "-u", "-m", "http.server", "--bind", "127.0.0.1",
                    "--directory", folder.c_str(), "0", nullptr);
            ::_exit(127);
        }
        ::close(out[1]);
        // "Serving HTTP on 127.0.0.1 port 41235 (http://127.0.0.1:41235/) ..."
        std::string line;
        char c = 0;
        while (line.find('\n') == std::string::npos && ::read(out[0], &c, 1) == 1)
            line += c;
        ::close(out[0]);
        const std::size_t at = line.find(" port ");
        if (at != std::string::npos)
            port_ = std::stoi(line.substr(at + 6));
        if (port_ <= 0) {
            Stop();
            throw std::runtime_error("the web server did not start: " + line);
        }
    }
    ~HttpServer() { Stop(); }
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    std::string Url(const std::string& path = "") const {
        return "http://127.0.0.1:" + std::to_string(port_) + "/" + path;
    }

private:
    void Stop() {
        if (pid_ <= 0)
            return;
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    pid_t pid_ = -1;
    int port_ = 0;
};

} // namespace kestrel::test
